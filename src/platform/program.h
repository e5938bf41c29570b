#pragma once

// What a command-line program gets from the system at its start, in the
// same form on every system.

#include <string>
#include <vector>

namespace oru::platform {

// The program's arguments, its name first, as UTF-8: main's `argv` where
// the system hands it UTF-8 already, else the system's own wide command
// line converted. An argument that cannot be converted is left as main got
// it.
std::vector<std::string> ProgramArgumentsUtf8(int argc, char** argv);

// Standard output and standard error write bytes as they are given: no
// line-end translation, so a tool's output and a file it copies out are the
// same bytes on every system.
void UseBinaryStandardStreams();

}  // namespace oru::platform

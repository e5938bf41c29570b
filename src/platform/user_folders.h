#pragma once

// The folders of the user a program runs for, and folders made without
// allocating (after a fault).

#include <cstddef>
#include <string>

namespace oru::platform {

// Where this program keeps state for its user: $XDG_STATE_HOME/<program>,
// else $HOME/.local/state/<program>, <program> being the name it was run
// by. Empty when neither variable gives an absolute path.
std::string UserStateFolder();

// Makes the folder `pathUtf8` and every missing folder above it. True when a
// folder is there at the end. Allocates nothing and takes no lock, so a
// crash report can use it; a path of PATH_MAX bytes or more is refused.
bool MakeFolderChain(const char* pathUtf8);

// True when the process may make files in the folder `pathUtf8`.
bool IsWritableFolder(const char* pathUtf8);

}  // namespace oru::platform

namespace oru::platform {

// The value of the environment variable `name`; null when it is not set.
const char* EnvironmentValue(const char* name);

}  // namespace oru::platform

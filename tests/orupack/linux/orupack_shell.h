#pragma once

// The tool run through the shell, for the tests of what only Linux has.

#include "orupack/orupack_run.h"

#include <sys/wait.h>

#include <cstdlib>
#include <string>

namespace oru::test {

// The exit status of `command` run by the shell; -1 when it did not exit.
inline int Shell(const std::string& command)
{
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The shell words that run orupack with `args`.
inline std::string OrupackCommand(const std::string& args)
{
    return std::string(ORUPACK_PATH) + " " + args;
}

}  // namespace oru::test

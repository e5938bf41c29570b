#pragma once

// Starts a program (the demo starts itself as "the artist") and waits for it.

#include <string>
#include <vector>

// Runs `program` with `arguments` and returns its exit status; -1 when it
// could not be started or did not exit normally.
int RunProgram(const std::string& program, const std::vector<std::string>& arguments);

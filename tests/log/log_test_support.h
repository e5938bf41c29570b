#pragma once

// Helpers shared by the log tests: the bytes of a file; the clock the test
// sets and what the debug channel received come from support/.

#include "support/fake_clock.h"
#include "support/debug_channel_tail.h"

#include <string>

namespace oru::test {

// The whole content of a file; empty when it cannot be read.
std::string ReadFileBytes(const std::string& path);
bool FileExists(const std::string& path);
void RemoveTree(const std::string& path);

}  // namespace oru::test

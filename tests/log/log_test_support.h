#pragma once

// Helpers shared by the log tests: whether a file exists, removing a tree;
// the clock the test sets, whole files and what the debug channel received
// come from support/.

#include "support/fake_clock.h"
#include "support/file_bytes.h"
#include "support/debug_channel_tail.h"

#include <string>

namespace oru::test {

bool FileExists(const std::string& path);
void RemoveTree(const std::string& path);

}  // namespace oru::test

#pragma once

// Helpers shared by the log tests: a clock the test sets, the bytes of a
// file; what the debug channel received comes from support/.

#include "platform/clock.h"
#include "support/debug_channel_tail.h"

#include <string>

namespace oru::test {

// While alive, every log reads the date and time from Now(), which the test
// sets; the system clock comes back on destruction.
class CFakeLogClock {
public:
    explicit CFakeLogClock(const oru::platform::CLocalTime& now);
    ~CFakeLogClock();
    CFakeLogClock(const CFakeLogClock&) = delete;
    CFakeLogClock& operator=(const CFakeLogClock&) = delete;

    void Set(const oru::platform::CLocalTime& now);
};

// The whole content of a file; empty when it cannot be read.
std::string ReadFileBytes(const std::string& path);
bool FileExists(const std::string& path);
void RemoveTree(const std::string& path);

}  // namespace oru::test

#pragma once

// Where the logs read the date and the time of day. Lines are stamped and log
// files named from one reading, so a line's date and its time always belong
// together. Tests replace the clock to walk a log across midnight without
// waiting for it.

#include "platform/clock.h"

namespace oru::detail {

using LogClockFn = oru::platform::CLocalTime (*)();

// The current local date and time as the logs see it.
oru::platform::CLocalTime ReadLogClock();

// Replaces the clock of every log; null restores the system's calendar clock.
// Thread-safe, but meant for tests: set it before the lines it should stamp.
void SetLogClock(LogClockFn clock);

}  // namespace oru::detail

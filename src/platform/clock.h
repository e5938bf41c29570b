#pragma once

// Clocks of the system. Every reading of time in the library goes through
// here, so that another platform changes only this file's implementation.

#include <cstdint>

namespace oru::platform {

// CLOCK_MONOTONIC in milliseconds, truncated to 32 bits: wraps after about
// 49.7 days, like the millisecond clocks games are used to.
uint32_t MonotonicMilliseconds();

// CLOCK_MONOTONIC in nanoseconds; the frequency is 1 000 000 000 per second.
uint64_t MonotonicNanoseconds();
constexpr uint64_t MONOTONIC_FREQUENCY = 1000000000ULL;

// The local calendar date and time of day, read once from the calendar clock.
struct CLocalTime {
    int m_nYear;    // full year
    int m_nMonth;   // 1 to 12
    int m_nDay;     // 1 to 31
    int m_nHour;
    int m_nMinute;
    int m_nSecond;
};
CLocalTime LocalTimeNow();

// The calendar clock in whole seconds since the Unix epoch, and the local
// date and time of such a second: LocalTimeAt(CalendarSeconds()) is
// LocalTimeNow(). Split so that a caller may keep the breakdown of a second.
int64_t CalendarSeconds();
CLocalTime LocalTimeAt(int64_t seconds);

// Suspends the calling thread.
void SleepMilliseconds(uint32_t milliseconds);

}  // namespace oru::platform

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

// The calendar clock in milliseconds since the Unix epoch, read from the
// coarse clock (a few milliseconds' resolution, a few nanoseconds a reading):
// the stamp of a log's recent lines.
int64_t CalendarMillisecondsCoarse();

// The local date and time of `seconds` (since the epoch) without the C
// library's time functions, which take a lock a fault may have left held:
// from the offset from UTC that the last LocalTimeAt saw (every log line
// stamps its time through it, and installing the fault handlers reads it
// once). A change of the offset since then (a switch to summer time) shows
// only from the next log line. Allocates nothing and takes no lock.
CLocalTime LocalTimeFromLastOffset(int64_t seconds);
// Notes the offset from UTC (seconds east) that a breakdown into local time
// found, for LocalTimeFromLastOffset; called by LocalTimeAt.
void RememberUtcOffset(long seconds);

// The clocks the library reads its time from: the timers, the profiler and
// the log stamps all go through Clocks(), never the functions above, so that
// a test can install clocks of its own and feed exact readings (a wrap of the
// 32-bit millisecond clock, two readings inside one millisecond, a log line
// on each side of midnight).
class IClocks {
public:
    virtual ~IClocks() = default;
    virtual uint32_t Milliseconds() const = 0;  // 32-bit milliseconds, wraps
    virtual int64_t Counter() const = 0;        // high-resolution counter, in counts
    virtual int64_t Frequency() const = 0;      // counts per second; 0: the counter is unusable
    virtual CLocalTime LocalTime() const = 0;   // local date and time of day, from one reading
};

// The clocks in use: the system's unless a test installed its own.
// Thread-safe.
const IClocks& Clocks();

// Installs `pClocks`, or with null the system's clocks again. Thread-safe: a
// reading on another thread sees the old clocks or the new ones, so `pClocks`
// must outlive every reading that may have started before it is replaced.
void SetClocks(const IClocks* pClocks);

}  // namespace oru::platform

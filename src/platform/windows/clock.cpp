#include "platform/clock.h"

#include "platform/file_time.h"

#include <windows.h>

namespace oru::platform {
namespace {

// The performance counter's rate never changes while the system runs.
int64_t CounterFrequency()
{
    static const int64_t s_nFrequency = [] {
        LARGE_INTEGER frequency{};
        QueryPerformanceFrequency(&frequency);
        return frequency.QuadPart > 0 ? frequency.QuadPart : 1;
    }();
    return s_nFrequency;
}

// `count` ticks of a clock running at `frequency`, in units of `unit` per
// second, without overflowing for any count a running system reaches.
uint64_t Scale(uint64_t count, uint64_t frequency, uint64_t unit)
{
    return count / frequency * unit + count % frequency * unit / frequency;
}

uint64_t CounterNow()
{
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return static_cast<uint64_t>(now.QuadPart);
}

uint64_t FileTimeValue(const FILETIME& time)
{
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FILETIME FileTimeOf(uint64_t value)
{
    FILETIME time{};
    time.dwLowDateTime = static_cast<DWORD>(value);
    time.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return time;
}

uint64_t SystemTimeNow()
{
    FILETIME now{};
    GetSystemTimePreciseAsFileTime(&now);
    return FileTimeValue(now);
}

}  // namespace

uint32_t MonotonicMilliseconds()
{
    const auto frequency = static_cast<uint64_t>(CounterFrequency());
    return static_cast<uint32_t>(Scale(CounterNow(), frequency, 1000));
}

uint64_t MonotonicNanoseconds()
{
    const auto frequency = static_cast<uint64_t>(CounterFrequency());
    return Scale(CounterNow(), frequency, MONOTONIC_FREQUENCY);
}

int64_t CalendarSeconds()
{
    const uint64_t now = SystemTimeNow();
    return now < FILETIME_UNIX_EPOCH
               ? 0
               : static_cast<int64_t>((now - FILETIME_UNIX_EPOCH) / FILETIME_PER_SECOND);
}

// The system's time zone rules, summer time included, for that very second.
CLocalTime LocalTimeAt(int64_t seconds)
{
    const FILETIME utc = FileTimeOf(ToFileTime(seconds, 0));
    SYSTEMTIME utcParts{};
    SYSTEMTIME local{};
    if (!FileTimeToSystemTime(&utc, &utcParts) ||
        !SystemTimeToTzSpecificLocalTime(nullptr, &utcParts, &local))
        local = utcParts;
    FILETIME localTime{};
    if (SystemTimeToFileTime(&local, &localTime)) {
        const auto offset = static_cast<int64_t>(FileTimeValue(localTime) - FileTimeValue(utc)) /
                            static_cast<int64_t>(FILETIME_PER_SECOND);
        RememberUtcOffset(static_cast<long>(offset));
    }
    return {local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond};
}

int64_t CalendarMillisecondsCoarse()
{
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const uint64_t value = FileTimeValue(now);
    return value < FILETIME_UNIX_EPOCH
               ? 0
               : static_cast<int64_t>((value - FILETIME_UNIX_EPOCH) / (FILETIME_PER_SECOND / 1000));
}

}  // namespace oru::platform

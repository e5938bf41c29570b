#include "platform/clock.h"

#include <ctime>

namespace oru::platform {
namespace {

timespec MonotonicNow()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

}  // namespace

uint32_t MonotonicMilliseconds()
{
    const timespec ts = MonotonicNow();
    const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u +
                        static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

uint64_t MonotonicNanoseconds()
{
    const timespec ts = MonotonicNow();
    return static_cast<uint64_t>(ts.tv_sec) * MONOTONIC_FREQUENCY +
           static_cast<uint64_t>(ts.tv_nsec);
}

CLocalTime LocalTimeNow()
{
    return LocalTimeAt(CalendarSeconds());
}

int64_t CalendarSeconds()
{
    return static_cast<int64_t>(time(nullptr));
}

CLocalTime LocalTimeAt(int64_t seconds)
{
    const time_t when = static_cast<time_t>(seconds);
    tm parts{};
    localtime_r(&when, &parts);
    return {parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
            parts.tm_hour, parts.tm_min, parts.tm_sec};
}

void SleepMilliseconds(uint32_t milliseconds)
{
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0) {
        // interrupted by a signal: sleep the rest
    }
}

}  // namespace oru::platform

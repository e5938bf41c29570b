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

int64_t CalendarSeconds()
{
    return static_cast<int64_t>(time(nullptr));
}

CLocalTime LocalTimeAt(int64_t seconds)
{
    const time_t when = static_cast<time_t>(seconds);
    tm parts{};
    localtime_r(&when, &parts);
    RememberUtcOffset(parts.tm_gmtoff);
    return {parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
            parts.tm_hour, parts.tm_min, parts.tm_sec};
}

int64_t CalendarMillisecondsCoarse()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME_COARSE, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace oru::platform

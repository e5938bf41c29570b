#include "platform/clock.h"

#include <atomic>
#include <ctime>

namespace oru::platform {
namespace {

timespec MonotonicNow()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

// Breaking the calendar clock down into a local date and time costs more than
// the rest of a log line's stamp; a thread that reads it many times within one
// second does it once. A change of time zone shows from the next second on.
CLocalTime LocalTimeOfThisSecond()
{
    thread_local int64_t t_nSecond = INT64_MIN;
    thread_local CLocalTime t_Local{};
    const int64_t now = CalendarSeconds();
    if (now != t_nSecond) {
        t_Local = LocalTimeAt(now);
        t_nSecond = now;
    }
    return t_Local;
}

class CSystemClocks final : public IClocks {
public:
    uint32_t Milliseconds() const override { return MonotonicMilliseconds(); }
    int64_t Counter() const override { return static_cast<int64_t>(MonotonicNanoseconds()); }
    int64_t Frequency() const override { return static_cast<int64_t>(MONOTONIC_FREQUENCY); }
    CLocalTime LocalTime() const override { return LocalTimeOfThisSecond(); }
};

constinit const CSystemClocks SYSTEM_CLOCKS;
std::atomic<const IClocks*> s_pClocks{&SYSTEM_CLOCKS};

}  // namespace

const IClocks& Clocks()
{
    return *s_pClocks.load(std::memory_order_acquire);
}

void SetClocks(const IClocks* pClocks)
{
    s_pClocks.store(pClocks ? pClocks : &SYSTEM_CLOCKS, std::memory_order_release);
}

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

}  // namespace oru::platform

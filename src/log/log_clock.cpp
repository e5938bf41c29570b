#include "log/log_clock.h"

#include <atomic>
#include <cstdint>

namespace oru::detail {
namespace {

std::atomic<LogClockFn> s_pClock{nullptr};

// Breaking the calendar clock down into a local date and time costs more than
// the rest of a line's stamp; a thread that logs many lines within one second
// does it once. A change of time zone shows from the next second on.
oru::platform::CLocalTime LocalTimeOfThisSecond()
{
    thread_local int64_t t_nSecond = INT64_MIN;
    thread_local oru::platform::CLocalTime t_Local{};
    const int64_t now = oru::platform::CalendarSeconds();
    if (now != t_nSecond) {
        t_Local = oru::platform::LocalTimeAt(now);
        t_nSecond = now;
    }
    return t_Local;
}

}  // namespace

oru::platform::CLocalTime ReadLogClock()
{
    const LogClockFn clock = s_pClock.load(std::memory_order_acquire);
    return clock ? clock() : LocalTimeOfThisSecond();
}

void SetLogClock(LogClockFn clock)
{
    s_pClock.store(clock, std::memory_order_release);
}

}  // namespace oru::detail

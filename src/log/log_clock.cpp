#include "log/log_clock.h"

#include <atomic>

namespace oru::detail {
namespace {

std::atomic<LogClockFn> s_pClock{nullptr};

}  // namespace

oru::platform::CLocalTime ReadLogClock()
{
    const LogClockFn clock = s_pClock.load(std::memory_order_acquire);
    return clock ? clock() : oru::platform::LocalTimeNow();
}

void SetLogClock(LogClockFn clock)
{
    s_pClock.store(clock, std::memory_order_release);
}

}  // namespace oru::detail

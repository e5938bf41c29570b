#include "timing/timing_clock.h"

#include "platform/clock.h"

namespace oru::detail {
namespace {

int64_t SystemCounter()
{
    return static_cast<int64_t>(oru::platform::MonotonicNanoseconds());
}

int64_t SystemFrequency()
{
    return static_cast<int64_t>(oru::platform::MONOTONIC_FREQUENCY);
}

constexpr CTimingClock SYSTEM_CLOCK = {&oru::platform::MonotonicMilliseconds, &SystemCounter,
                                       &SystemFrequency};

const CTimingClock* s_pClock = &SYSTEM_CLOCK;

}  // namespace

const CTimingClock& TimingClock()
{
    return *s_pClock;
}

void SetTimingClock(const CTimingClock* pClock)
{
    s_pClock = pClock ? pClock : &SYSTEM_CLOCK;
}

}  // namespace oru::detail

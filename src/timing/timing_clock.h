#pragma once

// The clocks that the timer sources and the profiler read. They go through
// this one table so that a test can install clocks of its own and feed exact
// readings: a wrap of the 32-bit millisecond clock, two readings inside one
// millisecond, frames of exactly a quarter of a second.

#include <cstdint>

namespace oru::detail {

struct CTimingClock {
    uint32_t (*m_pfnMilliseconds)();  // 32-bit milliseconds, wraps; both millisecond sources
    int64_t (*m_pfnCounter)();        // high-resolution counter, in counts
    int64_t (*m_pfnFrequency)();      // counts per second; 0 means the counter is unusable
};

// The clocks in use: the system's monotonic clocks unless a test replaced them.
const CTimingClock& TimingClock();

// Installs `pClock` (which must outlive its use) or, with null, the system
// clocks again. Not thread-safe: tests call it while no timer is running.
void SetTimingClock(const CTimingClock* pClock);

}  // namespace oru::detail

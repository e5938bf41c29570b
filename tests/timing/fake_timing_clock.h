#pragma once

// A clock the test sets by hand, installed for the lifetime of one object.
// Every reading returns the value last set, so two readings without a Set
// fall inside the same instant.

#include "timing/timing_clock.h"

#include <cstdint>

class CFakeTimingClock {
public:
    CFakeTimingClock()
    {
        s_nMilliseconds = 0;
        s_nCounter = 0;
        s_nFrequency = 1000000;
        oru::detail::SetTimingClock(&CLOCK);
    }
    ~CFakeTimingClock() { oru::detail::SetTimingClock(nullptr); }
    CFakeTimingClock(const CFakeTimingClock&) = delete;
    CFakeTimingClock& operator=(const CFakeTimingClock&) = delete;

    void SetMilliseconds(uint32_t value) { s_nMilliseconds = value; }
    void AdvanceMilliseconds(uint32_t delta) { s_nMilliseconds += delta; }
    void SetCounter(int64_t value) { s_nCounter = value; }
    void AdvanceCounter(int64_t delta) { s_nCounter += delta; }
    void SetFrequency(int64_t value) { s_nFrequency = value; }

private:
    static uint32_t Milliseconds() { return s_nMilliseconds; }
    static int64_t Counter() { return s_nCounter; }
    static int64_t Frequency() { return s_nFrequency; }

    static inline uint32_t s_nMilliseconds = 0;
    static inline int64_t s_nCounter = 0;
    static inline int64_t s_nFrequency = 0;
    static constexpr oru::detail::CTimingClock CLOCK = {&Milliseconds, &Counter, &Frequency};
};

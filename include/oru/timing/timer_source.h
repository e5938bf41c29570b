#pragma once

#include <oru/core/export.h>

#include <cstdint>

// A clock behind CTimer. Every source keeps its previous reading and answers
// the seconds that passed since then, so the timer's arithmetic is the same
// whichever clock it runs on. A source is used by one thread.
class ORU_API CTimerSource {
public:
    virtual ~CTimerSource();

    // Takes the reference reading. False when the clock cannot be used.
    virtual bool Start() = 0;
    // Seconds since the previous reading (or since Start); the new reading
    // becomes the reference.
    virtual float GetElapsed() = 0;
};

// The arithmetic of the two 32-bit millisecond clocks, which wrap after
// about 49.7 days. The difference of two readings is taken modulo 2^32, so a
// wrap between them still gives the right duration.
class ORU_API CMillisecondTimerSource : public CTimerSource {
public:
    bool Start() override;       // always true
    float GetElapsed() override;

protected:
    CMillisecondTimerSource();

private:
    uint32_t m_nCurrent;    // milliseconds
    uint32_t m_nPrevious;   // milliseconds
    float m_fLastResult;    // seconds
};

// The multimedia millisecond clock.
class ORU_API CMultimediaTimerSource : public CMillisecondTimerSource {
};

// The tick count: milliseconds since start-up.
class ORU_API CTickCountTimerSource : public CMillisecondTimerSource {
};

// The high-resolution counter and its frequency.
class ORU_API CPerformanceTimerSource : public CTimerSource {
public:
    CPerformanceTimerSource();
    bool Start() override;       // false when the counter's frequency is 0
    float GetElapsed() override;

private:
    int64_t m_nFrequency;   // counts per second
    int64_t m_nCurrent;     // counts
    int64_t m_nPrevious;    // counts
    float m_fLastResult;    // seconds
};

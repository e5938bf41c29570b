// The three clocks of CTimer. The millisecond sources differ only in which
// platform clock they name; on this platform both are the monotonic clock in
// milliseconds, truncated to 32 bits, so they share one implementation. The
// platform has no notion of a timer resolution request, so the 1-millisecond
// request that brackets a reading on other systems has no counterpart here.

#include <oru/timing/timer_source.h>

#include "platform/clock.h"

namespace {

// Milliseconds to seconds with the single-precision constant 0.001 and the
// product formed in double, as the timer has always computed it: 10 ms give
// 0.0100000007f, one bit above the float nearest to 0.01.
constexpr float SECONDS_PER_MILLISECOND = 0.001f;

float MillisecondsToSeconds(uint32_t milliseconds)
{
    return static_cast<float>(static_cast<double>(milliseconds) *
                              static_cast<double>(SECONDS_PER_MILLISECOND));
}

uint32_t ReadMilliseconds()
{
    return oru::platform::Clocks().Milliseconds();
}

}  // namespace

CTimerSource::~CTimerSource() = default;

CMillisecondTimerSource::CMillisecondTimerSource()
    : m_nCurrent(0), m_nPrevious(0), m_fLastResult(0.0f)
{
}

bool CMillisecondTimerSource::Start()
{
    m_nCurrent = ReadMilliseconds();
    m_nPrevious = ReadMilliseconds();
    return true;
}

// The unsigned subtraction makes a wrap of the 32-bit count harmless.
float CMillisecondTimerSource::GetElapsed()
{
    const uint32_t now = ReadMilliseconds();
    const uint32_t difference = now - m_nPrevious;
    m_nCurrent = now;
    m_nPrevious = now;
    m_fLastResult = MillisecondsToSeconds(difference);
    return m_fLastResult;
}

CPerformanceTimerSource::CPerformanceTimerSource()
    : m_nFrequency(0), m_nCurrent(0), m_nPrevious(0), m_fLastResult(0.0f)
{
}

bool CPerformanceTimerSource::Start()
{
    const oru::platform::IClocks& clocks = oru::platform::Clocks();
    m_nFrequency = clocks.Frequency();
    if (m_nFrequency == 0)
        return false;
    m_nCurrent = clocks.Counter();
    m_nPrevious = clocks.Counter();
    return true;
}

// A source whose Start failed has frequency 0; it answers 0 rather than
// dividing by it.
float CPerformanceTimerSource::GetElapsed()
{
    m_nCurrent = oru::platform::Clocks().Counter();
    const int64_t difference = m_nCurrent - m_nPrevious;
    m_nPrevious = m_nCurrent;
    m_fLastResult = m_nFrequency != 0 ? static_cast<float>(static_cast<double>(difference) /
                                                           static_cast<double>(m_nFrequency))
                                      : 0.0f;
    return m_fLastResult;
}

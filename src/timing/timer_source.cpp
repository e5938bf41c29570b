// The three clocks of CTimer. The millisecond sources differ only in which
// platform clock they name; on this platform both are the monotonic clock in
// milliseconds, truncated to 32 bits. The platform has no notion of a timer
// resolution request, so the 1-millisecond request that brackets a reading on
// other systems has no counterpart here.

#include <oru/timing/timer_source.h>

#include "timing/timing_clock.h"

namespace {

// Milliseconds to seconds with the single-precision constant 0.001 and the
// product formed in double, as the timer has always computed it: 32 ms give
// 0.032000002f, not the float nearest to 0.032.
constexpr float SECONDS_PER_MILLISECOND = 0.001f;

float MillisecondsToSeconds(uint32_t milliseconds)
{
    return static_cast<float>(static_cast<double>(milliseconds) *
                              static_cast<double>(SECONDS_PER_MILLISECOND));
}

uint32_t ReadMilliseconds()
{
    return oru::detail::TimingClock().m_pfnMilliseconds();
}

// One reading of a millisecond clock; the unsigned subtraction makes a wrap
// of the 32-bit count harmless.
float ElapsedMilliseconds(uint32_t& current, uint32_t& previous)
{
    const uint32_t now = ReadMilliseconds();
    const uint32_t difference = now - previous;
    current = now;
    previous = now;
    return MillisecondsToSeconds(difference);
}

}  // namespace

CTimerSource::~CTimerSource() = default;

CMultimediaTimerSource::CMultimediaTimerSource() : m_nCurrent(0), m_nPrevious(0), m_fLastResult(0.0f)
{
}

bool CMultimediaTimerSource::Start()
{
    m_nCurrent = ReadMilliseconds();
    m_nPrevious = ReadMilliseconds();
    return true;
}

float CMultimediaTimerSource::GetElapsed()
{
    m_fLastResult = ElapsedMilliseconds(m_nCurrent, m_nPrevious);
    return m_fLastResult;
}

CTickCountTimerSource::CTickCountTimerSource() : m_nCurrent(0), m_nPrevious(0), m_fLastResult(0.0f)
{
}

bool CTickCountTimerSource::Start()
{
    m_nCurrent = ReadMilliseconds();
    m_nPrevious = ReadMilliseconds();
    return true;
}

float CTickCountTimerSource::GetElapsed()
{
    m_fLastResult = ElapsedMilliseconds(m_nCurrent, m_nPrevious);
    return m_fLastResult;
}

CPerformanceTimerSource::CPerformanceTimerSource()
    : m_nFrequency(0), m_nCurrent(0), m_nPrevious(0), m_fLastResult(0.0f)
{
}

bool CPerformanceTimerSource::Start()
{
    const oru::detail::CTimingClock& clock = oru::detail::TimingClock();
    m_nFrequency = clock.m_pfnFrequency();
    if (m_nFrequency == 0)
        return false;
    m_nCurrent = clock.m_pfnCounter();
    m_nPrevious = clock.m_pfnCounter();
    return true;
}

// A source whose Start failed has frequency 0; it answers 0 rather than
// dividing by it.
float CPerformanceTimerSource::GetElapsed()
{
    m_nCurrent = oru::detail::TimingClock().m_pfnCounter();
    const int64_t difference = m_nCurrent - m_nPrevious;
    m_nPrevious = m_nCurrent;
    m_fLastResult = m_nFrequency != 0 ? static_cast<float>(static_cast<double>(difference) /
                                                           static_cast<double>(m_nFrequency))
                                      : 0.0f;
    return m_fLastResult;
}

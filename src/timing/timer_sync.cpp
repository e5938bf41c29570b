// Arithmetic of the synchroniser. Every field is a float, but each step is
// carried out in double on the float values: a field stores its new value
// rounded to float, while the comparisons and the sums, differences and
// divisions that follow within the same Update keep using the unrounded
// double. Only the frame time t of a due step is rounded before it is used.
// The rounding points decide the last bit of every result, and with it on
// which call a step falls due, so they stay exactly where they are.

#include <oru/timing/timer_sync.h>

#include <cmath>

namespace {

constexpr float FPS_WINDOW = 1.0f;               // seconds; also the upper bound of the cut
constexpr float LAG_LIMIT = 2.0f;                // seconds of lag that are forgiven
constexpr float LONGEST_STEP = 0.083333336f;     // 1/12 s
constexpr float DEFAULT_SEC_PER_FRAME = 0.016666668f;  // 60 steps per second
constexpr float MILLISECONDS_PER_SECOND = 1000.0f;

// `seconds` as whole milliseconds, rounded by `round`; 0 for no time or less,
// and at most UINT32_MAX.
uint32_t ToMilliseconds(double seconds, double (*round)(double))
{
    const double milliseconds = seconds * static_cast<double>(MILLISECONDS_PER_SECOND);
    if (!(milliseconds > 0.0))
        return 0;
    if (milliseconds >= 4294967295.0)
        return UINT32_MAX;
    return static_cast<uint32_t>(round(milliseconds));
}

double Sum(float field, float dt)
{
    return static_cast<double>(field) + static_cast<double>(dt);
}

}  // namespace

CTimerSync::CTimerSync()
{
    Clear();
}

void CTimerSync::Clear()
{
    m_fFps = 0.0f;
    m_fWindowTime = 0.0f;
    m_fStepCount = 0.0f;
    m_fLag = 0.0f;
    m_fCarry = 0.0f;
    m_fFrameTime = 0.0f;
    m_fSecPerFrame = DEFAULT_SEC_PER_FRAME;
    m_fRenderAccum = 0.0f;
    m_fRenderTime = 0.0f;
}

void CTimerSync::SetFps(int stepsPerSecond)
{
    if (stepsPerSecond <= 0)
        return;
    m_fSecPerFrame = static_cast<float>(1.0 / static_cast<double>(stepsPerSecond));
}

bool CTimerSync::Update(float dt)
{
    m_fRenderAccum = static_cast<float>(Sum(m_fRenderAccum, dt));

    const double lag = Sum(m_fLag, dt);
    m_fLag = static_cast<float>(lag);

    const double window = Sum(m_fWindowTime, dt);
    m_fWindowTime = static_cast<float>(window);
    if (window >= FPS_WINDOW) {
        m_fFps = static_cast<float>(static_cast<double>(m_fStepCount) / window);
        m_fStepCount = 0.0f;
        m_fWindowTime = 0.0f;
    }

    if (lag <= 0.0) {
        m_fCarry = static_cast<float>(Sum(m_fCarry, dt));
        return false;
    }

    // The step that is due now counts in the window that starts after a
    // window closed above.
    m_fStepCount = static_cast<float>(static_cast<double>(m_fStepCount) + 1.0);

    const float t = static_cast<float>(Sum(dt, m_fCarry));
    if (t > LONGEST_STEP && t <= FPS_WINDOW) {
        m_fFrameTime = LONGEST_STEP;
        m_fCarry = static_cast<float>(static_cast<double>(t) - static_cast<double>(LONGEST_STEP));
    } else {
        m_fFrameTime = t;
        m_fCarry = 0.0f;
    }

    const double newLag = lag - static_cast<double>(m_fSecPerFrame);
    m_fLag = newLag >= LAG_LIMIT ? 0.0f : static_cast<float>(newLag);
    return true;
}

bool CTimerSync::IsFrameSkip()
{
    if (m_fLag > 0.0f)
        return true;
    m_fRenderTime = m_fRenderAccum;
    m_fRenderAccum = 0.0f;
    return false;
}

// A frame that took the whole period or longer leaves nothing to sleep: the
// negative difference would otherwise wrap to about four billion
// milliseconds, and a loop that sleeps that long never wakes.
uint32_t CTimerSync::GetSleepTime() const
{
    return ToMilliseconds(static_cast<double>(m_fSecPerFrame) - static_cast<double>(m_fFrameTime),
                          std::trunc);
}

// The next Update is due once the time it accounts makes the lag positive:
// after more than -lag seconds. Rounding up lets a loop that sleeps this long
// find the step due when it wakes, instead of spinning for the last fraction
// of a millisecond.
uint32_t CTimerSync::GetTimeToNextStep() const
{
    return ToMilliseconds(-static_cast<double>(m_fLag), std::ceil);
}

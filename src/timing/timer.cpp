#include <oru/timing/timer.h>

#include <oru/timing/timer_source.h>

#include <new>

namespace {

constexpr float FPS_WINDOW = 1.0f;  // seconds

CTimerSource* CreateSource(eTimerType type)
{
    switch (type) {
    case TIMER_MULTIMEDIA:
        return new (std::nothrow) CMultimediaTimerSource;
    case TIMER_TICKCOUNT:
        return new (std::nothrow) CTickCountTimerSource;
    default:
        return new (std::nothrow) CPerformanceTimerSource;
    }
}

}  // namespace

CTimer::CTimer()
    : m_pSource(nullptr), m_fElapsedTime(0.0f), m_fFps(0.0f), m_fAccumulatedTime(0.0f),
      m_fFrameCount(0.0f)
{
}

CTimer::~CTimer()
{
    delete m_pSource;
}

bool CTimer::Init(eTimerType type)
{
    delete m_pSource;
    m_pSource = CreateSource(type);
    return m_pSource && m_pSource->Start();
}

void CTimer::Reset()
{
    if (m_pSource)
        m_pSource->Start();
}

// The sums are formed in double and stored as float; the window test and the
// rate use the sum before it is rounded to float, the way the frame-rate
// synchroniser treats its own sums.
void CTimer::Update()
{
    if (!m_pSource)
        return;

    m_fFrameCount = static_cast<float>(static_cast<double>(m_fFrameCount) + 1.0);
    m_fElapsedTime = m_pSource->GetElapsed();
    const double accumulated =
        static_cast<double>(m_fAccumulatedTime) + static_cast<double>(m_fElapsedTime);
    m_fAccumulatedTime = static_cast<float>(accumulated);
    if (accumulated >= FPS_WINDOW) {
        m_fFps = static_cast<float>(static_cast<double>(m_fFrameCount) / accumulated);
        m_fFrameCount = 0.0f;
        m_fAccumulatedTime = 0.0f;
    }
}

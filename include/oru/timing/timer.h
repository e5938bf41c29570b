#pragma once

#include <oru/core/export.h>
#include <oru/core/non_copyable.h>

class CTimerSource;

// The clock a CTimer runs on. Any value other than 1 and 2 selects the
// high-resolution counter.
enum eTimerType {
    TIMER_MULTIMEDIA = 1,   // the multimedia millisecond clock (32 bits, wraps)
    TIMER_TICKCOUNT = 2,    // the tick count (32-bit milliseconds, wraps)
    TIMER_PERFORMANCE = 3,  // the high-resolution counter
};

// Frame time and frame rate of a game loop. Each Update measures the time
// since the previous one (or since Init or Reset); the frame rate is measured
// over windows of at least one second and changes once per window, the frame
// that closes a window counting in it. Times are single-precision seconds.
// A timer is used by one thread.
//
//     CTimer timer;
//     timer.Init(TIMER_PERFORMANCE);
//     for (;;) { timer.Update(); Step(timer.GetElapsedTime()); }
//
// A timer owns its clock source and is not copyable: two timers never
// share one.
class ORU_API CTimer : private COruNonCopyable {
public:
    CTimer();
    ~CTimer();

    // Installs the clock for `type`, replacing any earlier one, and takes its
    // reference reading. False only when the high-resolution counter reports
    // no frequency; the timer then measures nothing until Init succeeds with
    // another type. The measurements made so far are kept.
    bool Init(eTimerType type);
    // Restarts the clock's reference reading, so the next Update measures
    // from here. Measurements are kept. Does nothing before Init.
    void Reset();
    // Measures one frame. Does nothing before Init.
    void Update();

    float GetElapsedTime() const { return m_fElapsedTime; }  // seconds, last Update
    float GetFps() const { return m_fFps; }  // last completed window; 0 before the first

private:
    CTimerSource* m_pSource;      // owned; null before Init
    float m_fElapsedTime;         // seconds
    float m_fFps;                 // frames per second
    float m_fAccumulatedTime;     // seconds since the last frame-rate window closed
    float m_fFrameCount;          // Updates since the last frame-rate window closed
};

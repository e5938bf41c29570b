#pragma once

#include <oru/core/export.h>

#include <cstdint>

// Paces a game loop to a target number of game steps per second. It reads no
// clock: the loop measures its own time (with CTimer, for example) and hands
// it to Update, which answers whether a game step is due. A due step
// simulates GetFrameTime() seconds: the whole time since the previous due
// step, with frames longer than 1/12 s cut to 1/12 s and the rest carried to
// the next step (a single frame over one second is passed on whole). A lag of
// two seconds or more is forgiven at once.
//
//     if (sync.Update(timer.GetElapsedTime())) Simulate(sync.GetFrameTime());
//     if (!sync.IsFrameSkip()) Render();
//     Sleep(sync.GetTimeToNextStep());
//
// Sleep by GetTimeToNextStep, not GetSleepTime: once the loop keeps pace, a
// due step's frame time is about one period and GetSleepTime about 0.
//
// All arithmetic is single precision as stored, so a given sequence of frame
// times gives the same steps on every machine. A plain value; one thread.
class ORU_API CTimerSync {
public:
    CTimerSync();

    // Back to the constructed state: every field 0 and 60 steps per second
    // (a rate set by SetFps is lost).
    void Clear();
    // Sets the target to `stepsPerSecond`; a rate of 0 or less is refused and
    // the current rate kept.
    void SetFps(int stepsPerSecond);
    // Accounts `dt` seconds of the loop; true when a game step is due.
    bool Update(float dt);
    // True while the loop is behind (the caller skips rendering). Otherwise
    // closes a render interval: GetRenderTime becomes the time since the
    // previous closed interval, and the answer is false.
    bool IsFrameSkip();

    float GetFrameTime() const { return m_fFrameTime; }         // seconds the due step simulates
    void SetFrameTime(float seconds) { m_fFrameTime = seconds; }
    float GetFps() const { return m_fFps; }                     // due steps per second, last window
    float GetSecPerFrame() const { return m_fSecPerFrame; }     // the frame period
    float GetRenderTime() const { return m_fRenderTime; }       // seconds, last closed render interval
    // Whole milliseconds left in the frame period after the frame time;
    // 0 when the frame took the whole period or longer.
    uint32_t GetSleepTime() const;
    // Whole milliseconds, rounded up, until the next Update is due when the
    // loop does nothing else: what a loop sleeps between frames. 0 when a
    // step is due now (the loop is behind).
    uint32_t GetTimeToNextStep() const;

private:
    float m_fFps;             // due steps per second, from the last closed window
    float m_fWindowTime;      // seconds summed in the current one-second window
    float m_fStepCount;       // due steps in the current window
    float m_fLag;             // seconds owed to the game
    float m_fCarry;           // seconds added to the next due step's frame time
    float m_fFrameTime;       // seconds the last due step simulates
    float m_fSecPerFrame;     // the frame period
    float m_fRenderAccum;     // seconds since the last closed render interval
    float m_fRenderTime;      // the last closed render interval
};

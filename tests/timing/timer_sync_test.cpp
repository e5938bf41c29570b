#include <oru/timing/timer_sync.h>

#include <gtest/gtest.h>

#include <initializer_list>

// The expected values are exact floats: the synchroniser's results must match
// to the last bit, so every comparison here is EXPECT_EQ.

namespace {

// One Update: the time passed to it, whether a step is due, and the frame
// time afterwards.
struct CStep {
    float m_fElapsed;
    bool m_bDue;
    float m_fFrameTime;
};

void ExpectSteps(CTimerSync& sync, std::initializer_list<CStep> steps)
{
    int n = 0;
    for (const CStep& step : steps) {
        ++n;
        EXPECT_EQ(sync.Update(step.m_fElapsed), step.m_bDue) << "update " << n;
        EXPECT_EQ(sync.GetFrameTime(), step.m_fFrameTime) << "update " << n;
    }
}

// After the fourth update the lag is about -0.0133: the fifth and sixth
// updates are still early and the seventh is due.
TEST(TimerSync, ALoopFasterThanTheRateGathersItsShortFramesIntoOneStep)
{
    CTimerSync sync;
    ExpectSteps(sync, {{0.005f, true, 0.005f},
                       {0.005f, false, 0.005f},
                       {0.005f, false, 0.005f},
                       {0.005f, true, 0.015f},
                       {0.005f, false, 0.015f},
                       {0.005f, false, 0.015f},
                       {0.005f, true, 0.015f}});
}

TEST(TimerSync, ALongFrameIsCutToOneTwelfthAndTheRestCarried)
{
    CTimerSync sync;
    ExpectSteps(sync, {{0.1f, true, 0.083333336f}});
    EXPECT_TRUE(sync.IsFrameSkip());  // lag 0.083333336 is still owed

    // 0.1 + the carried 0.016666666, cut again; then a due step of no time
    // of its own simulates exactly the carry.
    ExpectSteps(sync, {{0.1f, true, 0.083333336f}, {0.0f, true, 0.0333333313f}});
}

TEST(TimerSync, TheFirstCarryIsOneSixtiethToTheBit)
{
    CTimerSync sync;
    ExpectSteps(sync, {{0.1f, true, 0.083333336f}, {0.0f, true, 0.0166666657f}});
}

TEST(TimerSync, AFrameOverOneSecondIsPassedOnWholeAndALagOfTwoSecondsForgiven)
{
    CTimerSync slow;
    ExpectSteps(slow, {{1.5f, true, 1.5f}});
    EXPECT_TRUE(slow.IsFrameSkip());  // about 1.4833 s of lag kept
    ExpectSteps(slow, {{0.0f, true, 0.0f}});  // nothing was carried

    CTimerSync stalled;
    ExpectSteps(stalled, {{3.0f, true, 3.0f}});
    EXPECT_FALSE(stalled.IsFrameSkip());
    EXPECT_EQ(stalled.GetRenderTime(), 3.0f);
}

TEST(TimerSync, RenderTimeIsTheTimeBetweenRenderedFrames)
{
    CTimerSync sync;
    sync.Update(0.005f);
    EXPECT_FALSE(sync.IsFrameSkip());
    EXPECT_EQ(sync.GetRenderTime(), 0.005f);
    sync.Update(0.005f);
    sync.Update(0.005f);
    EXPECT_FALSE(sync.IsFrameSkip());
    EXPECT_EQ(sync.GetRenderTime(), 0.00999999978f);
}

TEST(TimerSync, TheUpdateThatClosesAWindowCountsInTheNextOne)
{
    CTimerSync sync;
    sync.SetFps(4);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(sync.Update(0.25f));
    EXPECT_EQ(sync.GetFps(), 0.0f);
    EXPECT_TRUE(sync.Update(0.25f));
    EXPECT_EQ(sync.GetFps(), 3.0f);  // the three steps before it
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(sync.Update(0.25f));
    EXPECT_EQ(sync.GetFps(), 4.0f);
}

TEST(TimerSync, SleepTimeTruncatesTheSinglePrecisionDifference)
{
    CTimerSync sync;
    EXPECT_EQ(sync.GetSecPerFrame(), 0.016666668f);
    EXPECT_EQ(sync.GetSleepTime(), 16u);
    sync.SetFrameTime(0.01f);
    EXPECT_EQ(sync.GetSleepTime(), 6u);

    sync.SetFps(50);
    sync.SetFrameTime(0.005f);
    EXPECT_EQ(sync.GetSleepTime(), 14u);  // 14.9999997 before truncation
}

TEST(TimerSync, AFrameLongerThanThePeriodLeavesNoSleep)
{
    CTimerSync sync;
    sync.SetFrameTime(0.05f);
    EXPECT_EQ(sync.GetSleepTime(), 0u);
    sync.SetFrameTime(0.016666668f);
    EXPECT_EQ(sync.GetSleepTime(), 0u);
    sync.SetFrameTime(-1.0e30f);
    EXPECT_EQ(sync.GetSleepTime(), UINT32_MAX);
}

TEST(TimerSync, ARateOfZeroOrLessKeepsTheCurrentRate)
{
    CTimerSync sync;
    sync.SetFps(30);
    sync.SetFps(0);
    sync.SetFps(-5);
    EXPECT_EQ(sync.GetSecPerFrame(), 0.0333333351f);
}

TEST(TimerSync, ClearRestoresSixtyStepsPerSecond)
{
    CTimerSync sync;
    sync.SetFps(30);
    sync.Update(0.5f);
    sync.Clear();
    EXPECT_EQ(sync.GetSecPerFrame(), 0.016666668f);
    EXPECT_EQ(sync.GetFrameTime(), 0.0f);
    EXPECT_FALSE(sync.IsFrameSkip());
    EXPECT_EQ(sync.GetRenderTime(), 0.0f);
    ExpectSteps(sync, {{0.005f, true, 0.005f}});  // no lag or carry survived
}

}  // namespace

TEST(TimerSync, TimeToNextStepIsTheLagOwedRoundedUp)
{
    CTimerSync sync;
    EXPECT_EQ(sync.GetTimeToNextStep(), 0u);  // a new loop's first update is due
    EXPECT_TRUE(sync.Update(0.005f));
    EXPECT_EQ(sync.GetTimeToNextStep(), 12u);  // lag -0.011666668
    EXPECT_FALSE(sync.Update(0.011f));
    EXPECT_EQ(sync.GetTimeToNextStep(), 1u);  // 0.000666668 left
    EXPECT_TRUE(sync.Update(0.1f));
    EXPECT_EQ(sync.GetTimeToNextStep(), 0u);  // behind: the next update is due at once
}

// A loop that works 1 ms a frame and sleeps what the synchroniser says: one
// simulated second holds about one frame per step, and every step is due on
// the update after a sleep.
TEST(TimerSync, ALoopThatSleepsTheTimeToNextStepRunsOneFramePerStep)
{
    CTimerSync sync;
    int frames = 0;
    int steps = 0;
    float elapsed = 0.0f;
    for (double now = 0.0; now < 1.0; ++frames) {
        if (sync.Update(elapsed))
            ++steps;
        const double sleep = sync.GetTimeToNextStep() / 1000.0;
        elapsed = static_cast<float>(0.001 + sleep);
        now += 0.001 + sleep;
    }
    EXPECT_GE(steps, 58);
    EXPECT_LE(steps, 61);
    EXPECT_LE(frames, steps + 2);
}

#include <oru/timing/timer.h>
#include <oru/timing/timer_source.h>

#include "support/fake_clock.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

// A timer started on the clock of the parameter.
class TimerOnEachClock : public ::testing::TestWithParam<eTimerType> {
protected:
    void SetUp() override { ASSERT_TRUE(m_Timer.Init(GetParam())); }

    // Moves the clock the timer runs on by `seconds` (a multiple of 1 ms).
    void Advance(double seconds)
    {
        if (GetParam() == TIMER_PERFORMANCE)
            m_Clock.AdvanceCounter(static_cast<int64_t>(seconds * 1000000.0 + 0.5));
        else
            m_Clock.AdvanceMilliseconds(static_cast<uint32_t>(seconds * 1000.0 + 0.5));
    }
    // One frame of `seconds`, measured.
    void Frame(double seconds)
    {
        Advance(seconds);
        m_Timer.Update();
    }

    oru::test::CFakeClock m_Clock;  // before the timer, which reads it from Init on
    CTimer m_Timer;
};

TEST_P(TimerOnEachClock, MeasuresTheRateOverAWindowOfOneSecond)
{
    for (int i = 0; i < 3; ++i) {
        Frame(0.25);
        EXPECT_EQ(m_Timer.GetElapsedTime(), 0.25f);
        EXPECT_EQ(m_Timer.GetFps(), 0.0f) << "window closed early at update " << i + 1;
    }
    Frame(0.25);
    EXPECT_EQ(m_Timer.GetFps(), 4.0f);

    // A new window started with that update: the rate holds until it closes.
    Frame(0.5);
    EXPECT_EQ(m_Timer.GetFps(), 4.0f);
    Frame(0.5);
    EXPECT_EQ(m_Timer.GetFps(), 2.0f);
}

TEST_P(TimerOnEachClock, AWindowThatRunsPastOneSecondCountsItsLastFrame)
{
    for (int i = 0; i < 3; ++i)
        Frame(0.3);
    EXPECT_EQ(m_Timer.GetFps(), 0.0f);
    Frame(0.3);
    EXPECT_FLOAT_EQ(m_Timer.GetFps(), 4.0f / 1.2f);
}

TEST_P(TimerOnEachClock, ResetMeasuresFromTheReset)
{
    Advance(0.5);
    m_Timer.Reset();
    Frame(0.25);
    EXPECT_EQ(m_Timer.GetElapsedTime(), 0.25f);
}

TEST_P(TimerOnEachClock, TwoUpdatesWithoutTimePassingMeasureNothing)
{
    Frame(0.25);
    Frame(0.0);
    EXPECT_EQ(m_Timer.GetElapsedTime(), 0.0f);
    EXPECT_EQ(m_Timer.GetFps(), 0.0f);
}

INSTANTIATE_TEST_SUITE_P(Clocks, TimerOnEachClock,
                         ::testing::Values(TIMER_MULTIMEDIA, TIMER_TICKCOUNT, TIMER_PERFORMANCE));

TEST(MillisecondTimer, AWrapOfTheClockStillGivesThePositiveDifference)
{
    oru::test::CFakeClock clock;
    for (eTimerType type : {TIMER_MULTIMEDIA, TIMER_TICKCOUNT}) {
        clock.SetMilliseconds(UINT32_MAX - 15);  // 16 ms before the wrap
        CTimer timer;
        ASSERT_TRUE(timer.Init(type));
        clock.SetMilliseconds(16);               // 16 ms after it
        timer.Update();
        EXPECT_EQ(timer.GetElapsedTime(), 0.032f) << "type " << type;
    }
}

TEST(MillisecondTimer, ConvertsWithTheSinglePrecisionConstant)
{
    oru::test::CFakeClock clock;
    CTickCountTimerSource source;
    source.Start();
    // 10 x 0.001f in double is 0.0100000007f, one bit above the float
    // nearest to 0.01: the product is not a division by 1000.
    clock.AdvanceMilliseconds(10);
    EXPECT_EQ(source.GetElapsed(), 0.0100000007f);
}

TEST(PerformanceTimer, FailsToStartWithoutAFrequency)
{
    oru::test::CFakeClock clock;
    clock.SetFrequency(0);
    CTimer timer;
    EXPECT_FALSE(timer.Init(TIMER_PERFORMANCE));
    clock.AdvanceCounter(1000);
    timer.Update();
    EXPECT_EQ(timer.GetElapsedTime(), 0.0f);
    EXPECT_TRUE(timer.Init(TIMER_TICKCOUNT));
}

TEST(Timer, AnyTypeOtherThanTheMillisecondClocksSelectsTheCounter)
{
    oru::test::CFakeClock clock;
    for (int type : {0, 3, 7, -1}) {
        CTimer timer;
        ASSERT_TRUE(timer.Init(static_cast<eTimerType>(type)));
        clock.AdvanceMilliseconds(500);
        clock.AdvanceCounter(250000);
        timer.Update();
        EXPECT_EQ(timer.GetElapsedTime(), 0.25f) << "type " << type;
    }
}

TEST(Timer, ChangingTheClockKeepsTheMeasurements)
{
    oru::test::CFakeClock clock;
    CTimer timer;
    ASSERT_TRUE(timer.Init(TIMER_PERFORMANCE));
    for (int i = 0; i < 2; ++i) {
        clock.AdvanceCounter(250000);
        timer.Update();
    }
    ASSERT_TRUE(timer.Init(TIMER_MULTIMEDIA));
    for (int i = 0; i < 2; ++i) {
        clock.AdvanceMilliseconds(250);
        timer.Update();
    }
    EXPECT_EQ(timer.GetFps(), 4.0f);
}

TEST(Timer, UpdateAndResetBeforeInitDoNothing)
{
    CTimer timer;
    timer.Reset();
    timer.Update();
    EXPECT_EQ(timer.GetElapsedTime(), 0.0f);
    EXPECT_EQ(timer.GetFps(), 0.0f);
}

}  // namespace

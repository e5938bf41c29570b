#include <oru/log/log_system.h>

#include "log/log_test_support.h"

#include <gtest/gtest.h>

using oru::test::CDebugChannelTail;
using oru::test::CFakeClock;

TEST(LogOutputs, ConsoleWritesEachLineToStandardOutputAndTheDebugChannel)
{
    CFakeClock clock({2026, 12, 6, 9, 5, 1});
    CDebugChannelTail debug;
    testing::internal::CaptureStdout();
    {
        CLogSystem log;
        ASSERT_TRUE(log.Init(LOG_MODE_CONSOLE, 5, L"", L"", true, false));
        log.Log(1, L"caf\u00e9 %d", 1);
        log.Log(6, L"filtered");
        log.Log(5, L"two\nlines");
    }
    const std::string lines = "Lv1_[09:05:01] : caf\xc3\xa9 1\nLv5_[09:05:01] : two\nlines\n";
    EXPECT_EQ(testing::internal::GetCapturedStdout(), lines);
    EXPECT_EQ(debug.Text(), lines);
}

TEST(LogOutputs, DebugLogAndTheFreeFunctionsWriteTheDebugChannel)
{
    CFakeClock clock({2026, 12, 6, 9, 5, 1});
    CDebugChannelTail debug;
    CLogSystem log;
    ASSERT_TRUE(log.Init(LOG_MODE_DEBUG, 5, L"", L"", true, false));
    log.Log(0, L"line");
    OutputDebug(L"value %d%%", 42);
    OruTrace(L"trace");
    OruTrace(nullptr);
    EXPECT_EQ(debug.Text(), "Lv0_[09:05:01] : line\nvalue 42%\ntrace\r\n");
}

TEST(LogOutputs, AValueThatIsNoCharacterDoesNotLoseTheLine)
{
    CFakeClock clock({2026, 12, 6, 9, 5, 1});
    CDebugChannelTail debug;
    CLogSystem log;
    ASSERT_TRUE(log.Init(LOG_MODE_DEBUG, 5, L"", L"", true, false));
    const wchar_t text[] = {L'a', static_cast<wchar_t>(0xD800), L'b', 0};
    log.Log(0, L"%ls", text);
    EXPECT_EQ(debug.Text(), "Lv0_[09:05:01] : a\xef\xbf\xbd" "b\n");
}

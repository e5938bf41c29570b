#include <oru/log/log_folder.h>
#include <oru/log/log_system.h>

#include "log/log_test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <list>
#include <string>

using oru::test::CFakeClock;

namespace {

// A debug-channel log with history, the simplest log whose lines can be read.
struct CHistoryLog {
    explicit CHistoryLog(int level) { m_Log.Init(LOG_MODE_DEBUG, level, L"", L"", true, true); }
    std::list<std::wstring> Take()
    {
        std::list<std::wstring> lines;
        m_Log.GetLogHistory(lines);
        return lines;
    }
    CLogSystem m_Log;
};

}  // namespace

TEST(LogSystem, PassesLinesUpToItsLevelAndNegativeLevelsAlways)
{
    CFakeClock clock({2026, 12, 6, 9, 5, 1});
    CHistoryLog log(5);
    for (int level = -3; level <= 7; ++level)
        log.m_Log.Log(level, L"%d", level);
    std::list<std::wstring> expected;
    for (int level = -3; level <= 5; ++level)
        expected.push_back(L"Lv" + std::to_wstring(level) + L"_[09:05:01] : " +
                           std::to_wstring(level));
    EXPECT_EQ(log.Take(), expected);

    log.m_Log.SetLevel(-1);  // SetLevel takes any value
    log.m_Log.Log(0, L"zero");
    log.m_Log.Log(-1, L"minus one");
    EXPECT_EQ(log.Take(), std::list<std::wstring>{L"Lv-1_[09:05:01] : minus one"});
}

TEST(LogSystem, AcceptsNothingUntilInitialisedOrWhenDisabled)
{
    CLogSystem never;
    never.Log(0, L"dropped");
    never.LogError(0, L"no error is raised");
    EXPECT_STREQ(never.GetLastLog(), L"");

    CLogSystem disabled;
    testing::internal::CaptureStderr();
    EXPECT_TRUE(disabled.Init(LOG_MODE_DEBUG, 42, L"", L"", false, true));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // no message for a disabled log
    disabled.Log(0, L"dropped");
    disabled.LogError(-5, L"no error is raised");
    std::list<std::wstring> lines{L"old content"};
    disabled.GetLogHistory(lines);
    EXPECT_TRUE(lines.empty());
    EXPECT_STREQ(disabled.GetLastLog(), L"");

    CLogSystem unknownMode;  // a mode outside the table has no output
    EXPECT_TRUE(unknownMode.Init(static_cast<eLogMode>(7), 9, L"", L"", true, true));
    unknownMode.LogError(0, L"no error is raised");
    EXPECT_STREQ(unknownMode.GetLastLog(), L"");
}

TEST(LogSystem, InitWithALevelOutOfRangeWarnsAndUsesNine)
{
    for (const int level : {10, -1, 1000}) {
        CLogSystem log;
        testing::internal::CaptureStderr();
        EXPECT_TRUE(log.Init(LOG_MODE_DEBUG, level, L"", L"", true, true));
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "CLogSystem::Init(): log-system setting level is invalid.\n")
            << "level " << level;
        log.Log(9, L"nine");
        log.Log(10, L"ten");
        std::list<std::wstring> lines;
        log.GetLogHistory(lines);
        ASSERT_EQ(lines.size(), 1u) << "level " << level;
        EXPECT_EQ(lines.front().substr(0, 4), L"Lv9_");
    }
}

TEST(LogSystem, BuildsThePrefixAndKeepsPercentSigns)
{
    CFakeClock clock({2026, 12, 6, 9, 5, 1});
    CHistoryLog log(9);
    log.m_Log.Log(3, L"%ls", L"x");
    EXPECT_STREQ(log.m_Log.GetLastLog(), L"Lv3_[09:05:01] : x");
    EXPECT_EQ(std::wcslen(log.m_Log.GetLastLog()), 18u);

    clock.SetLocalTime({2026, 12, 6, 23, 0, 59});
    log.m_Log.Log(1, L"%ls", L"100%d %s %n");
    EXPECT_STREQ(log.m_Log.GetLastLog(), L"Lv1_[23:00:59] : 100%d %s %n");
    OruSafeLog(&log.m_Log, 2, L"50%% of %ls", L"%x");
    EXPECT_STREQ(log.m_Log.GetLastLog(), L"Lv2_[23:00:59] : 50% of %x");
    OruSafeLog(&log.m_Log, 2, L"narrow %s", "caf\xc3\xa9");  // %s reads UTF-8
    EXPECT_STREQ(log.m_Log.GetLastLog(), L"Lv2_[23:00:59] : narrow caf\u00e9");
}

TEST(LogSystem, CutsMessagesAndLinesAt511Characters)
{
    CFakeClock clock({2026, 12, 6, 9, 5, 1});
    CHistoryLog log(9);
    const std::wstring longText(2000, L'a');
    const std::wstring prefix = L"Lv1_[09:05:01] : ";

    log.m_Log.Log(1, L"%ls", longText.c_str());
    OruSafeLog(&log.m_Log, 1, L"%ls", longText.c_str());
    log.m_Log.Log(1, longText.c_str());  // the format itself too long
    for (const std::wstring& line : log.Take()) {
        ASSERT_EQ(line.size(), 511u);
        EXPECT_EQ(line, prefix + std::wstring(511 - prefix.size(), L'a'));
    }

    // A level with many digits lengthens the prefix; the line still stops at 511.
    log.m_Log.SetLevel(2147483647);
    log.m_Log.Log(-2147483647 - 1, L"%ls", longText.c_str());
    const std::wstring line = log.m_Log.GetLastLog();
    EXPECT_EQ(line.size(), 511u);
    EXPECT_EQ(line.substr(0, 29), L"Lv-2147483648_[09:05:01] : aa");
}

TEST(LogSystem, HandsOverTheHistoryOnceOldestFirst)
{
    CHistoryLog log(9);
    log.m_Log.Log(1, L"one");
    log.m_Log.Log(1, L"two");
    log.m_Log.Log(1, L"three");
    std::list<std::wstring> lines{L"replaced"};
    log.m_Log.GetLogHistory(lines);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(lines.front().ends_with(L" : one"));
    EXPECT_TRUE(lines.back().ends_with(L" : three"));
    EXPECT_TRUE(log.Take().empty());

    CLogSystem noHistory;
    noHistory.Init(LOG_MODE_DEBUG, 9, L"", L"", true, false);
    noHistory.Log(1, L"not kept");
    std::list<std::wstring> none;
    noHistory.GetLogHistory(none);
    EXPECT_TRUE(none.empty());
    EXPECT_TRUE(std::wstring(noHistory.GetLastLog()).ends_with(L" : not kept"));
}

TEST(LogSystem, SafeLogWithANullLogDoesNothing)
{
    OruSafeLog(nullptr, 0, L"%ls", L"nothing");
    OruSafeLogError(nullptr, 0, L"%ls", L"no error is raised");
    CHistoryLog log(3);
    OruSafeLog(&log.m_Log, 4, L"filtered");
    OruSafeLogError(&log.m_Log, 4, L"filtered, so no error");
    EXPECT_TRUE(log.Take().empty());
}

using LogSystemDeathTest = testing::Test;

// The crash report of a general error with `message`, whatever comes between
// its heading and its message. (A matcher: the regular expressions death
// tests take on Windows have no alternation.)
testing::Matcher<const std::string&> GeneralErrorWithMessage(const std::string& message)
{
    return testing::AllOf(testing::HasSubstr("General Error!"), testing::HasSubstr("Message : " + message));
}

TEST_F(LogSystemDeathTest, LogErrorRaisesTheGeneralErrorWithTheLineAsMessage)
{
    testing::GTEST_FLAG(death_test_style) = "threadsafe";
    const auto logError = [] {
        CFakeClock clock({2026, 12, 6, 9, 5, 1});
        CHistoryLog log(5);
        log.m_Log.LogError(1, L"broken %d%%s", 7);
    };
    EXPECT_DEATH(logError(), GeneralErrorWithMessage("Lv1_[09:05:01] : broken 7%s"));

    const auto safeLogError = [] {
        CFakeClock clock({2026, 12, 6, 9, 5, 1});
        CHistoryLog log(5);
        OruSafeLogError(&log.m_Log, 5, L"%ls", L"100%d");
    };
    EXPECT_DEATH(safeLogError(), GeneralErrorWithMessage("Lv5_[09:05:01] : 100%d"));
}

// The log folder is the one set, made on first use; a bad one is refused and
// changes nothing.
TEST(LogFolder, IsTheOneSetAndMadeWhenFirstUsed)
{
    EXPECT_EQ(OruGetLogFolder(), L"./oru_log");
    ASSERT_TRUE(OruSetLogFolder(L"game/logs"));
    EXPECT_FALSE(std::filesystem::exists("game/logs"));
    EXPECT_EQ(OruGetLogFolder(), L"game/logs");
    EXPECT_TRUE(std::filesystem::is_directory("game/logs"));
    EXPECT_FALSE(OruSetLogFolder(nullptr));
    EXPECT_FALSE(OruSetLogFolder(L""));
    EXPECT_FALSE(OruSetLogFolder(std::wstring(5000, L'a').c_str()));
    EXPECT_EQ(OruGetLogFolder(), L"game/logs");
    ASSERT_TRUE(OruSetLogFolder(L"./oru_log"));
}

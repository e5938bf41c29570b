#include <oru/log/log_system.h>

#include "log/core_log.h"
#include "log/log_outputs.h"
#include "log/log_test_support.h"
#include "support/system.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>


#include <atomic>
#include <cstdio>
#include <cwchar>
#include <list>
#include <string>
#include <filesystem>
#include <thread>
#include <vector>

using oru::test::CFakeClock;
using oru::test::Slurp;

namespace {

const std::string RULE =
    "+-----------------------------------------------------------------------------+\r\n";
const std::string START_BANNER =
    RULE + "| LOG START...                                                                |\r\n" + RULE;
const std::string END_BANNER =
    RULE + "| LOG END...                                                                  |\r\n" + RULE +
    "\r\n";

class FileLog : public testing::Test {
protected:
    void SetUp() override { oru::test::RemoveTree(DIR); }
    void TearDown() override { oru::test::RemoveTree(DIR); }

    static constexpr const char* DIR = "file_log_test";
    static constexpr const wchar_t* WDIR = L"file_log_test";
};

}  // namespace

TEST_F(FileLog, WritesBannersAndCrLfLinesAndAppendsASecondRun)
{
    CFakeClock clock({2026, 12, 6, 9, 5, 1});
    const std::string run = START_BANNER + "Lv2_[09:05:01] : first\r\nsecond\r\n" +
                            "Lv0_[09:05:01] : 100%\r\n" + END_BANNER;
    for (int i = 0; i < 2; ++i) {
        CLogSystem log;
        ASSERT_TRUE(log.Init(LOG_MODE_FILE, 2, WDIR, L"Game", true, false));
        log.Log(2, L"first\nsecond");
        log.Log(3, L"filtered");
        OruSafeLog(&log, 0, L"%d%%", 100);
    }
    EXPECT_EQ(Slurp(std::string(DIR) + "/Game_2026-12-06.txt"), run + run);
}

TEST_F(FileLog, StartsANewFileWithoutBannersWhenTheDateChanges)
{
    CFakeClock clock({2026, 12, 31, 23, 59, 59});
    {
        CLogSystem log;
        ASSERT_TRUE(log.Init(LOG_MODE_FILE, 5, WDIR, L"Game", true, false));
        log.Log(1, L"old year");
        clock.SetLocalTime({2027, 1, 1, 0, 0, 0});
        log.Log(1, L"new year");
        log.Log(1, L"again");
    }
    EXPECT_EQ(Slurp(std::string(DIR) + "/Game_2026-12-31.txt"),
              START_BANNER + "Lv1_[23:59:59] : old year\r\n");
    EXPECT_EQ(Slurp(std::string(DIR) + "/Game_2027-01-01.txt"),
              "Lv1_[00:00:00] : new year\r\nLv1_[00:00:00] : again\r\n" + END_BANNER);
}

TEST_F(FileLog, KeepsWholeLinesThatNeedMoreThanAConversionRingBuffer)
{
    CFakeClock clock({2026, 12, 6, 9, 5, 1});
    const std::wstring korean(600, L'\uD55C');  // three bytes each in UTF-8
    std::wstring line;
    {
        CLogSystem log;
        ASSERT_TRUE(log.Init(LOG_MODE_FILE, 5, WDIR, L"Wide", true, false));
        log.Log(1, L"%ls", korean.c_str());
        line = log.GetLastLog();
    }
    // 511 characters: the 17 of the prefix and 494 of U+D55C, three bytes each.
    ASSERT_EQ(line, L"Lv1_[09:05:01] : " + std::wstring(494, L'\uD55C'));
    std::string expectedLine = "Lv1_[09:05:01] : ";
    for (int i = 0; i < 494; ++i)
        expectedLine += "\xED\x95\x9C";
    expectedLine += "\r\n";
    EXPECT_EQ(Slurp(std::string(DIR) + "/Wide_2026-12-06.txt"),
              START_BANNER + expectedLine + END_BANNER);
}

TEST_F(FileLog, WritesLinesLongerThanALogMakesWhenGivenThemDirectly)
{
    // A log's own lines stay within a fixed buffer; an output called directly
    // may get more, and still writes all of it.
    std::wstring line;
    for (int i = 0; i < 300; ++i)
        line += L"0123456789\n";
    std::string expected = START_BANNER;
    for (int i = 0; i < 300; ++i)
        expected += "0123456789\r\n";
    expected += "\r\n" + END_BANNER;
    {
        CFileLog output;
        ASSERT_TRUE(output.Open(WDIR, L"Direct", {2026, 12, 6}));
        output.Write({2026, 12, 6}, line.c_str());
    }
    EXPECT_EQ(Slurp(std::string(DIR) + "/Direct_2026-12-06.txt"), expected);
}

TEST_F(FileLog, WithoutItsFolderWarnsOnceAndStillFeedsDebugAndHistory)
{
    CFakeClock clock({2026, 12, 6, 9, 5, 1});
    oru::test::CDebugChannelTail debug;
    CLogSystem log;
    testing::internal::CaptureStderr();
    // One level of folder is created at most, so a missing parent fails.
    EXPECT_TRUE(log.Init(LOG_MODE_FILE, 5, L"file_log_test/missing/deeper", L"Game", true, true));
    log.Log(1, L"one");
    log.Log(2, L"two");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "CFileLog::SetWriteFile(): create file log path directory is failed.\n");
    EXPECT_EQ(debug.Text(), "Lv1_[09:05:01] : one\nLv2_[09:05:01] : two\n");
    std::list<std::wstring> lines;
    log.GetLogHistory(lines);
    EXPECT_EQ(lines.size(), 2u);
    EXPECT_FALSE(oru::test::FileExists("file_log_test/missing"));
}

// A FIFO where the day's file belongs has no reader: the log treats it as a
// file it cannot open, rather than wait for a reader that never comes.
TEST_F(FileLog, AFifoInPlaceOfTheFileIsRefusedWithoutWaiting)
{
    CFakeClock clock({2026, 12, 6, 9, 5, 1});
    std::filesystem::create_directory(DIR);
    ORU_TEST_REQUIRES(oru::test::eTestFeature::FIFOS);
    ASSERT_TRUE(oru::test::MakeFifo(std::string(DIR) + "/Game_2026-12-06.txt"));
    CLogSystem log;
    testing::internal::CaptureStderr();
    EXPECT_TRUE(log.Init(LOG_MODE_FILE, 5, WDIR, L"Game", true, false));
    log.Log(1, L"to the debug channel only");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "CFileLog::SetWriteFile(): create file log path directory is failed.\n");
}

TEST_F(FileLog, ASecondInitClosesTheFirstOutput)
{
    CFakeClock clock({2026, 12, 6, 9, 5, 1});
    CLogSystem log;
    ASSERT_TRUE(log.Init(LOG_MODE_FILE, 5, WDIR, L"First", true, false));
    ASSERT_TRUE(log.Init(LOG_MODE_FILE, 5, WDIR, L"Second", true, false));
    log.Log(1, L"to the second");
    EXPECT_EQ(Slurp(std::string(DIR) + "/First_2026-12-06.txt"),
              START_BANNER + END_BANNER);
    EXPECT_EQ(Slurp(std::string(DIR) + "/Second_2026-12-06.txt"),
              START_BANNER + "Lv1_[09:05:01] : to the second\r\n");
}

TEST_F(FileLog, LinesFromEightThreadsAreWholeAndInLockOrder)
{
    constexpr int THREADS = 8;
    constexpr int LINES = 200;
    CFakeClock clock({2026, 12, 6, 9, 5, 1});
    std::list<std::wstring> history;
    {
        CLogSystem log;
        ASSERT_TRUE(log.Init(LOG_MODE_FILE, 5, WDIR, L"Threads", true, true));
        std::vector<std::thread> threads;
        for (int t = 0; t < THREADS; ++t)
            threads.emplace_back([&log, t] {
                for (int i = 0; i < LINES; ++i)
                    log.Log(1, L"thread %d line %03d %ls", t, i, L"with a tail of some length");
            });
        for (std::thread& thread : threads)
            thread.join();
        log.GetLogHistory(history);
    }
    ASSERT_EQ(history.size(), static_cast<size_t>(THREADS * LINES));

    // The file holds exactly the history, in its order; each thread's lines
    // come in the order the thread logged them.
    std::string expected = START_BANNER;
    std::vector<int> next(THREADS, 0);
    for (const std::wstring& line : history) {
        int t = -1, i = -1;
        ASSERT_EQ(swscanf(line.c_str() + 17, L"thread %d line %d", &t, &i), 2) << line.size();
        ASSERT_TRUE(t >= 0 && t < THREADS);
        EXPECT_EQ(i, next[t]++);
        char bytes[80];
        snprintf(bytes, sizeof bytes,
                 "Lv1_[09:05:01] : thread %d line %03d with a tail of some length\r\n", t, i);
        expected += bytes;
    }
    expected += END_BANNER;
    std::string actual;
    for (const auto& entry : std::filesystem::directory_iterator(DIR))
        actual += Slurp(entry.path().string());
    EXPECT_EQ(actual, expected);
}

TEST(CoreLog, IsOneInstanceThatWritesOruCoreLogOnceInitialised)
{
    CFakeClock clock({2026, 12, 6, 9, 5, 1});
    oru::test::RemoveTree("oru_log");
    CLogSystem* pCore = oru::detail::GetCoreLog();
    ASSERT_NE(pCore, nullptr);
    EXPECT_EQ(pCore, oru::detail::GetCoreLog());

    EXPECT_EQ(OruCoreLogInitialize(3), 0);
    OruSafeLog(pCore, 3, L"\ntask %d", 1);
    OruSafeLog(pCore, 4, L"filtered");
    EXPECT_EQ(Slurp("oru_log/OruCoreLog_2026-12-06.txt"),
              START_BANNER + "Lv3_[09:05:01] : \r\ntask 1\r\n");
}

// The host changes the core log's level by initialising it again, while the
// task queue and the game's own threads write to it. No line may be lost or
// torn, and every output replaced is closed (its end banner written).
TEST(CoreLog, InitialisingAgainWhileFourThreadsWriteLosesNothing)
{
    // Initialising again opens the file anew while writers still append
    // through the handle before.
    ORU_TEST_REQUIRES(oru::test::eTestFeature::ATOMIC_APPENDS);
    constexpr int THREADS = 4;
    constexpr int MIN_LINES = 200;
    constexpr int INITS = 40;
    oru::test::CTempDir dir;
    oru::test::CWorkingDirectory inDir(dir.Path());
    CFakeClock clock({2026, 12, 6, 9, 5, 1});
    CLogSystem* pCore = oru::detail::GetCoreLog();
    OruCoreLogInitialize(3);

    std::atomic<bool> initsDone{false};
    std::vector<int> written(THREADS, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t)
        threads.emplace_back([&, t] {
            // Level 3 passes both levels the host switches between.
            for (int i = 0; i < MIN_LINES || !initsDone.load(); ++i, ++written[t])
                OruSafeLog(pCore, 3, L"writer %d line %d", t, i);
        });
    for (int i = 0; i < INITS; ++i)
        OruCoreLogInitialize(i % 2 ? 3 : 5);
    initsDone = true;
    for (std::thread& thread : threads)
        thread.join();

    const std::string text = Slurp("oru_log/OruCoreLog_2026-12-06.txt");
    std::vector<int> next(THREADS, 0);
    int starts = 0, ends = 0;
    size_t lineStart = 0;
    for (size_t end = text.find("\r\n"); end != std::string::npos; end = text.find("\r\n", lineStart)) {
        const std::string line = text.substr(lineStart, end - lineStart);
        lineStart = end + 2;
        starts += line.find("LOG START") != std::string::npos;
        ends += line.find("LOG END") != std::string::npos;
        int t = -1, i = -1;
        if (sscanf(line.c_str(), "Lv3_[09:05:01] : writer %d line %d", &t, &i) != 2)
            continue;
        ASSERT_TRUE(t >= 0 && t < THREADS) << line;
        ASSERT_EQ(i, next[t]++) << line;
    }
    EXPECT_EQ(next, written);
    EXPECT_EQ(starts, INITS + 1);
    EXPECT_EQ(ends, INITS);
}

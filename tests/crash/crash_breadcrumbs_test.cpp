// What a crash report tells of what the game was doing: the recent lines of
// its logs (also those below the level), the profiler sections open at the
// fault, and the packs and streams it had open. Each case faults in a child
// and reads its section of the report back.

#include <oru/log/log_system.h>
#include <oru/pack/oru_pack.h>
#include <oru/timing/profiler.h>

#include "crash/crash_child_support.h"
#include "log/recent_lines.h"
#include "platform/fault_codes.h"
#include "support/system.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <cwchar>
#include <regex>
#include <string>
#include <vector>

namespace {

using namespace oru::test;
using oru::platform::FAULT_ACCESS_VIOLATION;

// The sanitizers must not catch the fault before the handler does.
[[gnu::noinline]] __attribute__((no_sanitize("undefined"))) void WriteThroughNull()
{
    volatile int* volatile pNowhere = nullptr;
    *pNowhere = 1;
}

const char* const TIME = "[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}";

class Breadcrumbs : public ::testing::Test {
protected:
    // Runs `body` and then a fault in a child; the lines of the report's
    // section under `heading`, up to the empty line that ends it.
    std::vector<std::string> SectionAfterFault(void (*body)(), const std::string& heading)
    {
        const CChildResult result = RunInChild(
            [body] {
                body();
                WriteThroughNull();
            },
            m_strDir, {{"ORU_UI", "stderr"}});
        EXPECT_TRUE(result.EndedByFault(FAULT_ACCESS_VIOLATION)) << result.m_nStatus << result.m_strError;
        const std::string report = ReadReportFiles(m_strDir);
        EXPECT_NE(report.find("< register >"), std::string::npos) << "the report is whole";
        const std::vector<std::string> lines = SplitReportLines(report);
        auto it = std::find(lines.begin(), lines.end(), heading);
        std::vector<std::string> section;
        if (it == lines.end())
            return {"(no " + heading + " section)"};
        for (++it; it != lines.end() && !it->empty(); ++it)
            section.push_back(*it);
        return section;
    }

    CTempDir m_dir;
    const std::string m_strDir = m_dir.Path().string();
};

bool Matches(const std::vector<std::string>& lines, const std::vector<std::string>& patterns)
{
    if (lines.size() != patterns.size())
        return false;
    for (size_t i = 0; i < lines.size(); ++i)
        if (!std::regex_match(lines[i], std::regex(patterns[i])))
            return false;
    return true;
}

::testing::AssertionResult SectionIs(const std::vector<std::string>& lines,
                                     const std::vector<std::string>& patterns)
{
    if (Matches(lines, patterns))
        return ::testing::AssertionSuccess();
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return ::testing::AssertionFailure() << "the section reads:\n" << text;
}

TEST_F(Breadcrumbs, TheLogSectionHoldsWrittenAndFilteredLinesOldestFirst)
{
    const auto section = SectionAfterFault(
        [] {
            static CLogSystem log;
            log.Init(LOG_MODE_DEBUG, 3, L"", L"Game", true, false);
            log.Log(3, L"level %ls loaded", L"Town");
            log.Log(7, L"spawn %d at %.1f, %ls%%", 12, 2.5, L"gate");
            OruSafeLog(&log, 9, L"tick %u", 77u);
            log.Log(2, L"two\nlines");
        },
        "< recent log lines >");
    const std::string time = TIME;
    EXPECT_TRUE(SectionIs(section, {"Game :", "  " + time + " Lv3 : level Town loaded",
                                    "  " + time + " Lv7 \\(not written\\) : spawn 12 at 2\\.5, gate%",
                                    "  " + time + " Lv9 \\(not written\\) : tick 77",
                                    "  " + time + " Lv2 : two lines"}));
}

// The ring keeps the last lines only, and a game may size it or turn it off.
TEST_F(Breadcrumbs, TheRingKeepsTheLastLinesAndCanBeSizedOrTurnedOff)
{
    const auto section = SectionAfterFault(
        [] {
            static CLogSystem sized;
            static CLogSystem off;
            sized.SetRecentLines(4);
            sized.Init(LOG_MODE_DEBUG, 0, L"", L"Sized", true, false);
            off.Init(LOG_MODE_DEBUG, 0, L"", L"Off", true, false);
            off.SetRecentLines(0);
            for (int i = 0; i < 10; ++i) {
                sized.Log(5, L"line %d", i);
                off.Log(5, L"line %d", i);
            }
        },
        "< recent log lines >");
    const std::string line = std::string("  ") + TIME + " Lv5 \\(not written\\) : line ";
    EXPECT_TRUE(SectionIs(section, {"Sized :", line + "6", line + "7", line + "8", line + "9"}));
}

TEST_F(Breadcrumbs, TheFrameSectionNamesTheOpenSections)
{
    const auto section = SectionAfterFault(
        [] {
            _ProFileExecute(true);
            _ProFileBegin(L"Root");
            _ProFileBegin(L"Update");
            _ProFileBegin(L"Physics");
        },
        "< frame >");
    EXPECT_TRUE(SectionIs(section, {"Open sections : Root > Update > Physics"}));
}

TEST_F(Breadcrumbs, TheFrameSectionGivesTheLastFramesWhenATimelineIsCaptured)
{
    const auto section = SectionAfterFault(
        [] {
            _ProFileExecute(true);
            _ProFileTimeline(4);
            for (int frame = 0; frame < 3; ++frame) {
                _ProFileBegin(L"Root");
                _ProFileEnd(L"Root");
            }
            _ProFileBegin(L"Root");
            _ProFileBegin(L"Draw");
        },
        "< frame >");
    const std::string ms = "[0-9]+\\.[0-9]{3} ms";
    EXPECT_TRUE(SectionIs(section, {"Open sections : Root > Draw",
                                    "Last frames : " + ms + ", " + ms + ", " + ms + " \\(the latest last\\)"}));
}

TEST_F(Breadcrumbs, TheOpenFilesSectionNamesThePackAndItsStreams)
{
    const auto section = SectionAfterFault(
        [] {
            const std::string content(3000, 'a');
            OruPack().OpenOruPack(L"data", ORU_PACK_MODE_WRITE, 512);
            OruPack().AddFileData(L"Map\\Town.xml", content.data(), 3000, 0, 0, 0);
            OruPack().CloseOruPack();
            InitOruPack(L"data");
            COruFile* pTown = OruPack().OpenFile(L"Map\\Town.xml", false);
            char buffer[1000];
            oru_fread(buffer, 1, sizeof buffer, pTown);
            COruFile* pClosed = OruPack().OpenFile(L"Map\\Town.xml", true);
            oru_fclose(pClosed);
        },
        "< open files >");
    EXPECT_TRUE(SectionIs(section, {"Pack : data \\(read\\)", "Stream : Map\\\\Town\\.xml, pack entry, position 1000"}));
}

// Damage in a ring ends that log's part of the report and nothing else: the
// lines before it are written, a line whose format has gone is named as such,
// and the handler does not fault again.
TEST_F(Breadcrumbs, ADamagedRingIsWrittenAsFarAsItReadsSanely)
{
    const auto section = SectionAfterFault(
        [] {
            static std::unique_ptr<oru::detail::CRecentLines> s_pRing =
                oru::detail::CRecentLines::Create(8, L"Damaged");
            void* pPage = MapPage();
            auto* format = static_cast<wchar_t*>(pPage);
            wcscpy(format, L"from a module that is gone: %d");
            s_pRing->KeepWritten(1, L"line 0");
            [](const wchar_t* f, ...) {
                va_list args;
                va_start(args, f);
                s_pRing->KeepFiltered(5, f, args);
                va_end(args);
            }(format, 1);
            UnmapPage(pPage);
            s_pRing->KeepWritten(1, L"line 2");
            s_pRing->KeepWritten(1, L"line 3");
            s_pRing->KeepWritten(1, L"line 4");
            size_t size = 0;
            unsigned char* pSlots = s_pRing->SlotBytes(size);
            std::memset(pSlots + 3 * size / 8, 0xA5, size / 8);
        },
        "< recent log lines >");
    const std::string time = TIME;
    EXPECT_TRUE(SectionIs(section, {"Damaged :", "  " + time + " Lv1 : line 0",
                                    "  " + time + " Lv5 \\(not written\\) : \\(its format can no longer be read\\)",
                                    "  " + time + " Lv1 : line 2",
                                    "  \\(the rest of this log's lines are damaged\\)"}));
}

}  // namespace

#include <oru/timing/profiler.h>

#include "support/fake_clock.h"
#include "support/file_bytes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The profiler's log stamps every line from this fixed moment, so the file
// name and the line prefix are known.
constexpr oru::platform::CLocalTime FIXED_NOW = {2026, 12, 6, 12, 0, 0};

const char* const LOG_FILE = "oru_log/ProFileLog_2026-12-06.txt";
const char* const LINE_PREFIX = "Lv3_[12:00:00] : ";

// `text` followed by blanks up to `width` characters.
std::string Pad(const std::string& text, size_t width)
{
    return text + std::string(width - text.size(), ' ');
}

std::string Row(const std::string& label, size_t width, const char* shares, const char* calls)
{
    return " " + Pad(label, width) + "\t" + shares + "\t" + calls;
}

class ProFiler : public ::testing::Test {
protected:
    void SetUp() override
    {
        CSingleton<CProFiler>::DeleteInstance();
        std::filesystem::remove(LOG_FILE);
        _ProFileExecute(true);
    }

    void TearDown() override
    {
        CSingleton<CProFiler>::DeleteInstance();
    }

    void Begin(const wchar_t* name) { _ProFileBegin(name); }
    void End(const wchar_t* name) { _ProFileEnd(name); }
    void Wait(int64_t microseconds) { m_Clock.AdvanceCounter(microseconds); }
    // A section with no sections inside it, open for `microseconds`.
    void Section(const wchar_t* name, int64_t microseconds)
    {
        Begin(name);
        Wait(microseconds);
        End(name);
    }

    // The profiler's lines in its log file, without their prefix.
    std::vector<std::string> TableLines()
    {
        std::vector<std::string> lines;
        std::istringstream in(oru::test::Slurp(LOG_FILE));
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (line.rfind(LINE_PREFIX, 0) == 0)
                lines.push_back(line.substr(std::char_traits<char>::length(LINE_PREFIX)));
        }
        return lines;
    }

    // The folded stacks of the current tree; the fake counter runs at one
    // tick per microsecond, so the figures are the ticks waited.
    std::string Folded()
    {
        const std::string path = "profile.folded";
        std::filesystem::remove(path);
        if (!_ProFileExport(L"profile.folded"))
            return "(no export)";
        return oru::test::Slurp(path);
    }

    oru::test::CFakeClock m_Clock{FIXED_NOW};
};

// Root > {A > B, C}, with Root 100, A 60, B 30 and C 20 ticks per frame.
TEST_F(ProFiler, WritesTheTableDepthFirstWithSharesAndCallCounts)
{
    for (int frame = 0; frame < 3; ++frame) {
        Begin(L"Root");
        Wait(10);
        Begin(L"A");
        Wait(20);
        Section(L"B", 30);
        Wait(10);
        End(L"A");
        Wait(5);
        Section(L"C", 20);
        Wait(5);
        End(L"Root");
    }
    _ProFileResult();

    const std::vector<std::string> expected = {
        "=======================Profiler Results==============================================",
        " " + Pad("Func Name", 51) + "\tToTal%  \t\t%   \tCallNum",
        std::string(85, '-'),
        Row("Root", 50, "100.000%  \t( 20.000%)", "         3"),
        Row("  A", 51, " 60.000%  \t( 30.000%)", "         3"),
        Row("    B", 51, " 30.000%  \t( 30.000%)", "         3"),
        Row("  C", 51, " 20.000%  \t( 20.000%)", "         3"),
        std::string(85, '='),
    };
    EXPECT_EQ(TableLines(), expected);
}

TEST_F(ProFiler, ListsChildrenByNameAndLeavesLongLabelsWhole)
{
    const std::wstring longName(60, L'x');
    Begin(L"Root");
    for (const std::wstring name : {L"Zed", L"Alpha", longName.c_str()}) {
        Section(name.c_str(), 0);
    }
    End(L"Root");
    _ProFileResult();

    const std::vector<std::string> lines = TableLines();
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[4].substr(0, 53), " " + Pad("  Alpha", 51) + "\t");
    EXPECT_EQ(lines[5].substr(0, 53), " " + Pad("  Zed", 51) + "\t");
    // By code unit, lower case sorts after upper case.
    EXPECT_EQ(lines[6].substr(0, 64), "   " + std::string(60, 'x') + "\t");
}

TEST_F(ProFiler, ARootWithoutTimePrintsZeroShares)
{
    Begin(L"Root");
    Section(L"A", 0);
    _ProFileResult();  // no time has passed: the root's total is 0

    const std::vector<std::string> lines = TableLines();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[3], Row("Root", 50, "  0.000%  \t(  0.000%)", "         1"));
    EXPECT_EQ(lines[4], Row("  A", 51, "  0.000%  \t(  0.000%)", "         1"));
}

// Unbalanced frames cost the frame they happen in and never bend the later
// ones; no share leaves 0-100 %, whatever the game does.
TEST_F(ProFiler, UnbalancedFramesKeepEveryShareWithinZeroAndHundred)
{
    struct CCase {
        const char* m_szWhat;
        std::function<void()> m_Play;
        const char* m_szRoot;
        const char* m_szA;
    };
    auto frame = [this](int64_t a, int64_t rest) {
        Begin(L"Root");
        Section(L"A", a);
        Wait(rest);
        End(L"Root");
    };
    const CCase cases[] = {
        // A's end is missed in the first frame (so is Root's: A is open);
        // the next "Root" ends both after 15 ticks.
        {"a missed end",
         [&] {
             Begin(L"Root");
             Begin(L"A");
             Wait(10);
             End(L"Root");
             Wait(5);
             frame(10, 5);
             frame(10, 5);
         },
         "100.000%  \t( 22.222%)", " 77.778%  \t( 77.778%)"},
        // The result is asked for inside a frame: the open root is ended
        // with the sections already done in it.
        {"a result inside the frame",
         [&] {
             frame(50, 50);
             Begin(L"Root");
             Section(L"A", 80);
         },
         "100.000%  \t( 27.778%)", " 72.222%  \t( 72.222%)"},
        // A counter that steps back gives A a negative time.
        {"a counter stepping back",
         [&] {
             Begin(L"Root");
             Wait(10);
             Section(L"A", -5);
             Wait(15);
             End(L"Root");
         },
         "100.000%  \t(100.000%)", "  0.000%  \t(  0.000%)"},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.m_szWhat);
        const size_t before = TableLines().size();
        c.m_Play();
        _ProFileResult();
        const std::vector<std::string> lines = TableLines();
        ASSERT_EQ(lines.size(), before + 6);
        EXPECT_EQ(lines[before + 3].substr(52, 21), c.m_szRoot);
        EXPECT_EQ(lines[before + 4].substr(53, 21), c.m_szA);
    }
}

TEST_F(ProFiler, ResultWithoutARootWritesNothingAndAResultStartsAFreshTree)
{
    _ProFileResult();
    EXPECT_TRUE(TableLines().empty());

    Section(L"Root", 10);
    _ProFileResult();
    _ProFileResult();
    EXPECT_EQ(TableLines().size(), 5u);

    Begin(L"A");  // no root since the result: not recorded
    End(L"A");
    Section(L"Root", 7);
    EXPECT_EQ(Folded(), "Root 7\n");
}

TEST_F(ProFiler, SectionsBegunBeforeRootAreNotRecorded)
{
    Section(L"A", 5);
    EXPECT_EQ(Folded(), "(no export)");
    Section(L"Root", 10);
    EXPECT_EQ(Folded(), "Root 10\n");
}

TEST_F(ProFiler, KeepsOneNodePerNameUnderEachParent)
{
    Begin(L"Root");
    for (const wchar_t* parent : {L"A", L"B", L"A"}) {
        Begin(parent);
        Section(L"X", 4);
        End(parent);
    }
    End(L"Root");
    EXPECT_EQ(Folded(), "Root 0\nRoot;A 0\nRoot;A;X 8\nRoot;B 0\nRoot;B;X 4\n");

    _ProFileResult();
    const std::vector<std::string> lines = TableLines();
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[4].substr(0, 4), "   A");
    EXPECT_EQ(lines[4].substr(lines[4].size() - 10), "         2");
    EXPECT_EQ(lines[5].substr(lines[5].size() - 10), "         2");
    EXPECT_EQ(lines[7].substr(lines[7].size() - 10), "         1");
}

TEST_F(ProFiler, IgnoresAnEndThatDoesNotNameTheOpenSection)
{
    Begin(L"Root");
    Begin(L"A");
    Wait(5);
    End(L"B");
    End(L"Root");
    Wait(5);
    End(L"A");  // A stayed open through both stray ends
    End(L"Root");
    EXPECT_EQ(Folded(), "Root 0\nRoot;A 10\n");
}

// Between frames nothing is open: a section begun there is not recorded,
// and the time is counted nowhere.
TEST_F(ProFiler, NothingBetweenFramesIsCounted)
{
    Section(L"Root", 10);
    Section(L"Between", 1000);
    Section(L"Root", 10);
    EXPECT_EQ(Folded(), "Root 20\n");
    _ProFileResult();
    EXPECT_EQ(TableLines()[3], Row("Root", 50, "100.000%  \t(100.000%)", "         2"));
}

TEST_F(ProFiler, DisabledProfilingLeavesTheTreeAloneButStillReports)
{
    Section(L"Root", 10);
    _ProFileExecute(false);
    Begin(L"Root");
    Section(L"A", 10);
    End(L"Root");
    EXPECT_EQ(Folded(), "Root 10\n");
    _ProFileResult();
    EXPECT_EQ(TableLines().size(), 5u);
}

TEST_F(ProFiler, ExportsFoldedStacksWithoutDiscardingTheTree)
{
    m_Clock.SetFrequency(1000000000);  // nanoseconds: the export rounds to microseconds
    Begin(L"Root");
    Wait(1000);
    Begin(L"Draw;Sky");
    Section(L"Clouds and fog", 2499);
    Wait(1501);
    End(L"Draw;Sky");
    End(L"Root");
    EXPECT_EQ(Folded(), "Root 1\nRoot;Draw_Sky 2\nRoot;Draw_Sky;Clouds and fog 2\n");
    _ProFileResult();
    EXPECT_EQ(TableLines().size(), 7u);
}

TEST_F(ProFiler, ExportFailsWithoutATreeOrAWritablePath)
{
    EXPECT_FALSE(_ProFileExport(L"profile.folded"));
    Section(L"Root", 0);
    EXPECT_FALSE(_ProFileExport(L"no-such-folder/profile.folded"));
    EXPECT_FALSE(_ProFileExport(L""));
}

}  // namespace

// The free functions reach the profiler without the singleton's lock; they
// must still reach the object the singleton holds as profilers come and go.
TEST_F(ProFiler, FreeFunctionsFollowTheSingletonAsProfilersComeAndGo)
{
    CProFiler* pFirst = &GetProFiler();
    EXPECT_EQ(pFirst, CSingleton<CProFiler>::m_pSingleton);
    const void* pSecondAddress = nullptr;
    {
        CProFiler second;   // the last built is the singleton
        pSecondAddress = &second;
        EXPECT_EQ(&GetProFiler(), &second);
        EXPECT_EQ(&GetProFiler(), CSingleton<CProFiler>::m_pSingleton);
    }
    CProFiler* pThird = &GetProFiler();   // none registered: a fresh one
    EXPECT_EQ(pThird, CSingleton<CProFiler>::m_pSingleton);
    EXPECT_NE(static_cast<const void*>(pThird), pSecondAddress);
    delete pFirst;   // no longer registered: deleting it leaves the third alone
    EXPECT_EQ(&GetProFiler(), pThird);

    CSingleton<CProFiler>::DeleteInstance();
    CProFiler* pFourth = &GetProFiler();
    EXPECT_EQ(pFourth, CSingleton<CProFiler>::m_pSingleton);

    // And the sections go to it.
    _ProFileExecute(true);
    Section(L"Root", 10);
    EXPECT_EQ(Folded(), "Root 10\n");
}

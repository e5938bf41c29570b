// The crash handler end to end: each fault runs in a child process (headless,
// so the report goes to standard error), and the test reads the report, the
// report file it left and the way the child ended.

#include <oru/log/exception_handler.h>

#include "crash/crash_child_support.h"
#include "crash/crash_notes.h"
#include "crash/exception_handler_internal.h"
#include "platform/fault_codes.h"
#include "support/file_bytes.h"
#include "support/system.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <algorithm>
#include <ctime>

namespace {

using namespace oru::test;
using namespace oru::platform;

// The faults. Each lives in a function of its own that is never inlined, so
// that the report's first frame can be checked by name, file and line. The
// sanitizers must not catch these faults before the handler does.
#define ORU_CRASH_FUNCTION [[gnu::noinline]] __attribute__((no_sanitize("undefined")))

int* volatile s_pNull = nullptr;
volatile int s_nZero = 0;
volatile int s_nSeven = 7;
volatile int s_nSink = 0;

ORU_CRASH_FUNCTION void WriteThroughNull()
{
    *s_pNull = 1;
}
constexpr int NULL_WRITE_LINE = __LINE__ - 2;

ORU_CRASH_FUNCTION void DivideByZero()
{
    s_nSink = s_nSeven / s_nZero;
}
constexpr int DIVIDE_LINE = __LINE__ - 2;

ORU_CRASH_FUNCTION void HitBreakpoint()
{
    asm volatile("int3");
}
constexpr int BREAKPOINT_LINE = __LINE__ - 2;

ORU_CRASH_FUNCTION void CallAbort()
{
    abort();
}
constexpr int ABORT_LINE = __LINE__ - 2;

// Recurses until the stack is used up (s_nZero keeps the compiler from
// seeing that).
ORU_CRASH_FUNCTION int Recurse(int depth)
{
    volatile char pad[512];
    pad[depth % 512] = static_cast<char>(depth);
    return (depth < 0 && s_nZero == 0 ? 0 : Recurse(depth + 1)) + pad[0];
}
constexpr int RECURSE_FIRST_LINE = __LINE__ - 6;
constexpr int RECURSE_LAST_LINE = __LINE__ - 2;

ORU_CRASH_FUNCTION int NestThenWriteThroughNull(int depth)
{
    if (depth == 0) {
        WriteThroughNull();
        return 0;
    }
    return NestThenWriteThroughNull(depth - 1) + s_nSink;
}

ORU_CRASH_FUNCTION void FailWithCriticalError()
{
    OruCriticalError(L"x=%d", 5);
}
constexpr int CRITICAL_LINE = __LINE__ - 2;

ORU_CRASH_FUNCTION void FailAssertion()
{
    OruAssertionFailure(L"%ls != %d", L"count", 3);
}
constexpr int ASSERTION_LINE = __LINE__ - 2;

// Code in memory that belongs to no module: an undefined instruction.
ORU_CRASH_FUNCTION void RunCodeOutsideAnyModule()
{
    void* pPage = MapPage(true);
    ASSERT_NE(pPage, nullptr);
    static const unsigned char UD2[] = {0x0f, 0x0b};
    memcpy(pPage, UD2, sizeof UD2);
    reinterpret_cast<void (*)()>(pPage)();
}

// "file::function() + N line [0x....] (L line)" with the line L.
std::string FrameLinePattern(const std::string& function, int line)
{
    return "crash_report_test\\.cpp::\\(anonymous namespace\\)::" + function +
           "\\(\\) \\+ -?[0-9]+ line \\[0x[0-9a-f]{4,}\\] \\(" + std::to_string(line) + " line\\)";
}

bool MatchesFrame(const std::string& frameLine, const std::string& function, int line)
{
    return std::regex_match(frameLine, std::regex(FrameLinePattern(function, line)));
}

// Any of the three forms a call-stack line takes.
bool IsFrameLine(const std::string& line)
{
    static const std::regex FORMS(
        ".+::.+\\(\\) \\+ -?[0-9]+ line \\[0x[0-9a-f]{4,}\\] \\([0-9]+ line\\)"
        "|.+\\(\\) \\+ \\[0x[0-9a-f]{4,}\\]"
        "|0x[0-9a-f]{8,} Address Lookup Error \\(SymFromAddr returned error : -?[0-9]+\\)");
    return std::regex_match(line, FORMS);
}

// The line number a frame line names, or -1.
int FrameLineNumber(const std::string& frameLine)
{
    std::smatch match;
    if (!std::regex_search(frameLine, match, std::regex("\\(([0-9]+) line\\)$")))
        return -1;
    return std::stoi(match[1]);
}

class CrashReport : public ::testing::Test {
protected:

    CChildResult Crash(void (*body)())
    {
        return RunInChild([body] { body(); }, m_strDir, {{"ORU_UI", "stderr"}});
    }

    // Every report ends with its register section: nine lines of two
    // registers, 16 hexadecimal digits each.
    static void ExpectRegisterSection(const std::string& report)
    {
        const std::vector<std::string> lines = SplitReportLines(report);
        auto it = std::find(lines.begin(), lines.end(), "< register >");
        ASSERT_NE(it, lines.end()) << report;
        ASSERT_TRUE(it[-1].empty());
        static const char* const NAMES[][2] = {{"rax", "rbx"}, {"rcx", "rdx"}, {"rsi", "rdi"},
                                               {"rbp", "rsp"}, {"r8", "r9"},   {"r10", "r11"},
                                               {"r12", "r13"}, {"r14", "r15"}, {"rip", "efl"}};
        for (const auto& pair : NAMES) {
            ++it;
            ASSERT_NE(it, lines.end());
            EXPECT_TRUE(std::regex_match(*it, std::regex(std::string(pair[0]) +
                                                         ": 0x[0-9a-f]{16}\t\t" + pair[1] +
                                                         ": 0x[0-9a-f]{16}")))
                << *it;
        }
    }

    oru::test::CTempDir m_dir;
    const std::string m_strDir = m_dir.Path().string();
};

TEST_F(CrashReport, NullPointerWriteIsAnAccessViolationAtItsLine)
{
    const CChildResult result = Crash(WriteThroughNull);
    EXPECT_TRUE(result.EndedByFault(FAULT_ACCESS_VIOLATION)) << result.m_nStatus;
    ASSERT_EQ(result.m_strError.rfind("Exception Type : Access violation\r\n\r\n< system >\r\n", 0),
              0u)
        << result.m_strError;
    const auto frames = CallStackLines(result.m_strError);
    ASSERT_FALSE(frames.empty());
    EXPECT_TRUE(MatchesFrame(frames[0], "WriteThroughNull", NULL_WRITE_LINE)) << frames[0];
    for (const std::string& frame : frames)
        EXPECT_TRUE(IsFrameLine(frame)) << frame;
    EXPECT_TRUE(std::regex_search(result.m_strError, std::regex("CrashReport_NullPointerWrite")))
        << "the walk reaches the test body";
    ExpectRegisterSection(result.m_strError);
}

TEST_F(CrashReport, EachFaultHasItsHeadingAndFirstFrame)
{
    struct CCase {
        void (*m_pBody)();
        uint32_t m_nFault;
        const char* m_pHeading;
        const char* m_pFunction;
        int m_nLine;
    };
    const CCase cases[] = {
        {DivideByZero, FAULT_INT_DIVIDE_BY_ZERO, "Exception Type : Int divide by zero", "DivideByZero", DIVIDE_LINE},
        {HitBreakpoint, FAULT_BREAKPOINT, "Exception Type : Unknown Exception", "HitBreakpoint",
         BREAKPOINT_LINE},
        {FailWithCriticalError, ORU_FAULT_GENERAL_ERROR, "General Error!\r\n\r\nMessage : x=5",
         "FailWithCriticalError", CRITICAL_LINE},
        {FailAssertion, ORU_FAULT_ASSERTION_FAILURE, "Assertion Failure!\r\n\r\nExpression : count != 3",
         "FailAssertion", ASSERTION_LINE},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.m_pFunction);
        const CChildResult result = Crash(c.m_pBody);
        EXPECT_TRUE(result.EndedByFault(c.m_nFault)) << result.m_nStatus;
        EXPECT_EQ(result.m_strError.rfind(std::string(c.m_pHeading) + "\r\n\r\n< system >\r\n", 0),
                  0u)
            << result.m_strError;
        const auto frames = CallStackLines(result.m_strError);
        ASSERT_FALSE(frames.empty()) << result.m_strError;
        EXPECT_TRUE(MatchesFrame(frames[0], c.m_pFunction, c.m_nLine)) << frames[0];
        ExpectRegisterSection(result.m_strError);
    }
}

// abort() raises its signal inside the C library: the library's frames come
// first, then the caller with its line.
TEST_F(CrashReport, AbortListsTheCallerAfterTheLibraryFrames)
{
    const CChildResult result = Crash(CallAbort);
    EXPECT_TRUE(result.EndedByFault(FAULT_ABORT)) << result.m_nStatus;
    EXPECT_EQ(result.m_strError.rfind("Exception Type : Unknown Exception\r\n", 0), 0u);
    const auto frames = CallStackLines(result.m_strError);
    const auto caller = std::find_if(frames.begin(), frames.end(), [](const std::string& f) {
        return f.find("CallAbort()") != std::string::npos;
    });
    ASSERT_NE(caller, frames.end()) << result.m_strError;
    EXPECT_TRUE(MatchesFrame(*caller, "CallAbort", ABORT_LINE)) << *caller;
    for (auto it = frames.begin(); it != caller; ++it)
        EXPECT_TRUE(IsFrameLine(*it)) << *it;
}

TEST_F(CrashReport, StackOverflowIsReportedFromTheAlternateStack)
{
    const auto overflowOn = [](bool bOwnThread) {
        return [bOwnThread] {
            if (!bOwnThread) {
                Recurse(0);
                return;
            }
            std::thread worker([] {
                COruThreadCrashStack crashStack;  // what a game's own thread holds
                Recurse(0);
            });
            worker.join();
        };
    };
    for (const bool bOwnThread : {false, true}) {
        SCOPED_TRACE(bOwnThread ? "worker thread" : "main thread");
        const CChildResult result =
            RunInChild(overflowOn(bOwnThread), m_strDir, {{"ORU_UI", "stderr"}});
        EXPECT_TRUE(result.EndedByFault(FAULT_STACK_OVERFLOW)) << result.m_nStatus;
        EXPECT_EQ(result.m_strError.rfind("Exception Type : Stack overflow\r\n", 0), 0u)
            << result.m_strError.substr(0, 200);
        const auto frames = CallStackLines(result.m_strError);
        ASSERT_EQ(frames.size(), 512u) << "a deep stack lists exactly 512 frames";
        const int line = FrameLineNumber(frames[0]);
        EXPECT_NE(frames[0].find("::Recurse() + "), std::string::npos) << frames[0];
        EXPECT_GE(line, RECURSE_FIRST_LINE);
        EXPECT_LE(line, RECURSE_LAST_LINE);
        ExpectRegisterSection(result.m_strError);
    }
}

TEST_F(CrashReport, ListsAtMost512Frames)
{
    for (const int depth : {100, 600}) {
        const CChildResult result =
            RunInChild([depth] { NestThenWriteThroughNull(depth); }, m_strDir,
                       {{"ORU_UI", "stderr"}});
        const auto frames = CallStackLines(result.m_strError);
        if (depth == 100)
            EXPECT_GT(frames.size(), 102u);
        else
            EXPECT_EQ(frames.size(), 512u);
        EXPECT_TRUE(MatchesFrame(frames.at(0), "WriteThroughNull", NULL_WRITE_LINE));
    }
}

TEST_F(CrashReport, AnAddressInNoModuleGivesALookupErrorAndTheWalkGoesOn)
{
    const CChildResult result = Crash(RunCodeOutsideAnyModule);
    EXPECT_TRUE(result.EndedByFault(FAULT_ILLEGAL_INSTRUCTION)) << result.m_nStatus;
    EXPECT_EQ(result.m_strError.rfind("Exception Type : Illegal instruction\r\n", 0), 0u);
    const auto frames = CallStackLines(result.m_strError);
    ASSERT_GE(frames.size(), 2u) << result.m_strError;
    EXPECT_TRUE(std::regex_match(
        frames[0], std::regex("0x[0-9a-f]{8,} Address Lookup Error \\(SymFromAddr returned "
                              "error : -?[0-9]+\\)")))
        << frames[0];
    EXPECT_NE(result.m_strError.find("CrashReport_AnAddressInNoModule"), std::string::npos)
        << result.m_strError;
}

TEST_F(CrashReport, MessageIsCutAt511Characters)
{
    const CChildResult result = Crash([] {
        const std::wstring longText(700, L'\u00e9');
        OruCriticalError(L"%ls", longText.c_str());
    });
    EXPECT_TRUE(result.EndedByFault(ORU_FAULT_GENERAL_ERROR));
    std::string expected = "General Error!\r\n\r\nMessage : ";
    for (int i = 0; i < 511; ++i)
        expected += "\xC3\xA9";
    EXPECT_EQ(result.m_strError.rfind(expected + "\r\n\r\n< system >", 0), 0u)
        << result.m_strError.substr(0, 80);
}

// Two crashes on one day append two reports to one file, each under its own
// time line, and the file holds exactly what the player was shown.
TEST_F(CrashReport, ReportsOfADayAreAppendedToOneFile)
{
    const CChildResult first = Crash(WriteThroughNull);
    const CChildResult second = Crash(FailWithCriticalError);
    const std::string file = ReadReportFiles(m_strDir);
    const std::regex timeLine("- Log Record Time \\([0-9]{2}h:[0-9]{2}m:[0-9]{2}s\\) -{21}\r\n");

    std::smatch match;
    std::string rest = file;
    for (const CChildResult* pChild : {&first, &second}) {
        ASSERT_TRUE(std::regex_search(rest, match, timeLine)) << file;
        EXPECT_EQ(match.position(0), 0);
        rest = match.suffix();
        const std::string shown = pChild->m_strError.substr(0, pChild->m_strError.size() - 1);
        ASSERT_EQ(rest.substr(0, shown.size() + 4), shown + "\r\n\r\n");
        rest = rest.substr(shown.size() + 4);
    }
    EXPECT_TRUE(rest.empty());
}

TEST_F(CrashReport, AReportFolderThatCannotBeMadeStillShowsTheReport)
{
    Spit(m_strDir + "/oru_log", "");
    const CChildResult result = Crash(FailAssertion);
    EXPECT_TRUE(result.EndedByFault(ORU_FAULT_ASSERTION_FAILURE));
    EXPECT_EQ(result.m_strError.rfind("Assertion Failure!\r\n", 0), 0u);
    EXPECT_NE(result.m_strError.find("< register >\r\nrax: "), std::string::npos);
}

TEST_F(CrashReport, AFaultInsideTheHandlerEndsAtOnceWithANote)
{
    const CChildResult result = Crash([] {
        oru::detail::g_pfnBeforeCrashReport = WriteThroughNull;
        FailWithCriticalError();
    });
    EXPECT_TRUE(result.EndedByFault(FAULT_ACCESS_VIOLATION)) << result.m_nStatus;
    EXPECT_EQ(result.m_strError,
              "Oru Exception Handler: another fault while a report was being made; ending now\n");
}

// The number of reports in a report file: one time line each.
size_t CountReports(const std::string& file)
{
    size_t count = 0;
    for (size_t at = file.find("- Log Record Time ("); at != std::string::npos;
         at = file.find("- Log Record Time (", at + 1))
        ++count;
    return count;
}

// A fault on another thread while a report is made waits for it: the report
// is completed and the process ends by the first fault's signal.
TEST_F(CrashReport, AFaultOnAnotherThreadWaitsForTheReportUnderWay)
{
    const CChildResult result = Crash([] {
        oru::detail::g_pfnBeforeCrashReport = [] {
            std::thread(WriteThroughNull).detach();
            while (oru::detail::CrashFaultsWaiting() == 0)
                std::this_thread::yield();
        };
        FailWithCriticalError();
    });
    EXPECT_TRUE(result.EndedByFault(ORU_FAULT_GENERAL_ERROR)) << result.m_nStatus;
    EXPECT_EQ(result.m_strError.rfind("General Error!\r\n\r\nMessage : x=5\r\n", 0), 0u)
        << result.m_strError.substr(0, 200);
    EXPECT_NE(result.m_strError.find("< register >\r\nrax: "), std::string::npos);
    EXPECT_EQ(CountReports(ReadReportFiles(m_strDir)), 1u);
}

// Two threads fault at the same moment, by different signals: whichever is
// reported, the process ends by that fault's signal, with one whole report.
TEST_F(CrashReport, TwoThreadsFaultingTogetherGiveOneReportAndItsSignal)
{
    constexpr int RUNS = 20;
    for (int run = 0; run < RUNS; ++run) {
        SCOPED_TRACE(run);
        const oru::test::CTempDir dir;
        const CChildResult result = RunInChild(
            [] {
                static std::atomic<bool> s_bGo{false};
                // Each thread holds an alternate stack as a game's threads
                // do: a sanitizer gives threads one too small for a report.
                std::thread first([] {
                    COruThreadCrashStack crashStack;
                    while (!s_bGo)
                        std::this_thread::yield();
                    DivideByZero();
                });
                std::thread second([] {
                    COruThreadCrashStack crashStack;
                    while (!s_bGo)
                        std::this_thread::yield();
                    WriteThroughNull();
                });
                s_bGo = true;
                first.join();
                second.join();
            },
            dir.Path().string(), {{"ORU_UI", "stderr"}});
        ASSERT_FALSE(result.m_bTimedOut);
        const bool bDivide = result.m_strError.rfind("Exception Type : Int divide by zero\r\n", 0) == 0;
        const bool bNull = result.m_strError.rfind("Exception Type : Access violation\r\n", 0) == 0;
        ASSERT_TRUE(bDivide || bNull) << result.m_strError.substr(0, 200);
        EXPECT_TRUE(result.EndedByFault(bDivide ? FAULT_INT_DIVIDE_BY_ZERO : FAULT_ACCESS_VIOLATION))
            << result.m_nStatus;
        EXPECT_NE(result.m_strError.find("< register >\r\nrax: "), std::string::npos);
        EXPECT_EQ(result.m_strError.find("Oru Exception Handler:"), std::string::npos);
        EXPECT_EQ(CountReports(ReadReportFiles(dir.Path().string())), 1u);
    }
}

TEST_F(CrashReport, AReportThatHangsIsEndedByTheWatchdog)
{
    const CChildResult result = Crash([] {
        oru::detail::g_nCrashWatchdogSeconds = 1;
        oru::detail::g_pfnBeforeCrashReport = [] {
            for (;;)
                std::this_thread::sleep_for(std::chrono::seconds(1));
        };
        WriteThroughNull();
    });
    EXPECT_TRUE(result.EndedByFault(FAULT_ACCESS_VIOLATION)) << result.m_nStatus;
    EXPECT_EQ(result.m_strError,
              "Oru Exception Handler: the report could not be completed in time; ending now\n");
}

// A report the watchdog cuts short reaches standard error as far as it was
// built, after the watchdog's note.
TEST_F(CrashReport, AReportCutByTheWatchdogStillReachesStandardError)
{
    const CChildResult result = Crash([] {
        oru::detail::g_nCrashWatchdogSeconds = 1;
        oru::detail::SetCrashNoteWriter(oru::detail::CRASH_NOTE_FRAME, [](oru::detail::CReportText&) {
            for (;;)
                std::this_thread::sleep_for(std::chrono::seconds(1));
        });
        WriteThroughNull();
    });
    EXPECT_TRUE(result.EndedByFault(FAULT_ACCESS_VIOLATION)) << result.m_nStatus;
    const std::string& error = result.m_strError;
    EXPECT_EQ(error.rfind("Oru Exception Handler: the report could not be completed in time; ending now\n"
                          "Exception Type : Access violation\r\n\r\n< system >\r\nOS : ",
                          0),
              0u)
        << error.substr(0, 300);
    EXPECT_NE(error.find("< frame >\r\n"), std::string::npos);
    EXPECT_EQ(error.find("< call stack >"), std::string::npos);
}

}  // namespace

// What the crash handler does on Linux alone: signal handlers installed as
// the library loads, SIGPIPE, faults inside glibc's own locks, the ELF
// modules and the kernel named in the system section.

#include <oru/log/exception_handler.h>

#include "crash/crash_child_support.h"
#include "crash/linux/build_id_support.h"
#include "crash/exception_handler_internal.h"
#include "platform/fault_codes.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <regex>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

using namespace oru::test;
using oru::platform::FAULT_ACCESS_VIOLATION;

#define ORU_CRASH_FUNCTION [[gnu::noinline]] __attribute__((no_sanitize("undefined")))

int* volatile s_pNull = nullptr;

ORU_CRASH_FUNCTION void WriteThroughNull()
{
    *s_pNull = 1;
}

class LinuxCrashReport : public ::testing::Test {
protected:
    CChildResult Crash(void (*body)())
    {
        return RunInChild([body] { body(); }, m_strDir, {{"ORU_UI", "stderr"}});
    }

    // An access violation that ended by its signal, with the report's time
    // line, heading and the start of its system section in the file.
    void ExpectKilledWithHeadingOnDisk(const CChildResult& result) const
    {
        EXPECT_TRUE(result.EndedByFault(FAULT_ACCESS_VIOLATION)) << result.m_nStatus << result.m_strError;
        const std::string file = ReadReportFiles(m_strDir);
        EXPECT_TRUE(std::regex_search(
            file, std::regex("^- Log Record Time \\([0-9]{2}h:[0-9]{2}m:[0-9]{2}s\\) -+\r\n"
                             "Exception Type : Access violation\r\n\r\n< system >\r\nOS : ")))
            << file.substr(0, 300);
    }

    oru::test::CTempDir m_dir;
    const std::string m_strDir = m_dir.Path().string();
};

TEST_F(LinuxCrashReport, LoadingTheLibraryInstallsTheHandler)
{
    const CChildResult result = RunInChild(
        [] {
            struct sigaction none {};
            none.sa_handler = SIG_DFL;
            sigaction(SIGSEGV, &none, nullptr);
            void* pLibrary = dlopen(ORU_BINARY_DIR "/src/liboru_core.so", RTLD_NOW | RTLD_LOCAL);
            if (!pLibrary)
                _exit(3);
            struct sigaction now {};
            sigaction(SIGSEGV, nullptr, &now);
            if (!(now.sa_flags & SA_SIGINFO) || !(now.sa_flags & SA_ONSTACK))
                _exit(4);
            WriteThroughNull();
        },
        m_strDir, {{"ORU_UI", "stderr"}});
    EXPECT_TRUE(result.EndedByFault(FAULT_ACCESS_VIOLATION)) << result.m_nStatus << result.m_strError;
    EXPECT_EQ(result.m_strError.rfind("Exception Type : Access violation\r\n", 0), 0u);
}

// A game whose error output was piped into a program that has ended: the
// report cannot be shown, but the process still ends by its fault's signal,
// not by SIGPIPE, and the report file is whole.
TEST_F(LinuxCrashReport, AClosedErrorPipeDoesNotChangeHowTheProcessEnds)
{
    const CChildResult result = Crash([] {
        int fds[2];
        if (pipe(fds) != 0)
            _exit(3);
        close(fds[0]);
        dup2(fds[1], STDERR_FILENO);
        WriteThroughNull();
    });
    EXPECT_TRUE(result.EndedByFault(FAULT_ACCESS_VIOLATION)) << result.m_nStatus;
    const std::string file = ReadReportFiles(m_strDir);
    EXPECT_NE(file.find("Exception Type : Access violation\r\n"), std::string::npos);
    EXPECT_NE(file.find("< register >\r\nrax: "), std::string::npos);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool SANITIZER_HEAP = true;  // the sanitizer's allocator has no such lock to hold
#else
constexpr bool SANITIZER_HEAP = false;
#endif

void* volatile s_pAllocated = nullptr;

// Damages the heap the way a game's stray write does, so that the next
// malloc faults inside the C library while it holds its arena's lock: a
// freed chunk in the unsorted bin gets a back link into the null page. A new
// thread (once there are two, malloc takes its locks) has a fresh arena of
// its own, whose layout no earlier allocation has disturbed.
ORU_CRASH_FUNCTION void FaultInsideMalloc()
{
    std::thread([] {
        void** volatile pLinks = static_cast<void**>(malloc(0x500));  // too large for the thread's cache
        s_pAllocated = malloc(0x20);  // keeps the chunk from merging with the top
        free(pLinks);
        pLinks[1] = reinterpret_cast<void*>(0x10);
        s_pAllocated = malloc(0x500);
    }).join();
}

// Nothing before the watchdog allocates or waits on a lock, and the report
// file receives the report as it grows: the heading and the system section
// are on disk before the stack walk hangs on malloc's lock.
TEST_F(LinuxCrashReport, AFaultInsideMallocEndsByItsSignalWithTheHeadingOnDisk)
{
    if (SANITIZER_HEAP)
        GTEST_SKIP() << "the sanitizer's allocator replaces the C library's heap";
    const CChildResult result = Crash([] {
        oru::detail::g_nCrashWatchdogSeconds = 2;
        FaultInsideMalloc();
    });
    ExpectKilledWithHeadingOnDisk(result);
}

// The system section: the machine, the program and every module with its
// load address and build ID, one line each.
TEST_F(LinuxCrashReport, SystemSectionNamesTheMachineTheProgramAndEachModule)
{
    const CChildResult result = Crash(WriteThroughNull);
    const std::vector<std::string> lines = SplitReportLines(result.m_strError);
    auto it = std::find(lines.begin(), lines.end(), "< system >");
    ASSERT_NE(it, lines.end()) << result.m_strError;
    std::vector<std::string> section;
    for (++it; it != lines.end() && !it->empty(); ++it)
        section.push_back(*it);
    ASSERT_GE(section.size(), 6u) << result.m_strError;

    char exe[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    const std::string release = oru::test::ReadWholeFile("/proc/sys/kernel/osrelease");
    EXPECT_EQ(section[0].rfind("OS : ", 0), 0u) << section[0];
    EXPECT_EQ(section[1].rfind("Kernel : Linux " + release.substr(0, release.find('\n')) + " ", 0),
              0u)
        << section[1];
    EXPECT_TRUE(std::regex_match(section[2], std::regex("Processor : .+, [1-9][0-9]* logical processors")))
        << section[2];
    EXPECT_TRUE(std::regex_match(section[3], std::regex("Memory : [1-9][0-9]* MB, [0-9]+ MB available")))
        << section[3];
    EXPECT_EQ(section[4], std::string("Executable : ") + exe);

    const std::string buildId = oru::test::ReadBuildId(exe);
    ASSERT_FALSE(buildId.empty());
    const std::regex moduleLine("Module : 0x[0-9a-f]{16} (.+) \\((build ID [0-9a-f]+|no build ID)\\)");
    ASSERT_EQ(section[5], "Module : " + section[5].substr(9, 18) + " " + exe + " (build ID " +
                              buildId + ")");
    bool bLibc = false;
    for (size_t i = 5; i < section.size(); ++i) {
        EXPECT_TRUE(std::regex_match(section[i], moduleLine)) << section[i];
        bLibc = bLibc || section[i].find("/libc.so.6 (build ID ") != std::string::npos;
    }
    EXPECT_TRUE(bLibc) << result.m_strError;
}

// A fault inside localtime_r leaves the C library's time-zone lock held (the
// result is written under it). The report's heading and system section take
// no lock, so they are on disk before the one-second watchdog could end a
// report that waits for it.
TEST_F(LinuxCrashReport, AFaultInsideTheTimeFunctionsLeavesTheHeadingAndSystemOnDisk)
{
    const CChildResult result = Crash([] {
        oru::detail::g_nCrashWatchdogSeconds = 1;
        const time_t now = time(nullptr);
        volatile uintptr_t nowhere = 16;
        localtime_r(&now, reinterpret_cast<tm*>(nowhere));
    });
    ExpectKilledWithHeadingOnDisk(result);
}

}  // namespace

// The platform layer where it is Linux's own: tracing, X11 and Wayland
// displays, the report window helper found as an executable file.

#include "platform/debug_channel.h"
#include "platform/ui.h"

#include "support/file_bytes.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace oru::platform;
using oru::test::CScopedEnv;

// Whether a tracer is attached, read here without the library's help.
bool TracedAccordingToProc()
{
    std::istringstream status(oru::test::Slurp("/proc/self/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("TracerPid:"))
            return std::stoi(line.substr(10)) != 0;
    }
    return false;
}

// A copy of this program started by RunTraced, below, writes one line to the
// debug channel and ends before any test runs.
const bool s_bTracedChild = [] {
    if (!getenv("ORU_TEST_TRACED_CHILD"))
        return false;
    WriteDebugChannel("seen by the tracer\n");
    _exit(0);
}();

// What a fresh copy of this program writes to standard error, without a
// debug channel setting, while this process traces it. Sets `refused` when
// the system does not allow tracing.
std::string RunTraced(bool& refused)
{
    refused = false;
    int out[2];
    if (pipe(out) != 0)
        return {};
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        close(out[0]);
        close(out[1]);
        return {};
    }
    if (pid == 0) {
        dup2(out[1], STDERR_FILENO);
        setenv("ORU_TEST_TRACED_CHILD", "1", 1);
        unsetenv("ORU_DEBUG_OUTPUT");
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0)
            _exit(77);
        execl("/proc/self/exe", "traced", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    // The tracee stops at its exec and at every signal; each stop is resumed
    // with the signal it stopped for, except the exec's own SIGTRAP.
    int status = 0;
    bool execStop = true;
    while (waitpid(pid, &status, 0) == pid && WIFSTOPPED(status)) {
        const int sig = WSTOPSIG(status);
        ptrace(PTRACE_CONT, pid, nullptr, (execStop && sig == SIGTRAP) ? 0 : sig);
        execStop = false;
    }
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<size_t>(n));
    close(out[0]);
    refused = WIFEXITED(status) && WEXITSTATUS(status) == 77;
    return text;
}

TEST(DebugChannel, WithoutASettingGoesToStandardErrorOnlyWhenTraced)
{
    CScopedEnv env("ORU_DEBUG_OUTPUT", nullptr);
    testing::internal::CaptureStderr();
    WriteDebugChannel("only under a debugger\n");
    const std::string captured = testing::internal::GetCapturedStderr();
    EXPECT_EQ(captured, TracedAccordingToProc() ? "only under a debugger\n" : "");

    bool refused = false;
    const std::string traced = RunTraced(refused);
    if (refused)
        GTEST_SKIP() << "this system does not allow ptrace";
    EXPECT_EQ(traced, "seen by the tracer\n");
}

TEST(MessageBox, NeedsADisplayForWindows)
{
    CScopedEnv ui("ORU_UI", nullptr);
    CScopedEnv x11("DISPLAY", nullptr);
    CScopedEnv wayland("WAYLAND_DISPLAY", nullptr);
    EXPECT_FALSE(UiHasWindows());
}

TEST(ReportWindowHelper, IsFoundThroughTheEnvironmentOnlyWhenExecutable)
{
    oru::test::CTempDir dir;
    CScopedEnv missing("ORU_REPORT_WINDOW", dir.File("nothing-here").c_str());
    EXPECT_EQ(FindReportWindowHelper(), "");
    CScopedEnv present("ORU_REPORT_WINDOW", "/bin/true");
    EXPECT_EQ(FindReportWindowHelper(), "/bin/true");
}

}  // namespace

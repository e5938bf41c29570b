// The report window and a message box in a real X server (Xvfb): a child
// process faults with a display, the test waits for the window by its
// caption, takes a screenshot of it (into the test's temporary folder),
// presses the button and checks how the child ends. A screenshot that the
// tool cannot take, or not in time, makes the test a skip with a note, not a
// failure: it says nothing about the library.

#include <oru/log/exception_handler.h>

#include "crash/crash_child_support.h"
#include "platform/fault_codes.h"
#include "platform/ui.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using namespace oru::test;

constexpr const char* HELPER = ORU_BINARY_DIR "/tools/report-window/oru-report-window";
constexpr int XVFB_START_SECONDS = 15;
constexpr int WINDOW_WAIT_SECONDS = 30;

// An X server on a display number it picks itself (-displayfd), so that
// tests running at once never share one. Stopped in the destructor.
class CVirtualDisplay {
public:
    CVirtualDisplay()
    {
        int fds[2];
        if (pipe(fds) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        const char* argv[] = {"Xvfb", "-displayfd", "3", "-screen", "0", "1024x768x24",
                              "-nolisten", "tcp", nullptr};
        const int spawned = posix_spawnp(&m_nPid, "Xvfb", &actions, nullptr,
                                         const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        if (spawned != 0) {
            m_nPid = -1;
            close(fds[0]);
            return;
        }
        std::string number;
        pollfd pfd{fds[0], POLLIN, 0};
        char c = 0;
        while (poll(&pfd, 1, XVFB_START_SECONDS * 1000) > 0 && read(fds[0], &c, 1) == 1 &&
               c != '\n')
            number += c;
        close(fds[0]);
        if (!number.empty())
            m_strDisplay = ":" + number;
    }

    ~CVirtualDisplay()
    {
        if (m_nPid <= 0)
            return;
        kill(m_nPid, SIGTERM);
        int status = 0;
        for (int i = 0; i < 200 && waitpid(m_nPid, &status, WNOHANG) == 0; ++i)
            usleep(10 * 1000);
        if (waitpid(m_nPid, &status, WNOHANG) == 0) {
            kill(m_nPid, SIGKILL);
            waitpid(m_nPid, &status, 0);
        }
    }
    CVirtualDisplay(const CVirtualDisplay&) = delete;
    CVirtualDisplay& operator=(const CVirtualDisplay&) = delete;

    const std::string& Name() const { return m_strDisplay; }  // empty: not started

    // Runs an X client command line on this display; its standard output.
    std::string Run(const std::string& command, int* pStatus = nullptr) const
    {
        const std::string line = "DISPLAY=" + m_strDisplay + " " + command;
        std::string output;
        FILE* pPipe = popen(line.c_str(), "r");
        if (!pPipe)
            return output;
        char buffer[256];
        while (fgets(buffer, sizeof buffer, pPipe))
            output += buffer;
        const int status = pclose(pPipe);
        if (pStatus)
            *pStatus = status;
        return output;
    }

    // Waits for a window with exactly this caption; its id, or empty.
    std::string WaitForWindow(const std::string& caption) const
    {
        int status = -1;
        const std::string id = Run("timeout " + std::to_string(WINDOW_WAIT_SECONDS) +
                                       " xdotool search --sync --onlyvisible --name '^" + caption +
                                       "$' 2>/dev/null | head -n 1",
                                   &status);
        return id.empty() ? id : id.substr(0, id.find('\n'));
    }

    bool Screenshot(const std::string& path) const
    {
        int status = -1;
        Run("timeout 20 import -window root '" + path + "'", &status);
        struct stat st {};
        return status == 0 && stat(path.c_str(), &st) == 0 && st.st_size > 0;
    }

    void PressKeys(const std::string& windowId, const std::string& keys) const
    {
        Run("timeout 10 xdotool windowfocus --sync " + windowId + " key --clearmodifiers " + keys);
    }

private:
    pid_t m_nPid = -1;
    std::string m_strDisplay;
};

class ReportWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (access(HELPER, X_OK) != 0)
            GTEST_SKIP() << "oru-report-window is not part of this build (tools are off)";
        ASSERT_FALSE(m_display.Name().empty()) << "Xvfb did not start";
    }

    oru::test::EnvChanges WindowEnvironment() const
    {
        return {{"DISPLAY", m_display.Name()},
                {"WAYLAND_DISPLAY", std::nullopt},
                {"ORU_UI", std::nullopt},
                {"ORU_REPORT_WINDOW", std::string(HELPER)},
                {"GDK_BACKEND", "x11"},
                {"NO_AT_BRIDGE", "1"}};
    }

    // Takes a screenshot into the test's folder; false when the tool failed
    // or ran out of time.
    bool Screenshot(const std::string& name) const { return m_display.Screenshot(m_dir.File(name)); }

    oru::test::CTempDir m_dir;
    CVirtualDisplay m_display;
};

constexpr const char* SCREENSHOT_SKIP =
    "everything was checked, but the screenshot tool (import) failed or was too slow";

[[gnu::noinline]] void FailInHost()
{
    OruCriticalError(L"texture %ls missing", L"Town.dds");
}

TEST_F(ReportWindow, ShowsTheReportAndEndsTheProcessWhenExitIsPressed)
{
    const std::string dir = m_dir.Path().string();
    CChild child = StartChild(FailInHost, dir, WindowEnvironment());

    const std::string window = m_display.WaitForWindow("Oru Exception Handler");
    ASSERT_FALSE(window.empty()) << "no report window appeared";
    const bool bShot = Screenshot("crash_window.png");
    EXPECT_TRUE(IsRunning(child)) << "the process waits while the window is open";
    EXPECT_NE(ReadReportFiles(dir).find("Message : texture Town.dds missing"),
              std::string::npos)
        << "the report file is written before the window opens";

    m_display.PressKeys(window, "alt+x");
    const CChildResult result = WaitForChild(child, WINDOW_WAIT_SECONDS);
    EXPECT_TRUE(result.EndedByFault(ORU_FAULT_GENERAL_ERROR)) << result.m_nStatus;
    EXPECT_EQ(result.m_strError.find("< call stack >"), std::string::npos)
        << "with a window the report does not go to standard error";
    if (!bShot)
        GTEST_SKIP() << SCREENSHOT_SKIP;
}

TEST_F(ReportWindow, MessageBoxWaitsForOk)
{
    CChild child = StartChild(
        [] { oru::platform::ShowMessageBox(L"Oru Test Caption", L"The level must be 0 to 9."); },
        m_dir.Path().string(), WindowEnvironment());

    const std::string window = m_display.WaitForWindow("Oru Test Caption");
    ASSERT_FALSE(window.empty()) << "no message box appeared";
    const bool bShot = Screenshot("message_box.png");
    EXPECT_TRUE(IsRunning(child));

    m_display.PressKeys(window, "Return");
    const CChildResult result = WaitForChild(child, WINDOW_WAIT_SECONDS);
    EXPECT_TRUE(result.ExitedWith(0))
        << result.m_nStatus;
    EXPECT_EQ(result.m_strError.find("Oru Test Caption:"), std::string::npos)
        << "with a window the message does not go to standard error";
    if (!bShot)
        GTEST_SKIP() << SCREENSHOT_SKIP;
}

// A display that accepts the connection and never answers: the helper waits
// on it for ever, so the library gives it a second to show its window, then
// writes the report to standard error and ends the process by its signal.
TEST(ReportWindowLimit, ADisplayThatNeverAnswersGetsTheReportOnStandardError)
{
    if (access(HELPER, X_OK) != 0)
        GTEST_SKIP() << "oru-report-window is not part of this build (tools are off)";
    // X display N listens on TCP port 6000 + N; the kernel completes the
    // connections in the backlog, and nothing ever answers them.
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    int display = -1;
    for (int candidate = 50; candidate < 100 && display < 0; ++candidate) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(6000 + candidate));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            display = candidate;
    }
    ASSERT_GE(display, 0) << "no free display port";
    ASSERT_EQ(listen(listener, 16), 0);

    oru::test::CTempDir dir;
    const CChildResult result = RunInChild(
        [] {
            oru::platform::SetWindowShowLimit(1000);
            FailInHost();
        },
        dir.Path().string(),
        {{"DISPLAY", "127.0.0.1:" + std::to_string(display)},
         {"WAYLAND_DISPLAY", std::nullopt},
         {"ORU_UI", std::nullopt},
         {"ORU_REPORT_WINDOW", std::string(HELPER)},
         {"GDK_BACKEND", "x11"},
         {"NO_AT_BRIDGE", "1"}},
        30);
    close(listener);
    EXPECT_FALSE(result.m_bTimedOut);
    EXPECT_TRUE(result.EndedByFault(ORU_FAULT_GENERAL_ERROR)) << result.m_nStatus;
    EXPECT_NE(result.m_strError.find("Message : texture Town.dds missing"), std::string::npos)
        << result.m_strError;
}

}  // namespace

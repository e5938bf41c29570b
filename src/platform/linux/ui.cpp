#include "platform/ui.h"

#include "core/utf8.h"
#include "platform/fault_signals.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <poll.h>
#include <string_view>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace oru::platform {
namespace {

constexpr unsigned DEFAULT_SHOW_LIMIT_MS = 5000;
std::atomic<unsigned> s_nShowLimitMs{DEFAULT_SHOW_LIMIT_MS};

bool IsExecutable(const char* path)
{
    return path[0] != '\0' && access(path, X_OK) == 0;
}

// Copies the pieces one after the other into `out`; false when they do not
// fit.
bool Join(char* out, size_t size, std::initializer_list<std::string_view> pieces)
{
    size_t length = 0;
    for (const std::string_view piece : pieces) {
        if (length + piece.size() + 1 > size)
            return false;
        memcpy(out + length, piece.data(), piece.size());
        length += piece.size();
    }
    out[length] = '\0';
    return true;
}

// The folder that holds this library (or the program it is linked into),
// found once when the library loads: dladdr takes the loader's lock, which
// a crash report must not wait for.
struct COwnFolder {
    char m_szPath[PATH_MAX] = {};
    COwnFolder()
    {
        Dl_info info{};
        if (!dladdr(reinterpret_cast<void*>(&IsExecutable), &info) || !info.dli_fname)
            return;
        const std::string_view path = info.dli_fname;
        const size_t slash = path.rfind('/');
        Join(m_szPath, sizeof m_szPath, {slash == std::string_view::npos ? "." : path.substr(0, slash)});
    }
};
const COwnFolder s_ownFolder;

// The helper's path into `path`; false when it cannot be found.
bool FindHelper(char* path, size_t size)
{
    const char* configured = getenv("ORU_REPORT_WINDOW");
    if (configured && *configured)
        return Join(path, size, {configured}) && IsExecutable(path);
    // Installed: <prefix>/lib/liboru_core.so beside <prefix>/libexec/oru_core/.
    if (s_ownFolder.m_szPath[0] != '\0' &&
        Join(path, size, {s_ownFolder.m_szPath, "/../", ORU_REPORT_WINDOW_INSTALL_SUBPATH}) &&
        IsExecutable(path))
        return true;
    return Join(path, size, {ORU_REPORT_WINDOW_BUILD_PATH}) && IsExecutable(path);
}

bool DisplayConfigured()
{
    const char* mode = getenv("ORU_UI");
    if (mode && strcmp(mode, "stderr") == 0)
        return false;
    const char* x11 = getenv("DISPLAY");
    const char* wayland = getenv("WAYLAND_DISPLAY");
    return (x11 && *x11) || (wayland && *wayland);
}

void WriteStderr(std::string_view text)
{
    WriteStandardError(text.data(), text.size());
}

// Sends `data` to the helper's standard input. A socket rather than a pipe:
// a helper that dies early must not kill this process with SIGPIPE.
void SendAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data.remove_prefix(static_cast<size_t>(n));
    }
}

// Starts `argv[0]` with `input` as its standard input: vfork and execve, so
// that nothing is allocated (posix_spawn's file actions are) and a signal
// handler may do it. The helper starts with default signal handling and no
// blocked signals, whatever the game or a signal handler set. -1 on failure.
pid_t SpawnWithInput(const char* const argv[], int input)
{
    const pid_t pid = vfork();
    if (pid != 0)
        return pid;
    // The child shares the parent's memory until execve: system calls only.
    struct sigaction standard{};
    standard.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal)
        sigaction(signal, &standard, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (dup2(input, STDIN_FILENO) < 0)
        _exit(127);
    execve(argv[0], const_cast<char* const*>(argv), environ);
    _exit(127);
}

// Waits up to `limitMs` for the helper's word that its window is up (one
// byte back on the socket); false when it ends, or the time runs out, first.
bool AwaitWindowShown(int fd, unsigned limitMs)
{
    pollfd poller{fd, POLLIN, 0};
    for (;;) {
        const int ready = poll(&poller, 1, static_cast<int>(limitMs));
        if (ready < 0 && errno == EINTR)
            continue;   // the limit starts again; a signal storm is not expected here
        if (ready <= 0)
            return false;
        char shown = 0;
        return recv(fd, &shown, 1, 0) == 1;
    }
}

bool WaitForExit(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Runs the helper with `argv` (argv[0] its path, null-terminated) and
// `input` on its standard input. True once its window has been shown and
// closed; false when it could not be started, did not show its window within
// the limit (it is then ended) or did not end normally.
bool RunHelper(const char* const argv[], std::string_view input)
{
    int sockets[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0)
        return false;
    const pid_t pid = SpawnWithInput(argv, sockets[1]);
    close(sockets[1]);
    if (pid < 0) {
        close(sockets[0]);
        return false;
    }
    SendAll(sockets[0], input);
    shutdown(sockets[0], SHUT_WR);  // the end of the text; the way back stays open
    const bool shown = AwaitWindowShown(sockets[0], s_nShowLimitMs.load(std::memory_order_relaxed));
    close(sockets[0]);
    if (!shown)
        kill(pid, SIGKILL);
    const bool closed = WaitForExit(pid);
    return shown && closed;
}

}  // namespace

void SetWindowShowLimit(unsigned milliseconds)
{
    s_nShowLimitMs.store(milliseconds, std::memory_order_relaxed);
}

bool UiHasWindows()
{
    char helper[PATH_MAX];
    return DisplayConfigured() && FindHelper(helper, sizeof helper);
}

std::string FindReportWindowHelper()
{
    char helper[PATH_MAX];
    return FindHelper(helper, sizeof helper) ? std::string(helper) : std::string();
}

void ShowMessageBox(const std::wstring& caption, const std::wstring& text)
{
    const std::string captionUtf8 = oru::detail::ToUtf8Lossy(caption);
    const std::string textUtf8 = oru::detail::ToUtf8Lossy(text);
    char helper[PATH_MAX];
    if (DisplayConfigured() && FindHelper(helper, sizeof helper)) {
        const char* const argv[] = {helper, "--message-box", captionUtf8.c_str(), textUtf8.c_str(),
                                    nullptr};
        if (RunHelper(argv, {}))
            return;
    }
    WriteStderr(captionUtf8 + ": " + textUtf8 + "\n");
}

bool ShowCrashReportWindow(std::string_view reportUtf8)
{
    char helper[PATH_MAX];
    if (!DisplayConfigured() || !FindHelper(helper, sizeof helper))
        return false;
    const char* const argv[] = {helper, "--report", nullptr};
    return RunHelper(argv, reportUtf8);
}

void ShowCrashReport(std::string_view reportUtf8)
{
    if (ShowCrashReportWindow(reportUtf8))
        return;
    WriteStderr(reportUtf8);
    WriteStderr("\n");
}

}  // namespace oru::platform

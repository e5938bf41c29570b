#include "platform/ui.h"

#include "core/utf8.h"
#include "platform/fault_signals.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <spawn.h>
#include <string_view>
#include <vector>
#include <csignal>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace oru::platform {
namespace {

bool IsExecutable(const std::string& path)
{
    return !path.empty() && access(path.c_str(), X_OK) == 0;
}

// The folder that holds this library (or the program it is linked into).
std::string OwnFolder()
{
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&OwnFolder), &info) || !info.dli_fname)
        return {};
    std::string path = info.dli_fname;
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

void WriteStderr(std::string_view text)
{
    WriteStandardError(text.data(), text.size());
}

// Sends `data` to the helper's standard input and closes it. The helper
// reads everything before it opens a window, so one thread can send and then
// wait. A socket rather than a pipe: a helper that dies early must not kill
// this process with SIGPIPE.
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

// Starts the helper with `args` and `input` on its standard input, and waits
// for it; false when it could not be started or did not end normally. The
// helper starts with default signal handling and no blocked signals, whatever
// the game or a signal handler set.
bool RunHelper(const std::string& helper, const std::vector<std::string>& args,
               std::string_view input = {})
{
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(helper.c_str()));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    int sockets[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, sockets[1], STDIN_FILENO);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, helper.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(sockets[1]);
    if (spawned != 0) {
        close(sockets[0]);
        return false;
    }
    SendAll(sockets[0], input);
    close(sockets[0]);

    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

bool UiHasWindows()
{
    const char* mode = getenv("ORU_UI");
    if (mode && strcmp(mode, "stderr") == 0)
        return false;
    const char* x11 = getenv("DISPLAY");
    const char* wayland = getenv("WAYLAND_DISPLAY");
    if (!(x11 && *x11) && !(wayland && *wayland))
        return false;
    return !FindReportWindowHelper().empty();
}

std::string FindReportWindowHelper()
{
    const char* configured = getenv("ORU_REPORT_WINDOW");
    if (configured && *configured)
        return IsExecutable(configured) ? std::string(configured) : std::string();

    // Installed: <prefix>/lib/liboru_core.so beside <prefix>/libexec/oru_core/.
    const std::string installed = OwnFolder() + "/../" ORU_REPORT_WINDOW_INSTALL_SUBPATH;
    if (IsExecutable(installed))
        return installed;
    if (IsExecutable(ORU_REPORT_WINDOW_BUILD_PATH))
        return ORU_REPORT_WINDOW_BUILD_PATH;
    return {};
}

void ShowMessageBox(const std::wstring& caption, const std::wstring& text)
{
    const std::string captionUtf8 = oru::detail::ToUtf8Lossy(caption);
    const std::string textUtf8 = oru::detail::ToUtf8Lossy(text);
    if (UiHasWindows() &&
        RunHelper(FindReportWindowHelper(), {"--message-box", captionUtf8, textUtf8}))
        return;
    WriteStderr(captionUtf8 + ": " + textUtf8 + "\n");
}

void ShowCrashReport(std::string_view reportUtf8)
{
    if (UiHasWindows() && RunHelper(FindReportWindowHelper(), {"--report"}, reportUtf8))
        return;
    WriteStderr(reportUtf8);
    WriteStderr("\n");
}

}  // namespace oru::platform

#include "platform/ui.h"

#include "core/utf8.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <spawn.h>
#include <string_view>
#include <vector>
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
    while (!text.empty()) {
        const ssize_t n = write(STDERR_FILENO, text.data(), text.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        text.remove_prefix(static_cast<size_t>(n));
    }
}

// Starts the helper with `args` and waits for it; false when it could not
// be started or did not end normally.
bool RunHelper(const std::string& helper, const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(helper.c_str()));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, helper.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
        return false;
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

}  // namespace oru::platform

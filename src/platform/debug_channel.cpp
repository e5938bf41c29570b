#include "platform/debug_channel.h"

#include "platform/clock.h"
#include "platform/files.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <unistd.h>

namespace oru::platform {
namespace {

bool ReadTracerPid()
{
    const int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[4096];
    ssize_t n = 0;
    do {
        n = read(fd, buf, sizeof buf - 1);
    } while (n < 0 && errno == EINTR);
    close(fd);
    if (n <= 0)
        return false;
    buf[n] = '\0';
    const char* p = strstr(buf, "TracerPid:");
    return p && atoi(p + strlen("TracerPid:")) != 0;
}

// The file named by ORU_DEBUG_OUTPUT, opened once and reopened only when the
// variable names another path.
class CDebugFile {
public:
    void Write(const char* path, std::string_view text)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_fd < 0 || m_strPath != path) {
            if (m_fd >= 0)
                close(m_fd);
            m_strPath = path;
            m_fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        }
        if (m_fd >= 0)
            WriteAll(m_fd, text);
    }

private:
    std::mutex m_mutex;
    std::string m_strPath;
    int m_fd = -1;
};

}  // namespace

bool IsDebuggerAttached()
{
    static std::atomic<uint32_t> s_nCheckedAt{0};
    static std::atomic<bool> s_bAttached{false};
    static std::atomic<bool> s_bChecked{false};
    const uint32_t now = MonotonicMilliseconds();
    if (!s_bChecked.load(std::memory_order_relaxed) ||
        now - s_nCheckedAt.load(std::memory_order_relaxed) >= 1000) {
        s_bAttached.store(ReadTracerPid(), std::memory_order_relaxed);
        s_nCheckedAt.store(now, std::memory_order_relaxed);
        s_bChecked.store(true, std::memory_order_relaxed);
    }
    return s_bAttached.load(std::memory_order_relaxed);
}

bool IsDebugChannelOpen()
{
    const char* target = getenv("ORU_DEBUG_OUTPUT");
    return (target && *target) || IsDebuggerAttached();
}

void WriteDebugChannel(std::string_view textUtf8)
{
    const char* target = getenv("ORU_DEBUG_OUTPUT");
    if (!target || !*target) {
        if (IsDebuggerAttached())
            WriteAll(STDERR_FILENO, textUtf8);
        return;
    }
    if (strcmp(target, "stderr") == 0) {
        WriteAll(STDERR_FILENO, textUtf8);
        return;
    }
    static CDebugFile* s_pFile = new CDebugFile;  // lives to process end
    s_pFile->Write(target, textUtf8);
}

}  // namespace oru::platform

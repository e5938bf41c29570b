#include "platform/debug_channel.h"

#include "platform/clock.h"
#include "descriptor.h"

#include <atomic>
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
    const CDescriptor status = CDescriptor::Open("/proc/self/status", O_RDONLY);
    char buf[4096];
    const size_t n = status.ReadUpTo(buf, sizeof buf - 1);
    if (n == 0)
        return false;
    buf[n] = '\0';
    const char* p = strstr(buf, "TracerPid:");
    return p && atoi(p + strlen("TracerPid:")) != 0;
}

// The file named by ORU_DEBUG_OUTPUT, opened once and reopened only when the
// setting names another path. Opened without waiting, so that a FIFO with no
// reader in its place cannot hang every log line. Its writes do not pass the
// fault seam: diagnostics must not shift a test's count of file changes.
class CDebugFile {
public:
    void Write(const std::string& path, std::string_view text)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_fd.IsOpen() || m_strPath != path) {
            m_fd.Close();
            m_strPath = path;
            m_fd = CDescriptor::OpenWithoutWaiting(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        }
        WriteAll(m_fd.Get(), text);
    }

private:
    std::mutex m_mutex;
    std::string m_strPath;
    CDescriptor m_fd;
};

}  // namespace

bool IsDebuggerAttached()
{
    static std::atomic<int64_t> s_nCheckedAt{0};
    static std::atomic<bool> s_bAttached{false};
    static std::atomic<bool> s_bChecked{false};
    // The calendar clock's second is cheaper to read than the monotonic
    // clock; a jump of the calendar only brings the next check forward.
    const int64_t now = CalendarSeconds();
    if (!s_bChecked.load(std::memory_order_relaxed) || now != s_nCheckedAt.load(std::memory_order_relaxed)) {
        s_bAttached.store(ReadTracerPid(), std::memory_order_relaxed);
        s_nCheckedAt.store(now, std::memory_order_relaxed);
        s_bChecked.store(true, std::memory_order_relaxed);
    }
    return s_bAttached.load(std::memory_order_relaxed);
}

// A debugger on Linux reads the program's standard error.
void WriteToDebugger(std::string_view textUtf8)
{
    WriteAll(STDERR_FILENO, textUtf8);
}

void AppendToDebugFile(const std::string& pathUtf8, std::string_view textUtf8)
{
    static CDebugFile* s_pFile = new CDebugFile;  // lives to process end
    s_pFile->Write(pathUtf8, textUtf8);
}

}  // namespace oru::platform

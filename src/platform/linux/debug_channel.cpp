#include "platform/debug_channel.h"

#include "platform/clock.h"
#include "descriptor.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <new>
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

// Where ORU_DEBUG_OUTPUT sends the channel.
struct CChannelSetting {
    enum eTarget { TARGET_DEBUGGER, TARGET_STDERR, TARGET_FILE };

    eTarget m_eTarget = TARGET_DEBUGGER;
    std::string m_strPath;   // for TARGET_FILE
};

// Null only when memory runs out: the channel then behaves as if the
// variable were unset.
const CChannelSetting* ReadSetting()
{
    const char* value = getenv("ORU_DEBUG_OUTPUT");
    try {
        auto* pSetting = new CChannelSetting;
        if (value && strcmp(value, "stderr") == 0) {
            pSetting->m_eTarget = CChannelSetting::TARGET_STDERR;
        } else if (value && *value) {
            pSetting->m_eTarget = CChannelSetting::TARGET_FILE;
            pSetting->m_strPath = value;
        }
        return pSetting;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// Made at first use; replaced only by ReloadDebugChannelSetting.
std::atomic<const CChannelSetting*>& SettingSlot()
{
    static std::atomic<const CChannelSetting*> s_pSetting{ReadSetting()};
    return s_pSetting;
}

CChannelSetting::eTarget Target(const CChannelSetting* pSetting)
{
    return pSetting ? pSetting->m_eTarget : CChannelSetting::TARGET_DEBUGGER;
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

bool IsDebugChannelOpen()
{
    return Target(SettingSlot().load(std::memory_order_acquire)) != CChannelSetting::TARGET_DEBUGGER ||
           IsDebuggerAttached();
}

void WriteDebugChannel(std::string_view textUtf8)
{
    const CChannelSetting* pSetting = SettingSlot().load(std::memory_order_acquire);
    switch (Target(pSetting)) {
    case CChannelSetting::TARGET_DEBUGGER:
        if (IsDebuggerAttached())
            WriteAll(STDERR_FILENO, textUtf8);
        return;
    case CChannelSetting::TARGET_STDERR:
        WriteAll(STDERR_FILENO, textUtf8);
        return;
    case CChannelSetting::TARGET_FILE: {
        static CDebugFile* s_pFile = new CDebugFile;  // lives to process end
        s_pFile->Write(pSetting->m_strPath, textUtf8);
        return;
    }
    }
}

void ReloadDebugChannelSetting()
{
    delete SettingSlot().exchange(ReadSetting(), std::memory_order_acq_rel);
}

}  // namespace oru::platform

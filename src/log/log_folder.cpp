// The log folder is kept in fixed buffers, filled before any fault, so that
// the crash handler can read it without allocating or locking. A new folder
// is written into the buffer not in use and then published, so a reader
// never sees half a path.

#include "log/log_folder.h"

#include <oru/core/critical_section.h>
#include <oru/log/log_folder.h>

#include "core/utf8.h"
#include "platform/fault_signals.h"
#include "platform/user_folders.h"

#include <atomic>
#include <cstring>

namespace {

constexpr size_t FOLDER_BYTES = 4096;
constexpr char DEFAULT_FOLDER[] = "./oru_log";

struct CFolderText {
    char m_sz[FOLDER_BYTES];
};

constinit CFolderText s_requested[2] = {{"./oru_log"}, {"./oru_log"}};
constinit std::atomic<int> s_nRequested{0};  // the buffer in use
constinit CFolderText s_fallback{};          // empty when the user has no state folder
constinit std::atomic<bool> s_bResolved{false};
constinit std::atomic<bool> s_bFallenBack{false};
constinit COruCriticalSection s_cs;  // setting and resolving
bool s_bSaid = false;                // the fallback was announced

const char* Requested()
{
    return s_requested[s_nRequested.load(std::memory_order_acquire)].m_sz;
}

bool StoreRequested(const std::string& utf8)
{
    if (utf8.empty() || utf8.size() >= FOLDER_BYTES)
        return false;
    const int next = 1 - s_nRequested.load(std::memory_order_relaxed);
    std::memcpy(s_requested[next].m_sz, utf8.c_str(), utf8.size() + 1);
    s_nRequested.store(next, std::memory_order_release);
    s_bFallenBack.store(false);
    s_bResolved.store(false);
    return true;
}

void Say(const std::string& text)
{
    oru::platform::WriteStandardError(text.data(), text.size());
}

}  // namespace

namespace oru::detail {

void InitLogFolder()
{
    static_assert(sizeof DEFAULT_FOLDER <= FOLDER_BYTES);
    COruLock lock(s_cs);
    if (const char* pEnv = oru::platform::EnvironmentValue("ORU_LOG_DIR"); pEnv && *pEnv)
        StoreRequested(pEnv);
    const std::string fallback = oru::platform::UserStateFolder();
    if (fallback.size() < FOLDER_BYTES)
        std::memcpy(s_fallback.m_sz, fallback.c_str(), fallback.size() + 1);
}

std::string LogFolderForWritingUtf8()
{
    COruLock lock(s_cs);
    const std::string requested = Requested();
    if (!s_bResolved.load()) {
        bool fallBack = false;
        if (!oru::platform::MakeFolderChain(requested.c_str()) ||
            !oru::platform::IsWritableFolder(requested.c_str())) {
            fallBack = s_fallback.m_sz[0] != '\0' && oru::platform::MakeFolderChain(s_fallback.m_sz) &&
                       oru::platform::IsWritableFolder(s_fallback.m_sz);
            if (fallBack && !s_bSaid) {
                s_bSaid = true;
                Say(std::string("oru_core: cannot write to the log folder ") + requested +
                    "; logs and crash reports go to " + s_fallback.m_sz + "\n");
            }
        }
        s_bFallenBack.store(fallBack);
        s_bResolved.store(true);
    }
    return s_bFallenBack.load() ? std::string(s_fallback.m_sz) : requested;
}

std::wstring LogFolderForWriting()
{
    return FromUtf8(LogFolderForWritingUtf8()).value_or(std::wstring(L"./oru_log"));
}

const char* CrashReportFolder(bool fallback)
{
    if (fallback)
        return s_bFallenBack.load() ? "" : s_fallback.m_sz;
    return s_bFallenBack.load() ? s_fallback.m_sz : Requested();
}

}  // namespace oru::detail

bool OruSetLogFolder(const wchar_t* folder)
{
    if (!folder)
        return false;
    const std::optional<std::string> utf8 = oru::detail::ToUtf8(folder);
    COruLock lock(s_cs);
    return utf8 && StoreRequested(*utf8);
}

std::wstring OruGetLogFolder()
{
    return oru::detail::LogFolderForWriting();
}

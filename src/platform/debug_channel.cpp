// The debug channel's setting and where each line goes; what the system
// does with a line (a debugger, standard error, a file) is in its folder.

#include "platform/debug_channel.h"

#include "platform/fault_signals.h"
#include "platform/user_folders.h"

#include <atomic>
#include <cstring>
#include <new>
#include <string>

namespace oru::platform {
namespace {

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
    const char* value = EnvironmentValue("ORU_DEBUG_OUTPUT");
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

}  // namespace

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
            WriteToDebugger(textUtf8);
        return;
    case CChannelSetting::TARGET_STDERR:
        WriteStandardError(textUtf8.data(), textUtf8.size());
        return;
    case CChannelSetting::TARGET_FILE:
        AppendToDebugFile(pSetting->m_strPath, textUtf8);
        return;
    }
}

void ReloadDebugChannelSetting()
{
    delete SettingSlot().exchange(ReadSetting(), std::memory_order_acq_rel);
}

}  // namespace oru::platform

#include "platform/debug_channel.h"

#include <windows.h>

#include <climits>
#include <mutex>
#include <string>

namespace oru::platform {
namespace {

// UTF-8 to UTF-16 for the system's calls; an invalid sequence becomes
// U+FFFD here, since a diagnostic line is better shown than dropped.
std::wstring Widen(std::string_view textUtf8)
{
    if (textUtf8.empty() || textUtf8.size() > static_cast<size_t>(INT_MAX))
        return std::wstring();
    const int length = static_cast<int>(textUtf8.size());
    const int size = MultiByteToWideChar(CP_UTF8, 0, textUtf8.data(), length, nullptr, 0);
    std::wstring wide(static_cast<size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0)
        MultiByteToWideChar(CP_UTF8, 0, textUtf8.data(), length, wide.data(), size);
    return wide;
}

// The file named by ORU_DEBUG_OUTPUT, opened once and reopened only when the
// setting names another path. Opened to append, shared with every other
// reader and writer, so a test can read it while the program writes.
class CDebugFile {
public:
    void Write(const std::string& path, std::string_view text)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_hFile == INVALID_HANDLE_VALUE || m_strPath != path) {
            if (m_hFile != INVALID_HANDLE_VALUE)
                CloseHandle(m_hFile);
            m_strPath = path;
            m_hFile = CreateFileW(Widen(path).c_str(), FILE_APPEND_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        }
        while (m_hFile != INVALID_HANDLE_VALUE && !text.empty()) {
            DWORD written = 0;
            const DWORD chunk = text.size() > 1u << 30 ? 1u << 30 : static_cast<DWORD>(text.size());
            if (!WriteFile(m_hFile, text.data(), chunk, &written, nullptr) || written == 0)
                return;
            text.remove_prefix(written);
        }
    }

private:
    std::mutex m_mutex;
    std::string m_strPath;
    HANDLE m_hFile = INVALID_HANDLE_VALUE;
};

}  // namespace

bool IsDebuggerAttached()
{
    return IsDebuggerPresent() != FALSE;
}

void WriteToDebugger(std::string_view textUtf8)
{
    OutputDebugStringW(Widen(textUtf8).c_str());
}

void AppendToDebugFile(const std::string& pathUtf8, std::string_view textUtf8)
{
    static CDebugFile* s_pFile = new CDebugFile;  // lives to process end
    s_pFile->Write(pathUtf8, textUtf8);
}

}  // namespace oru::platform

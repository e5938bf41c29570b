#include "platform/user_folders.h"

#include "platform/files.h"
#include "wide_path.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <deque>
#include <map>
#include <mutex>
#include <new>

namespace oru::platform {
namespace {

// The name the program was started by, without its folder and ".exe".
std::string ProgramName()
{
    wchar_t path[MAX_PATH + 1];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH)
        return {};
    std::wstring_view name(path, length);
    const size_t slash = name.find_last_of(L"\\/");
    if (slash != std::wstring_view::npos)
        name.remove_prefix(slash + 1);
    const size_t dot = name.rfind(L'.');
    if (dot != std::wstring_view::npos && dot > 0)
        name = name.substr(0, dot);
    return NarrowPath(name.data(), name.size());
}

// "C:/..." or "//server/...": what the system takes as a whole path.
bool IsAbsolute(const std::string& path)
{
    return (path.size() > 2 && path[1] == ':' && path[2] == '/') ||
           (path.size() > 2 && path[0] == '/' && path[1] == '/');
}

bool IsSeparator(char c)
{
    return c == '/' || c == '\\';
}

}  // namespace

// The user's local application data, the folder Windows keeps for state
// that stays on this machine.
std::string UserStateFolder()
{
    std::string program = ProgramName();
    if (program.empty())
        program = "oru_core";
    const char* pLocal = EnvironmentValue("LOCALAPPDATA");
    if (!pLocal)
        return std::string();
    std::string local = pLocal;
    for (char& c : local)
        if (c == '\\')
            c = '/';
    if (!IsAbsolute(local))
        return std::string();
    if (local.back() != '/')
        local += '/';
    return local + program;
}

// The drive ("C:") and a server's share ("//server/share") are levels that
// cannot be made; making them fails and the walk goes on below them.
bool MakeFolderChain(const char* pathUtf8)
{
    char path[CWidePath::CAPACITY];
    const size_t length = std::strlen(pathUtf8);
    if (length == 0 || length >= sizeof path)
        return false;
    std::memcpy(path, pathUtf8, length + 1);
    for (size_t i = 1; i < length; ++i) {
        if (!IsSeparator(path[i]) || IsSeparator(path[i - 1]) || path[i - 1] == ':')
            continue;
        const char separator = path[i];
        path[i] = '\0';
        MakeDirectory(path);
        path[i] = separator;
    }
    return MakeDirectory(path);
}

// Whether a file can be made there is asked by making one: the folder's
// access list, the process's rights and a read-only volume all answer at
// once, and the system removes the file as it closes.
bool IsWritableFolder(const char* pathUtf8)
{
    if (!IsFolder(pathUtf8))
        return false;
    const CWidePath folder(pathUtf8);
    wchar_t probe[CWidePath::CAPACITY + 64];
    if (!folder.IsValid() ||
        std::swprintf(probe, sizeof probe / sizeof probe[0], L"%ls/.oru-write-check-%lu-%lu", folder.Get(),
                      GetCurrentProcessId(), GetCurrentThreadId()) < 0)
        return false;
    const HANDLE handle = CreateFileW(probe, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_EXISTS;
    CloseHandle(handle);
    return true;
}

}  // namespace oru::platform

namespace oru::platform {

// The C runtime's environment, read in UTF-16 and given out as UTF-8. A value
// handed out stays valid for the life of the process, as getenv's does
// elsewhere, even when the variable changes later: every value ever handed
// out is kept, and the same text for the same name is handed out again.
const char* EnvironmentValue(const char* name)
{
    static std::mutex s_cs;
    static std::map<std::string, std::deque<std::string>> s_mapValues;
    const CWidePath wideName(name);
    if (!wideName.IsValid())
        return nullptr;
    const wchar_t* pValue = _wgetenv(wideName.Get());
    if (!pValue)
        return nullptr;
    try {
        const size_t length = std::wcslen(pValue);
        std::string value;
        if (length > 0) {
            const int bytes = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, pValue, static_cast<int>(length),
                                                  nullptr, 0, nullptr, nullptr);
            if (bytes <= 0)
                return nullptr;
            value.resize(static_cast<size_t>(bytes));
            WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, pValue, static_cast<int>(length), value.data(),
                                bytes, nullptr, nullptr);
        }
        const std::lock_guard lock(s_cs);
        std::deque<std::string>& values = s_mapValues[name];
        for (const std::string& kept : values)
            if (kept == value)
                return kept.c_str();
        return values.emplace_back(std::move(value)).c_str();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace oru::platform

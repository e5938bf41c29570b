#include "support/system.h"

#include "support/windows/utf16.h"

#include <cstdlib>

#include <windows.h>

namespace oru::test {

const char* MissingFeature(eTestFeature feature)
{
    switch (feature) {
    case eTestFeature::FIFOS:
        return "Windows has no FIFOs in the file system";
    case eTestFeature::POSIX_MODES:
        return "Windows files have no POSIX permission bits";
    case eTestFeature::SYMBOLIC_LINKS:
        return "making symbolic links on Windows needs a privilege that tests cannot count on";
    case eTestFeature::FORKED_CHILD:
        return "Windows has no fork: a child cannot start with the test's state";
    case eTestFeature::FILE_SIZE_LIMIT:
        return "Windows has no limit on how far a process may grow a file";
    case eTestFeature::POSIX_SHELL:
        return "Windows has no POSIX shell, /dev/full or signals to stop and resume a process";
    case eTestFeature::CASE_SENSITIVE_NAMES:
        return "Windows file names ignore case: names that differ only in case are one file";
    case eTestFeature::BACKSLASH_IN_NAMES:
        return "Windows file names cannot hold '\\': it separates folders";
    case eTestFeature::REMOVE_OPEN_FILES:
        return "Wine (as Windows before 10 1809) keeps a removed file's name taken until its last "
               "handle closes";
    case eTestFeature::ADDRESS_SPACE_LIMIT:
        return "Windows has no limit on a process's address space that a test can set";
    case eTestFeature::ATOMIC_APPENDS:
        // Windows appends each write at the end whole; Wine 8 does not when
        // two handles of one file append at once (writes overwrite each other).
        return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")
                   ? "Wine's appends through two handles of one file at once overwrite each other"
                   : nullptr;
    }
    return nullptr;
}

void SetEnvironmentValue(const char* name, const char* value)
{
    // _putenv_s changes the C runtime's copy and the process's own, which
    // the library and child processes read; an empty value removes.
    _putenv_s(name, value ? value : "");
}

bool MakeFifo(const std::string&)
{
    return false;
}

bool IgnoresFileModes()
{
    return false;
}

namespace {

uint64_t Join(DWORD high, DWORD low)
{
    return (uint64_t{high} << 32) | low;
}

}  // namespace

uint64_t FileIdentity(const std::string& path)
{
    const HANDLE hFile = CreateFileW(Utf16(path).c_str(), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return 0;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool read = GetFileInformationByHandle(hFile, &info);
    CloseHandle(hFile);
    return read ? Join(info.nFileIndexHigh, info.nFileIndexLow) : 0;
}

oru::platform::CFileTimes SystemFileTimes(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(Utf16(path).c_str(), GetFileExInfoStandard, &data))
        return {0, 0, 0};
    const auto count = [](const FILETIME& t) { return Join(t.dwHighDateTime, t.dwLowDateTime); };
    return {count(data.ftCreationTime), count(data.ftLastAccessTime), count(data.ftLastWriteTime)};
}

bool SetSystemFileTimes(const std::string& path, uint64_t access, uint64_t write)
{
    const HANDLE hFile = CreateFileW(Utf16(path).c_str(), FILE_WRITE_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return false;
    const auto fileTime = [](uint64_t count) {
        return FILETIME{static_cast<DWORD>(count), static_cast<DWORD>(count >> 32)};
    };
    const FILETIME accessTime = fileTime(access);
    const FILETIME writeTime = fileTime(write);
    const bool set = SetFileTime(hFile, nullptr, &accessTime, &writeTime);
    CloseHandle(hFile);
    return set;
}

void LimitAddressSpace(uint64_t)
{
}

int OpenHandleCount()
{
    DWORD count = 0;
    return GetProcessHandleCount(GetCurrentProcess(), &count) ? static_cast<int>(count) : -1;
}

void* MapPage(bool executable)
{
    return VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT,
                        executable ? PAGE_EXECUTE_READWRITE : PAGE_READWRITE);
}

void UnmapPage(void* pPage)
{
    VirtualFree(pPage, 0, MEM_RELEASE);
}

const char* EntryFunctionName()
{
    return "mainCRTStartup";
}

}  // namespace oru::test

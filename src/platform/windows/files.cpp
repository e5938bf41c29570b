#include "platform/files.h"

#include "descriptor.h"
#include "platform/fault_points.h"
#include "platform/file.h"
#include "system_error.h"
#include "wide_path.h"

#include <windows.h>

#include <atomic>
#include <cerrno>
#include <new>

namespace oru::platform {
namespace {

// What the file behind `path` is, symbolic links followed.
bool FollowedInfo(const std::string& pathUtf8, BY_HANDLE_FILE_INFORMATION& info, DWORD& type)
{
    const CDescriptor file = CDescriptor::OpenToQuery(pathUtf8.c_str());
    if (!file.IsOpen())
        return false;
    type = GetFileType(file.Get());
    return GetFileInformationByHandle(file.Get(), &info) || SetErrnoFromSystem();
}

uint64_t Join(DWORD high, DWORD low)
{
    return (uint64_t{high} << 32) | low;
}

uint64_t Count(const FILETIME& time)
{
    return Join(time.dwHighDateTime, time.dwLowDateTime);
}

// Reparse points that lead somewhere else by name; other kinds (a
// deduplicated or cloud file) stand for the file itself.
bool IsLinkTag(DWORD tag)
{
    return tag == IO_REPARSE_TAG_SYMLINK || tag == IO_REPARSE_TAG_MOUNT_POINT;
}

eEntryKind KindOf(DWORD attributes, DWORD reparseTag)
{
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsLinkTag(reparseTag))
        return eEntryKind::LINK;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return eEntryKind::FOLDER;
    return (attributes & FILE_ATTRIBUTE_DEVICE) ? eEntryKind::OTHER : eEntryKind::FILE;
}

bool IsDotOrDotDot(const wchar_t* pName)
{
    return pName[0] == L'.' && (pName[1] == L'\0' || (pName[1] == L'.' && pName[2] == L'\0'));
}

}  // namespace

bool MakeDirectory(const char* pathUtf8)
{
    const CWidePath path(pathUtf8);
    if (!path.IsValid())
        return false;
    if (CreateDirectoryW(path.Get(), nullptr))
        return true;
    if (GetLastError() != ERROR_ALREADY_EXISTS)
        return SetErrnoFromSystem();
    const DWORD attributes = GetFileAttributesW(path.Get());
    errno = EEXIST;
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The creation time is the one the file system keeps.
bool DescriptorSizeAndTimes(NativeHandle handle, uint64_t& size, CFileTimes& times)
{
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info)) {
        errno = EINVAL;
        return false;
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        errno = EISDIR;
        return false;
    }
    size = Join(info.nFileSizeHigh, info.nFileSizeLow);
    times.m_nCreation = Count(info.ftCreationTime);
    times.m_nAccess = Count(info.ftLastAccessTime);
    times.m_nWrite = Count(info.ftLastWriteTime);
    return true;
}

bool FileSizeAndTimes(const std::string& pathUtf8, uint64_t& size, CFileTimes& times)
{
    const CDescriptor file = CDescriptor::OpenToQuery(pathUtf8.c_str());
    return file.IsOpen() && DescriptorSizeAndTimes(file.Get(), size, times);
}

// A folder that cannot be listed is told apart from a name that is not a
// folder (ENOTDIR), as callers walking a tree need; an empty drive root lists
// nothing at all, not even "." and "..".
bool ListFolder(const std::string& pathUtf8, std::vector<CFolderEntry>& entries)
{
    std::string pattern;
    try {
        pattern = pathUtf8 + "/*";
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return RecordFileError();
    }
    const CWidePath wide(pattern);
    if (!wide.IsValid())
        return RecordFileError();
    WIN32_FIND_DATAW found{};
    const HANDLE find = FindFirstFileExW(wide.Get(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                         nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND && IsFolder(pathUtf8))
            return true;
        const CWidePath folder(pathUtf8);
        const DWORD attributes = folder.IsValid() ? GetFileAttributesW(folder.Get()) : INVALID_FILE_ATTRIBUTES;
        SetLastError(error);
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            errno = ENOTDIR;
        else
            SetErrnoFromSystem();
        return RecordFileError();
    }
    bool whole = true;
    do {
        if (IsDotOrDotDot(found.cFileName))
            continue;
        // A name that is no valid UTF-16 (a lone surrogate) has no UTF-8
        // form: it is left out, and the listing is not whole.
        std::string name = NarrowPath(found.cFileName, wcslen(found.cFileName));
        if (name.empty()) {
            errno = EILSEQ;
            whole = RecordFileError();
            continue;
        }
        try {
            entries.push_back({std::move(name), KindOf(found.dwFileAttributes, found.dwReserved0)});
        } catch (const std::bad_alloc&) {
            errno = ENOMEM;
            whole = RecordFileError();
            break;
        }
    } while (FindNextFileW(find, &found));
    if (whole && GetLastError() != ERROR_NO_MORE_FILES)
        whole = RecordSystemError();
    FindClose(find);
    return whole;
}

bool IsFolder(const std::string& pathUtf8)
{
    BY_HANDLE_FILE_INFORMATION info{};
    DWORD type = 0;
    return FollowedInfo(pathUtf8, info, type) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool LinkTarget(const std::string& pathUtf8, eEntryKind& kind, uint64_t& device, uint64_t& inode)
{
    BY_HANDLE_FILE_INFORMATION info{};
    DWORD type = 0;
    if (!FollowedInfo(pathUtf8, info, type))
        return RecordFileError();
    if (type != FILE_TYPE_DISK)
        kind = eEntryKind::OTHER;
    else
        kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? eEntryKind::FOLDER : eEntryKind::FILE;
    device = info.dwVolumeSerialNumber;
    inode = Join(info.nFileIndexHigh, info.nFileIndexLow);
    return true;
}

// A volume's root, or a folder another volume is mounted on: the system
// names it as the volume path of itself.
bool IsMountPoint(const std::string& pathUtf8)
{
    const CWidePath path(pathUtf8);
    if (!path.IsValid() || !IsFolder(pathUtf8))
        return false;
    wchar_t full[CWidePath::CAPACITY];
    wchar_t volume[CWidePath::CAPACITY];
    DWORD length = GetFullPathNameW(path.Get(), CWidePath::CAPACITY, full, nullptr);
    if (length == 0 || length + 2 > CWidePath::CAPACITY ||
        !GetVolumePathNameW(path.Get(), volume, CWidePath::CAPACITY))
        return false;
    if (full[length - 1] != L'\\') {
        full[length++] = L'\\';
        full[length] = L'\0';
    }
    return CompareStringOrdinal(full, -1, volume, -1, TRUE) == CSTR_EQUAL;
}

bool EntryKind(const std::string& pathUtf8, eEntryKind& kind)
{
    const CDescriptor entry = CDescriptor::OpenToQuery(pathUtf8.c_str(), false);
    if (!entry.IsOpen())
        return RecordFileError();
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (GetFileType(entry.Get()) != FILE_TYPE_DISK) {
        kind = eEntryKind::OTHER;
        return true;
    }
    if (!GetFileInformationByHandleEx(entry.Get(), FileAttributeTagInfo, &info, sizeof info))
        return RecordSystemError();
    kind = KindOf(info.FileAttributes, info.ReparseTag);
    return true;
}

// A link to a folder is itself a folder entry to the system and goes as
// one; a read-only file goes too, as it would elsewhere, where removing a
// name asks nothing of the file's own permissions.
bool RemoveFile(const std::string& pathUtf8)
{
    const CWidePath path(pathUtf8);
    if (!path.IsValid())
        return RecordFileError();
    if (DeleteFileW(path.Get()))
        return true;
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return true;
    const DWORD attributes = GetFileAttributesW(path.Get());
    if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT && attributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (RemoveDirectoryW(path.Get()))
                return true;
        } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            errno = EISDIR;
            return RecordFileError();
        } else if ((attributes & FILE_ATTRIBUTE_READONLY) &&
                   SetFileAttributesW(path.Get(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY})) {
            if (DeleteFileW(path.Get()))
                return true;
            error = GetLastError();
            SetFileAttributesW(path.Get(), attributes);
        }
        SetLastError(error);
    }
    return RecordSystemError();
}

namespace {

// The information class that renames with POSIX semantics, which the
// headers name only for some target versions.
constexpr auto FILE_RENAME_INFO_EX = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);

// A rename that replaces a file still open elsewhere (the old file lives on
// for whoever holds it, as elsewhere), which the older rename refuses on
// Windows 10 and later; false, with the system's error, where the system
// does not know it. The file is flushed afterwards for the write-through
// the older rename gives.
bool RenameOverOpenFile(const CWidePath& from, const CWidePath& to)
{
    const CDescriptor source(CreateFileW(from.Get(), DELETE | GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!source.IsOpen())
        return false;
    alignas(FILE_RENAME_INFO) unsigned char storage[sizeof(FILE_RENAME_INFO) + sizeof(wchar_t) * CWidePath::CAPACITY]{};
    auto* pInfo = reinterpret_cast<FILE_RENAME_INFO*>(storage);
    const DWORD length = GetFullPathNameW(to.Get(), CWidePath::CAPACITY, pInfo->FileName, nullptr);
    if (length == 0 || length >= CWidePath::CAPACITY)
        return false;
    pInfo->Flags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS;
    pInfo->FileNameLength = length * sizeof(wchar_t);
    if (!SetFileInformationByHandle(source.Get(), FILE_RENAME_INFO_EX, pInfo, sizeof storage))
        return false;
    FlushFileBuffers(source.Get());
    return true;
}

// A file someone else holds open for a moment (a reader asking for a pack
// index's identity, a virus scanner) makes the older rename fail; the wait
// for such a moment is short and bounded.
constexpr int RENAME_ATTEMPTS = 20;
constexpr DWORD RENAME_PAUSE_MS = 5;

bool IsHeldOpen(DWORD error)
{
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
}

}  // namespace

// Write-through: the rename is on the disk when the call returns.
bool RenameFile(const std::string& fromUtf8, const std::string& toUtf8)
{
    if (!ReachFaultPoint(eFaultKind::RENAME))
        return RecordFileError();
    const CWidePath from(fromUtf8);
    const CWidePath to(toUtf8);
    if (!from.IsValid() || !to.IsValid())
        return RecordFileError();
    constexpr DWORD HOW = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    if (MoveFileExW(from.Get(), to.Get(), HOW))
        return true;
    DWORD error = GetLastError();
    if (!IsHeldOpen(error))
        return RecordSystemError();
    if (RenameOverOpenFile(from, to))
        return true;
    for (int attempt = 1; attempt < RENAME_ATTEMPTS && IsHeldOpen(error); ++attempt) {
        const DWORD attributes = GetFileAttributesW(to.Get());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY))
            break;
        Sleep(RENAME_PAUSE_MS);
        if (MoveFileExW(from.Get(), to.Get(), HOW))
            return true;
        error = GetLastError();
    }
    SetLastError(error);
    return RecordSystemError();
}

// The six characters come from a counter mixed with the process id and the
// clock, so two processes racing for names rarely collide, and a collision
// only costs another try.
bool MakeUniqueFolder(std::string& pattern)
{
    constexpr size_t RANDOM = 6;
    constexpr char ALPHABET[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    constexpr uint64_t LETTERS = sizeof ALPHABET - 1;
    constexpr int ATTEMPTS = 1000;
    static std::atomic<uint64_t> s_nNext{0};
    if (pattern.size() < RANDOM || pattern.compare(pattern.size() - RANDOM, RANDOM, "XXXXXX") != 0) {
        errno = EINVAL;
        return RecordFileError();
    }
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
        LARGE_INTEGER now{};
        QueryPerformanceCounter(&now);
        uint64_t seed = (s_nNext.fetch_add(1) + 1) * 0x9E3779B97F4A7C15ull;
        seed ^= static_cast<uint64_t>(now.QuadPart) ^ (uint64_t{GetCurrentProcessId()} << 32);
        seed = (seed ^ (seed >> 31)) * 0xBF58476D1CE4E5B9ull;  // mixes every bit into the low ones
        seed ^= seed >> 29;
        for (size_t i = pattern.size() - RANDOM; i < pattern.size(); ++i) {
            pattern[i] = ALPHABET[seed % LETTERS];
            seed /= LETTERS;
        }
        const CWidePath path(pattern);
        if (!path.IsValid())
            return RecordFileError();
        if (CreateDirectoryW(path.Get(), nullptr))
            return true;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    return RecordSystemError();
}

bool RemoveTree(const std::string& pathUtf8)
{
    eEntryKind kind = eEntryKind::OTHER;
    if (!EntryKind(pathUtf8, kind))
        return LastFileError() == ENOENT;
    if (kind != eEntryKind::FOLDER)
        return RemoveFile(pathUtf8);
    std::vector<CFolderEntry> entries;
    bool whole = ListFolder(pathUtf8, entries);
    for (const CFolderEntry& entry : entries)
        whole = RemoveTree(pathUtf8 + "/" + entry.m_strName) && whole;
    const CWidePath path(pathUtf8);
    return (path.IsValid() && RemoveDirectoryW(path.Get()) ? true : RecordSystemError()) && whole;
}

// The system keeps the target's text as given and resolves it itself, so
// separators become backslashes; a link to a folder must say so when made,
// which is told from the target as seen from the link's folder. Making links
// needs a privilege or developer mode: without them this fails (EPERM).
bool MakeSymbolicLink(const std::string& targetUtf8, const std::string& linkUtf8)
{
    CWidePath target(targetUtf8);
    const CWidePath link(linkUtf8);
    if (!target.IsValid() || !link.IsValid())
        return RecordFileError();
    target.UseBackslashes();
    const bool absolute = !targetUtf8.empty() && (targetUtf8[0] == '/' || targetUtf8[0] == '\\' ||
                                                   (targetUtf8.size() > 1 && targetUtf8[1] == ':'));
    const size_t slash = linkUtf8.find_last_of("/\\");
    const std::string seen = absolute || slash == std::string::npos
                                 ? targetUtf8
                                 : linkUtf8.substr(0, slash + 1) + targetUtf8;
    DWORD flags = IsFolder(seen) ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0;
    bool made = CreateSymbolicLinkW(link.Get(), target.Get(), flags | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    // Systems older than developer mode refuse the flag they do not know.
    if (!made && GetLastError() == ERROR_INVALID_PARAMETER)
        made = CreateSymbolicLinkW(link.Get(), target.Get(), flags);
    if (!made)
        return RecordSystemError();
    // Some Windows environments (Wine) answer success without making a link:
    // what is there counts, not the answer.
    eEntryKind kind = eEntryKind::OTHER;
    if (!EntryKind(linkUtf8, kind) || kind != eEntryKind::LINK) {
        errno = EPERM;
        return RecordFileError();
    }
    return true;
}

bool MakeHardLink(const std::string& targetUtf8, const std::string& linkUtf8)
{
    const CWidePath target(targetUtf8);
    const CWidePath link(linkUtf8);
    if (!target.IsValid() || !link.IsValid())
        return RecordFileError();
    return CreateHardLinkW(link.Get(), target.Get(), nullptr) ? true : RecordSystemError();
}

// The system's final name of the file, without the "\\?\" prefix that marks
// it as a name for the system alone, and with '/' separators as every other
// path inside the library: "C:/games/data", "//server/share/data".
std::string ResolvedPath(const std::string& pathUtf8)
{
    const CDescriptor file = CDescriptor::OpenToQuery(pathUtf8.c_str());
    if (!file.IsOpen()) {
        RecordFileError();
        return {};
    }
    wchar_t buffer[CWidePath::CAPACITY];
    const DWORD length = GetFinalPathNameByHandleW(file.Get(), buffer, CWidePath::CAPACITY,
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= CWidePath::CAPACITY) {
        if (length != 0)
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
        RecordSystemError();
        return {};
    }
    const std::wstring_view unc = L"\\\\?\\UNC\\";
    const std::wstring_view local = L"\\\\?\\";
    std::wstring_view name(buffer, length);
    const bool isUnc = name.substr(0, unc.size()) == unc;
    if (isUnc)
        name.remove_prefix(unc.size() - 2);  // two characters stay, to become the "//" of a share
    else if (name.substr(0, local.size()) == local)
        name.remove_prefix(local.size());
    std::string resolved = NarrowPath(name.data(), name.size());
    if (resolved.empty()) {
        errno = EILSEQ;
        RecordFileError();
        return {};
    }
    if (isUnc)
        resolved[0] = resolved[1] = '/';
    return resolved;
}

// "C:x" counts too: it leads from the drive's own current folder, never
// from the one the caller means.
bool IsAbsolutePath(const std::string& pathUtf8)
{
    if (pathUtf8.empty())
        return false;
    if (pathUtf8[0] == '/' || pathUtf8[0] == '\\')
        return true;
    const char letter = static_cast<char>(pathUtf8[0] | 0x20);
    return pathUtf8.size() > 1 && pathUtf8[1] == ':' && letter >= 'a' && letter <= 'z';
}

const char* PathSeparators()
{
    return "/\\";
}

bool StandardErrorIsTerminal()
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

}  // namespace oru::platform

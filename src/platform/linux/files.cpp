#include "platform/files.h"

#include "platform/file.h"
#include "platform/file_time.h"

#include "platform/fault_points.h"

#include <dirent.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace oru::platform {

bool MakeDirectory(const char* pathUtf8)
{
    if (mkdir(pathUtf8, 0777) == 0)
        return true;
    if (errno != EEXIST)
        return false;
    struct stat st {};
    return stat(pathUtf8, &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {

bool StatSizeAndTimes(int dirFd, const char* path, int flags, uint64_t& size, CFileTimes& times)
{
    struct statx stx {};
    if (statx(dirFd, path, flags, STATX_BASIC_STATS | STATX_BTIME, &stx) != 0)
        return false;
    if (!S_ISREG(stx.stx_mode)) {
        errno = S_ISDIR(stx.stx_mode) ? EISDIR : EINVAL;
        return false;
    }
    const auto toFileTime = [](const struct statx_timestamp& t) {
        return ToFileTime(t.tv_sec, t.tv_nsec);
    };
    size = stx.stx_size;
    times.m_nCreation = (stx.stx_mask & STATX_BTIME) ? toFileTime(stx.stx_btime)
                                                     : toFileTime(stx.stx_ctime);
    times.m_nAccess = toFileTime(stx.stx_atime);
    times.m_nWrite = toFileTime(stx.stx_mtime);
    return true;
}

}  // namespace

bool FileSizeAndTimes(const std::string& pathUtf8, uint64_t& size, CFileTimes& times)
{
    return StatSizeAndTimes(AT_FDCWD, pathUtf8.c_str(), 0, size, times);
}

bool DescriptorSizeAndTimes(int fd, uint64_t& size, CFileTimes& times)
{
    return fd >= 0 && StatSizeAndTimes(fd, "", AT_EMPTY_PATH, size, times);
}

namespace {

eEntryKind KindOfMode(mode_t mode)
{
    if (S_ISDIR(mode))
        return eEntryKind::FOLDER;
    if (S_ISREG(mode))
        return eEntryKind::FILE;
    return S_ISLNK(mode) ? eEntryKind::LINK : eEntryKind::OTHER;
}

// The kind as the folder listing gives it, asked of the file system only
// where the listing does not say.
eEntryKind KindOf(int dirFd, const dirent& entry)
{
    switch (entry.d_type) {
    case DT_DIR:
        return eEntryKind::FOLDER;
    case DT_REG:
        return eEntryKind::FILE;
    case DT_LNK:
        return eEntryKind::LINK;
    case DT_UNKNOWN:
        break;
    default:
        return eEntryKind::OTHER;
    }
    struct stat st {};
    if (fstatat(dirFd, entry.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return eEntryKind::OTHER;
    return KindOfMode(st.st_mode);
}

}  // namespace

bool ListFolder(const std::string& pathUtf8, std::vector<CFolderEntry>& entries)
{
    DIR* pDir = opendir(pathUtf8.c_str());
    if (!pDir)
        return RecordFileError();
    bool whole = true;
    for (;;) {
        errno = 0;
        const dirent* pEntry = readdir(pDir);
        if (!pEntry) {
            whole = errno == 0 || RecordFileError();
            break;
        }
        const char* pName = pEntry->d_name;
        if (std::strcmp(pName, ".") == 0 || std::strcmp(pName, "..") == 0)
            continue;
        try {
            entries.push_back({pName, KindOf(dirfd(pDir), *pEntry)});
        } catch (const std::bad_alloc&) {
            errno = ENOMEM;
            whole = RecordFileError();
            break;
        }
    }
    closedir(pDir);
    return whole;
}

bool IsFolder(const std::string& pathUtf8)
{
    struct stat st {};
    return stat(pathUtf8.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool LinkTarget(const std::string& pathUtf8, eEntryKind& kind, uint64_t& device, uint64_t& inode)
{
    struct stat st {};
    if (stat(pathUtf8.c_str(), &st) != 0)
        return RecordFileError();
    kind = KindOfMode(st.st_mode);
    device = static_cast<uint64_t>(st.st_dev);
    inode = static_cast<uint64_t>(st.st_ino);
    return true;
}

bool IsMountPoint(const std::string& pathUtf8)
{
    struct stat st {};
    struct stat parent {};
    if (stat(pathUtf8.c_str(), &st) != 0 || stat((pathUtf8 + "/..").c_str(), &parent) != 0)
        return false;
    return st.st_dev != parent.st_dev || st.st_ino == parent.st_ino;
}

bool EntryKind(const std::string& pathUtf8, eEntryKind& kind)
{
    struct stat st {};
    if (lstat(pathUtf8.c_str(), &st) != 0)
        return RecordFileError();
    kind = KindOfMode(st.st_mode);
    return true;
}

bool RemoveFile(const std::string& pathUtf8)
{
    return unlink(pathUtf8.c_str()) == 0 || errno == ENOENT || RecordFileError();
}

bool RenameFile(const std::string& fromUtf8, const std::string& toUtf8)
{
    if (!ReachFaultPoint(eFaultKind::RENAME))
        return RecordFileError();
    return rename(fromUtf8.c_str(), toUtf8.c_str()) == 0 || RecordFileError();
}

bool MakeUniqueFolder(std::string& pattern)
{
    return mkdtemp(pattern.data()) != nullptr || RecordFileError();
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
    return (rmdir(pathUtf8.c_str()) == 0 || RecordFileError()) && whole;
}

bool MakeSymbolicLink(const std::string& targetUtf8, const std::string& linkUtf8)
{
    return symlink(targetUtf8.c_str(), linkUtf8.c_str()) == 0 || RecordFileError();
}

bool MakeHardLink(const std::string& targetUtf8, const std::string& linkUtf8)
{
    return link(targetUtf8.c_str(), linkUtf8.c_str()) == 0 || RecordFileError();
}

std::string ResolvedPath(const std::string& pathUtf8)
{
    char* pResolved = realpath(pathUtf8.c_str(), nullptr);
    if (!pResolved) {
        RecordFileError();
        return {};
    }
    std::string resolved;
    try {
        resolved = pResolved;
    } catch (const std::bad_alloc&) {
    }
    std::free(pResolved);
    return resolved;
}

bool IsAbsolutePath(const std::string& pathUtf8)
{
    return !pathUtf8.empty() && pathUtf8[0] == '/';
}

const char* PathSeparators()
{
    return "/";
}

bool StandardErrorIsTerminal()
{
    return isatty(STDERR_FILENO) == 1;
}

}  // namespace oru::platform

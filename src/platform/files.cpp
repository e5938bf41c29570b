#include "platform/files.h"

#include "platform/file.h"
#include "platform/file_time.h"

#include <cerrno>
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

bool ReadableFileSize(const std::string& pathUtf8, uint64_t& size)
{
    // CFile opens regular files only, and never waits on a FIFO.
    const CFile file = CFile::OpenRead(pathUtf8);
    return file.IsOpen() && file.Size(size);
}

namespace {

bool StatSizeAndTimes(int dirFd, const char* path, int flags, uint64_t& size, CFileTimes& times)
{
    struct statx stx {};
    if (statx(dirFd, path, flags, STATX_BASIC_STATS | STATX_BTIME, &stx) != 0)
        return false;
    if (!S_ISREG(stx.stx_mode))
        return false;
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

}  // namespace oru::platform

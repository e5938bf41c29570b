#include "platform/files.h"

#include "platform/file_time.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace oru::platform {
namespace {

int OpenForReading(const std::string& pathUtf8)
{
    int fd = -1;
    do {
        fd = open(pathUtf8.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

}  // namespace

bool MakeDirectory(const char* pathUtf8)
{
    if (mkdir(pathUtf8, 0777) == 0)
        return true;
    if (errno != EEXIST)
        return false;
    struct stat st {};
    return stat(pathUtf8, &st) == 0 && S_ISDIR(st.st_mode);
}

bool WriteAll(int fd, std::string_view text)
{
    while (!text.empty()) {
        const ssize_t n = write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        text.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool ReadableFileSize(const std::string& pathUtf8, uint64_t& size)
{
    const int fd = OpenForReading(pathUtf8);
    if (fd < 0)
        return false;
    struct stat st {};
    const bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    close(fd);
    if (ok)
        size = static_cast<uint64_t>(st.st_size);
    return ok;
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

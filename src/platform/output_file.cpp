#include "platform/output_file.h"

#include "platform/fault_points.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace oru::platform {

COutputFile::COutputFile(COutputFile&& other) noexcept : m_fd(other.m_fd)
{
    other.m_fd = -1;
}

COutputFile& COutputFile::operator=(COutputFile&& other) noexcept
{
    if (this != &other) {
        Close();
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

bool COutputFile::OpenAppend(const char* pathUtf8)
{
    return OpenWith(pathUtf8, O_APPEND);
}

bool COutputFile::OpenTruncate(const std::string& pathUtf8)
{
    return OpenWith(pathUtf8.c_str(), O_TRUNC);
}

// Opened without waiting: a FIFO with no reader, left where a file should be,
// fails at once (ENXIO) instead of blocking the caller for good. Writes are
// meant to block as usual, so the flag is dropped once the file is open.
bool COutputFile::OpenWith(const char* pathUtf8, int modeFlag)
{
    Close();
    int fd = -1;
    do {
        fd = open(pathUtf8, O_WRONLY | O_CREAT | modeFlag | O_CLOEXEC | O_NONBLOCK, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
        const int flags = fcntl(fd, F_GETFL);
        if (flags >= 0)
            fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    m_fd = fd;
    return fd >= 0;
}

bool COutputFile::OpenStandardOutput()
{
    Close();
    m_fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    return m_fd >= 0;
}

bool COutputFile::Write(const void* pData, size_t size)
{
    if (m_fd < 0)
        return false;
    const char* p = static_cast<const char*>(pData);
    while (size > 0) {
        if (!ReachFaultPoint(eFaultKind::WRITE))
            return RecordFileError();
        const ssize_t n = write(m_fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return RecordFileError();
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool COutputFile::Sync()
{
    if (m_fd < 0)
        return false;
    if (!ReachFaultPoint(eFaultKind::SYNC))
        return RecordFileError();
    return fsync(m_fd) == 0 || RecordFileError();
}

void COutputFile::Close()
{
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
}

}  // namespace oru::platform

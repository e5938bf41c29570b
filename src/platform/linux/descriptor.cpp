#include "descriptor.h"

#include "platform/fault_points.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace oru::platform {
namespace {

// The one write loop: a signal or a file growing into a limit cuts a write
// short, and the rest follows; a write that writes nothing is the system's
// refusal. `counted` writes change files on disk and pass the fault seam.
bool WriteLoop(int fd, const void* pData, size_t size, bool counted)
{
    if (fd < 0)
        return false;
    const char* p = static_cast<const char*>(pData);
    while (size > 0) {
        if (counted && !ReachFaultPoint(eFaultKind::WRITE))
            return false;
        const ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

CDescriptor& CDescriptor::operator=(CDescriptor&& other) noexcept
{
    if (this != &other) {
        Close();
        m_fd = other.Release();
    }
    return *this;
}

CDescriptor CDescriptor::Open(const char* pathUtf8, int flags, mode_t mode)
{
    int fd = -1;
    do {
        fd = open(pathUtf8, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return CDescriptor(fd);
}

// O_NONBLOCK keeps the open of a FIFO or a device from waiting; a regular
// file ignores the flag. It is dropped again once the file is open, so that
// later reads and writes wait as they normally do.
CDescriptor CDescriptor::OpenWithoutWaiting(const char* pathUtf8, int flags, mode_t mode)
{
    CDescriptor file = Open(pathUtf8, flags | O_NONBLOCK | O_NOCTTY, mode);
    if (file.IsOpen() && !(flags & O_NONBLOCK)) {
        const int now = fcntl(file.m_fd, F_GETFL);
        if (now >= 0)
            fcntl(file.m_fd, F_SETFL, now & ~O_NONBLOCK);
    }
    return file;
}

CDescriptor CDescriptor::Duplicate(int fd)
{
    return CDescriptor(fd >= 0 ? fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1);
}

bool CDescriptor::IsRegularFile() const
{
    struct stat st {};
    if (m_fd < 0 || fstat(m_fd, &st) != 0)
        return false;
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return false;
    }
    return true;
}

bool CDescriptor::Close()
{
    if (m_fd < 0)
        return true;
    const int result = close(m_fd);  // not retried: see the header
    m_fd = -1;
    return result == 0;
}

int CDescriptor::Release()
{
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

bool CDescriptor::WriteAll(const void* pData, size_t size) const
{
    return WriteLoop(m_fd, pData, size, true);
}

bool CDescriptor::Sync() const
{
    if (m_fd < 0 || !ReachFaultPoint(eFaultKind::SYNC))
        return false;
    int result = 0;
    do {
        result = fsync(m_fd);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

size_t CDescriptor::ReadUpTo(void* pDst, size_t capacity) const
{
    char* p = static_cast<char*>(pDst);
    size_t length = 0;
    while (m_fd >= 0 && length < capacity) {
        const ssize_t n = read(m_fd, p + length, capacity - length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        length += static_cast<size_t>(n);
    }
    return length;
}

bool WriteAll(int fd, std::string_view text)
{
    return WriteLoop(fd, text.data(), text.size(), false);
}

}  // namespace oru::platform

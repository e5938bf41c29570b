#include "platform/file.h"

#include "platform/fault_points.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace oru::platform {
namespace {

// O_NONBLOCK keeps the open of a FIFO or a device from waiting; a regular
// file ignores the flag, and anything else is refused.
int OpenWithFlags(const std::string& pathUtf8, int flags)
{
    int fd = -1;
    do {
        fd = open(pathUtf8.c_str(), flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        RecordFileError();
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        RecordFileError();
        close(fd);
        return -1;
    }
    return fd;
}

// Moves past the first `transferred` bytes of the `left` pieces at `pVec`
// after a short vectored transfer, so the call can continue where it stopped.
void SkipTransferred(iovec*& pVec, size_t& left, size_t transferred)
{
    while (left > 0 && transferred >= pVec->iov_len) {
        transferred -= pVec->iov_len;
        ++pVec;
        --left;
    }
    if (left > 0) {
        pVec->iov_base = static_cast<char*>(pVec->iov_base) + transferred;
        pVec->iov_len -= transferred;
    }
}

}  // namespace

CFile& CFile::operator=(CFile&& other) noexcept
{
    if (this != &other) {
        Close();
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

CFile CFile::OpenRead(const std::string& pathUtf8)
{
    return CFile(OpenWithFlags(pathUtf8, O_RDONLY));
}

CFile CFile::OpenReadWrite(const std::string& pathUtf8)
{
    return CFile(OpenWithFlags(pathUtf8, O_RDWR));
}

CFile CFile::OpenOrCreateReadWrite(const std::string& pathUtf8)
{
    return CFile(OpenWithFlags(pathUtf8, O_RDWR | O_CREAT));
}

CFile CFile::AdoptStdio(std::FILE* pStream, uint64_t& position)
{
    position = 0;
    if (!pStream)
        return CFile();
    const off_t logical = ftello(pStream);
    if (logical > 0)
        position = static_cast<uint64_t>(logical);
    const int fd = fcntl(fileno(pStream), F_DUPFD_CLOEXEC, 0);
    std::fclose(pStream);
    return CFile(fd);
}

void CFile::Close()
{
    if (m_fd >= 0) {
        // close() is not retried on EINTR: on Linux the descriptor is gone
        // either way, and a retry could close one another thread just opened.
        close(m_fd);
        m_fd = -1;
    }
}

bool CFile::Size(uint64_t& size) const
{
    struct stat st {};
    if (m_fd < 0 || fstat(m_fd, &st) != 0)
        return false;
    size = static_cast<uint64_t>(st.st_size);
    return true;
}

size_t CFile::ReadAt(uint64_t offset, void* pDst, size_t size) const
{
    CReadPiece piece{pDst, size};
    return ReadScatteredAt(offset, &piece, 1);
}

// A short read from a regular file means its end; anything else (a signal,
// a pipe) is continued from where it stopped, piece by piece.
size_t CFile::ReadScatteredAt(uint64_t offset, const CReadPiece* pPieces, size_t count) const
{
    if (m_fd < 0 || count > MAX_PIECES || offset > static_cast<uint64_t>(INT64_MAX))
        return 0;
    iovec vec[MAX_PIECES];
    size_t wanted = 0;
    for (size_t i = 0; i < count; ++i) {
        vec[i].iov_base = pPieces[i].m_pDst;
        vec[i].iov_len = pPieces[i].m_nSize;
        wanted += pPieces[i].m_nSize;
    }
    size_t done = 0;
    iovec* pVec = vec;
    size_t left = count;
    while (done < wanted && left > 0) {
        const ssize_t got = preadv(m_fd, pVec, static_cast<int>(left),
                                   static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += static_cast<size_t>(got);
        SkipTransferred(pVec, left, static_cast<size_t>(got));
    }
    return done;
}

bool CFile::WriteAt(uint64_t offset, const void* pSrc, size_t size) const
{
    if (m_fd < 0)
        return false;
    const char* p = static_cast<const char*>(pSrc);
    size_t done = 0;
    while (done < size) {
        if (!ReachFaultPoint(eFaultKind::WRITE))
            return RecordFileError();
        const ssize_t put = pwrite(m_fd, p + done, size - done, static_cast<off_t>(offset + done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return RecordFileError();
        done += static_cast<size_t>(put);
    }
    return true;
}

bool CFile::WriteGatheredAt(uint64_t offset, const CWritePiece* pPieces, size_t count) const
{
    if (m_fd < 0 || count > MAX_PIECES || offset > static_cast<uint64_t>(INT64_MAX))
        return false;
    iovec vec[MAX_PIECES];
    for (size_t i = 0; i < count; ++i) {
        vec[i].iov_base = const_cast<void*>(pPieces[i].m_pSrc);
        vec[i].iov_len = pPieces[i].m_nSize;
    }
    // A short write (a signal, a file growing into a limit) is continued from
    // where it stopped; one that writes nothing is the system's refusal.
    iovec* pVec = vec;
    size_t left = count;
    uint64_t at = offset;
    for (;;) {
        while (left > 0 && pVec->iov_len == 0) {
            ++pVec;
            --left;
        }
        if (left == 0)
            return true;
        if (!ReachFaultPoint(eFaultKind::WRITE))
            return RecordFileError();
        const ssize_t put = pwritev(m_fd, pVec, static_cast<int>(left), static_cast<off_t>(at));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return RecordFileError();
        at += static_cast<uint64_t>(put);
        SkipTransferred(pVec, left, static_cast<size_t>(put));
    }
}

bool CFile::Resize(uint64_t size) const
{
    if (m_fd < 0 || size > static_cast<uint64_t>(INT64_MAX))
        return false;
    if (!ReachFaultPoint(eFaultKind::TRUNCATE))
        return RecordFileError();
    int result = 0;
    do {
        result = ftruncate(m_fd, static_cast<off_t>(size));
    } while (result != 0 && errno == EINTR);
    return result == 0 || RecordFileError();
}

bool CFile::Sync() const
{
    if (m_fd < 0)
        return false;
    if (!ReachFaultPoint(eFaultKind::SYNC))
        return RecordFileError();
    return fsync(m_fd) == 0 || RecordFileError();
}

// flock belongs to the open file description, so two CFile objects in one
// process exclude each other as two processes do, and the lock ends with the
// descriptor.
CFile::eLock CFile::TryLockExclusive() const
{
    int result = 0;
    do {
        result = flock(m_fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result == 0)
        return eLock::TAKEN;
    return errno == EWOULDBLOCK ? eLock::HELD_ELSEWHERE : eLock::FAILED;
}

bool CFile::SetPosition(uint64_t offset) const
{
    return m_fd >= 0 && lseek(m_fd, static_cast<off_t>(offset), SEEK_SET) >= 0;
}

int CFile::Release()
{
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

bool PathMissing(const std::string& pathUtf8)
{
    struct stat st {};
    if (stat(pathUtf8.c_str(), &st) == 0)
        return false;
    return errno == ENOENT || errno == ENOTDIR;
}

}  // namespace oru::platform

#include "platform/file.h"

#include "platform/fault_points.h"
#include "platform/file_watch.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace oru::platform {
namespace {

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

// Only regular files: anything else is closed again at once, and opening
// it never waited (O_NONBLOCK). A regular file ignores the flag, so it stays
// set, which spares two system calls on every open of a pack entry.
CFile CFile::OpenWithFlags(const std::string& pathUtf8, int flags)
{
    CDescriptor fd = CDescriptor::Open(pathUtf8.c_str(), flags | O_NONBLOCK | O_NOCTTY, 0666);
    if (!fd.IsOpen() || !fd.IsRegularFile()) {
        RecordFileError();
        return CFile();
    }
    return CFile(std::move(fd));
}

CFile CFile::OpenRead(const std::string& pathUtf8)
{
    return CFile(OpenWithFlags(pathUtf8, O_RDONLY));
}

CFile CFile::OpenReadMeasured(const std::string& pathUtf8, uint64_t& size, CFileTimes& times)
{
    CDescriptor fd = CDescriptor::Open(pathUtf8.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (!fd.IsOpen() || !DescriptorSizeAndTimes(fd.Get(), size, times)) {
        RecordFileError();
        return CFile();
    }
    return CFile(std::move(fd));
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
    CDescriptor fd = CDescriptor::Duplicate(fileno(pStream));
    std::fclose(pStream);
    return CFile(std::move(fd));
}

bool CFile::Size(uint64_t& size) const
{
    struct stat st {};
    if (!IsOpen() || fstat(m_fd.Get(), &st) != 0)
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
    if (!IsOpen() || count > MAX_PIECES || offset > static_cast<uint64_t>(INT64_MAX))
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
        const ssize_t got = preadv(m_fd.Get(), pVec, static_cast<int>(left),
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

bool CFile::WriteGatheredAt(uint64_t offset, const CWritePiece* pPieces, size_t count) const
{
    if (!IsOpen() || count > MAX_PIECES || offset > static_cast<uint64_t>(INT64_MAX))
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
        const ssize_t put = pwritev(m_fd.Get(), pVec, static_cast<int>(left), static_cast<off_t>(at));
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
    if (!IsOpen() || size > static_cast<uint64_t>(INT64_MAX))
        return false;
    if (!ReachFaultPoint(eFaultKind::TRUNCATE))
        return RecordFileError();
    int result = 0;
    do {
        result = ftruncate(m_fd.Get(), static_cast<off_t>(size));
    } while (result != 0 && errno == EINTR);
    return result == 0 || RecordFileError();
}

bool CFile::Sync() const
{
    if (!IsOpen())
        return false;
    return m_fd.Sync() || RecordFileError();
}

void CFile::StartWriteback(uint64_t offset, uint64_t size) const
{
    if (IsOpen() && offset <= static_cast<uint64_t>(INT64_MAX) && size <= static_cast<uint64_t>(INT64_MAX))
        sync_file_range(m_fd.Get(), static_cast<off_t>(offset), static_cast<off_t>(size),
                        SYNC_FILE_RANGE_WRITE);
}

// flock belongs to the open file description, so two CFile objects in one
// process exclude each other as two processes do, and the lock ends with the
// descriptor.
CFile::eLock CFile::TryLockExclusive() const
{
    int result = 0;
    do {
        result = flock(m_fd.Get(), LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result == 0)
        return eLock::TAKEN;
    return errno == EWOULDBLOCK ? eLock::HELD_ELSEWHERE : eLock::FAILED;
}

namespace {

// The byte the readers' mark locks: beyond the 2 GiB a pack can hold, so it
// never covers data, and the same on every system.
constexpr off_t READER_MARK_OFFSET = off_t{1} << 40;

struct flock ReaderMark(short type)
{
    struct flock mark {};
    mark.l_type = type;
    mark.l_whence = SEEK_SET;
    mark.l_start = READER_MARK_OFFSET;
    mark.l_len = 1;
    return mark;
}

}  // namespace

// Open-file-description locks, unlike the older per-process record locks,
// belong to the open file: two CFile objects in one process see each other's
// marks as two processes do, and closing some other descriptor of the file
// never drops a mark.
bool CFile::MarkReader() const
{
    struct flock mark = ReaderMark(F_RDLCK);
    int result = 0;
    do {
        result = fcntl(m_fd.Get(), F_OFD_SETLK, &mark);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

bool CFile::OthersReading() const
{
    struct flock mark = ReaderMark(F_WRLCK);
    if (fcntl(m_fd.Get(), F_OFD_GETLK, &mark) != 0)
        return true;
    return mark.l_type != F_UNLCK;
}

bool CFile::Identity(CFileIdentity& identity) const
{
    return IsOpen() && FileIdentityOf(m_fd.Get(), identity);
}

bool CFile::SetPosition(uint64_t offset) const
{
    return IsOpen() && lseek(m_fd.Get(), static_cast<off_t>(offset), SEEK_SET) >= 0;
}

bool PathMissing(const std::string& pathUtf8)
{
    struct stat st {};
    if (stat(pathUtf8.c_str(), &st) == 0)
        return false;
    return errno == ENOENT || errno == ENOTDIR;
}

int CFile::ReleaseAsRuntimeDescriptor()
{
    return m_fd.Release();  // the C runtime uses the system's descriptors here
}

void CFile::CloseRuntimeDescriptor(int descriptor)
{
    CDescriptor(descriptor).Close();
}

}  // namespace oru::platform

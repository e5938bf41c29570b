#include "platform/file.h"

#include "platform/fault_points.h"
#include "platform/file_watch.h"
#include "system_error.h"
#include "wide_path.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdint>

namespace oru::platform {
namespace {

// What OpenWithFlags is asked for.
constexpr int OPEN_WRITABLE = 1;
constexpr int OPEN_CREATE = 2;

// ReadFile and WriteFile take 32-bit counts: longer transfers go in pieces.
constexpr size_t MAX_TRANSFER = size_t{1} << 30;

// An OVERLAPPED that only names a position: on a handle opened for ordinary
// (synchronous) use, ReadFile and WriteFile then work at that offset and
// return when done, like pread and pwrite.
OVERLAPPED At(uint64_t offset)
{
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
}

// Reads up to `size` bytes at `offset`: the bytes read, fewer at the end of
// the file; 0 at the end or on an error.
size_t ReadOnceAt(HANDLE handle, uint64_t offset, void* pDst, size_t size)
{
    OVERLAPPED at = At(offset);
    DWORD got = 0;
    const DWORD chunk = static_cast<DWORD>(std::min(size, MAX_TRANSFER));
    if (!ReadFile(handle, pDst, chunk, &got, &at))
        return 0;  // ERROR_HANDLE_EOF past the end
    return got;
}

}  // namespace

// Only regular files: a folder, a device or a pipe is closed again at once.
// Opening never waits on Windows, whatever the path names.
CFile CFile::OpenWithFlags(const std::string& pathUtf8, int flags)
{
    const auto access = (flags & OPEN_WRITABLE) ? CDescriptor::eAccess::READ_WRITE
                                                : CDescriptor::eAccess::READ;
    const auto create = (flags & OPEN_CREATE) ? CDescriptor::eCreate::OR_CREATE
                                              : CDescriptor::eCreate::EXISTING;
    CDescriptor fd = CDescriptor::Open(pathUtf8.c_str(), access, create);
    if (!fd.IsOpen() || !fd.IsRegularFile()) {
        RecordFileError();
        return CFile();
    }
    return CFile(std::move(fd));
}

CFile CFile::OpenRead(const std::string& pathUtf8)
{
    return OpenWithFlags(pathUtf8, 0);
}

CFile CFile::OpenReadMeasured(const std::string& pathUtf8, uint64_t& size, CFileTimes& times)
{
    CDescriptor fd = CDescriptor::Open(pathUtf8.c_str(), CDescriptor::eAccess::READ,
                                       CDescriptor::eCreate::EXISTING);
    if (!fd.IsOpen() || !DescriptorSizeAndTimes(fd.Get(), size, times)) {
        RecordFileError();
        return CFile();
    }
    return CFile(std::move(fd));
}

CFile CFile::OpenReadWrite(const std::string& pathUtf8)
{
    return OpenWithFlags(pathUtf8, OPEN_WRITABLE);
}

CFile CFile::OpenOrCreateReadWrite(const std::string& pathUtf8)
{
    return OpenWithFlags(pathUtf8, OPEN_WRITABLE | OPEN_CREATE);
}

CFile CFile::AdoptStdio(std::FILE* pStream, uint64_t& position)
{
    position = 0;
    if (!pStream)
        return CFile();
    const int64_t logical = _ftelli64(pStream);
    if (logical > 0)
        position = static_cast<uint64_t>(logical);
    const intptr_t handle = _get_osfhandle(_fileno(pStream));
    CDescriptor fd = handle == -1 ? CDescriptor()
                                  : CDescriptor::Duplicate(reinterpret_cast<HANDLE>(handle));
    std::fclose(pStream);
    return CFile(std::move(fd));
}

bool CFile::Size(uint64_t& size) const
{
    LARGE_INTEGER bytes{};
    if (!IsOpen() || !GetFileSizeEx(m_fd.Get(), &bytes))
        return false;
    size = static_cast<uint64_t>(bytes.QuadPart);
    return true;
}

size_t CFile::ReadAt(uint64_t offset, void* pDst, size_t size) const
{
    CReadPiece piece{pDst, size};
    return ReadScatteredAt(offset, &piece, 1);
}

// Windows reads scattered pieces in one call only from unbuffered files in
// whole pages, so each piece is its own read; a short read means the end.
size_t CFile::ReadScatteredAt(uint64_t offset, const CReadPiece* pPieces, size_t count) const
{
    if (!IsOpen() || count > MAX_PIECES || offset > static_cast<uint64_t>(INT64_MAX))
        return 0;
    size_t done = 0;
    for (size_t i = 0; i < count; ++i) {
        char* pDst = static_cast<char*>(pPieces[i].m_pDst);
        size_t left = pPieces[i].m_nSize;
        while (left > 0) {
            const size_t got = ReadOnceAt(m_fd.Get(), offset + done, pDst, left);
            if (got == 0)
                return done;
            done += got;
            pDst += got;
            left -= got;
        }
    }
    return done;
}

// Each piece is its own write, and each write passes the fault seam; one
// that writes nothing is the system's refusal.
bool CFile::WriteGatheredAt(uint64_t offset, const CWritePiece* pPieces, size_t count) const
{
    if (!IsOpen() || count > MAX_PIECES || offset > static_cast<uint64_t>(INT64_MAX))
        return false;
    uint64_t at = offset;
    for (size_t i = 0; i < count; ++i) {
        const char* pSrc = static_cast<const char*>(pPieces[i].m_pSrc);
        size_t left = pPieces[i].m_nSize;
        while (left > 0) {
            if (!ReachFaultPoint(eFaultKind::WRITE))
                return RecordFileError();
            OVERLAPPED position = At(at);
            DWORD put = 0;
            const DWORD chunk = static_cast<DWORD>(std::min(left, MAX_TRANSFER));
            if (!WriteFile(m_fd.Get(), pSrc, chunk, &put, &position))
                return RecordSystemError();
            if (put == 0) {
                errno = ENOSPC;
                return RecordFileError();
            }
            at += put;
            pSrc += put;
            left -= put;
        }
    }
    return true;
}

// Sets the end of the file without moving the handle's position.
bool CFile::Resize(uint64_t size) const
{
    if (!IsOpen() || size > static_cast<uint64_t>(INT64_MAX))
        return false;
    if (!ReachFaultPoint(eFaultKind::TRUNCATE))
        return RecordFileError();
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    return SetFileInformationByHandle(m_fd.Get(), FileEndOfFileInfo, &end, sizeof end) ||
           RecordSystemError();
}

bool CFile::Sync() const
{
    if (!IsOpen())
        return false;
    return m_fd.Sync() || RecordFileError();
}

// Windows has no call that starts writing a range back without waiting for
// it; the system's own lazy writer does that work, and Sync waits for it.
void CFile::StartWriteback(uint64_t, uint64_t) const
{
}

namespace {

// Windows locks byte ranges, and a locked range also stops other handles
// from reading or writing those bytes. Both locks therefore lie beyond the
// 2 GiB a pack can hold, where no read or write ever goes: the readers' mark
// on the byte at 2^40, as on every system, and the editing lock on the byte
// after it.
constexpr uint64_t READER_MARK_OFFSET = uint64_t{1} << 40;
constexpr uint64_t EDIT_LOCK_OFFSET = READER_MARK_OFFSET + 1;

bool LockByte(HANDLE handle, uint64_t offset, DWORD flags)
{
    OVERLAPPED at = At(offset);
    return LockFileEx(handle, flags | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0;
}

void UnlockByte(HANDLE handle, uint64_t offset)
{
    OVERLAPPED at = At(offset);
    UnlockFileEx(handle, 0, 1, 0, &at);
}

// An editor asking whether anyone reads holds the mark's byte exclusively
// for the moment of its question; a reader that comes just then waits that
// moment out instead of going unmarked.
constexpr int MARK_ATTEMPTS = 100;

}  // namespace

// The lock belongs to the handle (and its duplicates): a second CFile on
// the file, in this process or another, is refused as another process is,
// and the lock ends when the last handle to it closes.
CFile::eLock CFile::TryLockExclusive() const
{
    if (!IsOpen())
        return eLock::FAILED;
    if (LockByte(m_fd.Get(), EDIT_LOCK_OFFSET, LOCKFILE_EXCLUSIVE_LOCK))
        return eLock::TAKEN;
    const DWORD error = GetLastError();
    return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? eLock::HELD_ELSEWHERE
                                                                      : eLock::FAILED;
}

bool CFile::MarkReader() const
{
    for (int attempt = 0; IsOpen() && attempt < MARK_ATTEMPTS; ++attempt) {
        if (LockByte(m_fd.Get(), READER_MARK_OFFSET, 0))
            return true;
        if (GetLastError() != ERROR_LOCK_VIOLATION)
            return false;
        Sleep(attempt == 0 ? 0 : 1);
    }
    return false;
}

// Asked by taking the mark's byte exclusively: that fails while any other
// handle holds its shared mark there. What is taken is given back at once.
bool CFile::OthersReading() const
{
    if (!IsOpen() || !LockByte(m_fd.Get(), READER_MARK_OFFSET, LOCKFILE_EXCLUSIVE_LOCK))
        return true;
    UnlockByte(m_fd.Get(), READER_MARK_OFFSET);
    return false;
}

bool CFile::Identity(CFileIdentity& identity) const
{
    return IsOpen() && FileIdentityOf(m_fd.Get(), identity);
}

bool CFile::SetPosition(uint64_t offset) const
{
    LARGE_INTEGER to{};
    to.QuadPart = static_cast<LONGLONG>(offset);
    return IsOpen() && offset <= static_cast<uint64_t>(INT64_MAX) &&
           SetFilePointerEx(m_fd.Get(), to, nullptr, FILE_BEGIN);
}

bool PathMissing(const std::string& pathUtf8)
{
    const CWidePath path(pathUtf8);
    if (!path.IsValid() || GetFileAttributesW(path.Get()) != INVALID_FILE_ATTRIBUTES)
        return false;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// The C runtime keeps a table of its own descriptors over system handles;
// the handle joins it here, and the runtime closes it with the descriptor.
int CFile::ReleaseAsRuntimeDescriptor()
{
    if (!IsOpen())
        return -1;
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(m_fd.Get()), _O_RDONLY | _O_BINARY);
    if (descriptor < 0) {
        Close();
        return -1;
    }
    m_fd.Release();
    return descriptor;
}

void CFile::CloseRuntimeDescriptor(int descriptor)
{
    if (descriptor >= 0)
        _close(descriptor);
}

}  // namespace oru::platform

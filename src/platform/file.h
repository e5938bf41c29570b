#pragma once

// An open file that closes itself: the one place where pack files meet the
// operating system. Paths are UTF-8; callers convert wide paths first.
//
// It owns its descriptor through a CDescriptor, so it moves but never
// copies: two owners of one descriptor would close it twice. A stream that
// needs a handle of its own opens the path again (or duplicates the
// descriptor) instead of sharing one.
//
// Every read and write names its offset (pread/pwrite), so the object keeps
// no position of its own and a failed call leaves nothing to restore. EINTR
// is retried inside and never reaches the caller.
//
// Only regular files are opened. The open itself never waits (a FIFO with no
// writer, a device): anything that is not a regular file is closed again at
// once and the open fails, so a stray FIFO cannot hang a game or a tool. A
// failed open leaves its reason in LastFileError (fault_points.h): the
// system's, or EISDIR for a folder and EINVAL for any other kind of file.

#include "descriptor.h"
#include "platform/files.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>

namespace oru::platform {

struct CFileIdentity;

// One piece of a scattered read: `m_nSize` bytes into `m_pDst`.
struct CReadPiece {
    void* m_pDst;
    size_t m_nSize;
};

// One piece of a gathered write: `m_nSize` bytes from `m_pSrc`.
struct CWritePiece {
    const void* m_pSrc;
    size_t m_nSize;
};

class CFile {
public:
    CFile() = default;

    // An existing file opened read-only; !IsOpen() on failure.
    static CFile OpenRead(const std::string& pathUtf8);
    // As OpenRead, and the file's size and times come from the same status
    // call that tells it is a regular file: one call per source instead of two.
    static CFile OpenReadMeasured(const std::string& pathUtf8, uint64_t& size, CFileTimes& times);
    // An existing file opened for reading and writing, never created.
    static CFile OpenReadWrite(const std::string& pathUtf8);
    // A file opened for reading and writing, created empty when missing; an
    // existing one keeps its bytes.
    static CFile OpenOrCreateReadWrite(const std::string& pathUtf8);
    // Takes over a C runtime stream: its descriptor is duplicated and the
    // stream closed, so the stream's owner passes ownership on this line.
    // `position` receives the stream's logical position before it closed
    // (what it had read ahead into its buffer does not count). !IsOpen() when
    // the descriptor cannot be duplicated; the stream is closed either way.
    static CFile AdoptStdio(std::FILE* pStream, uint64_t& position);
    // A descriptor of its own on the same file; !IsOpen() when none can be had.
    CFile Duplicate() const { return CFile(CDescriptor::Duplicate(m_fd.Get())); }

    bool IsOpen() const { return m_fd.IsOpen(); }
    void Close() { m_fd.Close(); }

    // Size of the open file; false when it cannot be asked.
    bool Size(uint64_t& size) const;
    // The open file's identity (file_watch.h); false when it cannot be asked.
    bool Identity(CFileIdentity& identity) const;
    // Reads up to `size` bytes at `offset`; returns the bytes read, fewer at
    // the end of the file, 0 on an error.
    size_t ReadAt(uint64_t offset, void* pDst, size_t size) const;
    // Reads exactly `size` bytes at `offset`; false on a short read.
    bool ReadExactAt(uint64_t offset, void* pDst, size_t size) const
    {
        return ReadAt(offset, pDst, size) == size;
    }
    // Reads the contiguous bytes at `offset` into the pieces in order, as one
    // call when the system allows it. Returns the bytes read in all (fewer at
    // the end of the file, 0 on an error). At most MAX_PIECES pieces.
    size_t ReadScatteredAt(uint64_t offset, const CReadPiece* pPieces, size_t count) const;
    static constexpr size_t MAX_PIECES = 512;  // below the system limit of 1024
    // Writes the pieces one after the other from `offset`, as one call when
    // the system allows it; false when not all of them were written. At most
    // MAX_PIECES pieces.
    bool WriteGatheredAt(uint64_t offset, const CWritePiece* pPieces, size_t count) const;
    // Makes the file `size` bytes long; bytes added at the end read as zeros.
    // False when the system refuses (no space, a size limit).
    bool Resize(uint64_t size) const;
    // Waits until the file's bytes and size are on the disk; false when the
    // system cannot confirm it.
    bool Sync() const;
    // Asks the system to start writing `size` bytes at `offset` to the disk
    // and returns at once. It promises nothing (Sync does): it only leaves a
    // later Sync less to wait for.
    void StartWriteback(uint64_t offset, uint64_t size) const;
    // Takes the exclusive editing lock on the file without waiting. The lock
    // belongs to this open file: a second CFile on the same file, in this
    // process or another, is refused until this one closes. Readers that do
    // not ask for the lock are never held up.
    enum class eLock { TAKEN, HELD_ELSEWHERE, FAILED };
    eLock TryLockExclusive() const;
    // Marks this open file as a reader of the pack's sectors: a shared lock
    // on one byte far past any data, which belongs to the open file (and
    // every duplicate of its descriptor) and ends when the last of them
    // closes. It never holds up another reader, nor the editing lock.
    bool MarkReader() const;
    // Whether an open file other than this one is marked as a reader. An
    // answer the system cannot give counts as readers present.
    bool OthersReading() const;

    // Moves the descriptor's own position (the one a library reading the
    // descriptor itself uses) to `offset` from the start.
    bool SetPosition(uint64_t offset) const;
    // Gives the file away as a C runtime descriptor (what zlib's gzdopen
    // takes), at the position SetPosition left; the caller closes it from now
    // on, with CloseRuntimeDescriptor when the library it was meant for did
    // not take it. -1 when it cannot be handed over (the file is closed then).
    int ReleaseAsRuntimeDescriptor();
    static void CloseRuntimeDescriptor(int descriptor);

private:
    explicit CFile(CDescriptor&& fd) : m_fd(std::move(fd)) {}
    static CFile OpenWithFlags(const std::string& pathUtf8, int flags);

    CDescriptor m_fd;
};

// True only when `pathUtf8` certainly names nothing (no such entry, or a
// missing folder on the way); false when it exists or cannot be told.
bool PathMissing(const std::string& pathUtf8);

}  // namespace oru::platform

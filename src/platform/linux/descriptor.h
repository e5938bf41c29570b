#pragma once

// CDescriptor: the one owner of an operating-system file descriptor. Every
// file the library opens is opened, retried, written, synced and closed
// here; CFile (pack files, read and written at offsets) and COutputFile
// (logs and reports, written in sequence) are built on it.
//
// Ownership: one CDescriptor closes its descriptor, once, in its destructor
// or in Close. It moves but never copies; a second owner gets a descriptor
// of its own (Duplicate), never the same number. Release hands the number to
// a caller that closes it itself, on one visible line.
//
// Retries: open, write, fsync and read are retried after EINTR, and a short
// write is continued where it stopped. close is never retried: on Linux the
// descriptor is gone whatever close returns, and a retry could close one that
// another thread has just opened.
//
// Errors: a failed call returns false (or a closed descriptor, or 0 bytes)
// with errno telling why; nothing here records errno for messages, the file
// classes above do that (RecordFileError).
//
// Async-signal-safe, so a crash report may use them from its signal handler:
// Open, OpenWithoutWaiting, WriteAll, Sync, ReadUpTo, Close and the
// destructor. They make system calls only and never allocate; the fault seam
// they pass through allocates only while a test traces it.

#include <oru/core/non_copyable.h>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <sys/types.h>

namespace oru::platform {

class CDescriptor : private COruNonCopyable {
public:
    CDescriptor() = default;
    // Takes over `fd` (negative: none).
    explicit CDescriptor(int fd) : m_fd(fd) {}
    ~CDescriptor() { Close(); }
    CDescriptor(CDescriptor&& other) noexcept : m_fd(other.Release()) {}
    CDescriptor& operator=(CDescriptor&& other) noexcept;

    // open(2) with O_CLOEXEC added; closed on failure.
    static CDescriptor Open(const char* pathUtf8, int flags, mode_t mode = 0);
    // As Open, but the open itself never waits: a FIFO without a peer or a
    // device fails or returns at once instead of blocking for good. Reads
    // and writes on the result block as usual.
    static CDescriptor OpenWithoutWaiting(const char* pathUtf8, int flags, mode_t mode = 0);
    // A descriptor of its own on the file `fd` is open on (the standard
    // output, a C stream); closed on failure.
    static CDescriptor Duplicate(int fd);

    bool IsOpen() const { return m_fd >= 0; }
    int Get() const { return m_fd; }
    // True when the descriptor is open on a regular file.
    bool IsRegularFile() const;
    // False when the system reports an error for the file as it closes (on
    // some file systems, written bytes that never reached the disk).
    bool Close();
    // Gives the descriptor away; the caller closes it from now on.
    int Release();

    // Writes all `size` bytes at the descriptor's position; false when the
    // file is closed or the system refuses (a full disk). Each write passes
    // the fault seam, so tests can make it fail.
    bool WriteAll(const void* pData, size_t size) const;
    // Waits until the file's bytes are on the disk; false when the system
    // cannot confirm it. Passes the fault seam.
    bool Sync() const;
    // Reads from the descriptor's position until `capacity` bytes came or the
    // file ends; the bytes read, 0 on an error.
    size_t ReadUpTo(void* pDst, size_t capacity) const;

private:
    int m_fd = -1;
};

// Writes all of `text` to a descriptor this process does not own through a
// CDescriptor (standard error), retrying EINTR and short writes. False when
// a write fails. Async-signal-safe; it does not pass the fault seam, so
// diagnostics never shift a test's count of file changes.
bool WriteAll(int fd, std::string_view text);

struct CFileTimes;
struct CFileIdentity;

// Size and times of the file open as descriptor `fd`; false when it is not a
// regular file (errno EISDIR for a folder, EINVAL for any other kind).
bool DescriptorSizeAndTimes(int fd, uint64_t& size, CFileTimes& times);
// The identity of the file open as descriptor `fd`; false when it cannot be asked.
bool FileIdentityOf(int fd, CFileIdentity& identity);

}  // namespace oru::platform

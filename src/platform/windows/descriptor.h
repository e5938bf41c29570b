#pragma once

// CDescriptor: the one owner of a Windows file handle. Every file the
// library opens is opened, written, synced and closed here; CFile (pack
// files, read and written at offsets) and COutputFile (logs and reports,
// written in sequence) are built on it.
//
// Ownership: one CDescriptor closes its handle, once, in its destructor or in
// Close. It moves but never copies; a second owner gets a handle of its own
// (Duplicate), never the same one. Release hands the handle to a caller that
// closes it itself, on one visible line.
//
// Sharing: every file is opened with FILE_SHARE_READ, FILE_SHARE_WRITE and
// FILE_SHARE_DELETE, so that the readers and the editor of one pack never
// refuse each other's opens, and a file another process reads can still be
// renamed over or removed, as on other systems.
//
// Errors: a failed call returns false (or a closed descriptor, or 0 bytes)
// with errno set to the error number that the system's error means
// (system_error.h); nothing here records it for messages, the file classes
// above do that (RecordFileError).
//
// Safe in an exception filter, so a crash report may use them after a fault:
// Open, WriteAll, Sync, ReadUpTo, Close and the destructor. They make system
// calls only and never allocate; the fault seam they pass through allocates
// only while a test traces it.
//
// The handle is kept as void* (what HANDLE is), so that the headers built on
// this one do not bring <windows.h> into the rest of the library.

#include <oru/core/non_copyable.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace oru::platform {

using NativeHandle = void*;  // a HANDLE

class CDescriptor : private COruNonCopyable {
public:
    // What an open asks for. APPEND writes at the end of the file whatever
    // another writer did meanwhile, each write in one piece.
    enum class eAccess { READ, READ_WRITE, WRITE, APPEND };
    // What an open does when the file is there or is not.
    enum class eCreate {
        EXISTING,  // the file must exist
        OR_CREATE, // created empty when missing, kept as it is otherwise
        TRUNCATE,  // created when missing, emptied otherwise
        NEW,       // created; fails (EEXIST) when anything is there, a link included
    };

    CDescriptor() = default;
    // Takes over `handle` (null or INVALID_HANDLE_VALUE: none).
    explicit CDescriptor(NativeHandle handle);
    ~CDescriptor() { Close(); }
    CDescriptor(CDescriptor&& other) noexcept : m_h(other.Release()) {}
    CDescriptor& operator=(CDescriptor&& other) noexcept;

    // CreateFileW with the sharing above; closed on failure. A path that is
    // not UTF-8 fails (EILSEQ). A folder cannot be opened (EISDIR).
    static CDescriptor Open(const char* pathUtf8, eAccess access, eCreate create);
    // A handle that only asks about the file or folder at `pathUtf8` (its
    // size, times and identity) without the right to read it, so that no
    // other opener's sharing refuses it; a symbolic link is followed unless
    // `followLinks` is false. Closed on failure.
    static CDescriptor OpenToQuery(const char* pathUtf8, bool followLinks = true);
    // A handle of its own on the file `handle` is open on (the standard
    // output, a C stream); closed on failure.
    static CDescriptor Duplicate(NativeHandle handle);

    bool IsOpen() const { return m_h != nullptr; }
    NativeHandle Get() const { return m_h; }
    // True when the handle is open on a regular file; errno EISDIR for a
    // folder and EINVAL for anything else (a device, a pipe, a console).
    bool IsRegularFile() const;
    // False when the system reports an error as the handle closes.
    bool Close();
    // Gives the handle away; the caller closes it from now on.
    NativeHandle Release();

    // Writes all `size` bytes at the handle's position (at the end for
    // APPEND); false when the file is closed or the system refuses (a full
    // disk). Each write passes the fault seam, so tests can make it fail.
    bool WriteAll(const void* pData, size_t size) const;
    // Waits until the file's bytes are on the disk (FlushFileBuffers); false
    // when the system cannot confirm it. Passes the fault seam.
    bool Sync() const;
    // Reads from the handle's position until `capacity` bytes came or the
    // file ends; the bytes read, 0 on an error.
    size_t ReadUpTo(void* pDst, size_t capacity) const;

private:
    NativeHandle m_h = nullptr;
};

// Writes all of `text` to a handle this process does not own through a
// CDescriptor (standard error), continuing short writes. False when a write
// fails. Safe in an exception filter; it does not pass the fault seam, so
// diagnostics never shift a test's count of file changes.
bool WriteAll(NativeHandle handle, std::string_view text);

struct CFileTimes;
struct CFileIdentity;

// Size and times of the file open as `handle`; false when it is not a
// regular file (errno EISDIR for a folder, EINVAL for any other kind).
bool DescriptorSizeAndTimes(NativeHandle handle, uint64_t& size, CFileTimes& times);
// The identity of the file open as `handle`; false when it cannot be asked.
bool FileIdentityOf(NativeHandle handle, CFileIdentity& identity);

}  // namespace oru::platform

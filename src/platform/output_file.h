#pragma once

// A file that is only ever written to, each Write reaching the system in one
// piece: an appended log file, or the process's standard output. There is no
// user-space buffer, so a written line is as durable as the system makes it
// the moment Write returns, and lines written by several processes to one
// file never interleave within a line (O_APPEND). The descriptor belongs to
// a CDescriptor; opening, writing and syncing are async-signal-safe as its
// are, so a crash report writes through this class from a signal handler.

#include "descriptor.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace oru::platform {

class COutputFile {
public:
    // Moves, never copies, as the CDescriptor it holds.
    COutputFile() = default;

    // Opens `pathUtf8` for appending, creating it (mode 0644 before the
    // umask) when missing. False, with the file closed, on failure.
    // Takes a plain string too, so that a crash report opens its file
    // without allocating.
    bool OpenAppend(const char* pathUtf8);
    bool OpenAppend(const std::string& pathUtf8) { return OpenAppend(pathUtf8.c_str()); }
    // Opens `pathUtf8` emptied, creating it when missing; writes start at
    // the beginning. False, with the file closed, on failure.
    bool OpenTruncate(const std::string& pathUtf8);
    // Creates `pathUtf8`, which must not exist yet, not even as a symbolic
    // link: false, with errno EEXIST, when something is there.
    bool OpenNew(const std::string& pathUtf8);

    // Takes a descriptor of its own on the process's standard output. False
    // when the process has no standard output (the descriptor is closed).
    bool OpenStandardOutput();

    bool IsOpen() const { return m_fd.IsOpen(); }

    // Writes all `size` bytes; retries short writes and EINTR. False when the
    // file is closed or the system refuses the write (a full disk).
    bool Write(const void* pData, size_t size);
    // Waits until what was written is on the disk; false when the system
    // cannot confirm it (an I/O error, a full disk found only now).
    bool Sync();
    // Gives the file these access and modification times (FILETIME counts);
    // false when the system refuses.
    bool SetTimes(uint64_t accessTime, uint64_t writeTime);

    // False when the system reports, only now, that written bytes were lost.
    bool Close() { return m_fd.Close(); }

private:
    bool OpenWith(const char* pathUtf8, int modeFlags);  // O_APPEND, O_TRUNC or O_EXCL...

    CDescriptor m_fd;
};

}  // namespace oru::platform

#pragma once

// The system's error codes as the error numbers the rest of the library
// reads. Callers compare LastFileError and errno with ENOENT, EACCES, EEXIST,
// EISDIR, ENOSPC...; the Windows calls report through GetLastError, so every
// failure is translated here, once, right after the call that failed.

#include <cerrno>

namespace oru::platform {

// The errno value that means what the system error `code` means; EIO for a
// code without a closer meaning.
int ErrnoOfSystemError(unsigned long code);

// Sets errno from the thread's last system error and returns false, for use
// in returns. Allocates nothing.
bool SetErrnoFromSystem();

// As SetErrnoFromSystem, and records the number as the last file error
// (RecordFileError in fault_points.h).
bool RecordSystemError();

}  // namespace oru::platform

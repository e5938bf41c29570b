#pragma once

// Files and folders. Paths are UTF-8; the callers convert wide paths first.

#include <cstdint>
#include <cstddef>
#include <string>

namespace oru::platform {

// Creates one folder level. True when it was created or already exists as a
// folder; false otherwise (missing parent, a file of that name, no right).
// Allocates nothing, so a crash report can use it.
bool MakeDirectory(const char* pathUtf8);
inline bool MakeDirectory(const std::string& pathUtf8) { return MakeDirectory(pathUtf8.c_str()); }

// The size of an existing regular file that can be opened for reading;
// false when it cannot (missing, a folder, no permission).
bool ReadableFileSize(const std::string& pathUtf8, uint64_t& size);

// Times as FILETIME counts (see file_time.h).
struct CFileTimes {
    uint64_t m_nCreation;  // birth time where recorded, else status change
    uint64_t m_nAccess;
    uint64_t m_nWrite;
};

// Size and times of an existing regular file; false when it cannot be read.
bool FileSizeAndTimes(const std::string& pathUtf8, uint64_t& size, CFileTimes& times);
// The same for the file open as descriptor `fd`; false when it is not a
// regular file.
bool DescriptorSizeAndTimes(int fd, uint64_t& size, CFileTimes& times);

}  // namespace oru::platform

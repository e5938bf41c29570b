#pragma once

// Whole-file reads and C streams for code that hands files to a C library
// (the XML parser reads and writes through FILE*). Paths are UTF-8.

#include <cstdint>
#include <cstdio>
#include <string>

namespace oru::platform {

enum eReadFileResult {
    READ_FILE_OK = 0,
    READ_FILE_CANNOT_OPEN = 1,  // missing, not a regular file, no permission, read error
    READ_FILE_TOO_LARGE = 2,    // larger than the caller's limit; nothing was read
};

// Reads a whole regular file into `bytes` (replaced). A FIFO or device is
// refused without blocking on it. Never throws: a failed allocation is
// READ_FILE_TOO_LARGE.
eReadFileResult ReadWholeFile(const std::string& pathUtf8, uint64_t maxSize, std::string& bytes);

// A read-only stream over `size` bytes at `data`, which must outlive it and
// must not be empty. Null on failure. Close it with CloseStream.
std::FILE* OpenMemoryStream(const void* data, size_t size);

// Creates or truncates a file for writing; null on failure.
std::FILE* OpenWriteStream(const std::string& pathUtf8);

// Closes the stream; false when a buffered write could not be completed
// (a full disk shows itself here at the latest).
bool CloseStream(std::FILE* stream);

}  // namespace oru::platform

#pragma once

// Whole-file reads, and C streams for a C library that writes only through
// FILE* (the XML printer). Paths are UTF-8.

#include <cstdint>
#include <cstdio>
#include <functional>
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

// Collects in memory what `write` writes to the stream it is given, for a C
// library that only writes to FILE*. `write` returns whether it wrote
// everything. False, with `bytes` emptied, when the stream cannot be made,
// `write` fails or memory runs out.
bool WriteToMemory(const std::function<bool(std::FILE*)>& write, std::string& bytes);

}  // namespace oru::platform

#include "platform/stdio_file.h"

#include "platform/file.h"

#include <new>

namespace oru::platform {

eReadFileResult ReadWholeFile(const std::string& pathUtf8, uint64_t maxSize, std::string& bytes)
{
    // CFile opens regular files only, and never waits on a FIFO.
    uint64_t size = 0;
    const CFile file = CFile::OpenRead(pathUtf8);
    if (!file.IsOpen() || !file.Size(size))
        return READ_FILE_CANNOT_OPEN;
    if (size > maxSize)
        return READ_FILE_TOO_LARGE;
    try {
        bytes.resize(static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
        return READ_FILE_TOO_LARGE;
    }
    if (!file.ReadExactAt(0, bytes.data(), bytes.size())) {
        bytes.clear();
        return READ_FILE_CANNOT_OPEN;
    }
    return READ_FILE_OK;
}

}  // namespace oru::platform

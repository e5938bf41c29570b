#include "platform/files.h"

#include "platform/file.h"

namespace oru::platform {

bool ReadableFileSize(const std::string& pathUtf8, uint64_t& size)
{
    // CFile opens regular files only, and never waits on a FIFO.
    const CFile file = CFile::OpenRead(pathUtf8);
    return file.IsOpen() && file.Size(size);
}

}  // namespace oru::platform

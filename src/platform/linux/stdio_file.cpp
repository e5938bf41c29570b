#include "platform/stdio_file.h"

#include <cstdlib>
#include <new>

namespace oru::platform {

bool WriteToMemory(const std::function<bool(std::FILE*)>& write, std::string& bytes)
{
    bytes.clear();
    char* pBuffer = nullptr;
    size_t size = 0;
    std::FILE* stream = open_memstream(&pBuffer, &size);
    if (!stream)
        return false;
    const bool written = write(stream);
    // The buffer and its size are final only once the stream is closed.
    const bool closed = std::fclose(stream) == 0;
    bool kept = false;
    if (written && closed && pBuffer) {
        try {
            bytes.assign(pBuffer, size);
            kept = true;
        } catch (const std::bad_alloc&) {
            bytes.clear();
        }
    }
    std::free(pBuffer);
    return kept;
}

}  // namespace oru::platform

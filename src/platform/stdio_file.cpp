#include "platform/stdio_file.h"

#include "platform/file.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace oru::platform {
namespace {

// O_NONBLOCK keeps a FIFO from blocking the open; regular files ignore it.
int OpenRegularForReading(const std::string& pathUtf8, uint64_t& size)
{
    int fd = -1;
    do {
        fd = open(pathUtf8.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    size = static_cast<uint64_t>(st.st_size);
    return fd;
}

}  // namespace

eReadFileResult ReadWholeFile(const std::string& pathUtf8, uint64_t maxSize, std::string& bytes)
{
    uint64_t size = 0;
    const CFile file = CFile::AdoptDescriptor(OpenRegularForReading(pathUtf8, size));
    if (!file.IsOpen())
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

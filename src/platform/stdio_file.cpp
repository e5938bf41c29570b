#include "platform/stdio_file.h"

#include <cerrno>
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

bool ReadFully(int fd, char* pDst, size_t size)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t got = read(fd, pDst + done, size - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

}  // namespace

eReadFileResult ReadWholeFile(const std::string& pathUtf8, uint64_t maxSize, std::string& bytes)
{
    uint64_t size = 0;
    const int fd = OpenRegularForReading(pathUtf8, size);
    if (fd < 0)
        return READ_FILE_CANNOT_OPEN;
    eReadFileResult result = READ_FILE_OK;
    if (size > maxSize) {
        result = READ_FILE_TOO_LARGE;
    } else {
        try {
            bytes.resize(static_cast<size_t>(size));
            if (!ReadFully(fd, bytes.data(), bytes.size()))
                result = READ_FILE_CANNOT_OPEN;
        } catch (const std::bad_alloc&) {
            result = READ_FILE_TOO_LARGE;
        }
    }
    close(fd);
    if (result != READ_FILE_OK)
        bytes.clear();
    return result;
}

std::FILE* OpenMemoryStream(const void* data, size_t size)
{
    if (!data || size == 0)
        return nullptr;
    return fmemopen(const_cast<void*>(data), size, "rb");
}

std::FILE* OpenWriteStream(const std::string& pathUtf8)
{
    return std::fopen(pathUtf8.c_str(), "wbe");
}

bool CloseStream(std::FILE* stream)
{
    return stream && std::fclose(stream) == 0;
}

}  // namespace oru::platform

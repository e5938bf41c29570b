#include "platform/replace_file.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace oru::platform {
namespace {

bool WriteAll(int fd, std::string_view bytes)
{
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool ReplaceFileContents(const std::string& pathUtf8, std::string_view bytes)
{
    const std::string temporary = pathUtf8 + ".tmp" + std::to_string(getpid());
    int fd = -1;
    do {
        fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return false;

    const bool written = WriteAll(fd, bytes);
    const bool closed = close(fd) == 0;
    if (!written || !closed || rename(temporary.c_str(), pathUtf8.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace oru::platform

#include "platform/memory_probe.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

namespace oru::platform {

// process_vm_readv on the process itself needs no permission beyond being
// the process; a kernel or a filter that refuses it makes every record read
// as unreadable, which the report says rather than risk a fault.
bool CopyReadable(void* pDst, const void* pSrc, size_t size)
{
    auto* pTo = static_cast<char*>(pDst);
    auto* pFrom = static_cast<const char*>(pSrc);
    while (size > 0) {
        iovec local{pTo, size};
        iovec remote{const_cast<char*>(pFrom), size};
        const ssize_t n = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        pTo += n;
        pFrom += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool IsReadable(const void* p, size_t size)
{
    char scratch[256];
    auto* pFrom = static_cast<const char*>(p);
    while (size > 0) {
        const size_t n = size < sizeof scratch ? size : sizeof scratch;
        if (!CopyReadable(scratch, pFrom, n))
            return false;
        pFrom += n;
        size -= n;
    }
    return true;
}

}  // namespace oru::platform

#include "platform/memory_probe.h"

#include "native_context.h"

#include <cstdint>

namespace oru::platform {

// ReadProcessMemory on the process itself copies what can be read and
// reports the rest as an error instead of raising an access violation in
// the reader.
bool CopyReadable(void* pDst, const void* pSrc, size_t size)
{
    SIZE_T copied = 0;
    return size == 0 ||
           (ReadProcessMemory(GetCurrentProcess(), pSrc, pDst, size, &copied) && copied == size);
}

// Asks the system how each region on the way is mapped rather than copying:
// committed, and neither inaccessible nor a guard page (touching one would
// take its guard away).
bool IsReadable(const void* p, size_t size)
{
    constexpr DWORD UNREADABLE = PAGE_NOACCESS | PAGE_GUARD;
    auto address = reinterpret_cast<uintptr_t>(p);
    if (size > UINTPTR_MAX - address)
        return false;
    const uintptr_t end = address + size;
    while (address < end) {
        MEMORY_BASIC_INFORMATION region{};
        if (VirtualQuery(reinterpret_cast<const void*>(address), &region, sizeof region) == 0 ||
            region.State != MEM_COMMIT || (region.Protect & UNREADABLE) != 0 ||
            region.Protect == 0)
            return false;
        const uintptr_t regionEnd =
            reinterpret_cast<uintptr_t>(region.BaseAddress) + region.RegionSize;
        if (regionEnd <= address)
            return false;
        address = regionEnd;
    }
    return true;
}

}  // namespace oru::platform

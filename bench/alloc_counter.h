#pragma once

// Counts the calls of the global operator new, so that a benchmark can show
// that the code it times allocates nothing, and, while a CHeapPeak lives, the
// heap bytes held, so that a benchmark can report the most a piece of work
// held at once. This header replaces the global allocation functions: include
// it in exactly one file of a benchmark program. Memory comes from malloc and
// goes back to free, so sizes are what malloc really hands out.

// GCC sees malloc inside operator new and free inside operator delete and
// calls the pair mismatched; for this program they are a pair.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <malloc.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace oru::bench {

inline std::atomic<int64_t> g_nAllocations{0};
inline std::atomic<bool> g_bTrackBytes{false};
inline std::atomic<int64_t> g_nBytesHeld{0};
inline std::atomic<int64_t> g_nBytesPeak{0};

inline int64_t Allocations()
{
    return g_nAllocations.load(std::memory_order_relaxed);
}

// Byte tracking is off unless asked for, so timed loops pay one flag test.
inline void NoteAllocated(void* p)
{
    if (!p || !g_bTrackBytes.load(std::memory_order_relaxed))
        return;
    const auto size = static_cast<int64_t>(malloc_usable_size(p));
    const int64_t held = g_nBytesHeld.fetch_add(size, std::memory_order_relaxed) + size;
    int64_t peak = g_nBytesPeak.load(std::memory_order_relaxed);
    while (held > peak && !g_nBytesPeak.compare_exchange_weak(peak, held, std::memory_order_relaxed)) {
    }
}

inline void NoteFreed(void* p)
{
    if (p && g_bTrackBytes.load(std::memory_order_relaxed))
        g_nBytesHeld.fetch_sub(static_cast<int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
}

// The most heap bytes held at once since construction, above what was held
// then. A block allocated before and freed during the measurement lowers the
// count, so measure work that starts from nothing of its own.
class CHeapPeak {
public:
    CHeapPeak()
    {
        g_nBytesHeld.store(0, std::memory_order_relaxed);
        g_nBytesPeak.store(0, std::memory_order_relaxed);
        g_bTrackBytes.store(true, std::memory_order_relaxed);
    }
    ~CHeapPeak() { g_bTrackBytes.store(false, std::memory_order_relaxed); }
    CHeapPeak(const CHeapPeak&) = delete;
    CHeapPeak& operator=(const CHeapPeak&) = delete;

    int64_t Bytes() const { return g_nBytesPeak.load(std::memory_order_relaxed); }
};

inline void* Allocate(std::size_t size)
{
    g_nAllocations.fetch_add(1, std::memory_order_relaxed);
    void* p = std::malloc(size ? size : 1);
    NoteAllocated(p);
    return p;
}

inline void Release(void* p)
{
    NoteFreed(p);
    std::free(p);
}

}  // namespace oru::bench

void* operator new(std::size_t size)
{
    if (void* p = oru::bench::Allocate(size))
        return p;
    throw std::bad_alloc();
}

void* operator new[](std::size_t size)
{
    return operator new(size);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return oru::bench::Allocate(size);
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    return oru::bench::Allocate(size);
}

void operator delete(void* p) noexcept
{
    oru::bench::Release(p);
}

void operator delete[](void* p) noexcept
{
    oru::bench::Release(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    oru::bench::Release(p);
}

void operator delete[](void* p, std::size_t) noexcept
{
    oru::bench::Release(p);
}

#pragma once

// Counts the calls of the global operator new, so that a benchmark can show
// that the code it times allocates nothing. This header replaces the global
// allocation functions: include it in exactly one file of a benchmark
// program. The replacements take their memory from malloc, where the
// library's own operator delete returns it, so delete needs no replacement.

// GCC sees malloc inside operator new and free inside the library's operator
// delete and calls the pair mismatched; for this program they are a pair.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace oru::bench {

inline std::atomic<int64_t> g_nAllocations{0};

inline int64_t Allocations()
{
    return g_nAllocations.load(std::memory_order_relaxed);
}

}  // namespace oru::bench

void* operator new(std::size_t size)
{
    oru::bench::g_nAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}

void* operator new[](std::size_t size)
{
    return operator new(size);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    oru::bench::g_nAllocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size ? size : 1);
}

void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept
{
    return operator new(size, tag);
}

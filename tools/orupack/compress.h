#pragma once

// The "ORUGZIP1" form of a stored file: the magic, the content's length
// (32-bit little-endian) and the content as blocked gzip members, one per
// 256 KiB of content, each saying its size (see the library's gz_blocks.h).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace orupack {

// Leaves the elements a resize adds uninitialised: a buffer that a read or a
// compressor fills at once is not worth zeroing first.
template <typename T>
struct CUninitialised : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = CUninitialised<U>;
    };
    template <typename U>
    void construct(U* /*pWhere*/) noexcept
    {
    }
    template <typename U, typename... TArgs>
    void construct(U* pWhere, TArgs&&... args)
    {
        ::new (static_cast<void*>(pWhere)) U(std::forward<TArgs>(args)...);
    }
};

using CBytes = std::vector<uint8_t, CUninitialised<uint8_t>>;

// Fills `wrapped` and returns true when the wrapped form is smaller than
// `content`, or whatever its size when `always`; false (with `wrapped`
// unspecified) when it is not smaller, when the content is 4 GiB or more, or
// when the compressor cannot be had.
bool WrapCompressed(const CBytes& content, CBytes& wrapped, bool always = false);

// True when readers would not give `start` (a file's first bytes) back as
// they are: it begins with the gzip magic or with the wrapper's. Such a file
// must be stored wrapped.
bool ReadersWouldDecode(const uint8_t* start, size_t length);

}  // namespace orupack

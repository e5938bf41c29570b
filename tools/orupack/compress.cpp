#include "compress.h"

#include "pack/pack_format.h"

#include <zlib.h>

#include <cstring>

namespace orupack {

bool WrapCompressed(const std::vector<uint8_t>& content, std::vector<uint8_t>& wrapped)
{
    using oru::detail::WRAPPER_PREFIX_BYTES;
    if (content.size() <= WRAPPER_PREFIX_BYTES || content.size() > UINT32_MAX)
        return false;
    z_stream z{};
    // Window bits 15 + 16: a gzip header and trailer around the deflate data.
    if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return false;
    // Anything as large as the content is no gain, so the output stops there.
    wrapped.resize(content.size());
    std::memcpy(wrapped.data(), oru::detail::WRAPPER_MAGIC, sizeof oru::detail::WRAPPER_MAGIC);
    const uint32_t length = static_cast<uint32_t>(content.size());
    std::memcpy(wrapped.data() + 8, &length, sizeof length);  // little-endian host, as the format
    z.next_in = const_cast<Bytef*>(content.data());
    z.avail_in = static_cast<uInt>(content.size());
    z.next_out = wrapped.data() + WRAPPER_PREFIX_BYTES;
    z.avail_out = static_cast<uInt>(wrapped.size() - WRAPPER_PREFIX_BYTES);
    const int result = deflate(&z, Z_FINISH);
    const size_t produced = z.total_out;
    deflateEnd(&z);
    if (result != Z_STREAM_END)
        return false;  // ran out of room: not smaller
    wrapped.resize(WRAPPER_PREFIX_BYTES + produced);
    return wrapped.size() < content.size();
}

}  // namespace orupack

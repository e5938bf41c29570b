#include "compress.h"

#include "pack/pack_tools.h"

#include <zlib.h>

#include <cstring>

namespace orupack {

bool ReadersWouldDecode(const uint8_t* start, size_t length)
{
    constexpr uint8_t GZIP_ID[2] = {0x1F, 0x8B};
    const auto startsWith = [&](const void* pMagic, size_t bytes) {
        return length >= bytes && std::memcmp(start, pMagic, bytes) == 0;
    };
    return startsWith(GZIP_ID, sizeof GZIP_ID) ||
           oru::tools::ParseWrapperPrefix(start, length).m_bWrapped;
}

bool WrapCompressed(const CBytes& content, CBytes& wrapped, bool always)
{
    using oru::tools::WRAPPER_PREFIX_BYTES;
    if ((!always && content.size() <= WRAPPER_PREFIX_BYTES) || content.size() > UINT32_MAX)
        return false;
    z_stream z{};
    // Window bits 15 + 16: a gzip header and trailer around the deflate data.
    if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return false;
    // Anything as large as the content is no gain, so the output stops there
    // unless the wrapper is wanted whatever it costs.
    wrapped.resize(always ? WRAPPER_PREFIX_BYTES + deflateBound(&z, static_cast<uLong>(content.size()))
                          : content.size());
    oru::tools::WriteWrapperPrefix(static_cast<uint32_t>(content.size()), wrapped.data());
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
    return always || wrapped.size() < content.size();
}

}  // namespace orupack

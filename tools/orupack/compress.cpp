#include "compress.h"

#include "pack/pack_tools.h"


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
    // One compressor per thread: making one costs more than a small file's
    // compression, and the tree reader prepares files on its own thread.
    thread_local oru::tools::CBlockWriter t_writer;
    if (!t_writer.IsReady())
        return false;
    try {
        wrapped.resize(WRAPPER_PREFIX_BYTES + t_writer.Bound(content.size()));
    } catch (const std::bad_alloc&) {
        return false;
    }
    oru::tools::WriteWrapperPrefix(static_cast<uint32_t>(content.size()), wrapped.data());
    const size_t produced = t_writer.Write(content.data(), content.size(), wrapped.data() + WRAPPER_PREFIX_BYTES);
    if (produced == 0)
        return false;
    wrapped.resize(WRAPPER_PREFIX_BYTES + produced);
    return always || wrapped.size() < content.size();
}

}  // namespace orupack

#include "pack/gz_blocks.h"

#include "pack/pack_format.h"

#include <libdeflate.h>

#include <algorithm>
#include <cstring>

namespace oru::detail {
namespace {

constexpr uint8_t SUBFIELD_ID1 = 'O';
constexpr uint8_t SUBFIELD_ID2 = 'B';
constexpr uint8_t FLAG_EXTRA = 0x04;
constexpr uint8_t OS_UNKNOWN = 0xFF;
constexpr uint16_t EXTRA_BYTES = 8;     // the one subfield: id, length, size
constexpr uint16_t SUBFIELD_BYTES = 4;  // the member size

}  // namespace

uint32_t BlockedMemberSize(const uint8_t* header, size_t length)
{
    if (length < BLOCK_HEADER_BYTES || header[0] != 0x1F || header[1] != 0x8B || header[2] != 8 ||
        header[3] != FLAG_EXTRA || LoadU32(header + 10) != (EXTRA_BYTES | (uint32_t{SUBFIELD_ID1} << 16) |
                                                             (uint32_t{SUBFIELD_ID2} << 24)) ||
        header[14] != SUBFIELD_BYTES || header[15] != 0)
        return 0;
    const uint32_t size = LoadU32(header + 16);
    return size >= BLOCK_HEADER_BYTES + GZIP_TRAILER_BYTES ? size : 0;
}

CBlockWriter::CBlockWriter(int level) : m_pCompressor(libdeflate_alloc_compressor(level))
{
}

CBlockWriter::~CBlockWriter()
{
    if (m_pCompressor)
        libdeflate_free_compressor(m_pCompressor);
}

size_t CBlockWriter::Bound(size_t size) const
{
    const size_t members = std::max<size_t>(1, (size + BLOCK_BYTES - 1) / BLOCK_BYTES);
    return members * (BLOCK_HEADER_BYTES + GZIP_TRAILER_BYTES +
                      libdeflate_deflate_compress_bound(m_pCompressor, BLOCK_BYTES));
}

size_t CBlockWriter::WriteMember(const uint8_t* pContent, size_t size, uint8_t* pOut)
{
    const size_t room = libdeflate_deflate_compress_bound(m_pCompressor, size);
    const size_t deflated =
        libdeflate_deflate_compress(m_pCompressor, pContent, size, pOut + BLOCK_HEADER_BYTES, room);
    if (deflated == 0)
        return 0;
    const size_t member = BLOCK_HEADER_BYTES + deflated + GZIP_TRAILER_BYTES;
    const uint8_t header[BLOCK_HEADER_BYTES - 4] = {0x1F, 0x8B, 8, FLAG_EXTRA, 0, 0, 0, 0, 0, OS_UNKNOWN,
                                                    EXTRA_BYTES, 0, SUBFIELD_ID1, SUBFIELD_ID2,
                                                    SUBFIELD_BYTES, 0};
    std::memcpy(pOut, header, sizeof header);
    StoreU32(pOut + 16, static_cast<uint32_t>(member));
    uint8_t* pTrailer = pOut + BLOCK_HEADER_BYTES + deflated;
    StoreU32(pTrailer, static_cast<uint32_t>(libdeflate_crc32(0, pContent, size)));
    StoreU32(pTrailer + 4, static_cast<uint32_t>(size));
    return member;
}

size_t CBlockWriter::Write(const uint8_t* pContent, size_t size, uint8_t* pOut)
{
    if (!m_pCompressor)
        return 0;
    size_t written = 0;
    size_t done = 0;
    do {
        const size_t piece = std::min(size - done, BLOCK_BYTES);
        const size_t member = WriteMember(pContent + done, piece, pOut + written);
        if (member == 0)
            return 0;
        written += member;
        done += piece;
    } while (done < size);
    return written;
}

}  // namespace oru::detail

#pragma once

// Blocked gzip members: compressed content cut into members of BLOCK_BYTES
// of content each, every member an ordinary gzip member whose header carries,
// in a subfield of the extra field ('O', 'B', 4 bytes), the member's whole
// stored size. Any gzip reader reads them as members in sequence; this
// library's reader uses the sizes to decode a member whole (libdeflate) and
// to reach the member that holds a given offset without decoding the ones
// before it.
//
// The layout of one member:
//   1F 8B 08 04 | mtime 0 (4) | XFL 0 | OS FF | XLEN 8 (2) |
//   'O' 'B' | LEN 4 (2) | member size (4) | raw deflate data | CRC-32 (4) | ISIZE (4)

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

struct libdeflate_compressor;

namespace oru::detail {

// Content bytes in one member (the last one of an entry may hold fewer).
constexpr size_t BLOCK_BYTES = 256 * 1024;
// The header of a blocked member, up to its deflate data.
constexpr size_t BLOCK_HEADER_BYTES = 20;
constexpr size_t GZIP_TRAILER_BYTES = 8;
// The most content a member may declare for this reader to decode it whole:
// other writers may cut larger members; beyond this the entry fails cleanly.
constexpr uint32_t BLOCK_CONTENT_LIMIT = 16u << 20;
// The most stored bytes such a member can take (deflate's stored blocks add
// 5 bytes per 65 535), so that a size read from a damaged header never makes
// the reader allocate more than a real member could need.
constexpr uint32_t BLOCK_STORED_LIMIT = BLOCK_CONTENT_LIMIT + BLOCK_CONTENT_LIMIT / 1024 + 1024;

// What the header of a blocked member says: its whole stored size, or 0 when
// `header` (at least `length` bytes) is not a blocked member's header.
uint32_t BlockedMemberSize(const uint8_t* header, size_t length);

// Compresses content into blocked members, reusing its compressor.
class CBlockWriter {
public:
    explicit CBlockWriter(int level = 6);
    ~CBlockWriter();
    CBlockWriter(const CBlockWriter&) = delete;
    CBlockWriter& operator=(const CBlockWriter&) = delete;

    bool IsReady() const { return m_pCompressor != nullptr; }
    // The most bytes `size` bytes of content can take as members.
    size_t Bound(size_t size) const;
    // Appends the members of `size` bytes at `pContent` to `pOut`, which
    // holds at least Bound(size) bytes; returns the bytes written, or 0 when
    // the compressor is missing. Content of 0 bytes gives one empty member.
    size_t Write(const uint8_t* pContent, size_t size, uint8_t* pOut);

private:
    // One member of at most BLOCK_BYTES of content; the bytes written.
    size_t WriteMember(const uint8_t* pContent, size_t size, uint8_t* pOut);

    libdeflate_compressor* m_pCompressor;
};

}  // namespace oru::detail

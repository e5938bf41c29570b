#pragma once

// Reading content stored as blocked gzip members (gz_blocks.h): each member
// is read whole, decoded in one call by libdeflate and checked (its CRC-32,
// its length, and that its deflate data fills it exactly) before any of its
// bytes are given out. A seek goes to the member that holds the target,
// learning where members lie from their headers alone, and decodes only
// that one.
//
// A seek places content by the lengths the members' trailers give, learned
// without decoding them; every member read is checked against its length,
// so reading from the start proves them all.
//
// Whatever does not hold together (a size that points past the entry, a
// member without a size after one with, a member whose data does not fill
// it, a CRC or length that does not match) damages the reader for good, as
// damage does in the streaming reader: the read that meets it returns what
// came before, and every later read, tell and seek fails. Bytes after the
// last member that do not start another member end the content.

#include <oru/core/non_copyable.h>

#include "pack/sector_chain.h"

#include <cstdint>
#include <memory>
#include <vector>

struct libdeflate_decompressor;

namespace oru::detail {

class CBlockReader : private COruNonCopyable {
public:
    // Over the members that start at stored offset `start` of `chain`, which
    // the caller keeps alive and leaves to this reader from now on.
    CBlockReader(CSectorChain& chain, uint32_t start);
    ~CBlockReader();

    // As oru_gz_stream's: the count, 0 at the end, -1 when damaged before
    // anything came.
    int Read(uint8_t* pDst, uint32_t length);
    // To an absolute content offset; the new position, or -1 (the position
    // then stays as it was).
    int64_t Seek(int64_t target);
    int64_t Tell() const { return m_bDamaged ? -1 : static_cast<int64_t>(m_nPos); }
    bool AtEnd() const { return m_bEnded; }
    bool IsDamaged() const { return m_bDamaged; }

private:
    struct CMember {
        CSectorChain::CMark m_start;  // the chain at its header
        uint32_t m_nStored;    // stored offset of its header
        uint32_t m_nSize;      // its whole stored size
        uint64_t m_nContent;   // content offset of its first byte
        uint32_t m_nLength;    // content bytes
    };

    // Learns where the next member lies from its header and its trailer's
    // length. With `load` it reads the whole member on the way (into
    // m_vecStored, for Load), as reading through does; without, only those
    // two pieces, as a seek does. False at the end of the members
    // (m_bAllKnown) or on damage.
    bool DiscoverNext(bool load);
    // The index of the member that holds content offset `offset`,
    // discovering members as needed (`load` as DiscoverNext's); -1 at or
    // past the end, or on damage.
    int64_t MemberAt(uint64_t offset, bool load);
    // Reads member `index` (unless DiscoverNext just did) and decodes it
    // into m_vecBlock.
    bool Load(size_t index);
    bool Fail();

    CSectorChain& m_chain;
    const uint32_t m_nStart;
    libdeflate_decompressor* m_pDecompressor;
    std::vector<CMember> m_vecMembers;
    bool m_bAllKnown = false;
    std::vector<uint8_t> m_vecStored;  // the loaded member as stored
    int64_t m_nStoredMember = -1;      // the member in m_vecStored
    std::vector<uint8_t> m_vecBlock;   // its content
    int64_t m_nLoaded = -1;            // the member in m_vecBlock
    uint64_t m_nPos = 0;
    bool m_bEnded = false;
    bool m_bDamaged = false;
};

}  // namespace oru::detail

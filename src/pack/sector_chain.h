#pragma once

// The stored bytes of one pack entry, read along its chain of sectors.
//
// The links are followed by the chain walker (chain_walk.h). A link past the
// end of the data file shows up as a short read. A bad link stops the chain
// for good: reads deliver what came before and then nothing. No read goes
// past the entry's size.
//
// One system call covers a run of sectors that lie one after the other in the
// data file. With large sectors it scatters straight into the caller's buffer
// (preadv: link pairs aside, payloads into place). With small ones the kernel
// spends more on hundreds of tiny pieces than a copy costs, so the run is read
// into a bounce buffer small enough to stay in cache and copied out from
// there. Either way, whether the run really is the chain is checked
// afterwards from the links it brought in; bytes read past a link that goes
// elsewhere are simply read again from the right sector.

#include "pack/chain_walk.h"
#include "pack/pack_format.h"
#include "platform/file.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace oru::detail {

class CSectorChain {
public:
    CSectorChain(platform::CFile&& dataFile, const _oru_pack_file_info& info, uint32_t sectorSize);

    // Reads up to `size` bytes at the current position; returns the bytes
    // delivered: fewer at the end of the entry or where the chain breaks.
    size_t Read(void* pDst, size_t size);
    // Moves to stored offset `target` (0 to the entry's size, both included);
    // false, with the position unchanged, when the target is past the size or
    // the chain breaks before it.
    bool Seek(uint64_t target);
    uint32_t Tell() const { return m_pos.m_nEntryPos; }
    uint32_t Size() const { return m_nSize; }
    // The data file's length, for bounding what the entry can really hold;
    // false when it cannot be asked.
    bool DataFileSize(uint64_t& size) const { return m_file.Size(size); }

private:
    struct CPosition {
        CChainWalk m_walk;          // the sector the position is in, and its links
        uint32_t m_nSectorPos = 0;  // offset in its payload; sector size = used up
        uint32_t m_nEntryPos = 0;   // offset in the stored bytes
    };

    // The position before any sector is entered: the first read or seek
    // enters `first_sector`, with no I/O until then.
    CPosition StartPosition() const;
    // True when the payload of the current sector is used up and the entry
    // goes on, so the next byte lies in the next sector.
    bool MustEnterNext(const CPosition& pos) const;
    // Enters the walk's upcoming sector with its links and makes it current.
    // False (and `pos` broken) when they are not what a chain has.
    static bool Accept(CPosition& pos, const _oru_pack_sector_links& links);
    // Enters the next sector by reading its links alone; for seeking.
    bool EnterNext(CPosition& pos) const;
    // One scattered read over sectors that follow each other in the file.
    size_t ReadRun(uint8_t* pDst, size_t size);
    // The same through the bounce buffer, for small sectors.
    size_t ReadRunBounced(uint8_t* pDst, size_t size);
    bool UsesBounce() const { return m_pBounce != nullptr; }

    platform::CFile m_file;
    uint32_t m_nSize;
    uint32_t m_nFirstSector;
    uint32_t m_nSectorSize;
    CPosition m_pos;
    std::unique_ptr<uint8_t[]> m_pBounce;  // null: scatter directly
};

}  // namespace oru::detail

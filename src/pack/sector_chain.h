#pragma once

// The stored bytes of one pack entry, read along its chain of sectors.
//
// The links are followed by the chain walker (chain_walk.h). A link past the
// end of the data file shows up as a short read. A bad link stops the chain
// for good: reads deliver what came before and then nothing. No read goes
// past the entry's size.
//
// Reads go through a bounce buffer: one system call fills it with a run of
// sectors that lie one after the other in the data file, links and payloads
// together, and the payloads are copied out from there. The buffer keeps
// what it read, and reading that goes on where the last fill ended reads
// ahead, so a stream read sequentially costs one system call per buffer
// rather than one per request. A request of a buffer's worth or more over
// large sectors is scattered straight into the caller's buffer instead
// (preadv: link pairs aside, payloads into place).
//
// A seek walks the links to its target through the same buffer, so a long
// one costs a system call per buffer rather than one per sector.
//
// Either way, whether the run really is the chain is checked afterwards from
// the links it brought in, as each sector is entered, the same for held
// bytes as for fresh ones; bytes read past a link that goes elsewhere are
// simply read again from the right sector.

#include "pack/chain_walk.h"
#include "pack/pack_format.h"
#include "platform/file.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace oru::detail {

class CSectorChain {
public:
    // Data-file bytes one fill of the bounce buffer reads at most. Filling it
    // costs one system call however many requests it then serves; beyond
    // this size the saving no longer pays for the memory, and the copy out
    // of it would no longer come from a core's own cache.
    static constexpr size_t BOUNCE_BYTES = 1024 * 1024;

    CSectorChain(platform::CFile&& dataFile, const _oru_pack_file_info& info, uint32_t sectorSize);

    // Reads up to `size` bytes at the current position; returns the bytes
    // delivered: fewer at the end of the entry or where the chain breaks.
    size_t Read(void* pDst, size_t size);
    // Moves to stored offset `target` (0 to the entry's size, both included);
    // false, with the position unchanged, when the target is past the size or
    // the chain breaks before it.
    bool Seek(uint64_t target);
    uint32_t Tell() const { return m_pos.m_nEntryPos; }

private:
    struct CPosition {
        CChainWalk m_walk;          // the sector the position is in, and its links
        uint32_t m_nSectorPos = 0;  // offset in its payload; sector size = used up
        uint32_t m_nEntryPos = 0;   // offset in the stored bytes
    };

public:
    // A place in the chain, to come back to without walking the links from
    // the start again (a seek backward does that).
    class CMark {
        friend class CSectorChain;
        CPosition m_pos{CChainWalk(0, 0)};
    };
    CMark Here() const;
    void Return(const CMark& mark);
    uint32_t Size() const { return m_nSize; }
    // The data file's length, for bounding what the entry can really hold;
    // false when it cannot be asked.
    bool DataFileSize(uint64_t& size) const { return m_file.Size(size); }

private:

    // The position before any sector is entered: the first read or seek
    // enters `first_sector`, with no I/O until then.
    CPosition StartPosition() const;
    // True when the payload of the current sector is used up and the entry
    // goes on, so the next byte lies in the next sector.
    bool MustEnterNext(const CPosition& pos) const;
    // Enters the walk's upcoming sector with its links and makes it current.
    // False (and `pos` broken) when they are not what a chain has.
    static bool Accept(CPosition& pos, const _oru_pack_sector_links& links);
    // Enters the next sector by its links alone, for seeking `ahead` more
    // bytes of the entry.
    bool EnterNext(CPosition& pos, uint64_t ahead);
    // The links of the walk's upcoming sector; false when they cannot be read.
    bool UpcomingLinks(const CPosition& pos, uint64_t ahead, _oru_pack_sector_links& links);
    // Where the next run starts: whether it enters a new sector, which
    // sector, and the data-file offset of its first byte (the link pair when
    // entering).
    struct CRunStart {
        bool m_bEntering = false;
        uint32_t m_nSector = 0;
        uint64_t m_nOffset = 0;
    };
    // False, with the walk broken, when the entry goes on but the chain
    // cannot.
    bool BeginRun(CRunStart& start);
    // One scattered read over sectors that follow each other in the file.
    size_t ReadRun(uint8_t* pDst, size_t size);
    // The same through the bounce buffer.
    size_t ReadRunBounced(uint8_t* pDst, size_t size);
    // Data-file bytes from the run's start, at `pos`, that hold `entryBytes`
    // bytes of the entry if the chain runs on in file order.
    uint64_t RunSpan(const CPosition& pos, const CRunStart& start, uint64_t entryBytes) const;
    // Reads the data file from the run's start, at `pos`, into the bounce
    // buffer: at least the run that `size` bytes would take, more when
    // reading goes on where the last fill ended. Replaces what it held.
    void FillBounce(const CPosition& pos, const CRunStart& start, uint64_t size);
    bool UsesBounce() const { return m_pBounce != nullptr; }

    // Data-file bytes held in the bounce buffer.
    struct CHeld {
        const uint8_t* m_pBytes = nullptr;
        uint64_t m_nOffset = 0;  // data-file offset of m_pBytes[0]
        size_t m_nBytes = 0;
        bool m_bFileEnds = false;  // the read that filled it came up short
        // True when `bytes` bytes from `offset` are held.
        bool Holds(uint64_t offset, uint64_t bytes) const
        {
            return offset >= m_nOffset && offset - m_nOffset + bytes <= m_nBytes;
        }
        uint64_t End() const { return m_nOffset + m_nBytes; }
    };

    platform::CFile m_file;
    uint32_t m_nSize;
    uint32_t m_nFirstSector;
    uint32_t m_nSectorSize;
    CPosition m_pos;
    std::unique_ptr<uint8_t[]> m_pBounce;  // null: every read scatters
    size_t m_nBounceBytes = 0;             // most data-file bytes one fill reads
    CHeld m_held;
};

}  // namespace oru::detail

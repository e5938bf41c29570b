#include "pack/sector_chain.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace oru::detail {
namespace {

// One run of a scattered read holds at most this many sectors: a link pair and
// a payload piece each, within the platform's piece limit.
constexpr size_t MAX_RUN_SECTORS = platform::CFile::MAX_PIECES / 2;

// Below this payload size a run goes through the bounce buffer. Measured on
// 64 KiB reads: 512-byte sectors scatter at about 0.6 of a plain read's speed
// and bounce at 0.9; at 4096 both are even; larger sectors favour scattering.
constexpr uint32_t SCATTER_MIN_SECTOR = 4096;
// Bytes one bounced run may span: sectors of a 64 KiB read with their links,
// still well inside a core's cache.
constexpr size_t BOUNCE_BYTES = 80 * 1024;

}  // namespace

CSectorChain::CSectorChain(platform::CFile&& dataFile, const _oru_pack_file_info& info,
                           uint32_t sectorSize)
    : m_file(std::move(dataFile)),
      m_nSize(info.size),
      m_nFirstSector(info.first_sector),
      m_nSectorSize(sectorSize),
      m_pos(StartPosition())
{
    // Without a bounce buffer every size still works, only slower.
    if (sectorSize < SCATTER_MIN_SECTOR)
        m_pBounce.reset(new (std::nothrow) uint8_t[BOUNCE_BYTES]);
}

CSectorChain::CPosition CSectorChain::StartPosition() const
{
    // With no payload per sector the chain could never advance.
    const bool usable = m_nSectorSize != 0 && m_file.IsOpen();
    CPosition pos{CChainWalk(m_nFirstSector, usable ? SectorsForSize(m_nSize, m_nSectorSize) : 0)};
    pos.m_nSectorPos = m_nSectorSize;  // "used up", so the first byte enters the first sector
    if (!usable)
        pos.m_walk.Break();
    return pos;
}

bool CSectorChain::MustEnterNext(const CPosition& pos) const
{
    return pos.m_nSectorPos == m_nSectorSize && pos.m_nEntryPos < m_nSize;
}

bool CSectorChain::Accept(CPosition& pos, const _oru_pack_sector_links& links)
{
    if (!pos.m_walk.Enter(links))
        return false;
    pos.m_nSectorPos = 0;
    return true;
}

bool CSectorChain::EnterNext(CPosition& pos) const
{
    // A chain that says it ends while the entry goes on is cut short.
    _oru_pack_sector_links links{};
    if (!pos.m_walk.CanEnter() ||
        !ReadSectorLinks(m_file, pos.m_walk.Upcoming(), m_nSectorSize, links)) {
        pos.m_walk.Break();
        return false;
    }
    return Accept(pos, links);
}

size_t CSectorChain::Read(void* pDst, size_t size)
{
    uint8_t* pOut = static_cast<uint8_t*>(pDst);
    const size_t wanted = std::min<uint64_t>(size, m_nSize - m_pos.m_nEntryPos);
    size_t done = 0;
    while (done < wanted && !m_pos.m_walk.Broken()) {
        const size_t got = UsesBounce() ? ReadRunBounced(pOut + done, wanted - done)
                                        : ReadRun(pOut + done, wanted - done);
        if (got == 0)
            break;
        done += got;
    }
    return done;
}

// Plans pieces for the run of sectors that would follow each other in the
// file, reads them in one call, then walks them in order, accepting each link
// pair and payload until one does not belong to the chain.
size_t CSectorChain::ReadRun(uint8_t* pDst, size_t size)
{
    if (MustEnterNext(m_pos) && !m_pos.m_walk.CanEnter()) {
        m_pos.m_walk.Break();
        return 0;
    }

    _oru_pack_sector_links links[MAX_RUN_SECTORS + 1];
    platform::CReadPiece pieces[platform::CFile::MAX_PIECES];
    size_t pieceCount = 0;
    size_t linkCount = 0;

    bool entering = MustEnterNext(m_pos);
    uint32_t sector = entering ? m_pos.m_walk.Upcoming() : m_pos.m_walk.Current();
    const uint32_t firstSector = sector;
    uint64_t offset = entering ? SectorOffset(sector, m_nSectorSize)
                               : PayloadOffset(sector, m_nSectorSize, m_pos.m_nSectorPos);
    uint32_t sectorPos = entering ? 0 : m_pos.m_nSectorPos;
    size_t planned = 0;
    for (;;) {
        if (entering)
            pieces[pieceCount++] = {&links[linkCount++], sizeof(_oru_pack_sector_links)};
        const size_t piece = std::min<uint64_t>(m_nSectorSize - sectorPos, size - planned);
        pieces[pieceCount++] = {pDst + planned, piece};
        planned += piece;
        // Go on only into the sector right after this one, only when it is
        // wanted, and not when the known link already says it comes elsewhere.
        const bool knownElsewhere = !entering && m_pos.m_walk.Started() &&
                                    sector == m_pos.m_walk.Current() &&
                                    m_pos.m_walk.Upcoming() != sector + 1;
        if (planned == size || pieceCount + 2 > platform::CFile::MAX_PIECES ||
            sector == UINT32_MAX || knownElsewhere)
            break;
        ++sector;
        entering = true;
        sectorPos = 0;
    }

    size_t got = m_file.ReadScatteredAt(offset, pieces, pieceCount);

    // Walk the pieces as the chain would. Payload read past the point where
    // the chain turned out to go elsewhere is wiped, so a caller's buffer
    // never shows bytes of sectors that are not the entry's.
    size_t delivered = 0;
    const auto finish = [&]() {
        std::memset(pDst + delivered, 0, planned - delivered);
        return delivered;
    };
    size_t nextLink = 0;
    sector = firstSector;
    for (size_t i = 0; i < pieceCount; ++i) {
        const size_t pieceSize = pieces[i].m_nSize;
        if (pieces[i].m_pDst == &links[nextLink]) {
            // A speculative sector counts only when the previous sector's
            // link really leads to it; otherwise the next run starts there.
            if (i > 0 && m_pos.m_walk.Upcoming() != sector) {
                if (m_pos.m_walk.Ended())
                    m_pos.m_walk.Break();
                return finish();
            }
            if (got < pieceSize || !Accept(m_pos, links[nextLink])) {
                m_pos.m_walk.Break();
                return finish();
            }
            got -= pieceSize;
            ++nextLink;
            continue;
        }
        const size_t payload = std::min(got, pieceSize);
        delivered += payload;
        m_pos.m_nSectorPos += static_cast<uint32_t>(payload);
        m_pos.m_nEntryPos += static_cast<uint32_t>(payload);
        got -= payload;
        if (payload < pieceSize) {
            m_pos.m_walk.Break();  // the data file ends inside the entry
            return finish();
        }
        ++sector;
    }
    return delivered;
}

// The same walk as ReadRun over a run read whole into the bounce buffer:
// each sector's links are checked where they lie, each payload copied out.
size_t CSectorChain::ReadRunBounced(uint8_t* pDst, size_t size)
{
    const bool entering = MustEnterNext(m_pos);
    if (entering && !m_pos.m_walk.CanEnter()) {
        m_pos.m_walk.Break();
        return 0;
    }
    uint32_t physical = entering ? m_pos.m_walk.Upcoming() : m_pos.m_walk.Current();
    const uint64_t offset = entering ? SectorOffset(physical, m_nSectorSize)
                                     : PayloadOffset(physical, m_nSectorSize, m_pos.m_nSectorPos);

    // The span: what is left of this sector, then whole sectors with their
    // links, unless the current sector's link already says the chain jumps.
    const uint64_t linkBytes = SECTOR_LINK_BYTES;
    const uint64_t first = std::min<uint64_t>(m_nSectorSize - (entering ? 0 : m_pos.m_nSectorPos), size);
    uint64_t span = (entering ? linkBytes : 0) + first;
    const uint64_t rest = size - first;
    const bool jumps = !entering && m_pos.m_walk.Upcoming() != physical + 1;
    if (rest > 0 && !jumps) {
        const uint64_t whole = rest / m_nSectorSize;
        const uint64_t part = rest % m_nSectorSize;
        span += whole * (m_nSectorSize + linkBytes) + (part ? part + linkBytes : 0);
    }
    span = std::min<uint64_t>(span, BOUNCE_BYTES);
    const size_t got = m_file.ReadAt(offset, m_pBounce.get(), span);
    const bool shortRead = got < span;

    size_t delivered = 0;
    size_t at = 0;
    for (;;) {
        if (m_pos.m_nSectorPos == m_nSectorSize) {
            if (!m_pos.m_walk.CanEnter()) {
                m_pos.m_walk.Break();  // the chain ends before the entry does
                return delivered;
            }
            if (m_pos.m_walk.Upcoming() != physical)
                return delivered;  // the chain goes elsewhere; the next run starts there
            if (got - at < linkBytes) {
                if (shortRead)
                    m_pos.m_walk.Break();
                return delivered;
            }
            _oru_pack_sector_links links;
            std::memcpy(&links, m_pBounce.get() + at, sizeof links);
            at += sizeof links;
            if (!Accept(m_pos, links))
                return delivered;
        }
        const size_t want = std::min<uint64_t>(m_nSectorSize - m_pos.m_nSectorPos, size - delivered);
        const size_t n = std::min(want, got - at);
        std::memcpy(pDst + delivered, m_pBounce.get() + at, n);
        at += n;
        delivered += n;
        m_pos.m_nSectorPos += static_cast<uint32_t>(n);
        m_pos.m_nEntryPos += static_cast<uint32_t>(n);
        if (n < want) {
            if (shortRead)
                m_pos.m_walk.Break();  // else the run was cut by the buffer's size
            return delivered;
        }
        if (delivered == size || at == got)
            return delivered;
        ++physical;
    }
}

bool CSectorChain::Seek(uint64_t target)
{
    if (target > m_nSize)
        return false;
    CPosition pos = target < m_pos.m_nEntryPos ? StartPosition() : m_pos;
    if (pos.m_walk.Broken() && target != pos.m_nEntryPos)
        return false;
    while (pos.m_nEntryPos < target) {
        if (pos.m_nSectorPos == m_nSectorSize && !EnterNext(pos))
            return false;
        const uint64_t step = std::min<uint64_t>(m_nSectorSize - pos.m_nSectorPos,
                                                 target - pos.m_nEntryPos);
        pos.m_nSectorPos += static_cast<uint32_t>(step);
        pos.m_nEntryPos += static_cast<uint32_t>(step);
    }
    m_pos = pos;
    return true;
}

}  // namespace oru::detail


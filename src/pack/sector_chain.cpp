#include "pack/sector_chain.h"

#include <algorithm>

namespace oru::detail {
namespace {

// One run of a scattered read holds at most this many sectors: a link pair and
// a payload piece each, within the platform's piece limit.
constexpr size_t MAX_RUN_SECTORS = platform::CFile::MAX_PIECES / 2;

}  // namespace

CSectorChain::CSectorChain(platform::CFile&& dataFile, const _oru_pack_file_info& info,
                           uint32_t sectorSize)
    : m_file(std::move(dataFile)),
      m_nSize(info.size),
      m_nFirstSector(info.first_sector),
      m_nSectorSize(sectorSize),
      m_pos(StartPosition())
{
}

CSectorChain::CPosition CSectorChain::StartPosition() const
{
    CPosition pos;
    pos.m_nSector = m_nFirstSector;
    pos.m_nNext = m_nFirstSector;
    pos.m_nSectorPos = m_nSectorSize;  // "used up", so the first byte enters the first sector
    // With no payload per sector the chain could never advance.
    pos.m_bBroken = m_nSectorSize == 0 || !m_file.IsOpen();
    return pos;
}

bool CSectorChain::MustEnterNext(const CPosition& pos) const
{
    return pos.m_nSectorPos == m_nSectorSize && pos.m_nEntryPos < m_nSize;
}

bool CSectorChain::Accept(CPosition& pos, uint32_t sector,
                          const _oru_pack_sector_links& links) const
{
    const uint32_t from = pos.m_bStarted ? pos.m_nSector : sector;
    if (links.prev != from) {
        pos.m_bBroken = true;
        return false;
    }
    pos.m_nSector = sector;
    pos.m_nNext = links.next;
    pos.m_nSectorPos = 0;
    pos.m_bStarted = true;
    return true;
}

bool CSectorChain::EnterNext(CPosition& pos) const
{
    // A chain that says it ends while the entry goes on is cut short.
    if (pos.m_bBroken || (pos.m_bStarted && pos.m_nNext == pos.m_nSector)) {
        pos.m_bBroken = true;
        return false;
    }
    const uint32_t sector = pos.m_bStarted ? pos.m_nNext : m_nFirstSector;
    _oru_pack_sector_links links{};
    if (!m_file.ReadExactAt(SectorOffset(sector, m_nSectorSize), &links, sizeof links)) {
        pos.m_bBroken = true;
        return false;
    }
    return Accept(pos, sector, links);
}

size_t CSectorChain::Read(void* pDst, size_t size)
{
    uint8_t* pOut = static_cast<uint8_t*>(pDst);
    const size_t wanted = std::min<uint64_t>(size, m_nSize - m_pos.m_nEntryPos);
    size_t done = 0;
    while (done < wanted && !m_pos.m_bBroken) {
        const size_t got = ReadRun(pOut + done, wanted - done);
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
    if (MustEnterNext(m_pos) && m_pos.m_bStarted && m_pos.m_nNext == m_pos.m_nSector) {
        m_pos.m_bBroken = true;
        return 0;
    }

    _oru_pack_sector_links links[MAX_RUN_SECTORS + 1];
    platform::CReadPiece pieces[platform::CFile::MAX_PIECES];
    size_t pieceCount = 0;
    size_t linkCount = 0;

    bool entering = MustEnterNext(m_pos);
    uint32_t sector = entering ? (m_pos.m_bStarted ? m_pos.m_nNext : m_nFirstSector)
                               : m_pos.m_nSector;
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
        const bool knownElsewhere = !entering && m_pos.m_bStarted && sector == m_pos.m_nSector &&
                                    m_pos.m_nNext != sector + 1;
        if (planned == size || pieceCount + 2 > platform::CFile::MAX_PIECES ||
            sector == UINT32_MAX || knownElsewhere)
            break;
        ++sector;
        entering = true;
        sectorPos = 0;
    }

    size_t got = m_file.ReadScatteredAt(offset, pieces, pieceCount);

    // Walk the pieces as the chain would.
    size_t delivered = 0;
    size_t nextLink = 0;
    sector = firstSector;
    for (size_t i = 0; i < pieceCount; ++i) {
        const size_t pieceSize = pieces[i].m_nSize;
        if (pieces[i].m_pDst == &links[nextLink]) {
            // A speculative sector counts only when the previous sector's
            // link really leads to it; otherwise the next run starts there.
            if (i > 0 && m_pos.m_nNext != sector) {
                if (m_pos.m_nNext == m_pos.m_nSector)
                    m_pos.m_bBroken = true;
                return delivered;
            }
            if (got < pieceSize || !Accept(m_pos, sector, links[nextLink])) {
                m_pos.m_bBroken = true;
                return delivered;
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
            m_pos.m_bBroken = true;  // the data file ends inside the entry
            return delivered;
        }
        ++sector;
    }
    return delivered;
}

bool CSectorChain::Seek(uint64_t target)
{
    if (target > m_nSize)
        return false;
    CPosition pos = target < m_pos.m_nEntryPos ? StartPosition() : m_pos;
    if (pos.m_bBroken && target != pos.m_nEntryPos)
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


#include "pack/sector_chain.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace oru::detail {
namespace {

// One run of a scattered read holds at most this many sectors: a link pair and
// a payload piece each, within the platform's piece limit.
constexpr size_t MAX_RUN_SECTORS = platform::CFile::MAX_PIECES / 2;

// Scattering straight into place costs the kernel a piece per link pair and
// per payload, and one system call per request; the bounce buffer costs a
// copy, but one call fills it for many requests. Measured against a plain
// read of a contiguous file, 64 KiB at a time (1.0 = as fast): scattering
// takes 0.5 at 512-byte sectors, 0.8 at 4096 and about 0.9 at 8192 and more;
// the bounce buffer with one fill per MiB reaches about 1.0 at 512 and 4096
// bytes. A request of a buffer's worth or more gains nothing from it, and
// with sectors of this size or larger it is scattered straight into place.
constexpr uint32_t SCATTER_MIN_SECTOR = 4096;

// Where a fill lands in the bounce buffer. The kernel copies from the page
// cache with a string move whose speed depends on where the destination lies
// against the source within a page: a few bytes to a few dozen above it, the
// copy runs several times slower, and mutually aligned it runs about a tenth
// slower than a little apart, on the processor we measured. A fill
// therefore lands a few bytes below the position its data-file offset has in
// a page; the buffer has a page of room for that.
constexpr uint64_t COPY_PAGE = 4096;
constexpr uint64_t PLACE_BELOW = 8;

}  // namespace

CSectorChain::CSectorChain(platform::CFile&& dataFile, const _oru_pack_file_info& info,
                           uint32_t sectorSize)
    : m_file(std::move(dataFile)),
      m_nSize(info.size),
      m_nFirstSector(info.first_sector),
      m_nSectorSize(sectorSize),
      m_pos(StartPosition())
{
    // A small entry gets a buffer for its own sectors only. Without one every
    // read is scattered, which still works, only slower.
    if (!m_pos.m_walk.Broken()) {
        const uint64_t entryBytes = SectorOffset(SectorsForSize(m_nSize, sectorSize), sectorSize);
        m_nBounceBytes = static_cast<size_t>(std::min<uint64_t>(entryBytes, BOUNCE_BYTES));
        m_pBounce.reset(new (std::nothrow) uint8_t[m_nBounceBytes + COPY_PAGE]);
    }
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

bool CSectorChain::EnterNext(CPosition& pos, uint64_t ahead)
{
    // A chain that says it ends while the entry goes on is cut short.
    _oru_pack_sector_links links{};
    if (!pos.m_walk.CanEnter() || !UpcomingLinks(pos, ahead, links)) {
        pos.m_walk.Break();
        return false;
    }
    return Accept(pos, links);
}

// Through the bounce buffer, a fill brings in the link pairs of a whole run
// at once, so a long seek costs a system call per buffer rather than one per
// sector; the payloads it reads on the way serve the reads after the seek.
bool CSectorChain::UpcomingLinks(const CPosition& pos, uint64_t ahead, _oru_pack_sector_links& links)
{
    const uint32_t sector = pos.m_walk.Upcoming();
    if (!UsesBounce())
        return ReadSectorLinks(m_file, sector, m_nSectorSize, links);
    const CRunStart start{true, sector, SectorOffset(sector, m_nSectorSize)};
    if (!m_held.Holds(start.m_nOffset, sizeof links))
        FillBounce(pos, start, ahead);
    if (!m_held.Holds(start.m_nOffset, sizeof links))
        return false;
    std::memcpy(&links, m_held.m_pBytes + (start.m_nOffset - m_held.m_nOffset), sizeof links);
    return true;
}

size_t CSectorChain::Read(void* pDst, size_t size)
{
    uint8_t* pOut = static_cast<uint8_t*>(pDst);
    const size_t wanted = std::min<uint64_t>(size, m_nSize - m_pos.m_nEntryPos);
    size_t done = 0;
    while (done < wanted && !m_pos.m_walk.Broken()) {
        const size_t left = wanted - done;
        const bool direct = !UsesBounce() ||
                            (m_nSectorSize >= SCATTER_MIN_SECTOR && left >= BOUNCE_BYTES);
        const size_t got = direct ? ReadRun(pOut + done, left) : ReadRunBounced(pOut + done, left);
        if (got == 0)
            break;
        done += got;
    }
    return done;
}

// Plans pieces for the run of sectors that would follow each other in the
// file, reads them in one call, then walks them in order, accepting each link
// pair and payload until one does not belong to the chain.
bool CSectorChain::BeginRun(CRunStart& start)
{
    start.m_bEntering = MustEnterNext(m_pos);
    if (start.m_bEntering && !m_pos.m_walk.CanEnter()) {
        m_pos.m_walk.Break();
        return false;
    }
    start.m_nSector = start.m_bEntering ? m_pos.m_walk.Upcoming() : m_pos.m_walk.Current();
    start.m_nOffset = start.m_bEntering
                          ? SectorOffset(start.m_nSector, m_nSectorSize)
                          : PayloadOffset(start.m_nSector, m_nSectorSize, m_pos.m_nSectorPos);
    return true;
}

size_t CSectorChain::ReadRun(uint8_t* pDst, size_t size)
{
    CRunStart start;
    if (!BeginRun(start))
        return 0;

    _oru_pack_sector_links links[MAX_RUN_SECTORS + 1];
    platform::CReadPiece pieces[platform::CFile::MAX_PIECES];
    size_t pieceCount = 0;
    size_t linkCount = 0;

    bool entering = start.m_bEntering;
    uint32_t sector = start.m_nSector;
    const uint32_t firstSector = sector;
    const uint64_t offset = start.m_nOffset;
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

uint64_t CSectorChain::RunSpan(const CPosition& pos, const CRunStart& start, uint64_t entryBytes) const
{
    // What is left of this sector, then whole sectors with their links,
    // unless the current sector's link already says the chain jumps.
    const uint64_t linkBytes = SECTOR_LINK_BYTES;
    const uint64_t first = std::min<uint64_t>(
        m_nSectorSize - (start.m_bEntering ? 0 : pos.m_nSectorPos), entryBytes);
    uint64_t span = (start.m_bEntering ? linkBytes : 0) + first;
    const uint64_t rest = entryBytes - first;
    const bool jumps = !start.m_bEntering && pos.m_walk.Upcoming() != uint64_t{start.m_nSector} + 1;
    if (rest > 0 && !jumps) {
        const uint64_t whole = rest / m_nSectorSize;
        const uint64_t part = rest % m_nSectorSize;
        span += whole * (m_nSectorSize + linkBytes) + (part ? part + linkBytes : 0);
    }
    return span;
}

void CSectorChain::FillBounce(const CPosition& pos, const CRunStart& start, uint64_t size)
{
    // Reading that goes on where the last fill ended reads ahead, twice as
    // far as the last fill each time, up to the buffer's size; a stream that
    // reads a little and stops, or jumps about, reads what it asks for.
    uint64_t span = RunSpan(pos, start, size);
    const bool goesOn = start.m_nOffset == m_held.End() && m_held.m_nBytes > 0 && !m_held.m_bFileEnds;
    if (goesOn) {
        const uint64_t toEntryEnd = RunSpan(pos, start, m_nSize - pos.m_nEntryPos);
        span = std::max(span, std::min(toEntryEnd, 2 * uint64_t{m_held.m_nBytes}));
    }
    span = std::min<uint64_t>(span, m_nBounceBytes);

    const uint64_t place =
        (start.m_nOffset - PLACE_BELOW - reinterpret_cast<uintptr_t>(m_pBounce.get())) % COPY_PAGE;
    uint8_t* pBytes = m_pBounce.get() + place;
    const size_t got = m_file.ReadAt(start.m_nOffset, pBytes, span);
    m_held = CHeld{pBytes, start.m_nOffset, got, got < span};
}

// The same walk as ReadRun over data-file bytes in the bounce buffer, filled
// first unless they are there already: each sector's links are checked where
// they lie, each payload copied out.
size_t CSectorChain::ReadRunBounced(uint8_t* pDst, size_t size)
{
    CRunStart start;
    if (!BeginRun(start))
        return 0;
    const uint64_t offset = start.m_nOffset;
    uint32_t physical = start.m_nSector;
    // A run needs its link pair and a byte of payload, or a byte of the
    // current payload, to get anywhere.
    if (!m_held.Holds(offset, start.m_bEntering ? SECTOR_LINK_BYTES + 1 : 1))
        FillBounce(m_pos, start, size);
    // Past here the held bytes start at or before `offset`; none may follow it.
    const uint8_t* pRun = m_held.m_pBytes + (offset - m_held.m_nOffset);
    const size_t got = static_cast<size_t>(m_held.End() - offset);
    const bool fileEnds = m_held.m_bFileEnds;

    const uint64_t linkBytes = SECTOR_LINK_BYTES;
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
                if (fileEnds)
                    m_pos.m_walk.Break();
                return delivered;
            }
            _oru_pack_sector_links links;
            std::memcpy(&links, pRun + at, sizeof links);
            at += sizeof links;
            if (!Accept(m_pos, links))
                return delivered;
        }
        const size_t want = std::min<uint64_t>(m_nSectorSize - m_pos.m_nSectorPos, size - delivered);
        const size_t n = std::min(want, got - at);
        std::memcpy(pDst + delivered, pRun + at, n);
        at += n;
        delivered += n;
        m_pos.m_nSectorPos += static_cast<uint32_t>(n);
        m_pos.m_nEntryPos += static_cast<uint32_t>(n);
        if (n < want) {
            if (fileEnds)
                m_pos.m_walk.Break();  // else the buffer ends inside this sector
            return delivered;
        }
        if (delivered == size || at == got || physical == UINT32_MAX)
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
        if (pos.m_nSectorPos == m_nSectorSize && !EnterNext(pos, target - pos.m_nEntryPos))
            return false;
        const uint64_t step = std::min<uint64_t>(m_nSectorSize - pos.m_nSectorPos,
                                                 target - pos.m_nEntryPos);
        pos.m_nSectorPos += static_cast<uint32_t>(step);
        pos.m_nEntryPos += static_cast<uint32_t>(step);
    }
    m_pos = pos;
    return true;
}

CSectorChain::CMark CSectorChain::Here() const
{
    CMark mark;
    mark.m_pos = m_pos;
    return mark;
}

void CSectorChain::Return(const CMark& mark)
{
    m_pos = mark.m_pos;
}

}  // namespace oru::detail

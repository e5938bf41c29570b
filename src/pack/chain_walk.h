#pragma once

// The rule for following an entry's chain of sectors, kept in one place for
// everything that reads links: the stream, the editor and the pack check.
//
// The links come from the data file and are not trusted. A walk enters the
// entry's first sector, then each sector's `next`. Entering a sector requires
// that its `prev` names the sector the walk came from (the first sector names
// itself); a `next` that names its own sector ends the chain. Those two
// checks are what a well-formed chain always satisfies, and together they
// catch every cycle: a sector reached twice would need two different
// predecessors in its one `prev`. On top of them a walk enters at most the
// sectors the entry's size needs, so links that pass both checks still
// cannot make it longer. Whether a sector lies inside the data file is the
// caller's to learn, from reading its links.
//
// The walker only checks and reads nothing itself, so a reader that brings in
// many link pairs with one system call checks them as they come, without an
// allocation or an indirect call per sector.

#include "pack/pack_format.h"

#include <cstdint>

namespace oru::platform {
class CFile;
}

namespace oru::detail {

class CChainWalk {
public:
    // A walk that starts at `firstSector` and enters at most `sectorLimit`
    // sectors.
    CChainWalk(uint32_t firstSector, uint32_t sectorLimit)
        : m_nSector(firstSector), m_nNext(firstSector), m_nLimit(sectorLimit),
          m_bCanEnter(sectorLimit > 0)
    {
    }

    // The sector the walk enters next: the first sector, then the current
    // one's `next`.
    uint32_t Upcoming() const { return m_nNext; }
    // The sector entered last; the first sector before any.
    uint32_t Current() const { return m_nSector; }
    // The `prev` that Upcoming() must hold: the sector we come from, or the
    // first sector itself.
    uint32_t ExpectedPrev() const { return m_nSector; }
    uint32_t Entered() const { return m_nEntered; }
    bool Started() const { return m_nEntered > 0; }
    // The current sector's `next` names itself: the chain says it ends here.
    bool Ended() const { return Started() && m_nNext == m_nSector; }
    bool Broken() const { return m_bBroken; }
    // Whether Enter may be called: not broken, not ended, below the limit.
    bool CanEnter() const { return m_bCanEnter; }

    // Enters Upcoming() with the links read from it. False, and the walk
    // broken for good, when CanEnter() is false or `links.prev` is not
    // ExpectedPrev().
    bool Enter(const _oru_pack_sector_links& links)
    {
        if (!m_bCanEnter || links.prev != m_nSector) {
            Break();
            return false;
        }
        m_nSector = m_nNext;
        m_nNext = links.next;
        ++m_nEntered;
        m_bCanEnter = m_nNext != m_nSector && m_nEntered < m_nLimit;
        return true;
    }
    // Stops the walk for good: the caller could not read the next links, or
    // the entry needs more than the chain holds.
    void Break()
    {
        m_bBroken = true;
        m_bCanEnter = false;
    }

private:
    uint32_t m_nSector;        // entered last; the first sector until then
    uint32_t m_nNext;          // its `next`: the sector to enter next
    uint32_t m_nLimit;         // sectors the walk may enter at most
    uint32_t m_nEntered = 0;
    bool m_bCanEnter;          // CanEnter(), kept up to date: the readers ask once a sector
    bool m_bBroken = false;
};

// Reads the link pair at the start of `sector`; false on a short read, which
// is how a sector past the end of the data file shows itself.
bool ReadSectorLinks(const platform::CFile& dataFile, uint32_t sector, uint32_t sectorSize,
                     _oru_pack_sector_links& links);

}  // namespace oru::detail

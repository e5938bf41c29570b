// Editing a pack opened for writing: adding a file, deleting an entry, and
// saving the index when the pack is closed.
//
// The data file is written at once, sector by sector; the index lives in
// memory until CloseOruPack saves it whole. New data takes the lowest sectors
// that were free at the last save first, then sectors appended zero-filled at
// the real end of the data file, so a chain runs through ascending sector
// numbers. The data file never shrinks.
//
// Editing is copy-on-write. Until the next save, the index on disk still
// gives the sectors of a deleted or replaced entry to that entry, so they are
// held out of allocation (m_vecHeldSectors) and only become free once a save
// has forgotten the entry. A replacement therefore never writes over the only
// good copy: whatever stops it (a full disk, a crash, a failed save), the
// stored index still finds the old content intact, and a failed AddFile
// leaves the old entry as it was.
//
// Nothing is left half done. AddFile opens its source before it changes
// anything and checks every read and write; when one fails it records no
// entry and gives back the sectors it took. SaveIdx flushes the data file,
// then writes the new index beside the old one and renames it over it, so the
// index on disk never points at bytes that are not on disk, and a crash or a
// full disk during the save never leaves a pack that cannot be opened. The
// links met while deleting come from the data file and are not trusted: the
// walk releases only sectors that are really the entry's.

#include <oru/pack/oru_pack.h>

#include "core/utf8.h"
#include "pack/chain_walk.h"
#include "pack/pack_format.h"
#include "platform/file.h"
#include "platform/replace_file.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace {

using oru::detail::_oru_pack_sector_links;
using oru::detail::SECTOR_LINK_BYTES;

// Bytes of source read at a time while copying; at least one sector.
constexpr uint64_t COPY_BUFFER_BYTES = 256 * 1024;

// The path of an addition's source: the work folder and the name as the
// caller wrote them, with the entry name's backslashes turned into the
// system's separator so that "map\town.xml" is map/town.xml on disk.
std::optional<std::string> SourcePath(const std::wstring& workDir, const std::wstring& name)
{
    std::wstring path = workDir + name;
    std::replace(path.begin(), path.end(), L'\\', L'/');
    return oru::detail::ToUtf8(path);
}

// True when `name` can be written to an index (no 0 inside, every character
// has a UTF-16 form).
bool StorableName(const std::wstring& name)
{
    std::string encoded;
    return oru::detail::EncodeName(name, encoded);
}

bool HasCodePointAboveBmp(const std::wstring& name)
{
    return std::any_of(name.begin(), name.end(),
                       [](wchar_t ch) { return static_cast<uint32_t>(ch) > 0xFFFF; });
}

}  // namespace

void COruPack::CollectChain(const _oru_pack_file_info& info, std::vector<uint32_t>& chain) const
{
    // An empty entry written by another tool may own no sector at all; its
    // first_sector then belongs to someone else.
    if (info.size == 0 && info.sector_count == 0)
        return;
    // Only sectors the usage table gives out can be the entry's.
    const uint32_t sectorSize = m_header.sector_size;
    oru::detail::CChainWalk walk(info.first_sector,
                                 oru::detail::SectorsForSize(info.size, sectorSize));
    while (walk.CanEnter()) {
        const uint32_t sector = walk.Upcoming();
        _oru_pack_sector_links links{};
        if (sector >= m_vecSectorUsed.size() || !m_vecSectorUsed[sector] ||
            !oru::detail::ReadSectorLinks(*m_pDataFile, sector, sectorSize, links) ||
            !walk.Enter(links))
            return;
        chain.push_back(sector);
    }
}

void COruPack::GiveBack(const std::vector<uint32_t>& sectors)
{
    for (const uint32_t sector : sectors) {
        m_vecSectorUsed[sector] = 0;
        m_nFreeScanStart = std::min(m_nFreeScanStart, sector);
    }
}

bool COruPack::HoldUntilSaved(const std::vector<uint32_t>& chain)
{
    try {
        m_vecHeldSectors.insert(m_vecHeldSectors.end(), chain.begin(), chain.end());
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

void COruPack::RemoveEntry(FileList::iterator it, const std::vector<uint32_t>& chain)
{
    // Without room to remember them, the sectors simply stay used: wasted,
    // never handed out while the saved index still needs them.
    HoldUntilSaved(chain);
    m_header.file_count -= 1;
    m_header.total_file_size -= it->second.size;
    m_mapFileList.erase(it);
    m_bModified = true;
}

bool COruPack::DelFile(const std::wstring& name)
{
    if (m_eMode != ORU_PACK_MODE_WRITE || !m_pDataFile)
        return false;
    const auto it = m_mapFileList.find(oru::detail::FoldName(name));
    if (it == m_mapFileList.end())
        return false;
    std::vector<uint32_t> chain;
    try {
        CollectChain(it->second, chain);
    } catch (const std::bad_alloc&) {
        chain.clear();  // the sectors stay used: wasted, never handed out twice
    }
    RemoveEntry(it, chain);
    return true;
}

uint32_t COruPack::ReserveSectors(uint32_t count, std::vector<uint32_t>& sectors)
{
    // First fit from the lowest sector that can be free; memchr finds the
    // next free flag far faster than a loop over them.
    const size_t total = m_vecSectorUsed.size();
    size_t j = m_nFreeScanStart;
    uint32_t taken = 0;
    while (taken < count && j < total) {
        const void* pFree = std::memchr(m_vecSectorUsed.data() + j, 0, total - j);
        if (!pFree) {
            j = total;
            break;
        }
        j = static_cast<size_t>(static_cast<const uint8_t*>(pFree) - m_vecSectorUsed.data());
        sectors.push_back(static_cast<uint32_t>(j));
        m_vecSectorUsed[j] = 1;
        ++taken;
        ++j;
    }
    m_nFreeScanStart = static_cast<uint32_t>(j);

    // The missing sectors are numbered on from sector_count. Usually they
    // are the end of the data file, and the chain write that follows appends
    // them, zeros after the last payload included. A data file longer than
    // its sectors (an earlier run that never saved) gets their zeros here, at
    // its real end, while their content goes to their numbered places. When
    // the system or memory refuses, the reservation stays short and the
    // caller gives back what it got.
    const uint32_t missing = count - taken;
    if (missing > 0) {
        try {
            m_vecSectorUsed.reserve(total + missing);
            sectors.reserve(sectors.size() + missing);
        } catch (const std::bad_alloc&) {
            return sectors.empty() ? 0 : sectors.front();
        }
        const uint64_t stride = m_header.sector_size + SECTOR_LINK_BYTES;
        uint64_t realEnd = 0;
        const bool appended =
            m_pDataFile->Size(realEnd) &&
            (AppendsByWriting(realEnd) || m_pDataFile->Resize(realEnd + missing * stride));
        if (appended) {
            for (uint32_t i = 0; i < missing; ++i) {
                sectors.push_back(m_header.sector_count);
                m_vecSectorUsed.push_back(1);
                m_header.sector_count += 1;
            }
            m_nFreeScanStart = static_cast<uint32_t>(m_vecSectorUsed.size());
        }
    }
    return sectors.empty() ? 0 : sectors.front();
}

bool COruPack::AppendsByWriting(uint64_t dataFileBytes) const
{
    return dataFileBytes == oru::detail::SectorOffset(m_header.sector_count, m_header.sector_size);
}

bool COruPack::WriteChain(const oru::platform::CFile& source, uint32_t size,
                          const std::vector<uint32_t>& sectors, bool padLast) const
{
    using oru::platform::CFile;
    using oru::platform::CWritePiece;
    const uint32_t sectorSize = m_header.sector_size;
    const size_t bufferSectors =
        static_cast<size_t>(std::max<uint64_t>(1, COPY_BUFFER_BYTES / sectorSize));
    // The copy buffer is filled by each read before it is used, so it is
    // left uninitialised: zeroing it was the largest single cost of the pack
    // tool's own work.
    const size_t bufferBytes =
        static_cast<size_t>(std::min<uint64_t>(uint64_t{bufferSectors} * sectorSize, size));
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[std::max<size_t>(bufferBytes, 1)]);
    if (!buffer)
        return false;
    std::vector<uint8_t> zeros;
    std::vector<_oru_pack_sector_links> links;
    std::vector<CWritePiece> pieces;
    try {
        if (padLast)
            zeros.resize(sectorSize - (size - uint64_t{sectors.size() - 1} * sectorSize));
        links.resize(std::min(bufferSectors, sectors.size()));
        pieces.reserve(CFile::MAX_PIECES);
    } catch (const std::bad_alloc&) {
        return false;
    }

    const size_t n = sectors.size();
    for (size_t chunkStart = 0; chunkStart < n; chunkStart += bufferSectors) {
        const size_t chunkEnd = std::min(n, chunkStart + bufferSectors);
        const uint64_t chunkOffset = uint64_t{chunkStart} * sectorSize;
        const size_t chunkBytes = static_cast<size_t>(
            std::min<uint64_t>(size - chunkOffset, uint64_t{chunkEnd - chunkStart} * sectorSize));
        if (!source.ReadExactAt(chunkOffset, buffer.get(), chunkBytes))
            return false;

        // Sectors that follow each other in the data file go out in one
        // gathered write, each as its link pair and its payload.
        size_t runStart = chunkStart;
        while (runStart < chunkEnd) {
            pieces.clear();
            size_t i = runStart;
            do {
                _oru_pack_sector_links& link = links[i - chunkStart];
                link.next = i + 1 < n ? sectors[i + 1] : sectors[i];
                link.prev = i > 0 ? sectors[i - 1] : sectors[i];
                const size_t payloadStart = (i - chunkStart) * size_t{sectorSize};
                const size_t payloadBytes = std::min<size_t>(sectorSize, chunkBytes - payloadStart);
                pieces.push_back({&link, sizeof link});
                pieces.push_back({buffer.get() + payloadStart, payloadBytes});
                if (i + 1 == n && !zeros.empty())
                    pieces.push_back({zeros.data(), zeros.size()});  // the new end of the file
                ++i;
            } while (i < chunkEnd && sectors[i] == sectors[i - 1] + 1 &&
                     pieces.size() + 3 <= CFile::MAX_PIECES);
            if (!m_pDataFile->WriteGatheredAt(
                    oru::detail::SectorOffset(sectors[runStart], sectorSize), pieces.data(),
                    pieces.size()))
                return false;
            runStart = i;
        }
    }
    return true;
}

bool COruPack::AddFile(const std::wstring& name)
{
    if (m_eMode != ORU_PACK_MODE_WRITE || !m_pDataFile || m_header.sector_size == 0)
        return false;

    // Everything that can refuse the addition is asked before the pack
    // changes: the name, the source, and the room left in the data file.
    const std::optional<std::string> path = SourcePath(m_strWorkDir, name);
    if (!path)
        return false;
    const oru::platform::CFile source = oru::platform::CFile::OpenRead(*path);
    uint64_t sourceSize = 0;
    oru::platform::CFileTimes times{};
    if (!source.IsOpen() || !source.SizeAndTimes(sourceSize, times) ||
        sourceSize >= oru::detail::DATA_FILE_LIMIT)
        return false;
    const uint32_t size = static_cast<uint32_t>(sourceSize);

    std::wstring folded;
    std::vector<uint32_t> oldChain;
    std::vector<uint32_t> sectors;
    const uint32_t sectorSize = m_header.sector_size;
    const uint32_t needed = oru::detail::SectorsForSize(size, sectorSize);
    FileList::iterator old;
    try {
        folded = oru::detail::FoldName(name);
        if (!StorableName(folded))
            return false;
        old = m_mapFileList.find(folded);
        if (old != m_mapFileList.end())
            CollectChain(old->second, oldChain);
        sectors.reserve(needed);
    } catch (const std::bad_alloc&) {
        return false;
    }

    uint64_t realEnd = 0;
    if (!m_pDataFile->Size(realEnd))
        return false;
    const uint64_t stride = sectorSize + SECTOR_LINK_BYTES;
    const auto fits = [&](uint64_t growth) {
        return oru::detail::DataFileFits(m_header.sector_count + growth, sectorSize) &&
               realEnd + growth * stride < oru::detail::DATA_FILE_LIMIT;
    };
    if (!fits(needed)) {
        // Near the limit it matters how many sectors are free.
        const uint64_t free =
            static_cast<uint64_t>(std::count(m_vecSectorUsed.begin(), m_vecSectorUsed.end(), 0));
        if (!fits(needed > free ? needed - free : 0))
            return false;
    }

    // From here the pack changes. The new content goes to sectors of its own;
    // an old entry of the same name is replaced only once it is written.
    const uint32_t sectorCountBefore = m_header.sector_count;
    const bool padLast = AppendsByWriting(realEnd);
    const uint32_t first = ReserveSectors(needed, sectors);

    _oru_pack_file_info info{};
    info.size = size;
    info.first_sector = first;
    info.sector_count = needed;
    info.creation_time = times.m_nCreation;
    info.last_access_time = times.m_nAccess;
    info.last_write_time = times.m_nWrite;
    bool stored = false;
    if (sectors.size() == needed &&
        WriteChain(source, size, sectors, padLast && sectors.back() >= sectorCountBefore)) {
        try {
            if (old == m_mapFileList.end())
                m_mapFileList.emplace(std::move(folded), info);
            stored = true;
        } catch (const std::bad_alloc&) {
        }
    }
    if (!stored) {
        // Sectors appended for the addition go again, and the data file
        // returns to its length: a failed addition leaves no trace but the
        // free sectors it overwrote.
        GiveBack(sectors);
        if (m_header.sector_count != sectorCountBefore) {
            m_vecSectorUsed.resize(sectorCountBefore);
            m_header.sector_count = sectorCountBefore;
            m_nFreeScanStart = std::min(m_nFreeScanStart, sectorCountBefore);
            m_pDataFile->Resize(realEnd);
        }
        return false;
    }
    if (old != m_mapFileList.end()) {
        // Only now, with the new content written, does the entry change.
        HoldUntilSaved(oldChain);
        m_header.total_file_size -= old->second.size;
        old->second = info;
    } else {
        m_header.file_count += 1;
    }
    m_header.data_size = static_cast<uint32_t>(stride * m_header.sector_count);
    m_header.total_file_size += size;
    m_bModified = true;
    return true;
}

bool COruPack::SaveIdx()
{
    const std::optional<std::string> path = oru::detail::ToUtf8(m_strPackPath + L".odx");
    if (!path)
        return false;
    try {
        // The map orders names by wide characters; the index wants UTF-16
        // code units, which differ only once a name holds a character above
        // U+FFFF.
        std::vector<const FileList::value_type*> order;
        order.reserve(m_mapFileList.size());
        bool needsSort = false;
        for (const auto& entry : m_mapFileList) {
            order.push_back(&entry);
            needsSort = needsSort || HasCodePointAboveBmp(entry.first);
        }
        if (needsSort)
            std::stable_sort(order.begin(), order.end(), [](const auto* pA, const auto* pB) {
                return oru::detail::Utf16Less(pA->first, pB->first);
            });

        // The header counts the records really written, and the table shows
        // the held sectors free: the saved index no longer needs them.
        _oru_pack_header header = m_header;
        header.file_count = static_cast<uint32_t>(m_mapFileList.size());
        std::vector<uint8_t> used = m_vecSectorUsed;
        for (const uint32_t sector : m_vecHeldSectors)
            used[sector] = 0;

        std::string image;
        image.reserve(sizeof header + m_mapFileList.size() * 80 +
                      oru::detail::UsageTableBytes(header.sector_count));
        image.append(reinterpret_cast<const char*>(&header), sizeof header);
        for (const auto* pEntry : order) {
            if (!oru::detail::EncodeName(pEntry->first, image))
                return false;
            image.append(reinterpret_cast<const char*>(&pEntry->second), sizeof pEntry->second);
        }
        oru::detail::PackUsageTable(used, image);
        if (!m_pDataFile->Sync() || !oru::platform::ReplaceFileDurably(*path, image))
            return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    GiveBack(m_vecHeldSectors);
    m_vecHeldSectors.clear();
    return true;
}

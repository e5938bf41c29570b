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

#include "core/unicode.h"
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
using oru::platform::CReadPiece;
using oru::detail::SECTOR_LINK_BYTES;

// Bytes of source read at a time while copying; at least one sector.
constexpr uint64_t COPY_BUFFER_BYTES = 256 * 1024;
// Appended bytes after which their writeback is started.
constexpr uint64_t WRITEBACK_STEP_BYTES = 8 * 1024 * 1024;

// The path of an addition's source: the work folder and the name as the
// caller wrote them, with the entry name's backslashes turned into the
// system's separator so that "map\town.xml" is map/town.xml on disk.
std::optional<std::string> SourcePath(const std::wstring& workDir, const std::wstring& name)
{
    std::wstring path = workDir + name;
    std::replace(path.begin(), path.end(), L'\\', L'/');
    return oru::detail::ToUtf8(path);
}

bool HasCodePointAboveBmp(const std::wstring& name)
{
    return std::any_of(name.begin(), name.end(),
                       [](wchar_t ch) { return oru::detail::WideValue(ch) > 0xFFFF; });
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

bool COruPack::DropAllEntries()
{
    if (m_eMode != ORU_PACK_MODE_WRITE || !m_pDataFile)
        return false;
    // Every sector the usage table gives out belongs to an entry or is held
    // already: all of them are held, without walking a chain.
    std::vector<uint32_t> used;
    try {
        for (uint32_t sector = 0; sector < m_vecSectorUsed.size(); ++sector)
            if (m_vecSectorUsed[sector])
                used.push_back(sector);
        m_vecHeldSectors.clear();
        if (!HoldUntilSaved(used))
            return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    m_mapFileList.clear();
    m_header.file_count = 0;
    m_header.total_file_size = 0;
    m_bModified = true;
    return true;
}

bool COruPack::SaveNow()
{
    if (m_eMode != ORU_PACK_MODE_WRITE || !m_pDataFile || !SaveIdx())
        return false;
    m_bModified = false;
    return true;
}

void COruPack::AbandonChanges()
{
    if (m_eMode == ORU_PACK_MODE_WRITE && m_pDataFile)
        DropUnsavedGrowth();
    ClearTables();
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
    // Sectors free in the loaded index are taken only when no reader holds the pack open.
    const bool reuse = MayReuseFreeSectors();
    size_t j = reuse ? m_nFreeScanStart : total;
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
    if (reuse)
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
            // Grown geometrically: reserving the exact size on every addition
            // copied the whole table each time, which made building a pack of
            // many files quadratic.
            if (m_vecSectorUsed.capacity() < total + missing)
                m_vecSectorUsed.reserve(std::max<size_t>(total + missing, 2 * total));
            sectors.reserve(sectors.size() + missing);
        } catch (const std::bad_alloc&) {
            return sectors.empty() ? 0 : sectors.front();
        }
        const uint64_t stride = m_header.sector_size + SECTOR_LINK_BYTES;
        uint64_t realEnd = 0;
        bool appended = DataFileBytes(realEnd);
        if (appended && !AppendsByWriting(realEnd)) {
            appended = m_pDataFile->Resize(realEnd + missing * stride);
            m_nDataFileBytes = appended ? realEnd + missing * stride : UNKNOWN_LENGTH;
        }
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

bool COruPack::DataFileBytes(uint64_t& bytes)
{
    if (m_nDataFileBytes == UNKNOWN_LENGTH && !m_pDataFile->Size(m_nDataFileBytes)) {
        m_nDataFileBytes = UNKNOWN_LENGTH;
        return false;
    }
    bytes = m_nDataFileBytes;
    return true;
}

// A chain appended by writing ends the data file exactly at its last
// sector. Any other chain lies inside the length already known, unless the
// data file was shorter than its sectors (damage), which the next addition
// then asks the system about.
//
// Writeback of what was appended starts in steps of WRITEBACK_STEP_BYTES,
// while later additions are still being prepared, so that the sync before
// the index is saved finds little left to write.
void COruPack::NoteWritten(const std::vector<uint32_t>& sectors, bool appendsChain)
{
    if (sectors.empty())
        return;
    const uint64_t chainEnd = oru::detail::SectorOffset(sectors.back(), m_header.sector_size) +
                              m_header.sector_size + SECTOR_LINK_BYTES;
    if (appendsChain)
        m_nDataFileBytes = chainEnd;
    else if (m_nDataFileBytes != UNKNOWN_LENGTH && chainEnd > m_nDataFileBytes)
        m_nDataFileBytes = UNKNOWN_LENGTH;
    if (m_nDataFileBytes == UNKNOWN_LENGTH || m_nDataFileBytes < m_nWritebackFrom)
        m_nWritebackFrom = 0;
    else if (m_nDataFileBytes - m_nWritebackFrom >= WRITEBACK_STEP_BYTES) {
        m_pDataFile->StartWriteback(m_nWritebackFrom, m_nDataFileBytes - m_nWritebackFrom);
        m_nWritebackFrom = m_nDataFileBytes;
    }
}

bool COruPack::AppendsByWriting(uint64_t dataFileBytes) const
{
    return dataFileBytes == oru::detail::SectorOffset(m_header.sector_count, m_header.sector_size);
}

bool COruPack::WriteChain(const ContentReader& read, uint32_t size,
                          const std::vector<uint32_t>& sectors, bool padLast, uint8_t* pLaidOut) const
{
    using oru::platform::CFile;
    // A piece of the chain is laid out in memory as it lies in the data file,
    // each payload behind its links: the source is read straight into the
    // payloads, and sectors that follow each other in the data file go out
    // in one plain write. Writing them as two small pieces per sector made
    // the kernel's copy into the page cache the largest cost of building a
    // pack. A sector larger than the copy buffer (a pack made for a few big
    // entries) gets room only for the content; the zeros past its last
    // payload then come from growing the file.
    const uint32_t sectorSize = m_header.sector_size;
    const uint64_t stride = uint64_t{sectorSize} + SECTOR_LINK_BYTES;
    const size_t n = sectors.size();
    const size_t bufferSectors =
        pLaidOut ? std::max<size_t>(n, 1)
                 : std::min<size_t>(
                       {static_cast<size_t>(std::max<uint64_t>(1, COPY_BUFFER_BYTES / sectorSize)),
                        CFile::MAX_PIECES, std::max<size_t>(n, 1)});
    const uint64_t payloadRoom = sectorSize > COPY_BUFFER_BYTES && !pLaidOut
                                     ? std::min<uint64_t>(sectorSize, size)
                                     : sectorSize;
    const uint64_t slotBytes = SECTOR_LINK_BYTES + payloadRoom;
    // The buffer is filled by each read before it is used, so it is left
    // uninitialised: zeroing it was a large cost of the pack tool's own work.
    std::unique_ptr<uint8_t[]> owned;
    if (!pLaidOut) {
        owned.reset(new (std::nothrow) uint8_t[bufferSectors * slotBytes]);
        if (!owned)
            return false;
    }
    uint8_t* const pBuffer = pLaidOut ? pLaidOut : owned.get();
    std::vector<CReadPiece> payloads;
    try {
        payloads.reserve(bufferSectors);
    } catch (const std::bad_alloc&) {
        return false;
    }

    for (size_t chunkStart = 0; chunkStart < n; chunkStart += bufferSectors) {
        const size_t chunkEnd = std::min(n, chunkStart + bufferSectors);
        const uint64_t chunkOffset = uint64_t{chunkStart} * sectorSize;
        payloads.clear();
        uint64_t chunkBytes = 0;
        for (size_t i = chunkStart; i < chunkEnd; ++i) {
            uint8_t* pSlot = pBuffer + (i - chunkStart) * slotBytes;
            const _oru_pack_sector_links link{i + 1 < n ? sectors[i + 1] : sectors[i],
                                              i > 0 ? sectors[i - 1] : sectors[i]};
            std::memcpy(pSlot, &link, sizeof link);
            const size_t payloadBytes =
                static_cast<size_t>(std::min<uint64_t>(sectorSize, size - chunkOffset - chunkBytes));
            payloads.push_back({pSlot + SECTOR_LINK_BYTES, payloadBytes});
            chunkBytes += payloadBytes;
        }
        if (!pLaidOut && !read(chunkOffset, payloads.data(), payloads.size(), chunkBytes))
            return false;

        size_t runStart = chunkStart;
        while (runStart < chunkEnd) {
            size_t runEnd = runStart + 1;
            while (runEnd < chunkEnd && sectors[runEnd] == sectors[runEnd - 1] + 1)
                ++runEnd;
            // Whole slots, but the last payload only as far as the content
            // goes, or with zeros to the sector's end when it is the new end
            // of the file and they fit in its slot.
            const uint64_t lastPayload = payloads[runEnd - 1 - chunkStart].m_nSize;
            uint64_t runBytes = (runEnd - runStart) * slotBytes;
            const bool zeroTail = runEnd == n && padLast && payloadRoom == sectorSize;
            if (zeroTail)
                std::memset(pBuffer + (runEnd - 1 - chunkStart) * slotBytes +
                                SECTOR_LINK_BYTES + lastPayload,
                            0, static_cast<size_t>(sectorSize - lastPayload));
            else
                runBytes -= payloadRoom - lastPayload;
            const oru::platform::CWritePiece run{pBuffer + (runStart - chunkStart) * slotBytes,
                                                 static_cast<size_t>(runBytes)};
            if (!m_pDataFile->WriteGatheredAt(
                    oru::detail::SectorOffset(sectors[runStart], sectorSize), &run, 1))
                return false;
            runStart = runEnd;
        }
    }
    if (padLast && payloadRoom != sectorSize)
        return m_pDataFile->Resize(oru::detail::SectorOffset(sectors.back(), sectorSize) + stride);
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
    uint64_t sourceSize = 0;
    oru::platform::CFileTimes times{};
    const oru::platform::CFile source =
        oru::platform::CFile::OpenReadMeasured(*path, sourceSize, times);
    if (!source.IsOpen() || sourceSize >= oru::detail::DATA_FILE_LIMIT)
        return false;
    _oru_pack_file_info info{};
    info.size = static_cast<uint32_t>(sourceSize);
    info.creation_time = times.m_nCreation;
    info.last_access_time = times.m_nAccess;
    info.last_write_time = times.m_nWrite;
    return StoreContent(name, info, [&](uint64_t offset, const CReadPiece* pPieces, size_t count,
                                        uint64_t bytes) {
        return source.ReadScatteredAt(offset, pPieces, count) == bytes;
    });
}

bool COruPack::AddFileData(const std::wstring& name, const void* pData, uint32_t size,
                           uint64_t creationTime, uint64_t accessTime, uint64_t writeTime)
{
    if (m_eMode != ORU_PACK_MODE_WRITE || !m_pDataFile || m_header.sector_size == 0 ||
        size >= oru::detail::DATA_FILE_LIMIT || (!pData && size > 0))
        return false;
    _oru_pack_file_info info{};
    info.size = size;
    info.creation_time = creationTime;
    info.last_access_time = accessTime;
    info.last_write_time = writeTime;
    return StoreContent(name, info, [&](uint64_t offset, const CReadPiece* pPieces, size_t count,
                                        uint64_t bytes) {
        if (bytes == 0)
            return true;  // empty content may come as a null pointer, which memcpy must not see
        const uint8_t* pFrom = static_cast<const uint8_t*>(pData) + offset;
        for (size_t i = 0; i < count; pFrom += pPieces[i++].m_nSize)
            std::memcpy(pPieces[i].m_pDst, pFrom, pPieces[i].m_nSize);
        return true;
    });
}

bool COruPack::AddLaidOut(const std::wstring& name, uint8_t* pSlots, uint32_t size,
                          const oru::platform::CFileTimes& times)
{
    if (m_eMode != ORU_PACK_MODE_WRITE || !m_pDataFile || m_header.sector_size == 0 ||
        size >= oru::detail::DATA_FILE_LIMIT || !pSlots)
        return false;
    _oru_pack_file_info info{};
    info.size = size;
    info.creation_time = times.m_nCreation;
    info.last_access_time = times.m_nAccess;
    info.last_write_time = times.m_nWrite;
    return StoreContent(name, info, nullptr, pSlots);
}

bool COruPack::StoreContent(const std::wstring& name, _oru_pack_file_info info,
                            const ContentReader& read, uint8_t* pLaidOut)
{
    const uint32_t size = info.size;
    std::wstring folded;
    std::vector<uint32_t> oldChain;
    std::vector<uint32_t> sectors;
    const uint32_t sectorSize = m_header.sector_size;
    const uint32_t needed = oru::detail::SectorsForSize(size, sectorSize);
    FileList::iterator old;
    try {
        folded = oru::detail::FoldName(name);
        if (!oru::detail::NameStorable(folded))
            return false;
        old = m_mapFileList.find(folded);
        if (old != m_mapFileList.end())
            CollectChain(old->second, oldChain);
        sectors.reserve(needed);
    } catch (const std::bad_alloc&) {
        return false;
    }

    uint64_t realEnd = 0;
    if (!DataFileBytes(realEnd))
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

    info.first_sector = first;
    info.sector_count = needed;
    const bool appendsChain = padLast && !sectors.empty() && sectors.back() >= sectorCountBefore;
    bool stored = false;
    if (sectors.size() == needed && WriteChain(read, size, sectors, appendsChain, pLaidOut)) {
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
        m_nDataFileBytes = UNKNOWN_LENGTH;
        if (m_header.sector_count != sectorCountBefore) {
            m_vecSectorUsed.resize(sectorCountBefore);
            m_header.sector_count = sectorCountBefore;
            m_nFreeScanStart = std::min(m_nFreeScanStart, sectorCountBefore);
            if (m_pDataFile->Resize(realEnd))
                m_nDataFileBytes = realEnd;
        }
        return false;
    }
    NoteWritten(sectors, appendsChain);
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
    m_nSavedSectorCount = m_header.sector_count;
    // The sectors just given back were the saved index's before: a reader
    // that opened the pack meanwhile may need them.
    m_eReuse = eReuse::NOT_ASKED;
    return true;
}

bool COruPack::MayReuseFreeSectors()
{
    if (m_eReuse == eReuse::NOT_ASKED)
        m_eReuse = m_pDataFile->OthersReading() ? eReuse::APPEND_ONLY : eReuse::FREE_SECTORS;
    return m_eReuse == eReuse::FREE_SECTORS;
}

// The readers are asked after the index that frees the tail is in place: a
// reader seen now keeps the tail; one that comes later reads that index,
// which gives the tail to nobody. The shorter index is saved before the data
// file is cut, so no index ever names a sector past the file's end.
void COruPack::TrimFreeTail()
{
    const uint32_t sectorSize = m_header.sector_size;
    uint64_t bytes = 0;
    if (!m_pDataFile || sectorSize == 0 || !m_pDataFile->Size(bytes))
        return;
    uint32_t keep = m_header.sector_count;
    while (keep > 0 && !m_vecSectorUsed[keep - 1])
        --keep;
    const bool freeTail = keep < m_header.sector_count;
    if ((!freeTail && bytes <= oru::detail::SectorOffset(keep, sectorSize)) ||
        m_pDataFile->OthersReading())
        return;
    if (freeTail) {
        const _oru_pack_header header = m_header;
        m_header.sector_count = keep;
        m_header.data_size = static_cast<uint32_t>(oru::detail::SectorOffset(keep, sectorSize));
        m_vecSectorUsed.resize(keep);  // only free flags go
        m_nFreeScanStart = std::min(m_nFreeScanStart, keep);
        if (!SaveIdx()) {
            m_header = header;
            m_vecSectorUsed.resize(header.sector_count, 0);
            return;
        }
    }
    if (m_pDataFile->Resize(oru::detail::SectorOffset(keep, sectorSize)))
        m_nDataFileBytes = oru::detail::SectorOffset(keep, sectorSize);
}

void COruPack::DropUnsavedGrowth()
{
    const uint64_t saved = oru::detail::SectorOffset(m_nSavedSectorCount, m_header.sector_size);
    uint64_t bytes = 0;
    if (m_pDataFile->Size(bytes) && bytes > saved && m_pDataFile->Resize(saved))
        m_nDataFileBytes = saved;
}

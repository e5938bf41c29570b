// The index is parsed whole, usage table included, then every entry's chain
// is followed from its first sector with the walker the reader uses, over
// exactly as many sectors as its size needs. Each sector remembers the
// entry that reached it, so a sector in two chains shows up the moment the
// second one arrives, and the usage table is compared with those owners
// afterwards. Entries are then read through the same gzip reader a game uses,
// which checks every member's CRC-32.

#include "pack/pack_check.h"

#include "core/printf_format.h"
#include "core/utf8.h"
#include "pack/chain_walk.h"
#include "pack/gz_stream.h"
#include "pack/pack_follow.h"
#include "pack/pack_format.h"
#include "pack/pack_index.h"
#include "platform/file.h"

#include <oru/pack/oru_pack.h>

#include <cinttypes>
#include <cstdarg>
#include <cstring>
#include <new>

namespace oru::detail {
namespace {

constexpr uint32_t NO_OWNER = UINT32_MAX;
// Problems of one kind beyond this many are counted, not each reported.
constexpr uint64_t REPORTED_PER_KIND = 20;
constexpr uint64_t REPORTED_IN_ALL = REPORTED_PER_KIND * 10;
constexpr uint8_t GZIP_ID[2] = {0x1F, 0x8B};

using Entry = COruPack::FileList::value_type;

class CChecker {
public:
    CChecker(const std::string& base, const CPackCheckHooks& hooks)
        : m_strBase(base), m_hooks(hooks)
    {
    }

    CPackCheckResult Run();

private:
    void Problem(const char* format, ...) ORU_PRINTF_FORMAT(2, 3);
    bool LoadIndex();
    void CheckHeader();
    // Follows one chain; false when it is broken (its content is not read then).
    bool WalkChain(uint32_t index, const Entry& entry);
    void CheckUsageTable();
    void CheckContent(const Entry& entry);

    std::string m_strBase;
    const CPackCheckHooks& m_hooks;
    _oru_pack_header m_header{};
    COruPack::FileList m_files;
    std::vector<uint8_t> m_vecUsed;
    std::vector<uint32_t> m_vecOwner;  // as many sectors as the data file really holds
    std::vector<const Entry*> m_vecEntries;
    platform::CFile m_data;
    uint64_t m_nDataBytes = 0;
    uint64_t m_nProblems = 0;
};

void CChecker::Problem(const char* format, ...)
{
    ++m_nProblems;
    if (m_nProblems > REPORTED_IN_ALL || !m_hooks.m_fnProblem)
        return;
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    m_hooks.m_fnProblem(line);
}

bool CChecker::LoadIndex()
{
    // Marked as read before the index is read, so that an editor running
    // meanwhile leaves that index's sectors alone.
    m_data = OpenMarkedDataFile(m_strBase + ".opk");
    std::vector<uint8_t> image;
    if (!ReadWholeFile(m_strBase + ".odx", image)) {
        Problem("cannot read the index %s.odx", m_strBase.c_str());
        return false;
    }
    // The claimed sector count sizes the usage table: a claim no pack can
    // make is reported before anything is allocated for it.
    if (image.size() >= sizeof m_header) {
        std::memcpy(&m_header, image.data(), sizeof m_header);
        if (m_header.sector_size == 0) {
            Problem("the sector size is 0");
            return false;
        }
        if (!DataFileFits(m_header.sector_count, m_header.sector_size)) {
            Problem("the header claims %" PRIu32 " sectors of %" PRIu32
                    " bytes, past the 2 GiB limit of the format",
                    m_header.sector_count, m_header.sector_size);
            return false;
        }
    }
    if (!ParseIndex(image.data(), image.size(), {&m_header, &m_files, nullptr, &m_vecUsed})) {
        Problem("the index ends before the records and the usage table it announces");
        return false;
    }
    if (!m_data.IsOpen() || !m_data.Size(m_nDataBytes)) {
        Problem("cannot read the data file %s.opk", m_strBase.c_str());
        return false;
    }
    const uint64_t realSectors = m_nDataBytes / (m_header.sector_size + SECTOR_LINK_BYTES);
    try {
        m_vecOwner.assign(std::min<uint64_t>(m_header.sector_count, realSectors), NO_OWNER);
        m_vecEntries.reserve(m_files.size());
    } catch (const std::bad_alloc&) {
        Problem("not enough memory to check %" PRIu32 " sectors", m_header.sector_count);
        return false;
    }
    return true;
}

void CChecker::CheckHeader()
{
    const uint64_t sectorBytes = SectorOffset(m_header.sector_count, m_header.sector_size);
    if (m_nDataBytes < sectorBytes)
        Problem("the data file has %" PRIu64 " bytes, its %" PRIu32 " sectors need %" PRIu64,
                m_nDataBytes, m_header.sector_count, sectorBytes);
    if (m_files.size() != m_header.file_count)
        Problem("the header counts %" PRIu32 " entries, the index holds %zu different names",
                m_header.file_count, m_files.size());
    uint32_t total = 0;  // the header keeps the sum in 32 bits
    for (const auto& entry : m_files)
        total += entry.second.size;
    if (total != m_header.total_file_size)
        Problem("the header's total file size is %" PRIu32 ", the entries' sizes sum to %" PRIu32,
                m_header.total_file_size, total);
}

bool CChecker::WalkChain(uint32_t index, const Entry& entry)
{
    const std::string name = ToUtf8Lossy(entry.first);
    const _oru_pack_file_info& info = entry.second;
    const uint32_t needed = SectorsForSize(info.size, m_header.sector_size);
    if (info.sector_count != needed)
        Problem("'%s': the record says %" PRIu32 " sectors, its size needs %" PRIu32, name.c_str(),
                info.sector_count, needed);

    CChainWalk walk(info.first_sector, needed);
    for (;;) {
        const uint32_t sector = walk.Upcoming();
        if (sector >= m_vecOwner.size()) {
            Problem("'%s': sector %" PRIu32 " of its chain lies outside the data file", name.c_str(),
                    sector);
            return false;
        }
        if (m_vecOwner[sector] != NO_OWNER) {
            Problem("'%s': sector %" PRIu32 " is also in the chain of '%s'", name.c_str(), sector,
                    ToUtf8Lossy(m_vecEntries[m_vecOwner[sector]]->first).c_str());
            return false;
        }
        _oru_pack_sector_links links{};
        if (!ReadSectorLinks(m_data, sector, m_header.sector_size, links)) {
            Problem("'%s': sector %" PRIu32 " cannot be read", name.c_str(), sector);
            return false;
        }
        const uint32_t from = walk.ExpectedPrev();
        if (!walk.Enter(links)) {
            Problem("'%s': sector %" PRIu32 " links back to %" PRIu32 ", not to %" PRIu32,
                    name.c_str(), sector, links.prev, from);
            return false;
        }
        m_vecOwner[sector] = index;
        if (walk.Entered() == needed || walk.Ended()) {
            if (walk.Entered() != needed || !walk.Ended()) {
                Problem("'%s': the chain has %s sectors than the %" PRIu32 " its size needs",
                        name.c_str(), walk.Ended() ? "fewer" : "more", needed);
                return false;
            }
            return true;
        }
    }
}

void CChecker::CheckUsageTable()
{
    uint64_t markedButFree = 0, usedButClear = 0;
    for (uint32_t sector = 0; sector < m_vecOwner.size(); ++sector) {
        const bool owned = m_vecOwner[sector] != NO_OWNER;
        if (owned == (m_vecUsed[sector] != 0))
            continue;
        uint64_t& count = owned ? usedButClear : markedButFree;
        if (++count > REPORTED_PER_KIND)
            ++m_nProblems;
        else if (owned)
            Problem("sector %" PRIu32 " is in the chain of '%s' but marked free", sector,
                    ToUtf8Lossy(m_vecEntries[m_vecOwner[sector]]->first).c_str());
        else
            Problem("sector %" PRIu32 " is marked used but in no chain", sector);
    }
}

// Reads the content the way a game would. A wrapped entry must decode with
// good checksums to its declared length; a plain one must not look like
// gzip data, or a game would get something else than its bytes.
void CChecker::CheckContent(const Entry& entry)
{
    const std::string name = ToUtf8Lossy(entry.first);
    auto pChain = std::make_unique<CSectorChain>(platform::CFile::OpenRead(m_strBase + ".opk"),
                                                 entry.second, m_header.sector_size);
    uint8_t start[2] = {};
    if (pChain->Read(start, sizeof start) != sizeof start)
        return;
    if (std::memcmp(start, GZIP_ID, sizeof GZIP_ID) == 0) {
        Problem("'%s': stored plain but begins with the gzip magic, so readers decode it",
                name.c_str());
        return;
    }
    if (!pChain->Seek(0))
        return;
    CWrapperPrefix prefix;
    std::unique_ptr<oru_gz_stream> pStream = oru_gz_stream::Open(std::move(pChain), prefix);
    if (!prefix.m_bWrapped)
        return;
    if (!pStream) {
        Problem("'%s': not enough memory to read it", name.c_str());
        return;
    }
    static thread_local std::vector<uint8_t> s_vecBuffer(256 * 1024);
    uint64_t content = 0;
    for (;;) {
        const int got = pStream->Read(s_vecBuffer.data(), static_cast<uint32_t>(s_vecBuffer.size()));
        if (got == 0)
            break;
        if (got < 0) {
            Problem("'%s': the compressed data is damaged (bad gzip data or CRC-32)", name.c_str());
            return;
        }
        content += static_cast<uint64_t>(got);
    }
    if (content != prefix.m_nDeclared)
        Problem("'%s': decompresses to %" PRIu64 " bytes, the wrapper declares %" PRIu32,
                name.c_str(), content, prefix.m_nDeclared);
}

CPackCheckResult CChecker::Run()
{
    if (LoadIndex()) {
        CheckHeader();
        uint64_t totalBytes = 0;
        for (const auto& entry : m_files) {
            m_vecEntries.push_back(&entry);
            totalBytes += entry.second.size;
        }
        for (uint32_t i = 0; i < m_vecEntries.size(); ++i) {
            if (WalkChain(i, *m_vecEntries[i]))
                CheckContent(*m_vecEntries[i]);
            if (m_hooks.m_fnProgress)
                m_hooks.m_fnProgress(m_vecEntries[i]->second.size, totalBytes);
        }
        CheckUsageTable();
    }
    const uint64_t sectorBytes = SectorOffset(m_header.sector_count, m_header.sector_size);
    return {m_nProblems, m_files.size(), m_header.sector_count,
            m_nDataBytes > sectorBytes ? m_nDataBytes - sectorBytes : 0};
}

}  // namespace

CPackCheckResult CheckPack(const std::string& base, const CPackCheckHooks& hooks)
{
    try {
        CChecker checker(base, hooks);
        return checker.Run();
    } catch (const std::bad_alloc&) {
        if (hooks.m_fnProblem)
            hooks.m_fnProblem("not enough memory to check the pack");
        return {1, 0, 0};
    }
}

}  // namespace oru::detail

namespace oru::detail {

bool PackEditedElsewhere(const std::string& base)
{
    const platform::CFile data = platform::CFile::OpenRead(base + ".opk");
    return data.IsOpen() && data.TryLockExclusive() == platform::CFile::eLock::HELD_ELSEWHERE;
}

}  // namespace oru::detail

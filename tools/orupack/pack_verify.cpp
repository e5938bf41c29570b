// orupack verify: checks a pack against everything its layout promises.
//
// The index is parsed whole, usage table included, then every entry's chain
// is followed from its first sector with the same rule the reader uses (a
// sector belongs to the chain only when its back link names the sector we
// came from) and exactly as many sectors as its size needs. Each sector
// remembers the entry that reached it, so a sector in two chains shows up the
// moment the second one arrives, and the usage table is compared with those
// owners afterwards. Wrapped entries are then read through the library's
// stream, which checks every gzip member's CRC-32.

#include "commands.h"

#include "pack/pack_format.h"
#include "pack/pack_index.h"
#include "platform/file.h"

#include <cinttypes>
#include <cstdarg>

namespace orupack {
namespace {

constexpr uint32_t NO_OWNER = UINT32_MAX;
constexpr unsigned int READ_FAILED = 0xFFFFFFFFu;
// Problems of one kind beyond this many are counted, not each printed.
constexpr uint64_t PRINTED_PER_KIND = 20;

using Entry = COruPack::FileList::value_type;

class CVerifier {
public:
    explicit CVerifier(const std::string& base) : m_strBase(base) {}

    int Run();

private:
    void Problem(const char* format, ...) __attribute__((format(printf, 2, 3)));
    bool LoadIndex();
    // Everything after the index has loaded.
    void CheckEntries();
    void CheckHeader();
    // Follows one chain; false when it is broken (its content is not read then).
    bool WalkChain(uint32_t index, const Entry& entry);
    void CheckUsageTable();
    void CheckWrappedContent(const Entry& entry);

    std::string m_strBase;
    _oru_pack_header m_header{};
    COruPack::FileList m_files;
    std::vector<uint8_t> m_vecUsed;
    std::vector<uint32_t> m_vecOwner;
    std::vector<const Entry*> m_vecEntries;
    oru::platform::CFile m_data;
    std::unique_ptr<CDataFile> m_pStreams;
    uint64_t m_nDataBytes = 0;
    uint64_t m_nProblems = 0;
};

void CVerifier::Problem(const char* format, ...)
{
    ++m_nProblems;
    if (m_nProblems > PRINTED_PER_KIND * 10)
        return;
    std::fprintf(stderr, "%s: ", m_strBase.c_str());
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

bool CVerifier::LoadIndex()
{
    std::vector<uint8_t> image;
    if (!oru::detail::ReadWholeFile(m_strBase + ".odx", image)) {
        Problem("cannot read the index %s.odx", m_strBase.c_str());
        return false;
    }
    if (!oru::detail::ParseIndex(image.data(), image.size(),
                                 {&m_header, &m_files, nullptr, &m_vecUsed})) {
        Problem("the index ends before the records and the usage table it announces");
        return false;
    }
    m_data = oru::platform::CFile::OpenRead(m_strBase + ".opk");
    if (!m_data.IsOpen() || !m_data.Size(m_nDataBytes)) {
        Problem("cannot read the data file %s.opk", m_strBase.c_str());
        return false;
    }
    m_pStreams = std::make_unique<CDataFile>(m_strBase);
    if (m_header.sector_size == 0) {
        Problem("the sector size is 0");
        return false;
    }
    return true;
}

void CVerifier::CheckHeader()
{
    const uint64_t sectorBytes =
        oru::detail::SectorOffset(m_header.sector_count, m_header.sector_size);
    if (m_nDataBytes < sectorBytes)
        Problem("the data file has %" PRIu64 " bytes, its %" PRIu32 " sectors need %" PRIu64,
                m_nDataBytes, m_header.sector_count, sectorBytes);
    if (sectorBytes >= oru::detail::DATA_FILE_LIMIT)
        Problem("%" PRIu32 " sectors pass the 2 GiB limit of the format", m_header.sector_count);
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

bool CVerifier::WalkChain(uint32_t index, const Entry& entry)
{
    const std::string name = Narrow(entry.first);
    const _oru_pack_file_info& info = entry.second;
    const uint32_t needed = oru::detail::SectorsForSize(info.size, m_header.sector_size);
    if (info.sector_count != needed)
        Problem("'%s': the record says %" PRIu32 " sectors, its size needs %" PRIu32, name.c_str(),
                info.sector_count, needed);

    uint32_t from = info.first_sector;
    uint32_t sector = info.first_sector;
    for (uint32_t visited = 1;; ++visited) {
        if (sector >= m_header.sector_count) {
            Problem("'%s': sector %" PRIu32 " of its chain lies outside the data file", name.c_str(),
                    sector);
            return false;
        }
        if (m_vecOwner[sector] != NO_OWNER) {
            Problem("'%s': sector %" PRIu32 " is also in the chain of '%s'", name.c_str(), sector,
                    Narrow(m_vecEntries[m_vecOwner[sector]]->first).c_str());
            return false;
        }
        oru::detail::_oru_pack_sector_links links{};
        if (!m_data.ReadExactAt(oru::detail::SectorOffset(sector, m_header.sector_size), &links,
                                sizeof links)) {
            Problem("'%s': sector %" PRIu32 " cannot be read", name.c_str(), sector);
            return false;
        }
        if (links.prev != from) {
            Problem("'%s': sector %" PRIu32 " links back to %" PRIu32 ", not to %" PRIu32,
                    name.c_str(), sector, links.prev, from);
            return false;
        }
        m_vecOwner[sector] = index;
        const bool last = links.next == sector;
        if (visited == needed || last) {
            if (visited != needed || !last) {
                Problem("'%s': the chain has %s sectors than the %" PRIu32 " its size needs",
                        name.c_str(), last ? "fewer" : "more", needed);
                return false;
            }
            return true;
        }
        from = sector;
        sector = links.next;
    }
}

void CVerifier::CheckUsageTable()
{
    uint64_t markedButFree = 0, usedButClear = 0;
    for (uint32_t sector = 0; sector < m_vecUsed.size(); ++sector) {
        const bool owned = m_vecOwner[sector] != NO_OWNER;
        if (owned == (m_vecUsed[sector] != 0))
            continue;
        uint64_t& count = owned ? usedButClear : markedButFree;
        if (++count <= PRINTED_PER_KIND) {
            if (owned)
                Problem("sector %" PRIu32 " is in the chain of '%s' but marked free", sector,
                        Narrow(m_vecEntries[m_vecOwner[sector]]->first).c_str());
            else
                Problem("sector %" PRIu32 " is marked used but in no chain", sector);
        } else {
            ++m_nProblems;
        }
    }
}

void CVerifier::CheckWrappedContent(const Entry& entry)
{
    uint32_t declared = 0;
    if (!WrappedLength(m_strBase, entry.second, m_header.sector_size, declared))
        return;
    const std::string name = Narrow(entry.first);
    auto stream = m_pStreams->OpenEntry(entry.second, m_header.sector_size);
    if (!stream) {
        Problem("'%s': cannot open the data file", name.c_str());
        return;
    }
    static std::vector<uint8_t> s_vecBuffer(256 * 1024);
    uint64_t content = 0;
    for (;;) {
        const unsigned int got =
            stream->Fread(s_vecBuffer.data(), 1, static_cast<unsigned int>(s_vecBuffer.size()));
        if (got == 0)
            break;
        if (got == READ_FAILED) {
            Problem("'%s': the compressed data is damaged (bad gzip data or CRC-32)", name.c_str());
            return;
        }
        content += got;
    }
    if (content != declared)
        Problem("'%s': decompresses to %" PRIu64 " bytes, the wrapper declares %" PRIu32,
                name.c_str(), content, declared);
}

int CVerifier::Run()
{
    if (LoadIndex())
        CheckEntries();
    if (m_nProblems > 0) {
        std::fprintf(stderr, "%s: %" PRIu64 " problem%s found\n", m_strBase.c_str(), m_nProblems,
                     m_nProblems == 1 ? "" : "s");
        return EXIT_FAILED;
    }
    std::printf("%s: ok, %zu entries in %" PRIu32 " sectors\n", m_strBase.c_str(), m_files.size(),
                m_header.sector_count);
    return EXIT_DONE;
}

void CVerifier::CheckEntries()
{
    CheckHeader();
    m_vecOwner.assign(m_vecUsed.size(), NO_OWNER);
    for (const auto& entry : m_files)
        m_vecEntries.push_back(&entry);

    uint64_t totalBytes = 0;
    for (const Entry* pEntry : m_vecEntries)
        totalBytes += pEntry->second.size;
    {
        CProgress progress("verify", totalBytes);
        for (uint32_t i = 0; i < m_vecEntries.size(); ++i) {
            if (WalkChain(i, *m_vecEntries[i]))
                CheckWrappedContent(*m_vecEntries[i]);
            progress.Advance(m_vecEntries[i]->second.size);
        }
    }
    CheckUsageTable();
}

}  // namespace

int CmdVerify(const CArgs& args)
{
    if (args.m_vecWords.size() != 1)
        return EXIT_USAGE;
    CVerifier verifier(PackBase(args.m_vecWords[0]));
    return verifier.Run();
}

}  // namespace orupack

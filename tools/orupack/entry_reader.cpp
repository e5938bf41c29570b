// How a mounted file is read.
//
// Plain content goes straight through the library's stream, which keeps its
// position: the kernel mostly reads a file from start to end, so most reads
// continue where the last one stopped and a seek is rare. A read that gets
// fewer bytes than the content size promises met a broken chain, and fails.
//
// Decoded content cannot be trusted until a member's checksum at its end has
// been checked, so the first read decodes all of it, and nothing is given out
// unless all of it decodes, with good checksums, to exactly the length shown.
// Blocked members are the exception: the stream checks each one before it
// gives out any of its bytes, so only their total length is checked first,
// from their headers, and reads anywhere decode one member.
// Small content stays in memory from then on; larger content is decoded
// again as it is read, which the stream does forward without cost and
// backward by starting over.

#include "entry_reader.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

namespace orupack {
namespace {

constexpr unsigned int READ_FAILED = 0xFFFFFFFFu;
constexpr size_t CHUNK_BYTES = 256 * 1024;

}  // namespace

CEntryReader::CEntryReader(const CDataFile& data, const CMountNode& file, uint32_t sectorSize)
    : m_data(data), m_file(file), m_nSectorSize(sectorSize),
      m_nChecked(file.m_eForm == CONTENT_DECODED ? 1 : 0)
{
}

long CEntryReader::ReadAt(uint64_t offset, uint8_t* pDst, size_t size)
{
    if (offset >= m_file.m_nSize || size == 0)
        return 0;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(size, m_file.m_nSize - offset));
    std::lock_guard<std::mutex> lock(m_cs);
    if (m_nChecked > 0)
        m_nChecked = CheckDecoded();
    if (m_nChecked < 0)
        return m_nChecked;
    if (!m_vecContent.empty()) {
        std::memcpy(pDst, m_vecContent.data() + offset, want);
        return static_cast<long>(want);
    }
    return StreamRead(offset, pDst, want) ? static_cast<long>(want) : -EIO;
}

int CEntryReader::CheckDecoded()
{
    const uint64_t size = m_file.m_nSize;
    // Blocked members are checked member by member as they are read; only
    // their length is checked here, from their headers: the content must end
    // exactly at the size shown.
    if (Reopen() && oru::tools::CPackAccess::ChecksAsItReads(*m_pStream)) {
        uint8_t extra = 0;
        const bool exact = size <= LONG_MAX && m_pStream->Fseek(static_cast<long>(size), SEEK_SET) &&
                           m_pStream->Fread(&extra, 1, 1) == 0;
        return exact ? 0 : -EIO;
    }
    const bool keep = size <= MEMORY_LIMIT;
    std::vector<uint8_t> scratch;
    try {
        (keep ? m_vecContent : scratch).resize(keep ? size : CHUNK_BYTES);
    } catch (const std::bad_alloc&) {
        return -ENOMEM;
    }
    bool whole = Reopen();
    for (uint64_t done = 0; whole && done < size;) {
        const size_t chunk = static_cast<size_t>(std::min<uint64_t>(size - done, CHUNK_BYTES));
        whole = ReadFully(keep ? m_vecContent.data() + done : scratch.data(), chunk);
        done += chunk;
    }
    // The content must end right there; this read also checks the last
    // member's trailer.
    uint8_t extra = 0;
    whole = whole && m_pStream->Fread(&extra, 1, 1) == 0;
    if (!whole) {
        std::vector<uint8_t>().swap(m_vecContent);
        m_pStream.reset();
        return -EIO;
    }
    if (keep)
        m_pStream.reset();  // every read is served from memory now
    else
        Reopen();           // back to the start; a later read seeks
    return 0;
}

bool CEntryReader::StreamRead(uint64_t offset, uint8_t* pDst, size_t size)
{
    const long target = static_cast<long>(offset);
    const bool there = m_pStream && (m_pStream->Ftell() == target || m_pStream->Fseek(target, SEEK_SET));
    if (!there && !(Reopen() && m_pStream->Fseek(target, SEEK_SET)))
        return false;
    if (ReadFully(pDst, size))
        return true;
    m_pStream.reset();  // damaged or cut short: a later read starts afresh
    return false;
}

bool CEntryReader::ReadFully(uint8_t* pDst, size_t size)
{
    for (size_t done = 0; done < size;) {
        const unsigned int chunk = static_cast<unsigned int>(std::min(size - done, CHUNK_BYTES));
        const unsigned int got = m_pStream->Fread(pDst + done, 1, chunk);
        if (got == 0 || got == READ_FAILED)
            return false;
        done += got;
    }
    return true;
}

bool CEntryReader::Reopen()
{
    m_pStream = m_data.OpenEntry(m_file.m_info, m_nSectorSize);
    return m_pStream != nullptr;
}

std::shared_ptr<CEntryReader> CReaderCache::Get(const CMountNode& file)
{
    std::lock_guard<std::mutex> lock(m_cs);
    const auto it = std::find_if(m_vecKept.begin(), m_vecKept.end(),
                                 [&](const CKept& kept) { return kept.first == &file; });
    if (it != m_vecKept.end()) {
        std::rotate(it, it + 1, m_vecKept.end());
        return m_vecKept.back().second;
    }
    try {
        if (m_vecKept.size() == KEPT_READERS)
            m_vecKept.erase(m_vecKept.begin());  // a read still using it keeps it alive
        m_vecKept.emplace_back(&file, std::make_shared<CEntryReader>(m_data, file, m_nSectorSize));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return m_vecKept.back().second;
}

}  // namespace orupack

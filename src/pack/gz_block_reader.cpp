#include "pack/gz_block_reader.h"

#include "pack/gz_blocks.h"
#include "pack/pack_format.h"

#include <libdeflate.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

namespace oru::detail {

CBlockReader::CBlockReader(CSectorChain& chain, uint32_t start)
    : m_chain(chain), m_nStart(start), m_pDecompressor(libdeflate_alloc_decompressor())
{
    if (!m_pDecompressor)
        m_bDamaged = true;  // no memory: every read fails, as a reader that could not be made
}

CBlockReader::~CBlockReader()
{
    if (m_pDecompressor)
        libdeflate_free_decompressor(m_pDecompressor);
}

bool CBlockReader::Fail()
{
    m_bDamaged = true;
    return false;
}

bool CBlockReader::DiscoverNext(bool load)
{
    if (m_bAllKnown || m_bDamaged)
        return false;
    const CMember* pLast = m_vecMembers.empty() ? nullptr : &m_vecMembers.back();
    const uint64_t at = pLast ? uint64_t{pLast->m_nStored} + pLast->m_nSize : m_nStart;
    if (pLast)
        m_chain.Return(pLast->m_start);
    // The walk is marked at the header, so that a later load or discovery
    // comes back here without following the links from the start.
    CMember member{};
    size_t got = 0;
    uint8_t header[BLOCK_HEADER_BYTES];
    if (at < m_chain.Size() && m_chain.Seek(at)) {
        member.m_start = m_chain.Here();
        got = m_chain.Read(header, sizeof header);
    }
    // Anything but another member's start ends the content, as it does for
    // the streaming reader; another member must say its size too.
    if (got < 2 || header[0] != 0x1F || header[1] != 0x8B) {
        m_bAllKnown = true;
        return false;
    }
    const uint32_t size = BlockedMemberSize(header, got);
    if (size == 0 || size > BLOCK_STORED_LIMIT || at + size > m_chain.Size())
        return Fail();
    member.m_nStored = static_cast<uint32_t>(at);
    member.m_nSize = size;
    member.m_nContent = pLast ? pLast->m_nContent + pLast->m_nLength : 0;
    uint8_t length[4];
    if (load) {
        try {
            m_vecStored.resize(size);
        } catch (const std::bad_alloc&) {
            return Fail();
        }
        std::memcpy(m_vecStored.data(), header, BLOCK_HEADER_BYTES);
        if (m_chain.Read(m_vecStored.data() + BLOCK_HEADER_BYTES, size - BLOCK_HEADER_BYTES) !=
            size - BLOCK_HEADER_BYTES)
            return Fail();
        std::memcpy(length, m_vecStored.data() + size - 4, sizeof length);
    } else if (!m_chain.Seek(at + size - 4) || m_chain.Read(length, sizeof length) != sizeof length) {
        return Fail();
    }
    member.m_nLength = LoadU32(length);
    if (member.m_nLength > BLOCK_CONTENT_LIMIT)
        return Fail();
    try {
        m_vecMembers.push_back(member);
    } catch (const std::bad_alloc&) {
        return Fail();
    }
    m_nStoredMember = load ? static_cast<int64_t>(m_vecMembers.size() - 1) : -1;
    return true;
}

int64_t CBlockReader::MemberAt(uint64_t offset, bool load)
{
    for (;;) {
        if (!m_vecMembers.empty()) {
            const CMember& last = m_vecMembers.back();
            if (offset < last.m_nContent + last.m_nLength) {
                const auto it = std::upper_bound(
                    m_vecMembers.begin(), m_vecMembers.end(), offset,
                    [](uint64_t value, const CMember& member) { return value < member.m_nContent; });
                return static_cast<int64_t>(it - m_vecMembers.begin()) - 1;
            }
        }
        if (!DiscoverNext(load))
            return -1;
        // Reading passes over a member without content without taking any
        // of its bytes: it is checked all the same, as reading through would.
        if (load && m_vecMembers.back().m_nLength == 0 && !Load(m_vecMembers.size() - 1))
            return -1;
    }
}

bool CBlockReader::Load(size_t index, uint8_t* pOut)
{
    const CMember& member = m_vecMembers[index];
    const size_t dataBytes = member.m_nSize - BLOCK_HEADER_BYTES - GZIP_TRAILER_BYTES;
    try {
        if (!pOut) {
            m_vecBlock.resize(member.m_nLength);
            m_nLoaded = -1;
        }
        if (m_nStoredMember != static_cast<int64_t>(index)) {
            m_vecStored.resize(member.m_nSize);
            m_chain.Return(member.m_start);
            m_nStoredMember = -1;
            if (m_chain.Read(m_vecStored.data(), member.m_nSize) != member.m_nSize)
                return Fail();
            m_nStoredMember = static_cast<int64_t>(index);
        }
    } catch (const std::bad_alloc&) {
        return Fail();
    }
    uint8_t* pContent = pOut ? pOut : m_vecBlock.data();
    size_t used = 0, produced = 0;
    const uint8_t* pTrailer = m_vecStored.data() + BLOCK_HEADER_BYTES + dataBytes;
    if (BlockedMemberSize(m_vecStored.data(), member.m_nSize) != member.m_nSize ||
        libdeflate_deflate_decompress_ex(m_pDecompressor, m_vecStored.data() + BLOCK_HEADER_BYTES, dataBytes,
                                        pContent, member.m_nLength, &used, &produced) != LIBDEFLATE_SUCCESS ||
        used != dataBytes || produced != member.m_nLength || LoadU32(pTrailer + 4) != member.m_nLength ||
        LoadU32(pTrailer) != static_cast<uint32_t>(libdeflate_crc32(0, pContent, produced)))
        return Fail();
    if (!pOut)
        m_nLoaded = static_cast<int64_t>(index);
    return true;
}

int CBlockReader::Read(uint8_t* pDst, uint32_t length)
{
    if (m_bDamaged)
        return -1;
    length = std::min<uint32_t>(length, INT_MAX);
    uint32_t produced = 0;
    while (produced < length) {
        const int64_t index = MemberAt(m_nPos, true);
        if (index < 0) {
            m_bEnded = !m_bDamaged;
            break;
        }
        const CMember& member = m_vecMembers[static_cast<size_t>(index)];
        const uint64_t within = m_nPos - member.m_nContent;
        // A whole member that the request takes goes straight to the
        // caller: a preload decodes every member in place, copying nothing.
        if (index != m_nLoaded && within == 0 && length - produced >= member.m_nLength) {
            if (!Load(static_cast<size_t>(index), pDst + produced))
                break;
            produced += member.m_nLength;
            m_nPos += member.m_nLength;
            continue;
        }
        if (index != m_nLoaded && !Load(static_cast<size_t>(index)))
            break;
        const uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(length - produced, member.m_nLength - within));
        std::memcpy(pDst + produced, m_vecBlock.data() + within, piece);
        produced += piece;
        m_nPos += piece;
    }
    if (produced == 0 && m_bDamaged)
        return -1;
    return static_cast<int>(produced);
}

int64_t CBlockReader::Seek(int64_t target)
{
    if (m_bDamaged || target < 0)
        return -1;
    const uint64_t offset = static_cast<uint64_t>(target);
    if (offset != m_nPos && MemberAt(offset, false) < 0) {
        // The end itself may be reached; past it, or on damage, not.
        const bool atEnd = m_bAllKnown && !m_bDamaged &&
                           offset == (m_vecMembers.empty() ? 0 : m_vecMembers.back().m_nContent +
                                                                     m_vecMembers.back().m_nLength);
        if (!atEnd)
            return -1;
    }
    m_nPos = offset;
    m_bEnded = false;
    return target;
}

}  // namespace oru::detail

#include "pack/gz_stream.h"

#include "pack/gz_blocks.h"

#include <libdeflate.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

namespace oru::detail {
namespace {

constexpr int GZIP_ID1 = 0x1F;
constexpr int GZIP_ID2 = 0x8B;
constexpr int GZIP_METHOD_DEFLATE = 8;
constexpr int FLAG_HEADER_CRC = 0x02;
constexpr int FLAG_EXTRA = 0x04;
constexpr int FLAG_NAME = 0x08;
constexpr int FLAG_COMMENT = 0x10;
constexpr int FLAG_RESERVED = 0xE0;
constexpr int HEADER_FIXED_SKIP = 6;  // modification time, extra flags, system
constexpr int RAW_DEFLATE_WINDOW = -15;
// libdeflate promises nothing about the output buffer past the content it
// reports, and copies in whole words; clearing this many bytes after the
// content keeps a preload's zeros there without touching every page of a
// large declared length.
constexpr uint64_t WHOLE_DECODE_SCRATCH_BYTES = 4096;

struct CDecompressorFree {
    void operator()(libdeflate_decompressor* p) const { libdeflate_free_decompressor(p); }
};

// CRC-32 as gzip defines it; libdeflate's carry-less multiplication gives the
// same values as zlib's crc32 several times faster.
uint32_t UpdateCrc(uint32_t crc, const uint8_t* p, size_t size)
{
    return size ? libdeflate_crc32(crc, p, size) : crc;
}

// What Read does after a member's deflate data, on the `left` stored bytes
// that follow it: the trailer must be whole with the right CRC-32, and two
// bytes that start another member make Read go on, so the content is not
// known here.
bool EndsAfterOneMember(const uint8_t* p, uint64_t left, uint32_t crc)
{
    if (left < GZIP_TRAILER_BYTES || LoadU32(p) != crc)
        return false;
    p += GZIP_TRAILER_BYTES;
    left -= GZIP_TRAILER_BYTES;
    return left < 2 || p[0] != GZIP_ID1 || p[1] != GZIP_ID2;
}

}  // namespace

oru_gz_stream::oru_gz_stream(std::unique_ptr<CSectorChain> pChain) : m_pChain(std::move(pChain))
{
}

oru_gz_stream::~oru_gz_stream()
{
    if (m_bInflateReady)
        inflateEnd(&m_z);
}

std::unique_ptr<oru_gz_stream> oru_gz_stream::Open(std::unique_ptr<CSectorChain> pChain,
                                                   CWrapperPrefix& prefix, bool useBlockSizes)
{
    prefix = CWrapperPrefix();
    std::unique_ptr<oru_gz_stream> pStream(new (std::nothrow) oru_gz_stream(std::move(pChain)));
    if (!pStream || !pStream->Initialise())
        return nullptr;
    oru_gz_stream& s = *pStream;

    // One fetch brings the wrapper prefix and the first member's header.
    s.Fetch();
    prefix = ParseWrapperPrefix(s.m_z.next_in, s.m_z.avail_in);
    s.m_z.next_in += prefix.m_nBytes;
    s.m_z.avail_in -= static_cast<uInt>(prefix.m_nBytes);
    if (useBlockSizes && BlockedMemberSize(s.m_z.next_in, s.m_z.avail_in) != 0) {
        s.m_nStart = s.m_pChain->Tell() - s.m_z.avail_in;
        s.m_z.avail_in = 0;
        s.m_pBlocks.reset(new (std::nothrow) CBlockReader(*s.m_pChain, s.m_nStart));
        return s.m_pBlocks ? std::move(pStream) : nullptr;
    }
    s.CheckHeader(true);
    s.m_nStart = s.m_pChain->Tell() - s.m_z.avail_in;
    return pStream;
}

bool oru_gz_stream::Initialise()
{
    m_pInput.reset(new (std::nothrow) uint8_t[BUFFER_BYTES]);
    if (!m_pInput)
        return false;
    m_z.next_in = m_pInput.get();
    m_z.avail_in = 0;
    if (inflateInit2(&m_z, RAW_DEFLATE_WINDOW) != Z_OK)
        return false;
    m_bInflateReady = true;
    return true;
}

bool oru_gz_stream::Fetch()
{
    if (m_z.avail_in > 0 && m_z.next_in != m_pInput.get())
        std::memmove(m_pInput.get(), m_z.next_in, m_z.avail_in);
    m_z.next_in = m_pInput.get();
    const size_t got = m_pChain->Read(m_pInput.get() + m_z.avail_in, BUFFER_BYTES - m_z.avail_in);
    m_z.avail_in += static_cast<uInt>(got);
    return got > 0;
}

int oru_gz_stream::GetByte()
{
    if (m_bExhausted)
        return -1;
    if (m_z.avail_in == 0 && !Fetch()) {
        m_bExhausted = true;
        return -1;
    }
    --m_z.avail_in;
    return *m_z.next_in++;
}

bool oru_gz_stream::GetLong(uint32_t& value)
{
    value = 0;
    for (int shift = 0; shift < 32; shift += 8) {
        const int byte = GetByte();
        if (byte < 0)
            return false;
        value |= static_cast<uint32_t>(byte) << shift;
    }
    return true;
}

void oru_gz_stream::CheckHeader(bool atOpen)
{
    if (m_z.avail_in < 2)
        Fetch();
    if (m_z.avail_in < 2 || m_z.next_in[0] != GZIP_ID1 || m_z.next_in[1] != GZIP_ID2) {
        // At open this is plain data (an empty entry included). Between
        // members it is the end of the content; the state stays as it is.
        if (atOpen)
            m_bPassThrough = true;
        return;
    }
    m_z.next_in += 2;
    m_z.avail_in -= 2;

    const int method = GetByte();
    const int flags = GetByte();
    if (method != GZIP_METHOD_DEFLATE || flags < 0 || (flags & FLAG_RESERVED)) {
        m_nState = Z_DATA_ERROR;
        return;
    }
    for (int i = 0; i < HEADER_FIXED_SKIP; ++i)
        GetByte();
    if (flags & FLAG_EXTRA) {
        const int low = GetByte();
        const int high = GetByte();
        int length = low < 0 || high < 0 ? 0 : low | (high << 8);
        while (length-- > 0 && GetByte() >= 0) {
        }
    }
    if (flags & FLAG_NAME)
        while (GetByte() > 0) {
        }
    if (flags & FLAG_COMMENT)
        while (GetByte() > 0) {
        }
    if (flags & FLAG_HEADER_CRC) {
        GetByte();
        GetByte();
    }
    m_nState = m_bExhausted ? Z_DATA_ERROR : Z_OK;
}

void oru_gz_stream::FinishMember()
{
    uint32_t storedCrc = 0;
    uint32_t storedLength = 0;
    if (!GetLong(storedCrc) || storedCrc != m_nCrc || !GetLong(storedLength)) {
        m_nState = Z_DATA_ERROR;
        return;
    }
    CheckHeader(false);
    if (m_nState == Z_OK) {
        inflateReset(&m_z);
        m_nCrc = 0;
    }
}

int oru_gz_stream::Read(void* pDst, uint32_t length)
{
    if (m_pBlocks)
        return m_pBlocks->Read(static_cast<uint8_t*>(pDst), length);
    if (m_nState == Z_STREAM_END)
        return 0;
    if (m_nState == Z_DATA_ERROR)
        return -1;
    length = std::min<uint32_t>(length, INT_MAX);
    if (length == 0)
        return 0;
    if (m_bPassThrough)
        return ReadThrough(static_cast<uint8_t*>(pDst), length);

    m_z.next_out = static_cast<Bytef*>(pDst);
    m_z.avail_out = length;
    while (m_z.avail_out > 0) {
        if (m_z.avail_in == 0 && !m_bExhausted && !Fetch())
            m_bExhausted = true;
        uint8_t* pStart = m_z.next_out;
        m_nState = inflate(&m_z, Z_NO_FLUSH);
        m_nCrc = UpdateCrc(m_nCrc, pStart, static_cast<size_t>(m_z.next_out - pStart));
        if (m_nState == Z_STREAM_END) {
            FinishMember();
            if (m_nState != Z_OK)
                break;
            continue;
        }
        // Deflate data that stops before its member ends is damaged, not a
        // shorter file: the content it promised is lost.
        if (m_nState == Z_BUF_ERROR && m_bExhausted) {
            m_nState = Z_DATA_ERROR;
            break;
        }
        if (m_nState != Z_OK || m_bExhausted)
            break;
    }
    const uint32_t produced = length - m_z.avail_out;
    m_nOut += produced;
    if (produced == 0 && m_nState == Z_DATA_ERROR)
        return -1;
    return static_cast<int>(produced);
}

// A preload knows where the whole content goes before reading any of it, so
// a member can be decoded in one call by libdeflate, several times faster
// than inflate taking 16 KiB of stored bytes at a time. Its answer is taken
// only where Read's must be the same: one member whose deflate data and
// trailer lie within the stored bytes, its CRC-32 right (the length field is
// ignored, as Read ignores it), its content no longer than the room, and no
// second member after it. Anything else (damage of any kind, a second member,
// a longer content) is refused and left to Read, so the rules for damaged data
// stay Read's alone. One gap remains, for crafted data only: libdeflate takes
// length symbols 286-287 and distance codes 30-31, which no encoder writes
// and inflate refuses, so such a member with a matching CRC-32 preloads where
// reading it through fails.
oru_gz_stream::EWholeDecode oru_gz_stream::DecodeWhole(uint8_t* pDst, uint64_t capacity, uint64_t& produced)
{
    produced = 0;
    uint64_t fileSize = 0;
    if (m_pBlocks || m_bPassThrough || m_nState != Z_OK || m_nOut != 0 || capacity == 0 || !DataFileSize(fileSize))
        return EWholeDecode::NotTried;

    // Every stored byte Read could ever see: the buffered ones, then the rest
    // of the chain. A chain holds fewer bytes than the data file (each sector
    // also carries its links), so that bound on the allocation cuts nothing.
    const uint64_t buffered = m_z.avail_in;
    const uint64_t unread = std::min<uint64_t>(m_pChain->Size() - m_pChain->Tell(), fileSize);
    std::unique_ptr<uint8_t[]> pStored(new (std::nothrow) uint8_t[buffered + unread]);
    std::unique_ptr<libdeflate_decompressor, CDecompressorFree> pDecompressor(libdeflate_alloc_decompressor());
    if (!pStored || !pDecompressor)
        return EWholeDecode::NotTried;
    std::memcpy(pStored.get(), m_z.next_in, buffered);
    const uint64_t stored = buffered + m_pChain->Read(pStored.get() + buffered, unread);

    size_t used = 0;
    size_t out = 0;
    const libdeflate_result result = libdeflate_deflate_decompress_ex(
        pDecompressor.get(), pStored.get(), stored, pDst, capacity, &used, &out);
    if (result == LIBDEFLATE_SUCCESS &&
        EndsAfterOneMember(pStored.get() + used, stored - used, UpdateCrc(0, pDst, out))) {
        std::memset(pDst + out, 0, std::min<uint64_t>(capacity - out, WHOLE_DECODE_SCRATCH_BYTES));
        m_nState = Z_STREAM_END;
        m_nOut = out;
        produced = out;
        return EWholeDecode::Decoded;
    }
    // Reading through starts where it would have without this attempt. A
    // chain that cannot be walked again to the start of the data leaves the
    // reader nowhere sensible: that is damage, as a failed fetch would be.
    if (Rewind() != 0)
        m_nState = Z_DATA_ERROR;
    return EWholeDecode::Refused;
}

// Buffered input first, then straight from the chain into the caller's
// buffer. Returns at once, even when short.
int oru_gz_stream::ReadThrough(uint8_t* pDst, uint32_t length)
{
    const uint32_t buffered = std::min<uint32_t>(m_z.avail_in, length);
    std::memcpy(pDst, m_z.next_in, buffered);
    m_z.next_in += buffered;
    m_z.avail_in -= buffered;
    size_t delivered = buffered;
    if (delivered < length)
        delivered += m_pChain->Read(pDst + delivered, length - delivered);
    m_nOut += delivered;
    if (delivered == 0)
        m_bExhausted = true;
    return static_cast<int>(delivered);
}

int oru_gz_stream::Rewind()
{
    m_nState = Z_OK;
    m_bExhausted = false;
    m_z.next_in = m_pInput.get();
    m_z.avail_in = 0;
    m_nCrc = 0;
    if (!m_bPassThrough)
        inflateReset(&m_z);
    m_nOut = 0;
    return m_pChain->Seek(m_nStart) ? 0 : -1;
}

int64_t oru_gz_stream::Seek(int64_t offset, int whence)
{
    if ((whence != SEEK_SET && whence != SEEK_CUR) || Tell() < 0)
        return -1;
    const int64_t position = Tell();
    if (whence == SEEK_CUR) {
        if (offset > INT64_MAX - position)
            return -1;
        offset += position;
    }
    if (offset < 0)
        return -1;
    if (m_pBlocks)
        return m_pBlocks->Seek(offset);
    // Staying put always works, also at the end, where telling must not fail.
    if (offset == position)
        return position;

    if (m_bPassThrough) {
        // Positions count from the start of the content; a target at or past
        // its end is refused, as is one the chain cannot reach. Either way
        // the stream stays where it was.
        const uint64_t stored = uint64_t{m_nStart} + static_cast<uint64_t>(offset);
        if (stored >= m_pChain->Size() || !m_pChain->Seek(stored))
            return -1;
        m_z.next_in = m_pInput.get();
        m_z.avail_in = 0;
        m_bExhausted = false;
        m_nOut = static_cast<uint64_t>(offset);
        return offset;
    }

    if (offset < position && Rewind() != 0)
        return -1;
    if (!m_pScratch) {
        m_pScratch.reset(new (std::nothrow) uint8_t[BUFFER_BYTES]);
        if (!m_pScratch)
            return -1;
    }
    while (static_cast<int64_t>(m_nOut) < offset) {
        const uint64_t left = static_cast<uint64_t>(offset) - m_nOut;
        const int got = Read(m_pScratch.get(), static_cast<uint32_t>(std::min<uint64_t>(left, BUFFER_BYTES)));
        if (got <= 0)
            return -1;
    }
    return static_cast<int64_t>(m_nOut);
}

}  // namespace oru::detail

// How a stream reads.
//
// A pack entry is read through three layers, each with one job: the sector
// chain (sector_chain.h) turns the entry's linked sectors into a run of stored
// bytes and reads them straight into the destination; the gzip reader
// (gz_stream.h) turns stored bytes into content, decompressing members or
// passing plain bytes through; this class adds the file-like face, memory
// mode and the return rules callers know.
//
// Every stream owns its descriptor. The pack opens the data file again for
// each stream instead of sharing one, so streams never disturb each other's
// position and stay valid when the pack closes.
//
// A loose file goes through zlib's own gzip file reader on a duplicate of the
// caller's descriptor: the caller's stdio stream is closed at once, the
// duplicate when the reader closes, so each descriptor is closed exactly once.
//
// Memory mode preloads the content and lets the reader go. What it allocates
// is bounded by what the stored bytes can really hold (deflate expands at most
// DEFLATE_MAX_EXPANSION times), never by a declared length alone, and the
// buffer is zero-filled past what was decoded.

#include <oru/pack/oru_file.h>

#include "pack/gz_stream.h"
#include "pack/pack_format.h"
#include "pack/sector_chain.h"
#include "platform/file.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

using oru::detail::oru_gz_stream;
using oru::platform::CFile;

namespace {

constexpr unsigned int READ_FAILED = 0xFFFFFFFFu;

uint32_t ClampToU32(uint64_t value)
{
    return static_cast<uint32_t>(std::min<uint64_t>(value, UINT32_MAX));
}

uint32_t RequestBytes(unsigned int size, unsigned int count)
{
    return static_cast<uint32_t>(std::min<uint64_t>(uint64_t{size} * count, INT_MAX));
}

}  // namespace

COruFile::COruFile(CFile&& dataFile, const _oru_pack_file_info& info, uint32_t sectorSize,
                   bool inMemory)
    : m_info(info), m_bPacked(true), m_bInMemory(inMemory)
{
    OpenEntry(std::move(dataFile), sectorSize);
}

COruFile::COruFile(std::FILE* file, _oru_pack_file_info& info, uint32_t sectorSize, bool inMemory)
    : m_info(info), m_bPacked(true), m_bInMemory(inMemory)
{
    uint64_t position = 0;
    OpenEntry(CFile::AdoptStdio(file, position), sectorSize);
}

COruFile::COruFile(std::FILE* file, bool inMemory) : m_bPacked(false), m_bInMemory(inMemory)
{
    uint64_t position = 0;
    CFile loose = CFile::AdoptStdio(file, position);
    OpenLoose(std::move(loose), position);
}

COruFile::~COruFile()
{
    if (m_pLoose)
        gzclose(m_pLoose);
}

void COruFile::OpenEntry(CFile&& dataFile, uint32_t sectorSize)
{
    m_dwFileSize = m_info.size;
    std::unique_ptr<oru::detail::CSectorChain> pChain(
        new (std::nothrow) oru::detail::CSectorChain(std::move(dataFile), m_info, sectorSize));
    if (!pChain)
        return;
    oru_gz_stream::CPrefix prefix;
    m_pStream = oru_gz_stream::Open(std::move(pChain), prefix);
    if (prefix.m_bWrapped)
        m_dwFileSize = prefix.m_nDeclared;
    if (m_bInMemory)
        PreloadEntry();
}

void COruFile::OpenLoose(CFile&& file, uint64_t position)
{
    uint64_t fileSize = 0;
    if (!file.IsOpen() || !file.Size(fileSize))
        return;
    const uint64_t available = fileSize > position ? fileSize - position : 0;
    uint8_t prefix[oru::detail::WRAPPER_PREFIX_BYTES] = {};
    const size_t got = file.ReadAt(position, prefix, sizeof prefix);
    uint64_t headerBytes = 0;
    if (got >= sizeof oru::detail::WRAPPER_MAGIC &&
        std::memcmp(prefix, oru::detail::WRAPPER_MAGIC, sizeof oru::detail::WRAPPER_MAGIC) == 0) {
        headerBytes = got;
        m_dwFileSize = got == sizeof prefix ? oru::detail::LoadU32(prefix + 8) : 0;
    } else {
        m_dwFileSize = ClampToU32(fileSize);
    }
    if (!file.SetPosition(position + headerBytes))
        return;
    const int fd = file.Release();
    m_pLoose = gzdopen(fd, "rb");
    if (!m_pLoose) {
        CFile::AdoptDescriptor(fd);  // closes it: zlib did not take it
        return;
    }
    if (m_bInMemory)
        PreloadLoose(available, headerBytes);
}

bool COruFile::AllocateMemory(uint64_t limit)
{
    const uint64_t bytes = std::min<uint64_t>(m_dwFileSize, limit);
    if (bytes == 0)
        return true;
    // calloc: pages past the decoded bytes stay untouched zeros.
    m_pMemBuffer.reset(static_cast<uint8_t*>(std::calloc(bytes, 1)));
    if (!m_pMemBuffer)
        return false;
    m_nMemSize = bytes;
    return true;
}

template <class F>
uint64_t COruFile::FillMemory(F read)
{
    uint64_t filled = 0;
    while (filled < m_nMemSize) {
        const uint32_t chunk = static_cast<uint32_t>(std::min<uint64_t>(m_nMemSize - filled, INT_MAX));
        const int got = read(m_pMemBuffer.get() + filled, chunk);
        if (got < 0)
            m_bMemDamaged = true;
        if (got <= 0)
            return filled;
        filled += static_cast<uint64_t>(got);
    }
    // A member's checksum is checked once its data has been read to the
    // end: one more read finds out whether the content ends clean.
    uint8_t probe = 0;
    if (read(&probe, 1) < 0)
        m_bMemDamaged = true;
    return filled;
}

void COruFile::PreloadEntry()
{
    if (!m_pStream)
        return;
    uint64_t dataFileSize = 0;
    if (!m_pStream->DataFileSize(dataFileSize))
        dataFileSize = 0;
    const uint64_t present = std::min<uint64_t>(m_pStream->StoredDataBytes(), dataFileSize);
    const uint64_t limit =
        m_pStream->IsPassThrough() ? present : present * oru::detail::DEFLATE_MAX_EXPANSION;
    // A damaged gzip member, or plain content whose chain breaks before its
    // end, would otherwise pass as good data with zeros where the rest
    // should be: the first fails the stream, the second makes it read short.
    const bool plain = m_pStream->IsPassThrough() && m_dwFileSize == m_info.size;
    if (AllocateMemory(limit)) {
        const uint64_t filled =
            FillMemory([this](uint8_t* p, uint32_t n) { return m_pStream->Read(p, n); });
        if (plain)
            m_nMemSize = filled;
    }
    m_pStream.reset();
}

void COruFile::PreloadLoose(uint64_t available, uint64_t headerBytes)
{
    const uint64_t stored = available > headerBytes ? available - headerBytes : 0;
    if (AllocateMemory(stored * oru::detail::DEFLATE_MAX_EXPANSION))
        FillMemory([this](uint8_t* p, uint32_t n) { return gzread(m_pLoose, p, n); });
    gzclose(m_pLoose);
    m_pLoose = nullptr;
}

unsigned int COruFile::Fread(void* buffer, unsigned int size, unsigned int count)
{
    if (m_bInMemory) {
        if (m_bMemDamaged)
            return READ_FAILED;
        if (size == 0)
            return 0;
        const uint64_t bytes = std::min<uint64_t>(uint64_t{size} * count, m_nMemSize - m_nMemPos);
        if (bytes > 0)
            std::memcpy(buffer, m_pMemBuffer.get() + m_nMemPos, bytes);
        m_nMemPos += bytes;
        return static_cast<unsigned int>(bytes / size);
    }
    int got = -1;
    if (m_bPacked && m_pStream)
        got = m_pStream->Read(buffer, RequestBytes(size, count));
    else if (!m_bPacked && m_pLoose)
        got = gzread(m_pLoose, buffer, RequestBytes(size, count));
    return got < 0 ? READ_FAILED : static_cast<unsigned int>(got);
}

unsigned int COruFile::read(void* buffer, unsigned int length)
{
    return Fread(buffer, length, 1);
}

bool COruFile::Fseek(long offset, int whence)
{
    if (m_bInMemory) {
        if (m_bMemDamaged)
            return false;
        int64_t base = 0;
        if (whence == SEEK_CUR)
            base = static_cast<int64_t>(m_nMemPos);
        else if (whence == SEEK_END)
            base = static_cast<int64_t>(m_nMemSize);
        else if (whence != SEEK_SET)
            return false;
        const int64_t target = base + offset;
        if (target < 0 || static_cast<uint64_t>(target) > m_nMemSize)
            return false;
        m_nMemPos = static_cast<uint64_t>(target);
        return true;
    }
    if (whence == SEEK_END)
        return false;
    if (m_bPacked)
        return m_pStream && m_pStream->Seek(offset, whence) != -1;
    return m_pLoose && gzseek(m_pLoose, offset, whence) != -1;
}

long COruFile::Ftell()
{
    if (m_bInMemory)
        return m_bMemDamaged ? -1 : static_cast<long>(m_nMemPos);
    if (m_bPacked)
        return m_pStream ? static_cast<long>(m_pStream->Tell()) : -1;
    return m_pLoose ? static_cast<long>(gztell(m_pLoose)) : -1;
}

int COruFile::Feof()
{
    if (m_bInMemory)
        return !m_bMemDamaged && m_nMemPos >= m_nMemSize ? 1 : 0;
    if (m_bPacked)
        return m_pStream && m_pStream->AtEnd() ? 1 : 0;
    return m_pLoose ? gzeof(m_pLoose) : 0;
}

uint32_t COruFile::GetFileSize()
{
    return m_dwFileSize;
}

unsigned int oru_fread(void* buffer, unsigned int size, unsigned int count, COruFile* file)
{
    return file ? file->Fread(buffer, size, count) : 0;
}

int oru_fseek(COruFile* file, long offset, int whence)
{
    return file && file->Fseek(offset, whence) ? 0 : 1;
}

int oru_feof(COruFile* file)
{
    return file ? file->Feof() : 0;
}

int oru_fclose(COruFile* file)
{
    if (!file)
        return -1;
    delete file;
    return 0;
}

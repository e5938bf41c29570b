// The three sources of a stream.
//
// A pack entry goes through the gzip reader over its sector chain, which
// recognises the wrapper and decodes or passes bytes through on its own.
//
// A loose file goes through zlib's gzip file reader on a duplicate of the
// caller's descriptor, positioned after the wrapper prefix when there is one:
// the caller's stdio stream is closed at once, the duplicate when the reader
// closes, so each descriptor is closed exactly once.
//
// Memory mode preloads the content from either of them and lets the reader
// go. What it allocates is bounded by what the stored bytes can really hold
// (deflate expands at most DEFLATE_MAX_EXPANSION times), never by a declared
// length alone, and the buffer is zero-filled past what was decoded. A gzip
// entry is first offered to the reader's one-call decode; what that refuses
// is read through as before. A preload that meets damaged data, or cannot
// have its memory or its reader, makes no source at all, so a failure is
// never handed out as content.

#include "pack/stream_source.h"

#include "pack/gz_stream.h"
#include "pack/sector_chain.h"
#include "platform/file.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace oru::detail {
namespace {

uint32_t ClampToU32(uint64_t value)
{
    return static_cast<uint32_t>(std::min<uint64_t>(value, UINT32_MAX));
}

// A streaming request in bytes, capped where the readers' int results end.
uint32_t RequestBytes(unsigned int size, unsigned int count)
{
    return static_cast<uint32_t>(std::min<uint64_t>(uint64_t{size} * count, INT_MAX));
}

unsigned int StreamResult(int got)
{
    return got < 0 ? READ_FAILED : static_cast<unsigned int>(got);
}

class CEntrySource final : public IStreamSource {
public:
    explicit CEntrySource(std::unique_ptr<oru_gz_stream> pStream) : m_pStream(std::move(pStream)) {}

    unsigned int Read(void* pDst, unsigned int size, unsigned int count) override
    {
        return StreamResult(m_pStream->Read(pDst, RequestBytes(size, count)));
    }
    bool Seek(long offset, int whence) override
    {
        return whence != SEEK_END && m_pStream->Seek(offset, whence) != -1;
    }
    long Tell() override { return static_cast<long>(m_pStream->Tell()); }
    bool AtEnd() override { return m_pStream->AtEnd(); }

    // Content bytes for a preload: the count, 0 at the end, -1 when damaged.
    int ReadContent(void* pDst, uint32_t size) { return m_pStream->Read(pDst, size); }
    oru_gz_stream::EWholeDecode DecodeWhole(uint8_t* pDst, uint64_t capacity, uint64_t& produced)
    {
        return m_pStream->DecodeWhole(pDst, capacity, produced);
    }
    oru_gz_stream& Stream() { return *m_pStream; }

private:
    std::unique_ptr<oru_gz_stream> m_pStream;
};

class CLooseSource final : public IStreamSource {
public:
    explicit CLooseSource(gzFile pFile) : m_pFile(pFile) {}
    ~CLooseSource() override { gzclose(m_pFile); }
    CLooseSource(const CLooseSource&) = delete;
    CLooseSource& operator=(const CLooseSource&) = delete;

    unsigned int Read(void* pDst, unsigned int size, unsigned int count) override
    {
        return StreamResult(ReadContent(pDst, RequestBytes(size, count)));
    }
    bool Seek(long offset, int whence) override
    {
        return whence != SEEK_END && gzseek(m_pFile, offset, whence) != -1;
    }
    long Tell() override { return static_cast<long>(gztell(m_pFile)); }
    bool AtEnd() override { return gzeof(m_pFile) != 0; }

    int ReadContent(void* pDst, uint32_t size) { return gzread(m_pFile, pDst, size); }
    // zlib's gzip file reader keeps its own rules for members and damage:
    // a loose file is always read through.
    oru_gz_stream::EWholeDecode DecodeWhole(uint8_t*, uint64_t, uint64_t&)
    {
        return oru_gz_stream::EWholeDecode::NotTried;
    }

private:
    gzFile m_pFile;
};

class CMemorySource final : public IStreamSource {
public:
    struct CFreeDeleter {
        void operator()(uint8_t* p) const { std::free(p); }
    };
    using CBuffer = std::unique_ptr<uint8_t, CFreeDeleter>;

    CMemorySource(CBuffer pBuffer, uint64_t size) : m_pBuffer(std::move(pBuffer)), m_nSize(size) {}

    // Whole items; a partial item still moves the position.
    unsigned int Read(void* pDst, unsigned int size, unsigned int count) override
    {
        if (size == 0)
            return 0;
        const uint64_t bytes = std::min<uint64_t>(uint64_t{size} * count, m_nSize - m_nPos);
        if (bytes > 0)
            std::memcpy(pDst, m_pBuffer.get() + m_nPos, bytes);
        m_nPos += bytes;
        return static_cast<unsigned int>(bytes / size);
    }
    bool Seek(long offset, int whence) override
    {
        int64_t base = 0;
        if (whence == SEEK_CUR)
            base = static_cast<int64_t>(m_nPos);
        else if (whence == SEEK_END)
            base = static_cast<int64_t>(m_nSize);
        else if (whence != SEEK_SET)
            return false;
        const int64_t target = base + offset;
        if (target < 0 || static_cast<uint64_t>(target) > m_nSize)
            return false;
        m_nPos = static_cast<uint64_t>(target);
        return true;
    }
    long Tell() override { return static_cast<long>(m_nPos); }
    bool AtEnd() override { return m_nPos >= m_nSize; }

private:
    CBuffer m_pBuffer;
    uint64_t m_nSize;  // bytes of content in the buffer
    uint64_t m_nPos = 0;
};

// A stream without a source fails every call; a pack hands out none at all.
std::unique_ptr<IStreamSource> PreloadFailed(CSourceInfo& info)
{
    info.m_bPreloadFailed = true;
    return nullptr;
}

// `capacity` zeroed bytes in place of what `pBuffer` held, which goes first;
// calloc leaves the pages past the decoded bytes untouched zeros. False when
// they cannot be had (none are needed for 0).
bool ZeroedBuffer(uint64_t capacity, CMemorySource::CBuffer& pBuffer)
{
    pBuffer.reset();
    if (capacity > 0)
        pBuffer.reset(static_cast<uint8_t*>(std::calloc(capacity, 1)));
    return capacity == 0 || pBuffer;
}

std::unique_ptr<IStreamSource> MemorySource(CMemorySource::CBuffer pBuffer, uint64_t size,
                                            CSourceInfo& info)
{
    std::unique_ptr<IStreamSource> pSource(new (std::nothrow) CMemorySource(std::move(pBuffer), size));
    return pSource ? std::move(pSource) : PreloadFailed(info);
}

// Fills `pBuffer` through `reader` until it is full or the content ends;
// returns the bytes filled. `damaged` is set when a read reported damage.
template <class TReader>
uint64_t Fill(TReader& reader, uint8_t* pBuffer, uint64_t capacity, bool& damaged)
{
    uint64_t filled = 0;
    while (filled < capacity) {
        const uint32_t chunk = static_cast<uint32_t>(std::min<uint64_t>(capacity - filled, INT_MAX));
        const int got = reader.ReadContent(pBuffer + filled, chunk);
        if (got < 0)
            damaged = true;
        if (got <= 0)
            return filled;
        filled += static_cast<uint64_t>(got);
    }
    // A member's checksum is checked once its data has been read to the
    // end: one more read finds out whether the content ends clean.
    uint8_t probe = 0;
    if (reader.ReadContent(&probe, 1) < 0)
        damaged = true;
    return filled;
}

// Preloads min(content size, limit) bytes from `reader`: in one call where
// the reader can, else read by read. The content is what the reads
// delivered, exactly what a streaming read gives: a wrapper that declares
// more than its data holds gets no zeros made up after the real end. Null,
// with `info.m_bPreloadFailed`, when the content proved damaged or no buffer
// could be had.
template <class TReader>
std::unique_ptr<IStreamSource> Preload(TReader& reader, uint64_t limit, CSourceInfo& info)
{
    const uint64_t capacity = std::min<uint64_t>(info.m_nContentSize, limit);
    CMemorySource::CBuffer pBuffer;
    if (!ZeroedBuffer(capacity, pBuffer))
        return PreloadFailed(info);
    uint64_t filled = 0;
    const auto whole = reader.DecodeWhole(pBuffer.get(), capacity, filled);
    if (whole == oru_gz_stream::EWholeDecode::Decoded)
        return MemorySource(std::move(pBuffer), filled, info);
    // A refused decode may have left bytes anywhere: start again from zeros.
    if (whole == oru_gz_stream::EWholeDecode::Refused && !ZeroedBuffer(capacity, pBuffer))
        return PreloadFailed(info);
    bool damaged = false;
    filled = Fill(reader, pBuffer.get(), capacity, damaged);
    if (damaged)
        return PreloadFailed(info);
    return MemorySource(std::move(pBuffer), filled, info);
}

std::unique_ptr<IStreamSource> PreloadEntry(CEntrySource& entry, CSourceInfo& info)
{
    oru_gz_stream& stream = entry.Stream();
    uint64_t dataFileSize = 0;
    if (!stream.DataFileSize(dataFileSize))
        dataFileSize = 0;
    const uint64_t present = std::min<uint64_t>(stream.StoredDataBytes(), dataFileSize);
    const uint64_t limit = stream.IsPassThrough() ? present : present * DEFLATE_MAX_EXPANSION;
    // A damaged gzip member fails the preload; content that ends early
    // (a chain that breaks, a wrapper that declares too much) reads short.
    return Preload(entry, limit, info);
}

}  // namespace

std::unique_ptr<IStreamSource> OpenEntrySource(platform::CFile&& dataFile,
                                               const _oru_pack_file_info& entry,
                                               uint32_t sectorSize, bool inMemory,
                                               CSourceInfo& info)
{
    info = CSourceInfo();
    info.m_nContentSize = entry.size;
    std::unique_ptr<CSectorChain> pChain(
        new (std::nothrow) CSectorChain(std::move(dataFile), entry, sectorSize));
    std::unique_ptr<oru_gz_stream> pStream;
    if (pChain) {
        CWrapperPrefix prefix;
        pStream = oru_gz_stream::Open(std::move(pChain), prefix);
        if (prefix.m_bWrapped)
            info.m_nContentSize = prefix.m_nDeclared;
    }
    const bool blocked = pStream && pStream->IsBlocked();
    std::unique_ptr<CEntrySource> pSource(pStream ? new (std::nothrow) CEntrySource(std::move(pStream))
                                                  : nullptr);
    if (!inMemory) {
        info.m_bChecksAsItReads = blocked && pSource;
        return pSource;
    }
    return pSource ? PreloadEntry(*pSource, info) : PreloadFailed(info);
}

std::unique_ptr<IStreamSource> OpenLooseSource(platform::CFile&& file, uint64_t position,
                                               bool inMemory, CSourceInfo& info)
{
    info = CSourceInfo();
    uint64_t fileSize = 0;
    if (!file.IsOpen() || !file.Size(fileSize))
        return inMemory ? PreloadFailed(info) : nullptr;
    uint8_t start[WRAPPER_PREFIX_BYTES] = {};
    const size_t got = file.ReadAt(position, start, sizeof start);
    const CWrapperPrefix prefix = ParseWrapperPrefix(start, got);
    info.m_nContentSize = prefix.m_bWrapped ? prefix.m_nDeclared : ClampToU32(fileSize);
    if (!file.SetPosition(position + prefix.m_nBytes))
        return inMemory ? PreloadFailed(info) : nullptr;
    const int fd = file.ReleaseAsRuntimeDescriptor();
    gzFile pFile = fd >= 0 ? gzdopen(fd, "rb") : nullptr;
    if (!pFile) {
        platform::CFile::CloseRuntimeDescriptor(fd);  // zlib did not take it
        return inMemory ? PreloadFailed(info) : nullptr;
    }
    std::unique_ptr<CLooseSource> pSource(new (std::nothrow) CLooseSource(pFile));
    if (!pSource) {
        gzclose(pFile);
        return inMemory ? PreloadFailed(info) : nullptr;
    }
    if (!inMemory)
        return pSource;
    const uint64_t available = fileSize > position ? fileSize - position : 0;
    const uint64_t stored = available > prefix.m_nBytes ? available - prefix.m_nBytes : 0;
    return Preload(*pSource, stored * DEFLATE_MAX_EXPANSION, info);
}

}  // namespace oru::detail

#pragma once

// Where a stream's content comes from. COruFile picks its source once, when
// it is made, and forwards every call to it, so no call asks which kind of
// stream it is. There are three sources:
//
// - a pack entry, read through the gzip reader over its sector chain;
// - a loose file, read through zlib's own gzip file functions;
// - content preloaded into memory from either of them.
//
// Each answers with the rules COruFile's callers know: streaming sources
// count bytes and answer damaged data with READ_FAILED, the memory source
// counts whole items.

#include "pack/pack_format.h"

#include <cstdint>
#include <memory>

namespace oru::platform {
class CFile;
}

namespace oru::detail {

// What a streaming read returns when it meets damaged data.
constexpr unsigned int READ_FAILED = 0xFFFFFFFFu;

class IStreamSource {
public:
    virtual ~IStreamSource() = default;

    // Reads up to size * count bytes: the number COruFile::Fread returns.
    virtual unsigned int Read(void* pDst, unsigned int size, unsigned int count) = 0;
    // whence: 0 from the start, 1 from the position, 2 from the end. False
    // where the source refuses the target.
    virtual bool Seek(long offset, int whence) = 0;
    // The content position; -1 once the data proved damaged.
    virtual long Tell() = 0;
    // True at the end of the content, by the source's own rule.
    virtual bool AtEnd() = 0;
};

// What a source was made from, and what it knows before the first read.
struct CSourceInfo {
    uint32_t m_nContentSize = 0;    // the wrapper's declared length, else the stored or file length
    bool m_bPreloadFailed = false;  // a preload met damaged data or lacked memory: no source was made
    bool m_bChecksAsItReads = false;  // streaming blocked members (oru_gz_stream::IsBlocked)
};

// A source over a pack entry stored on `dataFile` (which it keeps). With
// `inMemory` the content is preloaded. Null when the reader could not be
// made, and when a preload failed (`info.m_bPreloadFailed`): it met damaged
// data, or memory for the content or the reader could not be had.
std::unique_ptr<IStreamSource> OpenEntrySource(platform::CFile&& dataFile,
                                               const _oru_pack_file_info& entry,
                                               uint32_t sectorSize, bool inMemory,
                                               CSourceInfo& info);
// A source over a loose file whose content starts at `position` (the file is
// kept). Null as for OpenEntrySource.
std::unique_ptr<IStreamSource> OpenLooseSource(platform::CFile&& file, uint64_t position,
                                               bool inMemory, CSourceInfo& info);

}  // namespace oru::detail

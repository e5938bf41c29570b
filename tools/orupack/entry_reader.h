#pragma once

// CEntryReader: one open file of a mounted pack. The file system may read it
// at any offset, from several threads at once; each read either delivers
// exactly the content bytes asked for (fewer only at the end of the content)
// or fails, never a byte that is not the entry's content.

#include "mount_tree.h"
#include "tool_support.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace orupack {

class CEntryReader {
public:
    // Decoded content up to this size is kept in memory after it has been
    // checked; larger content is checked once and then decoded again as read.
    static constexpr uint64_t MEMORY_LIMIT = 8u << 20;

    CEntryReader(const CDataFile& data, const CMountNode& file, uint32_t sectorSize);

    // Reads up to `size` bytes at content offset `offset` into `pDst`: the
    // count delivered (0 at or past the end), or a negative errno: -EIO when
    // the stored data is damaged, -ENOMEM when a buffer cannot be had.
    // Thread-safe.
    long ReadAt(uint64_t offset, uint8_t* pDst, size_t size);

private:
    using CStream = std::unique_ptr<COruFile, int (*)(COruFile*)>;

    // Decodes the whole content once, before any of it is given out: a gzip
    // member's checksum is only known at its end. 0 or a negative errno.
    int CheckDecoded();
    // Reads exactly `size` bytes at `offset` through the stream, moving it
    // there first (a fresh stream when it cannot seek).
    bool StreamRead(uint64_t offset, uint8_t* pDst, size_t size);
    // Reads from the stream's position until `size` bytes came; false when
    // the content ends or proves damaged before that.
    bool ReadFully(uint8_t* pDst, size_t size);
    bool Reopen();

    const CDataFile& m_data;
    const CMountNode& m_file;
    uint32_t m_nSectorSize;
    std::mutex m_cs;
    CStream m_pStream{nullptr, oru_fclose};
    int m_nChecked = 1;                 // decoded content: 1 not yet, then CheckDecoded's result
    std::vector<uint8_t> m_vecContent;  // checked decoded content, when small enough
};

// The readers of the small files read last in one snapshot of the pack,
// shared by every open of such a file, so that a file opened again (or by
// two programs) is decoded once, and its stream goes on where the last read
// ended. Thread-safe.
class CReaderCache {
public:
    // Readers kept beyond the reads in progress: with content kept up to
    // CEntryReader::MEMORY_LIMIT each, this bounds what the cache holds.
    static constexpr size_t KEPT_READERS = 8;

    CReaderCache(const CDataFile& data, uint32_t sectorSize) : m_data(data), m_nSectorSize(sectorSize) {}

    // The reader of `file`, shared with every other read of it while it is
    // kept; null when memory runs out.
    std::shared_ptr<CEntryReader> Get(const CMountNode& file);

private:
    using CKept = std::pair<const CMountNode*, std::shared_ptr<CEntryReader>>;

    const CDataFile& m_data;
    uint32_t m_nSectorSize;
    std::mutex m_cs;
    std::vector<CKept> m_vecKept;  // the most recently read last
};

}  // namespace orupack

#pragma once

// The content reader of a pack entry: gzip members decoded with zlib's raw
// inflate, or the stored bytes passed through when they are not gzip data.
//
// Members follow each other; each one's CRC-32 is checked against its
// trailer, and bytes after the last member that do not start another one end
// the content. A wrong method, a reserved flag bit, a CRC mismatch, or input
// that ends inside a header, the deflate data or a trailer damage the reader
// for good: the read that meets the fault returns what it decoded before it,
// and every later read, tell and seek fails.
//
// Seeking forward decodes up to the target; seeking backward rewinds to the
// start of the data and decodes again, because deflate cannot be entered in
// the middle. A rewind restores the form found at open, so bytes after the
// last member never turn a compressed entry into a pass-through one.
//
// Content written as blocked members (gz_blocks.h), whose headers give each
// member's size, is read by a CBlockReader instead: a member at a time,
// decoded whole, and seeks go straight to the member that holds the target.

#include <oru/core/non_copyable.h>

#include "pack/gz_block_reader.h"
#include "pack/pack_format.h"
#include "pack/sector_chain.h"

#include <zlib.h>

#include <cstdint>
#include <memory>

namespace oru::detail {

class oru_gz_stream : private COruNonCopyable {
public:
    // Input is fetched in runs of this many bytes; the scratch buffer for
    // skipping has the same size.
    static constexpr size_t BUFFER_BYTES = 16384;

    // Creates the reader over `pChain`, positioned at stored offset 0: takes
    // the wrapper prefix if there is one (`prefix` says what it found), then
    // the first member's header. Null when memory for it cannot be had; the
    // chain is then released.
    // `useBlockSizes` false reads blocked members as plain ones, as a reader
    // that knows nothing of their sizes would (for checks).
    static std::unique_ptr<oru_gz_stream> Open(std::unique_ptr<CSectorChain> pChain,
                                               CWrapperPrefix& prefix, bool useBlockSizes = true);
    ~oru_gz_stream();

    // Up to `length` content bytes (at most INT32_MAX): the count produced, 0
    // at the end, -1 when the data is damaged and nothing came before it.
    int Read(void* pDst, uint32_t length);
    // Moves to a content offset (whence 0 from the start, 1 from the current
    // position; from the end is refused). The new position, or -1.
    int64_t Seek(int64_t offset, int whence);
    // The content position, or -1 when damaged.
    int64_t Tell() const
    {
        if (m_pBlocks)
            return m_pBlocks->Tell();
        return m_nState == Z_DATA_ERROR ? -1 : static_cast<int64_t>(m_nOut);
    }
    // Nonzero once a read ran out of input or the last member has ended.
    bool AtEnd() const { return m_pBlocks ? m_pBlocks->AtEnd() : m_bExhausted || m_nState == Z_STREAM_END; }
    bool IsPassThrough() const { return m_bPassThrough; }
    // True when the content is blocked members: every piece is checked
    // before it is given out, and seeks cost one member's decoding.
    bool IsBlocked() const { return m_pBlocks != nullptr; }

    enum class EWholeDecode {
        NotTried,  // pass-through, damaged, already read, or no room: pDst untouched
        Decoded,   // pDst holds the content, zeros after it; the reader is at its end
        Refused,   // pDst holds anything; the reader is back at the start of the content
    };
    // For a preload into `pDst` (`capacity` bytes, zero-filled): decodes the
    // whole content in one call where that gives exactly what reading it
    // through would, and says how it went. `produced` is the content length
    // when Decoded. Allocates the stored bytes once, bounded by the data file.
    EWholeDecode DecodeWhole(uint8_t* pDst, uint64_t capacity, uint64_t& produced);
    // Stored bytes from the start of the content data to the entry's end.
    uint32_t StoredDataBytes() const { return m_pChain->Size() - m_nStart; }
    bool DataFileSize(uint64_t& size) const { return m_pChain->DataFileSize(size); }

private:
    explicit oru_gz_stream(std::unique_ptr<CSectorChain> pChain);

    bool Initialise();
    // Refills the input buffer after what is still in it; false when no byte came.
    bool Fetch();
    // The next stored byte, or -1 at the end of the input.
    int GetByte();
    // Four stored bytes as a little-endian value; false at the end of the input.
    bool GetLong(uint32_t& value);
    // Parses a member header at the input. At open it also decides between
    // gzip and pass-through; between members, anything but the gzip ID ends
    // the content instead.
    void CheckHeader(bool atOpen);
    // After a member's deflate data: checks its trailer and starts the next
    // member, or ends the content.
    void FinishMember();
    int ReadThrough(uint8_t* pDst, uint32_t length);
    int Rewind();

    std::unique_ptr<CSectorChain> m_pChain;
    z_stream m_z{};
    bool m_bInflateReady = false;
    int m_nState = Z_OK;          // Z_OK, Z_STREAM_END, Z_DATA_ERROR or inflate's last result
    bool m_bExhausted = false;    // a fetch of input got nothing
    bool m_bPassThrough = false;  // decided at open, never changed afterwards
    std::unique_ptr<uint8_t[]> m_pInput;
    std::unique_ptr<uint8_t[]> m_pScratch;
    uint32_t m_nCrc = 0;          // CRC-32 of the current member's content so far
    uint32_t m_nStart = 0;        // stored offset where the content data begins
    uint64_t m_nOut = 0;          // content bytes produced: the position
    std::unique_ptr<CBlockReader> m_pBlocks;  // blocked members: reads and seeks go there
};

}  // namespace oru::detail

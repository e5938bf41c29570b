#pragma once

// Packs assembled byte by byte for the tests, without the library's writer:
// an index image and a data file image built straight from the layout, with
// chains placed on whatever sectors a test names (out of order, broken,
// cyclic), plus gzip members built with zlib and patched by hand; and the
// content of streams and entries read back through the library.

#include <oru/pack/oru_pack.h>

#include "support/file_bytes.h"
#include "support/wide_text.h"

#include <cstdint>
#include <string>
#include <vector>

namespace oru::test {

using Bytes = std::vector<uint8_t>;

Bytes ToBytes(const std::string& text);
// `count` bytes that do not compress, the same for the same seed.
inline Bytes Pattern(size_t count, uint32_t seed = 1)
{
    return Noise<Bytes>(count, seed);
}
void AppendU16(Bytes& out, uint16_t value);
void AppendU32(Bytes& out, uint32_t value);
void AppendU64(Bytes& out, uint64_t value);

// One gzip member holding `content`, deflated by zlib; the header flags
// select optional fields, which are filled in by hand.
Bytes GzipMember(const Bytes& content, uint8_t flags = 0);
// "ORUGZIP1", the declared length, then `data`.
Bytes Wrap(const Bytes& data, uint32_t declared);

class CPackImage {
public:
    explicit CPackImage(uint32_t sectorSize) : m_nSectorSize(sectorSize) {}

    // Puts `stored` on `sectors` in that chain order with well-formed links
    // (first prev = itself, last next = itself) and records an entry.
    // `name` is given as UTF-16 code units. An empty `stored` uses one sector.
    void Store(const std::u16string& name, const Bytes& stored, const std::vector<uint32_t>& sectors);
    // Overwrites the links of one sector, to damage a chain.
    void SetLinks(uint32_t sector, uint32_t next, uint32_t prev);

    Bytes IndexBytes() const;
    Bytes DataBytes() const;
    // Writes <base>.odx and <base>.opk.
    void Write(const std::string& base) const;

    uint32_t m_nSectorSize;
    uint32_t m_nFileCountOverride = UINT32_MAX;  // a claim other than the real count
    Bytes m_data;                                // the data file so far
    uint32_t m_nSectorCount = 0;

private:
    struct CEntry {
        std::u16string m_name;
        uint32_t m_nSize, m_nFirst, m_nSectors;
    };
    void Grow(uint32_t sectors);
    std::vector<CEntry> m_entries;
    std::vector<bool> m_used;
};

// Reads `file` in pieces of the given sizes, cycling through them, until a
// read returns 0 or fails.
Bytes ReadInPieces(COruFile& file, const std::vector<unsigned int>& sizes);
// The rest of `file`, read in pieces of `pieceSize` bytes.
Bytes ReadAll(COruFile& file, unsigned int pieceSize = 4096);
// The whole content of entry `name` opened through `pack`; a missing entry
// fails the test and reads as nothing.
Bytes ReadEntry(COruPack& pack, const std::wstring& name, bool inMemory = false,
                unsigned int pieceSize = 4096);

}  // namespace oru::test

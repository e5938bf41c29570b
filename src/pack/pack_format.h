#pragma once

// The bytes of a pack, in one place: the records of the index and the data
// file, the scrambled entry names, the sector usage table, where a sector
// lies in the data file, and the prefix of a compressed stored file.
//
// An index file is a header, then per entry its encoded name and its
// _oru_pack_file_info, then the usage table. The data file is an array of
// sectors, each a link pair (next, prev) and sector_size payload bytes; an
// entry's bytes are the payloads of its chain, cut at its size. The first
// sector of a chain links back to itself, the last one forward to itself.
//
// Everything here is pure: no files, no allocation beyond the strings and
// vectors it fills. Decoders take untrusted bytes with their length and never
// read past it.

#include <oru/pack/pack_records.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace oru::detail {

#pragma pack(push, 1)
// The link pair at the start of every sector of the data file.
struct _oru_pack_sector_links {
    uint32_t next;  // the next sector of the chain; the sector itself in the last one
    uint32_t prev;  // the previous sector; the sector itself in the first one
};
#pragma pack(pop)
static_assert(sizeof(_oru_pack_sector_links) == 8, "a sector starts with 8 link bytes");

constexpr uint32_t PACK_VERSION = 1;
constexpr uint64_t SECTOR_LINK_BYTES = sizeof(_oru_pack_sector_links);
// Data-file positions must stay representable as a signed 32-bit value, so a
// data file stays below this many bytes.
constexpr uint64_t DATA_FILE_LIMIT = uint64_t{1} << 31;

// Every unit of a stored name, the terminator included, is XORed with this.
constexpr uint16_t NAME_MASK = 0x00B5;

// A stored file that starts with these 8 bytes, then a 32-bit content length,
// holds gzip data (or, rarely, plain bytes) after those 12 bytes.
constexpr char WRAPPER_MAGIC[8] = {'O', 'R', 'U', 'G', 'Z', 'I', 'P', '1'};
constexpr size_t WRAPPER_PREFIX_BYTES = 12;

// What the first bytes of a stored file say about its form.
struct CWrapperPrefix {
    bool m_bWrapped = false;   // they begin with WRAPPER_MAGIC
    uint32_t m_nDeclared = 0;  // the declared content length; 0 when the prefix is cut short
    size_t m_nBytes = 0;       // prefix bytes present, skipped before the data: 0, or 8 to 12

    bool IsWhole() const { return m_nBytes == WRAPPER_PREFIX_BYTES; }
};

// Deflate never expands data more than this many times: the most a stored
// compressed byte can turn into, used to bound preloading whatever a
// declared length claims.
constexpr uint64_t DEFLATE_MAX_EXPANSION = 1032;

inline uint32_t LoadU32(const uint8_t* p)
{
    uint32_t value;
    std::memcpy(&value, p, sizeof value);  // the host is little-endian, like the format
    return value;
}

inline void StoreU32(uint8_t* p, uint32_t value)
{
    std::memcpy(p, &value, sizeof value);
}

// Where sector `sector` starts in the data file. 64-bit, so no sector number
// or size read from a file can overflow it.
constexpr uint64_t SectorOffset(uint32_t sector, uint32_t sectorSize)
{
    return uint64_t{sector} * (uint64_t{sectorSize} + SECTOR_LINK_BYTES);
}

// Where byte `offsetInPayload` of sector `sector`'s payload lies.
constexpr uint64_t PayloadOffset(uint32_t sector, uint32_t sectorSize, uint32_t offsetInPayload)
{
    return SectorOffset(sector, sectorSize) + SECTOR_LINK_BYTES + offsetInPayload;
}

// Sectors a stored file of `size` bytes occupies: ceil(size / sectorSize), and
// one for an empty file, which still owns its first sector.
constexpr uint32_t SectorsForSize(uint32_t size, uint32_t sectorSize)
{
    if (size == 0)
        return 1;
    return static_cast<uint32_t>((uint64_t{size} + sectorSize - 1) / sectorSize);
}

// True when a data file of `sectorCount` sectors of `sectorSize` payload bytes
// stays below DATA_FILE_LIMIT. A sector size of 0 never fits.
constexpr bool DataFileFits(uint64_t sectorCount, uint32_t sectorSize)
{
    return sectorSize != 0 &&
           sectorCount * (uint64_t{sectorSize} + SECTOR_LINK_BYTES) < DATA_FILE_LIMIT;
}

// Reads the wrapper prefix from the first `length` bytes of a stored file,
// however few. A file cut inside the length still counts as wrapped, with
// nothing declared: its data starts after the bytes that are there.
CWrapperPrefix ParseWrapperPrefix(const uint8_t* bytes, size_t length);
// Writes the WRAPPER_PREFIX_BYTES of a wrapper declaring `declared` bytes.
void WriteWrapperPrefix(uint32_t declared, uint8_t* pOut);

// Names travel as UTF-16 code units. A code point above U+FFFF becomes a
// surrogate pair; a valid pair read back becomes one code point; a lone
// surrogate stays its own value both ways.
//
// Appends the encoded name and its terminator to `out`. False, with `out`
// unchanged, when the name holds a 0 (it would end the name early) or a value
// above U+10FFFF (no UTF-16 form).
bool EncodeName(std::wstring_view name, std::string& out);
// True when EncodeName would take `name`: no 0 inside, and every character
// has a UTF-16 form.
bool NameStorable(std::wstring_view name);
// Decodes one name from the start of `bytes` into `name`. `consumed` receives
// the bytes taken, terminator included. False when no terminator lies within
// `bytes`.
bool DecodeName(const uint8_t* bytes, size_t length, std::wstring& name, size_t& consumed);
// Orders names as the index stores them: by UTF-16 code units, unsigned, a
// prefix first. Differs from plain wide-string order only for names that mix
// code points above U+FFFF with ones from U+E000 to U+FFFF.
bool Utf16Less(std::wstring_view a, std::wstring_view b);

// An entry name as lookups and additions use it: A-Z become a-z, whatever
// the process locale; nothing else changes.
std::wstring FoldName(std::wstring_view name);

// The usage table holds one bit per sector, sector i in bit (i % 8) of byte
// i / 8, then one more byte for the sectors left over (0 when none are).
constexpr uint64_t UsageTableBytes(uint32_t sectorCount)
{
    return uint64_t{sectorCount} / 8 + 1;
}
// Appends the table for `used` (one flag per sector, nonzero = used) to `out`.
void PackUsageTable(const std::vector<uint8_t>& used, std::string& out);
// Reads the table of `sectorCount` sectors from `bytes` into `used` (replaced,
// one 0/1 flag per sector). False, with `used` unchanged, when `length` is
// shorter than the table.
bool UnpackUsageTable(const uint8_t* bytes, size_t length, uint32_t sectorCount,
                      std::vector<uint8_t>& used);

}  // namespace oru::detail

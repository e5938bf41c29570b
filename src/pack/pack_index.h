#pragma once

// Reading an index file: the header, the entry records and, for a pack opened
// for writing, the sector usage table.
//
// The index comes from outside and carries no checksum, so every count in it
// is a claim. The whole file is read at once (its real size bounds the only
// large allocation) and parsed from memory, so a file_count or sector_count
// larger than the bytes could describe simply runs into the end of them.

#include <oru/pack/oru_pack.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace oru::detail {

// Where the parsed index goes. The directory index and the usage table are
// filled only when their pointers are given.
struct CIndexTables {
    _oru_pack_header* m_pHeader;
    COruPack::FileList* m_pFiles;
    COruPack::DirIndex* m_pDirIndex;       // read mode
    std::vector<uint8_t>* m_pSectorUsed;  // write mode
};

// Parses an index image into `tables`. True when the image held everything
// its header announced; false when it ended early, with the complete records
// before that point kept (the header too, when it was whole). A later record
// with the same name replaces the earlier one.
bool ParseIndex(const uint8_t* bytes, size_t length, const CIndexTables& tables);

// Reads a whole file into `bytes`; false when it cannot be opened or read,
// or memory for it cannot be had.
bool ReadWholeFile(const std::string& pathUtf8, std::vector<uint8_t>& bytes);

}  // namespace oru::detail

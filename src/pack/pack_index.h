#pragma once

// Reading an index file: the header, the entry records and, for a pack opened
// for writing, the sector usage table.
//
// The index comes from outside and carries no checksum, so every count in it
// is a claim. The parser asks for bytes before it uses them and stops where
// they run out, so a file_count or sector_count larger than the bytes could
// describe simply runs into their end. ReadIndex takes the file a piece at a
// time, so a large index never sits in memory next to the tables built from
// it; ParseIndex does the same work on an image already in memory.

#include <oru/pack/oru_pack.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace oru::detail {

// Where the parsed index goes. The directory index and the usage table are
// filled only when their pointers are given; the directory index refers to
// the entries of `m_pFiles`.
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

// Files entries of a file list under their top directory (the text before
// the first backslash), in the order they are given; names without a
// backslash are not filed. Index order keeps one directory's names together,
// so the list used last is tried first. Throws std::bad_alloc.
class CDirIndexFiler {
public:
    explicit CDirIndexFiler(COruPack::DirIndex& dirIndex) : m_dirIndex(dirIndex) {}
    void Add(COruPack::FileList::const_iterator entry);

private:
    COruPack::DirIndex& m_dirIndex;
    COruPack::DirList* m_pLastList = nullptr;
    std::wstring m_strLastDir;
};

enum class eIndexRead {
    UNREADABLE,  // the file could not be opened or its size asked; nothing parsed
    DAMAGED,     // it ended (or a read failed) early: as ParseIndex's false
    WHOLE,       // everything its header announced was there
};

// Parses the index file at `pathUtf8` into `tables` as ParseIndex does,
// reading it in pieces. Memory beyond the tables stays near one piece; it
// grows only for a single name or usage table that needs more, and never
// past the bytes the file really holds.
eIndexRead ReadIndex(const std::string& pathUtf8, const CIndexTables& tables);

// Reads a whole file into `bytes`; false when it cannot be opened or read,
// or memory for it cannot be had.
bool ReadWholeFile(const std::string& pathUtf8, std::vector<uint8_t>& bytes);

}  // namespace oru::detail

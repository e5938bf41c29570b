#include "pack/pack_index.h"

#include "pack/pack_format.h"
#include "platform/file.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>

namespace oru::detail {
namespace {

// Large enough that reading costs a few calls per megabyte, small enough to
// vanish next to the tables of any index worth reading in pieces.
constexpr size_t READ_PIECE_BYTES = 64 * 1024;

// The unread bytes of an index, handed out in order. Over an image in memory
// they are all there from the start. Over a file they are read into one
// buffer a piece at a time; the bytes already taken are dropped from it, so
// the buffer only grows when a single request is larger than it, and never
// past what the file still holds.
class CIndexBytes {
public:
    CIndexBytes(const uint8_t* bytes, size_t length) : m_pData(bytes), m_nAvailable(length) {}
    CIndexBytes(const platform::CFile& file, uint64_t fileSize) : m_pFile(&file), m_nFileLeft(fileSize) {}

    const uint8_t* Data() const { return m_pData; }
    size_t Available() const { return m_nAvailable; }
    void Consume(size_t count)
    {
        m_pData += count;
        m_nAvailable -= count;
    }
    // Makes at least `count` bytes available; false when the index ends (or a
    // read fails, or memory runs out) first.
    bool Need(size_t count);

private:
    const platform::CFile* m_pFile = nullptr;  // null over an image in memory
    uint64_t m_nFileLeft = 0;                  // file bytes not read yet
    uint64_t m_nFileOffset = 0;                // where the next read starts
    std::vector<uint8_t> m_vecBuffer;
    const uint8_t* m_pData = nullptr;
    size_t m_nAvailable = 0;
};

bool CIndexBytes::Need(size_t count)
{
    if (count <= m_nAvailable)
        return true;
    if (count - m_nAvailable > m_nFileLeft)
        return false;

    const size_t kept = m_nAvailable;
    if (count > m_vecBuffer.size()) {
        const uint64_t wanted = std::max<uint64_t>({count, READ_PIECE_BYTES, uint64_t{2} * m_vecBuffer.size()});
        std::vector<uint8_t> larger;
        try {
            larger.resize(static_cast<size_t>(std::min<uint64_t>(wanted, kept + m_nFileLeft)));
        } catch (const std::bad_alloc&) {
            return false;
        }
        std::copy_n(m_pData, kept, larger.data());
        m_vecBuffer.swap(larger);
    } else if (kept > 0) {
        std::memmove(m_vecBuffer.data(), m_pData, kept);
    }
    m_pData = m_vecBuffer.data();

    const size_t piece = static_cast<size_t>(std::min<uint64_t>(m_vecBuffer.size() - kept, m_nFileLeft));
    if (!m_pFile->ReadExactAt(m_nFileOffset, m_vecBuffer.data() + kept, piece)) {
        m_nFileLeft = 0;  // a file that cannot be read on ends here, as a cut one does
        return false;
    }
    m_nFileOffset += piece;
    m_nFileLeft -= piece;
    m_nAvailable = kept + piece;
    return true;
}

// Takes the next entry's name and record; false when the bytes end before
// both are whole.
bool TakeRecord(CIndexBytes& bytes, std::wstring& name, _oru_pack_file_info& info)
{
    size_t nameBytes = 0;
    while (!DecodeName(bytes.Data(), bytes.Available(), name, nameBytes) ||
           bytes.Available() - nameBytes < sizeof info)
        if (!bytes.Need(bytes.Available() + 1))
            return false;
    std::memcpy(&info, bytes.Data() + nameBytes, sizeof info);
    bytes.Consume(nameBytes + sizeof info);
    return true;
}

bool Parse(CIndexBytes& bytes, const CIndexTables& tables)
{
    if (!bytes.Need(sizeof(_oru_pack_header)))
        return false;
    std::memcpy(tables.m_pHeader, bytes.Data(), sizeof(_oru_pack_header));
    bytes.Consume(sizeof(_oru_pack_header));

    try {
        std::wstring name;
        _oru_pack_file_info info;
        std::optional<CDirIndexFiler> filer;
        if (tables.m_pDirIndex)
            filer.emplace(*tables.m_pDirIndex);
        auto hint = tables.m_pFiles->end();
        for (uint32_t i = 0; i < tables.m_pHeader->file_count; ++i) {
            if (!TakeRecord(bytes, name, info))
                return false;
            const size_t before = tables.m_pFiles->size();
            const auto entry = tables.m_pFiles->insert_or_assign(hint, name, info);
            // The writer's order makes the next name belong right after this
            // one. Stepping past the last entry would climb the whole tree,
            // so the end is named directly there.
            hint = entry == std::prev(tables.m_pFiles->end()) ? tables.m_pFiles->end() : std::next(entry);
            if (filer && tables.m_pFiles->size() != before)
                filer->Add(entry);
        }
        if (tables.m_pSectorUsed) {
            const uint64_t tableBytes = UsageTableBytes(tables.m_pHeader->sector_count);
            if (!bytes.Need(static_cast<size_t>(tableBytes)) ||
                !UnpackUsageTable(bytes.Data(), bytes.Available(), tables.m_pHeader->sector_count,
                                  *tables.m_pSectorUsed))
                return false;
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

}  // namespace

void CDirIndexFiler::Add(COruPack::FileList::const_iterator entry)
{
    const std::wstring& name = entry->first;
    const size_t slash = name.find(L'\\');
    if (slash == std::wstring::npos)
        return;
    if (!m_pLastList || name.compare(0, slash, m_strLastDir) != 0) {
        m_strLastDir.assign(name, 0, slash);
        auto& pList = m_dirIndex[m_strLastDir];
        if (!pList)
            pList = std::make_unique<COruPack::DirList>();
        m_pLastList = pList.get();
    }
    m_pLastList->push_back(entry);
}

bool ParseIndex(const uint8_t* bytes, size_t length, const CIndexTables& tables)
{
    CIndexBytes image(bytes, length);
    return Parse(image, tables);
}

eIndexRead ReadIndex(const std::string& pathUtf8, const CIndexTables& tables)
{
    const platform::CFile file = platform::CFile::OpenRead(pathUtf8);
    uint64_t size = 0;
    if (!file.IsOpen() || !file.Size(size))
        return eIndexRead::UNREADABLE;
    CIndexBytes pieces(file, size);
    return Parse(pieces, tables) ? eIndexRead::WHOLE : eIndexRead::DAMAGED;
}

bool ReadWholeFile(const std::string& pathUtf8, std::vector<uint8_t>& bytes)
{
    const platform::CFile file = platform::CFile::OpenRead(pathUtf8);
    uint64_t size = 0;
    if (!file.IsOpen() || !file.Size(size) || size > SIZE_MAX / 2)
        return false;
    try {
        bytes.resize(size);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return file.ReadExactAt(0, bytes.data(), bytes.size());
}

}  // namespace oru::detail

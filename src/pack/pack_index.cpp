#include "pack/pack_index.h"

#include "pack/pack_format.h"
#include "platform/file.h"

#include <cstring>
#include <new>

namespace oru::detail {
namespace {

// Files its name under the top directory (the text before the first
// backslash). Index order keeps one directory's names together, so the last
// list used is tried first.
void AddToDirIndex(COruPack::DirIndex& dirIndex, const std::wstring& name,
                   std::vector<std::wstring>*& pLastList, std::wstring& lastDir)
{
    const size_t slash = name.find(L'\\');
    if (slash == std::wstring::npos)
        return;
    if (!pLastList || lastDir.compare(0, std::wstring::npos, name, 0, slash) != 0) {
        lastDir.assign(name, 0, slash);
        auto& pList = dirIndex[lastDir];
        if (!pList)
            pList = std::make_unique<std::vector<std::wstring>>();
        pLastList = pList.get();
    }
    pLastList->push_back(name);
}

}  // namespace

bool ParseIndex(const uint8_t* bytes, size_t length, const CIndexTables& tables)
{
    if (length < sizeof(_oru_pack_header))
        return false;
    std::memcpy(tables.m_pHeader, bytes, sizeof(_oru_pack_header));
    size_t pos = sizeof(_oru_pack_header);

    try {
        std::wstring name;
        std::wstring lastDir;
        std::vector<std::wstring>* pLastList = nullptr;
        auto hint = tables.m_pFiles->end();
        for (uint32_t i = 0; i < tables.m_pHeader->file_count; ++i) {
            size_t nameBytes = 0;
            if (!DecodeName(bytes + pos, length - pos, name, nameBytes) ||
                length - pos - nameBytes < sizeof(_oru_pack_file_info))
                return false;
            pos += nameBytes;
            _oru_pack_file_info info;
            std::memcpy(&info, bytes + pos, sizeof info);
            pos += sizeof info;

            const size_t before = tables.m_pFiles->size();
            hint = tables.m_pFiles->insert_or_assign(hint, name, info);
            ++hint;  // the writer's order makes the next name belong right after this one
            if (tables.m_pDirIndex && tables.m_pFiles->size() != before)
                AddToDirIndex(*tables.m_pDirIndex, name, pLastList, lastDir);
        }
        if (tables.m_pSectorUsed &&
            !UnpackUsageTable(bytes + pos, length - pos, tables.m_pHeader->sector_count,
                              *tables.m_pSectorUsed))
            return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
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

// A folder of loose files as a layer of a pack set: what a developer edits
// on top of the packed data, so that a file saved there wins over the packed
// one at the next refresh.

#include "pack/pack_layer.h"

#include "core/utf8.h"
#include "pack/pack_format.h"
#include "platform/file.h"
#include "platform/files.h"

#include <algorithm>
#include <new>
#include <vector>

namespace oru::detail {
namespace {

// The record of a loose file: its size (up to what a record holds), its
// creation and write times, and no sectors; a change to any shows as a
// changed entry. The access time is left out, as reading the file would
// change it.
_oru_pack_file_info LooseRecord(uint64_t size, const platform::CFileTimes& times)
{
    _oru_pack_file_info info{};
    info.size = static_cast<uint32_t>(std::min<uint64_t>(size, UINT32_MAX));
    info.creation_time = times.m_nCreation;
    info.last_write_time = times.m_nWrite;
    return info;
}

}  // namespace

std::unique_ptr<CFolderLayer> CFolderLayer::Load(const std::wstring& path)
try {
    const std::optional<std::string> root = ToUtf8(path);
    if (!root || !platform::IsFolder(*root))
        return nullptr;
    std::unique_ptr<CFolderLayer> pLayer(new CFolderLayer(path));
    pLayer->m_strRoot = *root;
    // Watched before the first look, so that nothing saved in between is missed.
    pLayer->m_watch.Start(pLayer->m_strRoot);
    pLayer->m_watch.MayHaveChanged();
    if (!pLayer->Scan())
        return nullptr;
    pLayer->LoadRemovals();
    return pLayer;
} catch (const std::bad_alloc&) {
    return nullptr;
}

// Folders are walked with a list of their own, so a deep tree costs memory,
// not stack. A file whose path has no UTF-8 form or holds a '\' cannot have
// an entry name and is left out.
bool CFolderLayer::Scan()
{
    COruPack::FileList entries;
    std::map<std::wstring, std::string> paths;
    std::vector<std::string> folders{std::string()};
    std::vector<platform::CFolderEntry> found;
    bool rootRead = false;
    while (!folders.empty()) {
        const std::string relative = std::move(folders.back());
        folders.pop_back();
        found.clear();
        const bool read = platform::ListFolder(relative.empty() ? m_strRoot : m_strRoot + "/" + relative, found);
        rootRead = rootRead || (relative.empty() && read);
        for (const platform::CFolderEntry& entry : found) {
            const std::string path = relative.empty() ? entry.m_strName : relative + "/" + entry.m_strName;
            if (entry.m_eKind == platform::eEntryKind::FOLDER) {
                folders.push_back(path);
                continue;
            }
            uint64_t size = 0;
            platform::CFileTimes times{};
            std::optional<std::wstring> name = FromUtf8(path);
            if (!name || name->find(L'\\') != std::wstring::npos ||
                !platform::FileSizeAndTimes(m_strRoot + "/" + path, size, times))
                continue;
            std::replace(name->begin(), name->end(), L'/', L'\\');
            const std::wstring folded = FoldName(*name);
            const auto [it, added] = paths.emplace(folded, path);
            if (!added && it->second > path)
                continue;
            it->second = path;
            entries[folded] = LooseRecord(size, times);
        }
    }
    if (!rootRead)
        return false;
    m_mapEntries.swap(entries);
    m_mapPaths.swap(paths);
    return true;
}

bool CFolderLayer::Take(const std::wstring& name, const _oru_pack_file_info&, CEntryOpening& opening)
{
    const auto it = m_mapPaths.find(name);
    if (it == m_mapPaths.end())
        return false;
    opening.m_file = platform::CFile::OpenRead(m_strRoot + "/" + it->second);
    opening.m_pMake = MakeStream;
    return opening.m_file.IsOpen();
}

COruFile* CFolderLayer::MakeStream(CEntryOpening&& opening, bool inMemory)
{
    std::unique_ptr<COruFile> pFile(new (std::nothrow) COruFile(std::move(opening.m_file), inMemory));
    if (!pFile || pFile->m_bPreloadFailed)
        return nullptr;
    return pFile.release();
}

bool CFolderLayer::Refresh()
{
    if (!m_watch.MayHaveChanged())
        return false;
    if (!Scan()) {
        // The folder is gone or unreadable: it holds nothing until it is back.
        m_mapEntries.clear();
        m_mapPaths.clear();
    }
    LoadRemovals();
    return true;
}

}  // namespace oru::detail

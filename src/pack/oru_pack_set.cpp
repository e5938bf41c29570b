// A pack set merges its layers into one view, which it keeps as a map of its
// own: a look-up is one search of that map whatever the number of layers,
// and so is a miss. The view is merged again whenever the layers change
// (one is added or removed, or a refresh found one changed on disk), from
// the top layer down: a name goes to the first layer that holds it, unless a
// layer above that one removes it. The layers' positions in the view tell
// OpenFile which layer opens the entry, by the record the view holds.
//
// What a refresh reports is the difference between the view before and
// after, entry by entry: an entry is the same when the same layer serves it
// with the same record. So a change inside a layer that a higher one hides
// is not reported, and an entry that falls through to a lower layer when a
// higher one drops it is.

#include <oru/pack/oru_pack_set.h>

#include "crash/open_files.h"
#include "pack/pack_follow.h"
#include "pack/pack_format.h"
#include "pack/pack_layer.h"
#include "pack/pack_removals.h"

#include <cstring>
#include <new>
#include <unordered_set>

COruPackSet::COruPackSet() = default;

COruPackSet::~COruPackSet() = default;

bool COruPackSet::AddPack(const std::wstring& path, const OruPackChangeCallback& onChange)
{
    if (HasLayer(path))
        return false;
    return AddLayer(oru::detail::CPackLayer::Load(path), onChange);
}

bool COruPackSet::AddFolder(const std::wstring& path, const OruPackChangeCallback& onChange)
{
    if (HasLayer(path))
        return false;
    return AddLayer(oru::detail::CFolderLayer::Load(path), onChange);
}

bool COruPackSet::AddLayer(CLayerPtr pLayer, const OruPackChangeCallback& onChange)
{
    if (!pLayer)
        return false;
    FileList before;
    std::vector<uint64_t> idsBefore;
    {
        COruLock lock(m_csOpen);
        try {
            idsBefore = m_vecLayerIds;
            m_vecLayerIds.reserve(m_vecLayerIds.size() + 1);
            m_vecLayers.push_back(std::move(pLayer));
        } catch (const std::bad_alloc&) {
            return false;
        }
        m_vecLayerIds.push_back(m_nNextLayerId++);
        if (!Merge(before)) {
            m_vecLayers.pop_back();
            m_vecLayerIds.pop_back();
            return false;
        }
    }
    Report(before, idsBefore, onChange);
    return true;
}

bool COruPackSet::RemoveLayer(const std::wstring& path, const OruPackChangeCallback& onChange)
{
    FileList before;
    std::vector<uint64_t> idsBefore;
    CLayerPtr pRemoved;  // closed once the lock is released
    {
        COruLock lock(m_csOpen);
        size_t position = 0;
        while (position < m_vecLayers.size() && m_vecLayers[position]->Path() != path)
            ++position;
        if (position == m_vecLayers.size())
            return false;
        try {
            idsBefore = m_vecLayerIds;
        } catch (const std::bad_alloc&) {
            return false;
        }
        pRemoved = std::move(m_vecLayers[position]);
        m_vecLayers.erase(m_vecLayers.begin() + static_cast<ptrdiff_t>(position));
        m_vecLayerIds.erase(m_vecLayerIds.begin() + static_cast<ptrdiff_t>(position));
        // Without memory for the new view, none at all: the old one names
        // layers by positions that have moved.
        if (!Merge(before)) {
            m_mapFileList.clear();
            m_bMergePending = true;
            return true;
        }
    }
    Report(before, idsBefore, onChange);
    return true;
}

uint32_t COruPackSet::GetLayerCount() const
{
    return static_cast<uint32_t>(m_vecLayers.size());
}

bool COruPackSet::HasLayer(const std::wstring& path) const
{
    for (const CLayerPtr& pLayer : m_vecLayers)
        if (pLayer->Path() == path)
            return true;
    return false;
}

// As in COruPack::OpenFile, the lock covers only finding the entry and
// taking its descriptor; the stream's reads run outside it.
COruFile* COruPackSet::OpenFile(const std::wstring& name, bool inMemory)
{
    const std::wstring folded = oru::detail::FoldName(name);
    oru::detail::CEntryOpening opening;
    {
        COruLock lock(m_csOpen);
        const auto it = m_mapFileList.find(folded);
        if (it == m_mapFileList.end() ||
            !m_vecLayers[it->second.m_nLayer]->Take(it->first, it->second.m_info, opening))
            return nullptr;
    }
    COruFile* pFile = opening.Make(inMemory);
    if (pFile)
        oru::detail::NoteStreamName(pFile, name);
    return pFile;
}

bool COruPackSet::RefreshOruPackSet(const OruPackChangeCallback& onChange)
{
    FileList before;
    std::vector<uint64_t> idsBefore;
    {
        COruLock lock(m_csOpen);
        bool changed = m_bMergePending;
        try {
            idsBefore = m_vecLayerIds;
            for (const CLayerPtr& pLayer : m_vecLayers)
                changed = pLayer->Refresh() || changed;
        } catch (const std::bad_alloc&) {
            if (idsBefore.size() != m_vecLayerIds.size())
                return false;  // nothing taken in yet
            changed = true;    // a layer may have half taken in its change
        }
        if (!changed)
            return false;
        // A layer's new index may come with a new data file: a view that
        // still holds its old records must not be read from.
        if (!Merge(before)) {
            m_mapFileList.clear();
            m_bMergePending = true;
            return false;
        }
    }
    bool viewChanged = false;
    Report(before, idsBefore, [&](const std::wstring& name, ORU_PACK_CHANGE change) {
        viewChanged = true;
        if (onChange)
            onChange(name, change);
    });
    return viewChanged;
}

bool COruPackSet::Merge(FileList& before)
try {
    FileList merged;
    std::unordered_set<std::wstring> removedAbove;
    for (size_t position = m_vecLayers.size(); position-- > 0;) {
        const oru::detail::IPackLayer& layer = *m_vecLayers[position];
        for (const auto& [name, info] : layer.Entries()) {
            if (oru::detail::IsReservedName(name) || removedAbove.count(name))
                continue;
            merged.emplace(name, CEntry{info, static_cast<uint32_t>(position)});
        }
        removedAbove.insert(layer.Removals().begin(), layer.Removals().end());
    }
    before.swap(m_mapFileList);
    m_mapFileList.swap(merged);
    m_bMergePending = false;
    return true;
} catch (const std::bad_alloc&) {
    return false;
}

void COruPackSet::Report(const FileList& before, const std::vector<uint64_t>& idsBefore,
                         const OruPackChangeCallback& onChange) const
{
    oru::detail::ReportMapChanges(
        before, m_mapFileList,
        [&](const CEntry& old, const CEntry& now) {
            return idsBefore[old.m_nLayer] == m_vecLayerIds[now.m_nLayer] &&
                   std::memcmp(&old.m_info, &now.m_info, sizeof old.m_info) == 0;
        },
        onChange);
}

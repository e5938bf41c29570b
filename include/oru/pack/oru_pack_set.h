#pragma once

// COruPackSet: several packs, and folders of loose files, searched as one.
//
// A shipped game reads a base pack, the patches laid over it, downloadable
// content and players' mods; during development, a folder of loose files
// that artists edit lies on top of them all. A set holds these as an ordered
// list of layers, lowest first, and shows their merged view: a name is
// served by the highest layer that holds it, unless a layer between removes
// it. A pack removes names of the layers below it through its removal list,
// an ordinary entry named ".oru\removed" (UTF-8, one stored name a line);
// names beginning with ".oru\" are the set's own and never part of the view.
//
// Streams keep every rule of COruPack::OpenFile and COruFile: the name is
// folded to lower case before it is looked up, memory mode, and a preload
// that meets damaged data opening nothing. Pack layers are read-only packs
// opened as OpenOruPack would open them, with their guarantees toward
// editors; none of them becomes OruPack(), which a set leaves alone.
//
// OpenFile may be called from several threads at once. Changing the layers
// (Add..., RemoveLayer) and RefreshOruPackSet happen between frames: not
// while another thread iterates the file list; an OpenFile on another thread
// waits for them.

#include <oru/core/critical_section.h>
#include <oru/core/export.h>
#include <oru/core/non_copyable.h>
#include <oru/pack/oru_file.h>
#include <oru/pack/oru_pack.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace oru::detail {
class IPackLayer;
}
namespace oru::tools {
class CPackAccess;
}

class ORU_API COruPackSet : private COruNonCopyable {
public:
    // One entry of the merged view: the record of the layer that serves it
    // (a loose file's holds its size, creation and write
    // times, and no sectors or access time) and that
    // layer's position, 0 being the lowest.
    struct CEntry {
        _oru_pack_file_info m_info;
        uint32_t m_nLayer;
    };
    using FileList = std::map<std::wstring, CEntry>;

    COruPackSet();
    // Closes every layer; streams opened through the set stay valid.
    ~COruPackSet();

    // Lays the pack at `path` (no extension) over the layers there are.
    // False, with nothing changed, when its index cannot be read, a layer of
    // that path is already in the set, or memory runs out. `onChange`, when
    // given, hears each entry of the merged view the new layer added,
    // changed or removed, as RefreshOruPackSet reports them.
    bool AddPack(const std::wstring& path, const OruPackChangeCallback& onChange = nullptr);
    // The same for a folder of loose files: entry names are the paths below
    // it with '\' between folders, folded to lower case. False when `path`
    // is not a folder. The folder is watched from now on, for
    // RefreshOruPackSet; where the kernel cannot watch all of it (no
    // watches left), every refresh looks through the folder instead.
    bool AddFolder(const std::wstring& path, const OruPackChangeCallback& onChange = nullptr);
    // Takes out the layer opened with `path`; false when there is none.
    bool RemoveLayer(const std::wstring& path, const OruPackChangeCallback& onChange = nullptr);
    uint32_t GetLayerCount() const;

    // The merged view, by stored name; no lock.
    const FileList* GetFileList() const { return &m_mapFileList; }
    // A new stream over the entry `name` (folded) of the merged view; the
    // caller owns it. Null as COruPack::OpenFile. Thread-safe.
    COruFile* OpenFile(const std::wstring& name, bool inMemory);

    // Takes in what changed on disk: packs saved anew (as RefreshOruPack),
    // files saved, added or removed in folder layers (the kernel's reports).
    // When the merged view changed, reports each of its entries added,
    // changed (now served by another layer, or other content or times) or
    // removed through `onChange` (may be empty), in name order, and returns
    // true; an entry that changed in a layer hidden by a higher one is no
    // change of the view. Otherwise false; when nothing changed on disk it
    // costs one system call per layer that never waits. Between frames, and
    // not from `onChange`.
    bool RefreshOruPackSet(const OruPackChangeCallback& onChange = nullptr);

private:
    friend class oru::tools::CPackAccess;  // the pack tool reads its layers' packs

    using CLayerPtr = std::unique_ptr<oru::detail::IPackLayer>;
    // Puts `pLayer` on top and merges the view again; false, nothing
    // changed, when it is null or memory runs out.
    bool AddLayer(CLayerPtr pLayer, const OruPackChangeCallback& onChange);
    // Merges the view again from the layers; the view before goes to
    // `before`. False, with the view unchanged, when memory runs out.
    bool Merge(FileList& before);
    // Reports what changed from `before`, whose layers had the ids
    // `idsBefore` by position, to the view now.
    void Report(const FileList& before, const std::vector<uint64_t>& idsBefore,
                const OruPackChangeCallback& onChange) const;
    bool HasLayer(const std::wstring& path) const;

    std::vector<CLayerPtr> m_vecLayers;  // lowest first
    std::vector<uint64_t> m_vecLayerIds;  // one per layer, never reused: tells layers apart across changes
    uint64_t m_nNextLayerId = 1;
    FileList m_mapFileList;
    bool m_bMergePending = false;  // the view was dropped for want of memory
    COruCriticalSection m_csOpen;  // OpenFile against changes of the layers and the view
};

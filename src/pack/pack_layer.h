#pragma once

// The layers of a pack set (COruPackSet): a pack, or a folder of loose files.
//
// A layer knows its own entries, by stored name, with a record each, and the
// names it removes from the layers below it (its removal list, see
// pack_removals.h). It opens a stream over one of its entries by the record
// the set took from it, and it follows its files on disk: Refresh reloads
// what changed and says whether anything did. The set merges the layers; a
// layer never looks at another.

#include <oru/core/non_copyable.h>
#include <oru/pack/oru_pack.h>

#include "platform/file.h"
#include "platform/file_watch.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_set>

namespace oru::detail {

// What a stream over one entry needs, taken from its layer while the set's
// lock is held; the stream is then made from it with no lock held (and
// perhaps after the layer is gone), so preloads on several threads run at
// once.
struct CEntryOpening {
    platform::CFile m_file;              // the pack's data file, or the loose file
    _oru_pack_file_info m_info{};
    uint32_t m_nSectorSize = 0;
    COruFile* (*m_pMake)(CEntryOpening&& opening, bool inMemory) = nullptr;

    // The stream, owned by the caller; null as COruPack::OpenFile.
    COruFile* Make(bool inMemory) { return m_pMake ? m_pMake(std::move(*this), inMemory) : nullptr; }
};

class IPackLayer : private COruNonCopyable {
public:
    virtual ~IPackLayer() = default;

    // The layer's entries by stored name, reserved names included.
    virtual const COruPack::FileList& Entries() const = 0;
    // Takes what a stream over the entry `name` with record `info` (both as
    // Entries gave them) needs; false when it cannot be had.
    virtual bool Take(const std::wstring& name, const _oru_pack_file_info& info,
                      CEntryOpening& opening) = 0;
    // Take and Make at once.
    COruFile* Open(const std::wstring& name, const _oru_pack_file_info& info, bool inMemory);
    // Takes in what changed on disk since the last call; true when the
    // entries or the removals may differ. Cheap when nothing changed.
    virtual bool Refresh() = 0;
    // The pack of a pack layer, for the pack tools; null for a folder.
    virtual const COruPack* Pack() const { return nullptr; }

    // The names this layer removes from the layers below it.
    const std::unordered_set<std::wstring>& Removals() const { return m_setRemovals; }
    // The path the layer was opened with, as given.
    const std::wstring& Path() const { return m_strPath; }

protected:
    explicit IPackLayer(const std::wstring& path) : m_strPath(path) {}
    // Reads the layer's removal list again, through Open; an unreadable or
    // oversized list removes nothing. Throws std::bad_alloc.
    void LoadRemovals();

private:
    std::wstring m_strPath;
    std::unordered_set<std::wstring> m_setRemovals;
};

// A pack opened read-only, with every guarantee of COruPack's read mode: its
// data file is marked as read before the index is loaded, and its streams
// keep the mark. Its COruPack never becomes the process's OruPack().
class CPackLayer final : public IPackLayer {
public:
    // Null when the pack's index cannot be read or memory runs out.
    static std::unique_ptr<CPackLayer> Load(const std::wstring& path);

    const COruPack::FileList& Entries() const override { return *m_pPack->GetFileList(); }
    bool Take(const std::wstring& name, const _oru_pack_file_info& info,
              CEntryOpening& opening) override;
    bool Refresh() override;
    const COruPack* Pack() const override { return m_pPack.get(); }

private:
    explicit CPackLayer(const std::wstring& path) : IPackLayer(path) {}
    static COruFile* MakeStream(CEntryOpening&& opening, bool inMemory);

    std::unique_ptr<COruPack> m_pPack;
};

// A folder of loose files: entry names are the paths below the folder with
// '\' between folders, folded as a pack stores them. Regular files (and
// symbolic links to them) are entries; links to folders are not followed.
// Where two files' names differ only in case, the later in path order wins.
// A file's record holds its size, creation and write times, and no
// sectors or access time.
class CFolderLayer final : public IPackLayer {
public:
    // Null when `path` is not a folder or memory runs out.
    static std::unique_ptr<CFolderLayer> Load(const std::wstring& path);

    const COruPack::FileList& Entries() const override { return m_mapEntries; }
    bool Take(const std::wstring& name, const _oru_pack_file_info& info,
              CEntryOpening& opening) override;
    // Looks at the folder again only when the kernel reported a change in
    // it (or cannot watch it).
    bool Refresh() override;

private:
    explicit CFolderLayer(const std::wstring& path) : IPackLayer(path) {}
    static COruFile* MakeStream(CEntryOpening&& opening, bool inMemory);
    // Lists the tree into the tables; false when the folder cannot be read.
    bool Scan();

    std::string m_strRoot;                          // UTF-8
    COruPack::FileList m_mapEntries;
    std::map<std::wstring, std::string> m_mapPaths;  // entry name -> path below the root, UTF-8
    platform::CTreeWatch m_watch;
};

}  // namespace oru::detail

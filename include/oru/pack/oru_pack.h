#pragma once

// COruPack: the process-wide manager of one pack, an index file
// (<path>.odx) and a data file (<path>.opk). It loads the index into memory,
// finds entries by name and opens streams over them; opened for writing it
// also keeps the sector usage table and the data file so that entries can be
// added and deleted, and saves the index when the pack is closed.
//
// Names are looked up folded to lower case (A-Z only, whatever the process
// locale); names read from an index are kept as stored. Only OpenFile takes a lock
// (m_csOpen), so streams may be opened from several threads at once; every
// other member must be called from one thread at a time, and not while
// OpenFile runs.

#include <oru/core/critical_section.h>
#include <oru/core/export.h>
#include <oru/core/singleton.h>
#include <oru/pack/oru_file.h>
#include <oru/pack/pack_records.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace oru::platform {
class CFile;
struct CFileTimes;
struct CReadPiece;
}
namespace oru::tools {
class CPackAccess;
}
namespace oru::detail {
struct CPackFollow;
class CPackLayer;
}

enum ORU_PACK_MODE : uint32_t {
    ORU_PACK_MODE_READ = 0,   // index records only; streams open the data file themselves
    ORU_PACK_MODE_WRITE = 1,  // also the usage table and the data file; creates a new pack
};

// What RefreshOruPack reports of one entry.
// How the last OpenOruPack went: write mode answers false both for a new
// pack and for a refusal, and this tells them apart.
enum ORU_PACK_OPEN_RESULT : uint32_t {
    ORU_PACK_OPEN_NONE = 0,     // no open yet
    ORU_PACK_OPENED = 1,        // an existing pack was opened (OpenOruPack said true)
    ORU_PACK_CREATED = 2,       // write mode: a new pack was created and is open for writing
    ORU_PACK_OPEN_BUSY = 3,     // write mode: another editor holds the pack; nothing held
    ORU_PACK_OPEN_FAILED = 4,   // missing, damaged, unreadable or refused; nothing held
};

enum ORU_PACK_CHANGE : uint32_t {
    ORU_PACK_ENTRY_ADDED = 0,
    ORU_PACK_ENTRY_CHANGED = 1,  // other content, or other times
    ORU_PACK_ENTRY_REMOVED = 2,
};
// Called once for each entry that a refresh found added, changed or removed,
// with its stored name, in name order.
using OruPackChangeCallback = std::function<void(const std::wstring& name, ORU_PACK_CHANGE change)>;

class COruPack;
extern template class ORU_API CSingleton<COruPack>;

class ORU_API COruPack : public CSingleton<COruPack> {
public:
    using FileList = std::map<std::wstring, _oru_pack_file_info>;
    // One top directory's entries, as positions in the file list: each name
    // is held once, by the file list. A type of its own rather than an alias,
    // so that the names of the index's template code stay short enough for
    // debuggers that keep symbol names in a fixed buffer.
    struct DirList : std::vector<FileList::const_iterator> {};
    using DirIndex = std::map<std::wstring, std::unique_ptr<DirList>>;

    // Nothing open, tables empty; registers itself as the singleton instance.
    COruPack();
    // Copies the tables, mode, paths and modified flag. A copy never holds
    // the data file (so it cannot edit the pack), gets a fresh lock, is not
    // registered as the singleton instance, and gets a directory index of its
    // own, built over its own file list (in name order).
    COruPack(const COruPack& other);
    COruPack& operator=(const COruPack& other);
    // Closes the pack (saving a modified index) and clears the registration.
    ~COruPack();

    // Loads the pack at `path` (no extension) in `mode`; the previous tables
    // are dropped first. Read mode: false when the index cannot be read or is
    // damaged (the complete records before the damage are kept). Write mode:
    // takes the pack's editing lock, held until CloseOruPack; true when an
    // existing pack was opened (even if its data file could not be: then
    // nothing can be edited); false when a new pack was created (it is open
    // for writing all the same), and false with nothing held, created or
    // saved when another editor holds the lock, when an index exists but
    // cannot be read or is damaged, when there is no index but the data file
    // holds bytes, or when `sectorSize` cannot make a pack (0, or sectors too
    // large). `sectorSize` matters only when a new pack is created. Files
    // that are not regular files (FIFOs, devices, folders) are refused
    // without waiting.
    bool OpenOruPack(const std::wstring& path, ORU_PACK_MODE mode, uint32_t sectorSize);
    // How the last OpenOruPack of this object went (ORU_PACK_OPEN_NONE before
    // the first): ORU_PACK_CREATED, ORU_PACK_OPEN_BUSY or ORU_PACK_OPEN_FAILED
    // where write mode answered false.
    ORU_PACK_OPEN_RESULT GetLastOpenResult() const { return m_eLastOpen; }
    // Closes the data file and saves a modified index (write mode), and drops
    // the directory index. The file list and header stay; always true.
    bool CloseOruPack();
    // The in-memory index, for reading or iterating; no lock.
    FileList* GetFileList();
    _oru_pack_header* GetPackInfo();
    // The prefix AddFile puts before a name to find its source; kept as given.
    bool SetWorkDir(const std::wstring& dir);
    // A new stream over the entry `name` (folded), with its own descriptor on
    // the data file; the caller owns it (oru_fclose or delete). Null when the
    // name is not in the pack or the data file cannot be opened, and when a
    // preload (`inMemory`) meets damaged data or lacks memory. Thread-safe.
    COruFile* OpenFile(const std::wstring& name, bool inMemory);

    // Follows a pack that another process edits while this one reads it
    // (read mode only). When the index on disk was saved anew since it was
    // loaded, loads the new one, reports each entry added, changed or
    // removed through `onChange` (which may be empty), and returns true; the
    // game then releases and reloads those resources. Otherwise returns
    // false at once: when nothing changed it costs one system call that
    // never waits, so a game may call it every frame. An index that cannot
    // be read (being replaced, damaged) keeps the loaded one; the next call
    // tries again. Streams opened before keep reading what they were opened
    // on. Call it between frames: not while another thread uses the file
    // list or opens files, nor from `onChange`.
    bool RefreshOruPack(const OruPackChangeCallback& onChange = nullptr);

    // Editing, for a pack opened for writing whose data file is open; false
    // and nothing changed otherwise.
    bool AddFile(const std::wstring& name);
    bool DelFile(const std::wstring& name);
    // Stores the `size` bytes at `pData` under `name` as AddFile stores a
    // source file, with the given times (FILETIME counts): for a tool that
    // already holds the content. False, and nothing changed, when it could
    // not be stored (AddFile's reasons, or no room in the pack).
    bool AddFileData(const std::wstring& name, const void* pData, uint32_t size,
                     uint64_t creationTime, uint64_t accessTime, uint64_t writeTime);

private:
    friend class oru::tools::CPackAccess;  // the pack tool's view of the state below
    friend class oru::detail::CPackLayer;  // a pack set opens its layers' entries by record

    // What a stream over an entry needs of the pack besides its record: a
    // descriptor on the data file (marked as read) and the sector size,
    // taken together under the lock, so that a refresh cannot come between.
    void TakeDataFile(oru::platform::CFile& dataFile, uint32_t& sectorSize);
    // A stream over the entry with record `info` on `dataFile`, made with no
    // lock held; null as OpenFile.
    static COruFile* MakeStream(oru::platform::CFile&& dataFile, const _oru_pack_file_info& info,
                                uint32_t sectorSize, bool inMemory);

    // Appends `count` sector numbers, all flagged used from now on, lowest
    // free first, then new sectors at the end; returns the first.
    uint32_t ReserveSectors(uint32_t count, std::vector<uint32_t>& sectors);
    // Flushes the data file to disk, then writes the whole index file beside
    // the old one and renames it over it; false, with the old index
    // untouched, when any step fails. After a save the held sectors are free.
    bool SaveIdx();
    // The sectors of an entry's chain that can safely be given back: followed
    // from its first sector while the links agree, inside the data file,
    // flagged used and no longer than its size needs.
    void CollectChain(const _oru_pack_file_info& info, std::vector<uint32_t>& chain) const;
    // Forgets the entry; its `chain` is held until the next save.
    void RemoveEntry(FileList::iterator it, const std::vector<uint32_t>& chain);
    // Flags `sectors` free again.
    void GiveBack(const std::vector<uint32_t>& sectors);
    // Forgets every entry, for a tool that fills the pack anew: their
    // sectors are held until the next save, as a deletion's are.
    bool DropAllEntries();
    // Saves the index now, keeping the pack open for writing; false when the
    // save failed (the changes stay unsaved).
    bool SaveNow();
    // Ends the editing session without saving: the index on disk stays as it
    // is, the data file returns to its sectors and the tables are emptied.
    void AbandonChanges();
    // Adds `chain` to the sectors released by the next save; false when
    // memory runs out (they then stay used).
    bool HoldUntilSaved(const std::vector<uint32_t>& chain);
    // True when the data file ends right after its last sector, so that new
    // sectors are appended by writing them.
    bool AppendsByWriting(uint64_t dataFileBytes) const;
    // The data file's length, asked of the system only when it is not known
    // from the writes made; false when it cannot be asked.
    bool DataFileBytes(uint64_t& bytes);
    // Brings the known length up to date after `sectors` were written, and
    // starts the writeback of a large enough appended stretch.
    void NoteWritten(const std::vector<uint32_t>& sectors, bool appendsChain);
    // Fills the pieces, `bytes` in all, with an addition's content from
    // `offset` on; false when the content cannot be read.
    using ContentReader = std::function<bool(uint64_t offset, const oru::platform::CReadPiece* pPieces,
                                             size_t count, uint64_t bytes)>;
    // AddFileData for content a tool has already laid out as WriteChain's
    // `pLaidOut` slots (SectorsForSize(size) of them), which it lends until
    // the call returns; reached through CPackAccess.
    bool AddLaidOut(const std::wstring& name, uint8_t* pSlots, uint32_t size,
                    const oru::platform::CFileTimes& times);
    // The part of AddFile and AddFileData after the source is known: `info`
    // holds the content's size and times. With `pLaidOut` the content is
    // already laid out as the chain's slots (see WriteChain) and `read` is
    // not called.
    bool StoreContent(const std::wstring& name, _oru_pack_file_info info,
                      const ContentReader& read, uint8_t* pLaidOut = nullptr);
    // Copies `size` bytes of content onto `sectors` with their links;
    // `padLast` fills the rest of the last payload with zeros. `pLaidOut`,
    // when given, holds one slot per sector, its link bytes then sector_size
    // payload bytes, the payloads filled: the links are written into it and
    // it is written out as it is, with no copy.
    bool WriteChain(const ContentReader& read, uint32_t size,
                    const std::vector<uint32_t>& sectors, bool padLast, uint8_t* pLaidOut) const;

    // A streaming COruFile over an entry, on a descriptor the caller opened
    // for it alone; null when memory runs out. For tools, which read entries
    // by their records, through CPackAccess.
    static COruFile* NewEntryStream(oru::platform::CFile&& dataFile, const _oru_pack_file_info& info,
                                    uint32_t sectorSize);

    bool OpenRead(const std::string& indexPath);
    // A descriptor on the data file marked as read: a duplicate of the one
    // the index was loaded under, or a new one. !IsOpen() when none.
    oru::platform::CFile MarkedDataFile() const;
    // Whether sectors free in the loaded index may take new data: only when
    // no reader holds the pack open, since a reader may still hold an older
    // index that gives those sectors to entries deleted since. Asked of the
    // system once per saved state.
    bool MayReuseFreeSectors();
    // After a save that left free sectors at the end, and with no reader that
    // could still need them, saves the index without them and shortens the
    // data file. Also cuts bytes past the last sector (a run that stopped
    // before its save).
    void TrimFreeTail();
    // Brings the data file back to the sectors of the index on disk, after a
    // save that failed: what this session appended belongs to no saved index.
    void DropUnsavedGrowth();
    bool OpenWrite(const std::string& indexPath, const std::string& dataPath,
                   uint32_t sectorSize);
    void ClearTables();
    void HoldDataFile(oru::platform::CFile&& file);

protected:
    _oru_pack_header m_header{};
    FileList m_mapFileList;
    std::vector<uint8_t> m_vecSectorUsed;  // one 0/1 flag per sector, write mode only; held sectors read 1
    ORU_PACK_MODE m_eMode = ORU_PACK_MODE_READ;
    std::wstring m_strPackPath;
    std::unique_ptr<oru::platform::CFile> m_pDataFile;  // write mode only
    bool m_bModified = false;
    std::wstring m_strWorkDir;
    // Top directory -> its entries in index order, read mode only. The
    // positions stay valid while the file list keeps those entries; the
    // library never reads through them, so entries a caller erases through
    // GetFileList leave only positions nobody follows.
    DirIndex m_mapDirIndex;
    COruCriticalSection m_csOpen;

private:
    std::string m_strDataPath;  // UTF-8 data file path, for OpenFile
    uint32_t m_nFreeScanStart = 0;  // no free sector lies below it; 0 is always safe
    // Sectors freed since the last save. The index on disk still gives them
    // to their old entries, so they stay flagged used (out of allocation)
    // until a save has forgotten those entries; the saved table shows them free.
    std::vector<uint32_t> m_vecHeldSectors;
    static constexpr uint64_t UNKNOWN_LENGTH = UINT64_MAX;
    uint64_t m_nDataFileBytes = UNKNOWN_LENGTH;  // bytes, as the writes left it
    uint64_t m_nWritebackFrom = 0;  // appended bytes from here on are not yet being written back
    enum class eReuse : uint8_t { NOT_ASKED, FREE_SECTORS, APPEND_ONLY };
    eReuse m_eReuse = eReuse::NOT_ASKED;  // write mode: see MayReuseFreeSectors
    uint32_t m_nSavedSectorCount = 0;     // write mode: sector_count of the index on disk
    // Read mode: the data file, marked as read by this pack before its index
    // was loaded, which streams share; and what follows the index on disk.
    std::unique_ptr<oru::detail::CPackFollow> m_pFollow;
    ORU_PACK_OPEN_RESULT m_eLastOpen = ORU_PACK_OPEN_NONE;
};

// The pack manager, created on first use.
ORU_API COruPack& OruPack();
// Opens the game's pack read-only: OruPack().OpenOruPack(path, READ, 512).
ORU_API bool InitOruPack(const std::wstring& path);

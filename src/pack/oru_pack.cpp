// The pack manager holds one pack's index in memory: the header, the ordered
// file list and, for a pack opened for writing, the sector usage table with
// the data file held open for the editing operations (pack_edit.cpp).
//
// Reading never goes through the manager's own handle: OpenFile opens the
// data file again for every stream, so streams are independent of each other,
// of the editing operations and of the manager's lifetime.

#include <oru/pack/oru_pack.h>

#include "core/utf8.h"
#include "crash/open_files.h"
#include "pack/pack_follow.h"
#include "pack/pack_format.h"
#include "pack/pack_index.h"
#include "platform/file.h"

#include <new>

template class CSingleton<COruPack>;

namespace {

constexpr uint32_t DEFAULT_SECTOR_SIZE = 512;

// A copy's directory index is filed anew over the copy's own file list: the
// source's positions point into the source's list, and are never followed in
// case a caller erased entries from it. An empty index (write mode, closed)
// stays empty.
COruPack::DirIndex CopyDirIndex(const COruPack::DirIndex& source, const COruPack::FileList& files)
{
    COruPack::DirIndex copy;
    if (source.empty())
        return copy;
    oru::detail::CDirIndexFiler filer(copy);
    for (auto entry = files.begin(); entry != files.end(); ++entry)
        filer.Add(entry);
    return copy;
}

// A copy reads through the same marked data file, so its streams keep the
// mark too; it follows the index on its own.
std::unique_ptr<oru::detail::CPackFollow> CopyFollow(const oru::detail::CPackFollow* pSource)
{
    if (!pSource)
        return nullptr;
    std::unique_ptr<oru::detail::CPackFollow> pCopy(new (std::nothrow) oru::detail::CPackFollow);
    if (pCopy) {
        pCopy->m_dataFile = pSource->m_dataFile.Duplicate();
        pCopy->m_indexIdentity = pSource->m_indexIdentity;
        pCopy->m_bIdentityKnown = pSource->m_bIdentityKnown;
    }
    return pCopy;
}

}  // namespace

COruPack::COruPack() = default;

// The base's implicit copy does not register the copy as the instance, which
// is what a copy wants; the compiler only notes that the base also declares
// an assignment.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-copy"
COruPack::COruPack(const COruPack& other)
    : CSingleton<COruPack>(other),
      m_header(other.m_header),
      m_mapFileList(other.m_mapFileList),
      m_vecSectorUsed(other.m_vecSectorUsed),
      m_eMode(other.m_eMode),
      m_strPackPath(other.m_strPackPath),
      m_bModified(other.m_bModified),
      m_strWorkDir(other.m_strWorkDir),
      m_mapDirIndex(CopyDirIndex(other.m_mapDirIndex, m_mapFileList)),
      m_strDataPath(other.m_strDataPath),
      m_nFreeScanStart(other.m_nFreeScanStart),
      m_vecHeldSectors(other.m_vecHeldSectors),
      m_pFollow(CopyFollow(other.m_pFollow.get()))
{
}
#pragma GCC diagnostic pop

COruPack& COruPack::operator=(const COruPack& other)
{
    if (this == &other)
        return *this;
    m_header = other.m_header;
    m_mapFileList = other.m_mapFileList;
    m_vecSectorUsed = other.m_vecSectorUsed;
    m_eMode = other.m_eMode;
    m_strPackPath = other.m_strPackPath;
    m_pDataFile.reset();
    m_nDataFileBytes = UNKNOWN_LENGTH;
    m_bModified = other.m_bModified;
    m_strWorkDir = other.m_strWorkDir;
    m_mapDirIndex = CopyDirIndex(other.m_mapDirIndex, m_mapFileList);
    m_strDataPath = other.m_strDataPath;
    m_nFreeScanStart = other.m_nFreeScanStart;
    m_vecHeldSectors = other.m_vecHeldSectors;
    m_pFollow = CopyFollow(other.m_pFollow.get());
    return *this;
}

COruPack::~COruPack()
{
    CloseOruPack();
}

void COruPack::ClearTables()
{
    m_header = _oru_pack_header{};
    m_mapFileList.clear();
    m_vecSectorUsed.clear();
    m_mapDirIndex.clear();
    m_pDataFile.reset();
    m_bModified = false;
    m_nFreeScanStart = 0;
    m_vecHeldSectors.clear();
    m_nDataFileBytes = UNKNOWN_LENGTH;
    m_nWritebackFrom = 0;
    m_eReuse = eReuse::NOT_ASKED;
    m_nSavedSectorCount = 0;
}

bool COruPack::OpenOruPack(const std::wstring& path, ORU_PACK_MODE mode, uint32_t sectorSize)
{
    m_strPackPath = path;
    m_eMode = mode;
    ClearTables();
    m_pFollow.reset();
    oru::detail::NotePackOpened(this, path, mode == ORU_PACK_MODE_WRITE);
    m_strDataPath.clear();
    m_eLastOpen = ORU_PACK_OPEN_FAILED;

    const auto indexPath = oru::detail::ToUtf8(path + L".odx");
    const auto dataPath = oru::detail::ToUtf8(path + L".opk");
    if (!indexPath || !dataPath)
        return false;
    m_strDataPath = *dataPath;
    // OpenWrite notes a creation or a busy pack itself.
    const bool opened = mode == ORU_PACK_MODE_WRITE ? OpenWrite(*indexPath, *dataPath, sectorSize)
                                                    : OpenRead(*indexPath);
    if (opened)
        m_eLastOpen = ORU_PACK_OPENED;
    return opened;
}

// The data file is marked before the index is read: an editor that finds no
// mark may reuse the sectors that the index on disk leaves free, and this
// index is then that one or a newer one, never an older one.
bool COruPack::OpenRead(const std::string& indexPath)
{
    m_pFollow.reset(new (std::nothrow) oru::detail::CPackFollow);
    if (m_pFollow) {
        m_pFollow->m_dataFile = oru::detail::OpenMarkedDataFile(m_strDataPath);
        m_pFollow->m_bIdentityKnown =
            oru::platform::FileIdentityOf(indexPath, m_pFollow->m_indexIdentity);
    }
    return oru::detail::ReadIndex(indexPath, {&m_header, &m_mapFileList, &m_mapDirIndex, nullptr}) ==
           oru::detail::eIndexRead::WHOLE;
}

bool COruPack::RefreshOruPack(const OruPackChangeCallback& onChange)
{
    if (m_eMode != ORU_PACK_MODE_READ || !m_pFollow)
        return false;
    oru::detail::CPackFollow& follow = *m_pFollow;
    if (follow.m_watch.IsStarted() && !follow.m_watch.MayHaveChanged())
        return false;  // the frame's usual answer, from one system call
    const std::optional<std::string> indexPath = oru::detail::ToUtf8(m_strPackPath + L".odx");
    if (!indexPath)
        return false;
    if (!follow.m_watch.IsStarted()) {
        follow.m_watch.Start(*indexPath);
        follow.m_watch.MayHaveChanged();  // the first answer is always yes
    }
    oru::platform::CFileIdentity now;
    if (!oru::platform::FileIdentityOf(*indexPath, now) ||
        (follow.m_bIdentityKnown && now == follow.m_indexIdentity))
        return false;

    // A data file put in the place of the old one is marked before the new
    // index is read, as at the open; the old one stays with the streams that
    // read it.
    oru::platform::CFile newData;
    if (!follow.m_dataFile.IsOpen() || !oru::detail::SameFile(follow.m_dataFile, m_strDataPath))
        newData = oru::detail::OpenMarkedDataFile(m_strDataPath);
    _oru_pack_header header{};
    FileList files;
    DirIndex dirIndex;
    try {
        if (oru::detail::ReadIndex(*indexPath, {&header, &files, &dirIndex, nullptr}) !=
            oru::detail::eIndexRead::WHOLE) {
            // Damaged or half written in place: this version is not taken,
            // and the next change to the file is looked at again.
            follow.m_indexIdentity = now;
            follow.m_bIdentityKnown = true;
            return false;
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    {
        COruLock lock(m_csOpen);
        m_header = header;
        m_mapFileList.swap(files);  // the directory index's positions move with the entries
        m_mapDirIndex.swap(dirIndex);
        if (newData.IsOpen())
            follow.m_dataFile = std::move(newData);
    }
    follow.m_indexIdentity = now;
    follow.m_bIdentityKnown = true;
    oru::detail::ReportChanges(files, m_mapFileList, onChange);
    return true;
}

// The data file is opened and locked before the index is read, so the index
// read is the last one any other editor saved: an editor holds the lock from
// its open to its close. A pack is created only where no index exists and the
// data file is missing or empty; a data file with bytes but no index is
// someone's data and is never emptied.
bool COruPack::OpenWrite(const std::string& indexPath, const std::string& dataPath,
                         uint32_t sectorSize)
{
    using oru::platform::CFile;
    const bool creating = oru::platform::PathMissing(indexPath);
    if (creating && !oru::detail::DataFileFits(1, sectorSize))
        return false;
    CFile dataFile =
        creating ? CFile::OpenOrCreateReadWrite(dataPath) : CFile::OpenReadWrite(dataPath);
    if (dataFile.IsOpen() && dataFile.TryLockExclusive() == CFile::eLock::HELD_ELSEWHERE) {
        m_eLastOpen = ORU_PACK_OPEN_BUSY;
        return false;
    }

    if (creating && oru::platform::PathMissing(indexPath)) {
        uint64_t dataBytes = 0;
        if (dataFile.IsOpen() && (!dataFile.Size(dataBytes) || dataBytes != 0))
            return false;
        m_header.version = oru::detail::PACK_VERSION;
        m_header.sector_size = sectorSize;
        m_bModified = true;
        HoldDataFile(std::move(dataFile));
        m_eLastOpen = m_pDataFile ? ORU_PACK_CREATED : ORU_PACK_OPEN_FAILED;
        return false;
    }

    // Editing trusts the usage table and the sector size to place new data,
    // so a damaged index is not opened for writing at all; nor is one that
    // exists but cannot be read, which must not cost the pack its data file.
    if (oru::detail::ReadIndex(indexPath, {&m_header, &m_mapFileList, nullptr, &m_vecSectorUsed}) !=
            oru::detail::eIndexRead::WHOLE ||
        !oru::detail::DataFileFits(m_header.sector_count, m_header.sector_size)) {
        ClearTables();
        return false;
    }
    // An index that repeats a name holds fewer entries than it counts; the
    // header in memory counts what is really there, and the next save says so.
    if (m_header.file_count != m_mapFileList.size()) {
        m_header.file_count = static_cast<uint32_t>(m_mapFileList.size());
        m_header.total_file_size = 0;
        for (const auto& entry : m_mapFileList)
            m_header.total_file_size += entry.second.size;
    }
    m_nSavedSectorCount = m_header.sector_count;
    HoldDataFile(std::move(dataFile));
    return true;
}

void COruPack::HoldDataFile(oru::platform::CFile&& file)
{
    m_nDataFileBytes = UNKNOWN_LENGTH;
    m_nWritebackFrom = 0;
    if (file.IsOpen())
        m_pDataFile.reset(new (std::nothrow) oru::platform::CFile(std::move(file)));
}

bool COruPack::CloseOruPack()
{
    oru::detail::NotePackClosed(this);
    if (m_eMode == ORU_PACK_MODE_WRITE && m_pDataFile) {
        // The save comes first: it flushes the data file, and the lock on it
        // keeps other editors out until the new index is in place. A save
        // that fails keeps the old index on disk and the changes in memory,
        // still marked as unsaved, and gives back what the session appended.
        if (m_bModified) {
            if (SaveIdx()) {
                m_bModified = false;
                TrimFreeTail();
            } else {
                DropUnsavedGrowth();
            }
        }
        m_pDataFile.reset();
    }
    m_mapDirIndex.clear();
    return true;
}

COruPack::FileList* COruPack::GetFileList()
{
    return &m_mapFileList;
}

_oru_pack_header* COruPack::GetPackInfo()
{
    return &m_header;
}

bool COruPack::SetWorkDir(const std::wstring& dir)
{
    m_strWorkDir = dir;
    return true;
}

// The lock covers only finding the entry and taking a descriptor: the
// stream's own reads (all of them, for a preload) run outside it, so threads
// that load assets at once do not wait for each other's decoding.
COruFile* COruPack::OpenFile(const std::wstring& name, bool inMemory)
{
    const std::wstring folded = oru::detail::FoldName(name);
    _oru_pack_file_info info{};
    uint32_t sectorSize = 0;
    oru::platform::CFile dataFile;
    {
        COruLock lock(m_csOpen);
        const auto it = m_mapFileList.find(folded);
        if (it == m_mapFileList.end())
            return nullptr;
        info = it->second;
        TakeDataFile(dataFile, sectorSize);
    }
    COruFile* pFile = MakeStream(std::move(dataFile), info, sectorSize, inMemory);
    if (pFile)
        oru::detail::NoteStreamName(pFile, name);
    return pFile;
}

void COruPack::TakeDataFile(oru::platform::CFile& dataFile, uint32_t& sectorSize)
{
    COruLock lock(m_csOpen);
    sectorSize = m_header.sector_size;
    dataFile = MarkedDataFile();
}

COruFile* COruPack::MakeStream(oru::platform::CFile&& dataFile, const _oru_pack_file_info& info,
                               uint32_t sectorSize, bool inMemory)
{
    if (!dataFile.IsOpen())
        return nullptr;
    auto pFile = std::unique_ptr<COruFile>(
        new (std::nothrow) COruFile(std::move(dataFile), info, sectorSize, inMemory));
    // A preload that failed (damaged data, no memory) hands out no stream,
    // as an unreadable data file does.
    if (!pFile || pFile->m_bPreloadFailed)
        return nullptr;
    return pFile.release();
}

// A stream shares the pack's mark on the data file, or marks its own.
oru::platform::CFile COruPack::MarkedDataFile() const
{
    if (m_pFollow && m_pFollow->m_dataFile.IsOpen())
        return m_pFollow->m_dataFile.Duplicate();
    return oru::detail::OpenMarkedDataFile(m_strDataPath);
}

COruFile* COruPack::NewEntryStream(oru::platform::CFile&& dataFile, const _oru_pack_file_info& info,
                                   uint32_t sectorSize)
{
    return new (std::nothrow) COruFile(std::move(dataFile), info, sectorSize, false);
}

COruPack& OruPack()
{
    return COruPack::GetInstance();
}

bool InitOruPack(const std::wstring& path)
{
    return OruPack().OpenOruPack(path, ORU_PACK_MODE_READ, DEFAULT_SECTOR_SIZE);
}

// orupack mount: a pack shown as a read-only folder tree through FUSE 3.
//
// The file system serves a snapshot of the pack: the index as it was read,
// each entry's content size (learned from its first stored bytes) and the
// data file the index was read under, which the snapshot keeps marked as
// read so that editors leave its sectors alone. No thread writes to a
// snapshot, so the kernel may cache names, attributes and content.
//
// The mount follows the pack: a thread asks the library every few
// milliseconds whether the index was saved anew (one system call that never
// waits), and then builds a new snapshot, makes it the one new requests use,
// and tells the kernel to forget what it cached of the entries that changed.
// A file open across the save keeps the snapshot it was opened in: it reads
// its old content to the end, never a mix of the two.
//
// Each open has a reader of its own for a large file, so that readers at
// different places in one large compressed file do not make each other
// decode from the start; small files share one reader per snapshot, whose
// decoded content stays in memory.

#define FUSE_USE_VERSION 31

#include "commands.h"
#include "entry_reader.h"
#include "mount_tree.h"
#include "pack_view.h"

#include <fuse.h>

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

namespace orupack {
namespace {

// What the kernel learned stays valid until the pack changes, when the
// mount tells it to forget; a day bounds it all the same.
constexpr double CACHE_SECONDS = 86400.0;
// How often the pack is asked whether it was saved anew.
constexpr auto FOLLOW_INTERVAL = std::chrono::milliseconds(10);

// One version of the packs as the mount shows it: for each pack, its data
// file and the readers of its small files.
struct CSnapshot {
    explicit CSnapshot(const CPackView& view)
    {
        for (uint32_t layer = 0; layer < view.LayerCount(); ++layer) {
            m_vecData.push_back(std::make_unique<CDataFile>(view.Pack(layer)));
            m_vecSectorSizes.push_back(view.SectorSize(layer));
            m_vecReaders.push_back(std::make_unique<CReaderCache>(*m_vecData.back(), m_vecSectorSizes.back()));
        }
        m_tree.Build(view, m_vecData);
    }

    std::vector<std::unique_ptr<CDataFile>> m_vecData;
    std::vector<uint32_t> m_vecSectorSizes;
    CMountTree m_tree;
    std::vector<std::unique_ptr<CReaderCache>> m_vecReaders;  // shared by the opens of small files
};

// One open file: the snapshot it was opened in, its node there, its reader,
// and the version of its path it shows.
struct COpenFile {
    std::shared_ptr<const CSnapshot> m_pSnapshot;
    const CMountNode* m_pNode;
    std::shared_ptr<CEntryReader> m_pReader;
    std::string m_strPath;
    uint64_t m_nVersion;
};

// The kernel caches a file's pages per file, not per open. So that a file
// opened before a save never reads pages cached by an open after it (a mix
// of the two contents), each path's changes are counted: an open of a
// changed path drops the cached pages, and while opens of an earlier version
// are still reading, new opens bypass the cache altogether.
class CPathVersions {
public:
    void Changed(const std::set<std::string>& paths)
    {
        std::lock_guard<std::mutex> lock(m_cs);
        for (const std::string& path : paths) {
            ++m_mapVersion[path];
            m_setStale.insert(path);
        }
    }
    // How a new open of `path` uses the cache; the open is counted.
    void Open(const std::string& path, uint64_t& version, fuse_file_info& info)
    {
        std::lock_guard<std::mutex> lock(m_cs);
        const auto it = m_mapVersion.find(path);
        version = it == m_mapVersion.end() ? 0 : it->second;
        std::map<uint64_t, int>& opens = m_mapOpens[path];
        const bool earlierOpen = !opens.empty() && opens.begin()->first < version;
        ++opens[version];
        if (earlierOpen) {
            info.direct_io = 1;
        } else {
            info.keep_cache = m_setStale.erase(path) > 0 ? 0 : 1;
        }
    }
    void Release(const std::string& path, uint64_t version)
    {
        std::lock_guard<std::mutex> lock(m_cs);
        std::map<uint64_t, int>& opens = m_mapOpens[path];
        if (--opens[version] == 0)
            opens.erase(version);
        if (opens.empty())
            m_mapOpens.erase(path);
        // An earlier version's reads may have left its pages in the cache.
        const auto it = m_mapVersion.find(path);
        if (it != m_mapVersion.end() && version < it->second)
            m_setStale.insert(path);
    }

private:
    std::mutex m_cs;
    std::map<std::string, uint64_t> m_mapVersion;           // paths that changed: how often
    std::set<std::string> m_setStale;                        // their cached pages may be old
    std::map<std::string, std::map<uint64_t, int>> m_mapOpens;  // open files per path and version
};

// What the file system callbacks reach through fuse_get_context.
struct CMount {
    CPackView* m_pView = nullptr;  // read by the follower thread only, once serving
    uid_t m_nUid = 0;
    gid_t m_nGid = 0;
    CPathVersions m_versions;

    std::shared_ptr<const CSnapshot> Current()
    {
        std::lock_guard<std::mutex> lock(m_cs);
        return m_pCurrent;
    }
    void MakeCurrent(std::shared_ptr<const CSnapshot> pSnapshot)
    {
        std::lock_guard<std::mutex> lock(m_cs);
        m_pCurrent = std::move(pSnapshot);
    }

    // The follower thread, started once the mount serves.
    fuse* m_pFuse = nullptr;
    std::thread m_follower;
    std::mutex m_csStop;
    std::condition_variable m_cvStop;
    bool m_bStop = false;

private:
    std::mutex m_cs;
    std::shared_ptr<const CSnapshot> m_pCurrent;
};

CMount& Mount()
{
    return *static_cast<CMount*>(fuse_get_context()->private_data);
}

void FillStat(const CMount& mount, const CMountNode& node, struct stat& st)
{
    st = {};
    st.st_mode = node.m_bFolder ? S_IFDIR | 0555 : S_IFREG | 0444;
    st.st_nlink = node.m_bFolder ? 2 + node.m_nSubfolders : 1;
    st.st_uid = mount.m_nUid;
    st.st_gid = mount.m_nGid;
    st.st_size = static_cast<off_t>(node.m_nSize);
    st.st_blocks = static_cast<blkcnt_t>((node.m_nSize + 511) / 512);
    st.st_atim = FileTimeToTimespec(node.m_nAccessTime);
    st.st_mtim = FileTimeToTimespec(node.m_nWriteTime);
    st.st_ctim = st.st_mtim;
}

// Reloads the pack after a save and shows the new version: the kernel is
// told to forget the attributes and pages of each changed file and the
// listings of the folders above it.
void Follow(CMount& mount)
{
    std::set<std::string> changed;
    const bool reloaded = mount.m_pView->Refresh(
        [&](const std::wstring& name, ORU_PACK_CHANGE) {
            std::string path = CMountTree::MountPath(name);
            while (!path.empty()) {
                changed.insert(path);
                path.erase(path.rfind('/'));
            }
        });
    if (!reloaded)
        return;
    std::shared_ptr<const CSnapshot> pSnapshot;
    try {
        pSnapshot = std::make_shared<const CSnapshot>(*mount.m_pView);
    } catch (const std::bad_alloc&) {
        return;  // the old snapshot stays; the next save tries again
    }
    mount.m_versions.Changed(changed);
    mount.MakeCurrent(std::move(pSnapshot));
    fuse_invalidate_path(mount.m_pFuse, "/");
    for (const std::string& path : changed)
        fuse_invalidate_path(mount.m_pFuse, path.c_str());
}

void* OnInit(fuse_conn_info*, fuse_config* pConfig)
{
    pConfig->entry_timeout = CACHE_SECONDS;
    pConfig->attr_timeout = CACHE_SECONDS;
    // A name looked up while missing may appear with the next save.
    pConfig->negative_timeout = 0;
    CMount& mount = Mount();
    mount.m_pFuse = fuse_get_context()->fuse;
    try {
        mount.m_follower = std::thread([&mount] {
            std::unique_lock<std::mutex> lock(mount.m_csStop);
            while (!mount.m_cvStop.wait_for(lock, FOLLOW_INTERVAL, [&] { return mount.m_bStop; })) {
                lock.unlock();
                Follow(mount);
                lock.lock();
            }
        });
    } catch (const std::system_error&) {
        Error("cannot follow the pack: it is shown as it was when mounted");
    }
    return &mount;
}

void OnDestroy(void* pPrivate)
{
    CMount& mount = *static_cast<CMount*>(pPrivate);
    {
        std::lock_guard<std::mutex> lock(mount.m_csStop);
        mount.m_bStop = true;
    }
    mount.m_cvStop.notify_one();
    if (mount.m_follower.joinable())
        mount.m_follower.join();
}

int OnGetattr(const char* pPath, struct stat* pStat, fuse_file_info* pInfo)
{
    // An open file answers from its own snapshot.
    if (pInfo && pInfo->fh != 0) {
        FillStat(Mount(), *reinterpret_cast<COpenFile*>(pInfo->fh)->m_pNode, *pStat);
        return 0;
    }
    const std::shared_ptr<const CSnapshot> pSnapshot = Mount().Current();
    const CMountNode* pNode = pSnapshot->m_tree.Find(pPath);
    if (!pNode)
        return -ENOENT;
    FillStat(Mount(), *pNode, *pStat);
    return 0;
}

// A folder's listing stays valid until the pack changes, when the mount
// tells the kernel to forget it; the kernel may keep it until then.
int OnOpendir(const char* pPath, fuse_file_info* pInfo)
{
    const CMountNode* pNode = Mount().Current()->m_tree.Find(pPath);
    if (!pNode)
        return -ENOENT;
    if (!pNode->m_bFolder)
        return -ENOTDIR;
    pInfo->cache_readdir = 1;
    pInfo->keep_cache = 1;
    return 0;
}

// When the kernel asks for a listing with attributes, each entry is handed
// over as looked up, so listing a folder spares a look-up per file in it.
// Entries carry their position (1 and 2 are "." and ".."), so a listing
// longer than one reply goes on from where the last reply ended.
int OnReaddir(const char* pPath, void* pBuffer, fuse_fill_dir_t fill, off_t offset, fuse_file_info*,
              fuse_readdir_flags flags)
{
    const std::shared_ptr<const CSnapshot> pSnapshot = Mount().Current();
    const CMountNode* pNode = pSnapshot->m_tree.Find(pPath);
    if (!pNode)
        return -ENOENT;
    if (!pNode->m_bFolder)
        return -ENOTDIR;
    const auto fillFlags = static_cast<fuse_fill_dir_flags>(flags & FUSE_READDIR_PLUS ? FUSE_FILL_DIR_PLUS : 0);
    const auto none = static_cast<fuse_fill_dir_flags>(0);
    if (offset < 1 && fill(pBuffer, ".", nullptr, 1, none) != 0)
        return 0;
    if (offset < 2 && fill(pBuffer, "..", nullptr, 2, none) != 0)
        return 0;
    off_t position = 2;
    for (const auto& [name, index] : pNode->m_mapChildren) {
        if (++position <= offset)
            continue;
        struct stat st;
        FillStat(Mount(), pSnapshot->m_tree.Node(index), st);
        if (fill(pBuffer, name.c_str(), &st, position, fillFlags) != 0)
            return 0;  // the reply is full; the kernel asks again from here
    }
    return 0;
}

// An open takes the current snapshot and a reader: its own for a large
// file, the snapshot's shared one for a small file. The kernel keeps a
// file's cached pages across opens unless the file changed since (see
// CPathVersions). A write never gets this far: the mount is read-only,
// which the kernel enforces.
int OnOpen(const char* pPath, fuse_file_info* pInfo)
{
    if ((pInfo->flags & O_ACCMODE) != O_RDONLY)
        return -EROFS;
    CMount& mount = Mount();
    std::shared_ptr<const CSnapshot> pSnapshot = mount.Current();
    const CMountNode* pNode = pSnapshot->m_tree.Find(pPath);
    if (!pNode)
        return -ENOENT;
    if (pNode->m_bFolder)
        return -EISDIR;
    std::unique_ptr<COpenFile> pOpen;
    try {
        const uint32_t layer = pNode->m_nLayer;
        std::shared_ptr<CEntryReader> pReader =
            pNode->m_nSize > CEntryReader::MEMORY_LIMIT
                ? std::make_shared<CEntryReader>(*pSnapshot->m_vecData[layer], *pNode,
                                                 pSnapshot->m_vecSectorSizes[layer])
                : pSnapshot->m_vecReaders[layer]->Get(*pNode);
        if (!pReader)
            return -ENOMEM;
        pOpen.reset(new COpenFile{std::move(pSnapshot), pNode, std::move(pReader), pPath, 0});
        mount.m_versions.Open(pOpen->m_strPath, pOpen->m_nVersion, *pInfo);
    } catch (const std::bad_alloc&) {
        return -ENOMEM;
    }
    pInfo->fh = reinterpret_cast<uint64_t>(pOpen.release());
    return 0;
}

int OnRelease(const char*, fuse_file_info* pInfo)
{
    const COpenFile* pOpen = reinterpret_cast<COpenFile*>(pInfo->fh);
    try {
        Mount().m_versions.Release(pOpen->m_strPath, pOpen->m_nVersion);
    } catch (const std::bad_alloc&) {
    }
    delete pOpen;
    pInfo->fh = 0;
    return 0;
}

int OnRead(const char*, char* pBuffer, size_t size, off_t offset, fuse_file_info* pInfo)
{
    if (offset < 0)
        return -EINVAL;
    COpenFile& open = *reinterpret_cast<COpenFile*>(pInfo->fh);
    const long got = open.m_pReader->ReadAt(static_cast<uint64_t>(offset), reinterpret_cast<uint8_t*>(pBuffer),
                                            std::min<size_t>(size, INT_MAX));
    return static_cast<int>(got);
}

fuse_operations Operations()
{
    fuse_operations ops{};
    ops.init = OnInit;
    ops.destroy = OnDestroy;
    ops.getattr = OnGetattr;
    ops.opendir = OnOpendir;
    ops.readdir = OnReaddir;
    ops.open = OnOpen;
    ops.release = OnRelease;
    ops.read = OnRead;
    return ops;
}

// A mount option's value with the characters the option parser treats
// specially escaped.
std::string OptionValue(const std::string& text)
{
    std::string escaped;
    for (char ch : text) {
        if (ch == ',' || ch == '\\')
            escaped += '\\';
        escaped += ch;
    }
    return escaped;
}

// Mounts, serves until unmounted or interrupted, unmounts. The exit status.
int Serve(CMount& mount, const std::string& pack, const std::string& folder, bool background)
{
    const std::string options = "ro,default_permissions,subtype=orupack,fsname=" + OptionValue(pack);
    const char* argv[] = {"orupack", "-o", options.c_str()};
    fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
    const fuse_operations ops = Operations();
    fuse* pFuse = fuse_new(&args, &ops, sizeof ops, &mount);
    fuse_opt_free_args(&args);
    if (!pFuse) {
        Error("cannot start the file system");
        return EXIT_FAILED;
    }
    int status = EXIT_FAILED;
    if (fuse_mount(pFuse, folder.c_str()) != 0) {
        Error("%s: cannot mount there (FUSE missing or not permitted?)", folder.c_str());
    } else {
        fuse_session* pSession = fuse_get_session(pFuse);
        if (fuse_daemonize(background ? 0 : 1) == 0 && fuse_set_signal_handlers(pSession) == 0) {
            // A pool of threads serves the requests, so that the first read
            // of a large compressed file, which decodes all of it, holds up
            // no other reader. On an idle machine it also reads a tree
            // faster than one thread; on a crowded one, one thread that the
            // scheduler keeps beside the reader was faster.
            // The loop ends when the folder is unmounted (0) or on a signal
            // (its number); both are how a mount is meant to end.
            status = fuse_loop_mt(pFuse, 0) >= 0 ? EXIT_DONE : EXIT_FAILED;
            fuse_remove_signal_handlers(pSession);
        }
        fuse_unmount(pFuse);
    }
    fuse_destroy(pFuse);
    return status;
}

}  // namespace

int CmdMount(const CArgs& args)
{
    const std::vector<std::string> bases = ViewBases(args, 1);
    // Absolute, because a mount in the background leaves the working folder.
    const std::string folder = oru::tools::ResolvedPath(args.m_vecWords[1]);
    if (folder.empty() || !oru::tools::IsFolder(folder)) {
        Error("%s: no such folder", args.m_vecWords[1].c_str());
        return EXIT_FAILED;
    }
    // A second mount over a mounted folder would hide the first one.
    if (oru::tools::IsMountPoint(folder)) {
        Error("%s: already a mount point; unmount it first (fusermount3 -u %s)",
              args.m_vecWords[1].c_str(), args.m_vecWords[1].c_str());
        return EXIT_FAILED;
    }
    // Opening a FIFO would wait for a writer that never comes.
    for (const std::string& base : bases) {
        for (const char* pExtension : {".odx", ".opk"}) {
            uint64_t size = 0;
            if (oru::tools::PathMissing(base + pExtension)) {
                Error("%s%s: cannot read the pack (missing)", base.c_str(), pExtension);
                return EXIT_FAILED;
            }
            if (!oru::tools::ReadableFileSize(base + pExtension, size)) {
                Error("%s%s: not a regular file", base.c_str(), pExtension);
                return EXIT_FAILED;
            }
        }
    }
    CPackView view(bases);
    if (!view.IsOpen())
        return EXIT_FAILED;

    CMount mount;
    mount.m_pView = &view;
    auto pFirst = std::make_shared<const CSnapshot>(view);
    for (uint32_t layer = 0; layer < view.LayerCount(); ++layer) {
        if (!pFirst->m_vecData[layer]->IsOpen()) {
            Error("%s.opk: cannot open the data file", view.Base(layer).c_str());
            return EXIT_FAILED;
        }
    }
    for (const CMountTree::CLeftOut& left : pFirst->m_tree.LeftOut())
        Error("%s: not shown: %s", Narrow(left.m_strName).c_str(), left.m_pWhy);
    mount.MakeCurrent(std::move(pFirst));
    mount.m_nUid = oru::tools::CurrentUserId();
    mount.m_nGid = oru::tools::CurrentGroupId();
    const std::string& base = bases[0];
    const std::string absoluteBase = base[0] == '/' ? base : oru::tools::ResolvedPath(".") + "/" + base;
    return Serve(mount, absoluteBase, folder, args.Has("--background"));
}

}  // namespace orupack

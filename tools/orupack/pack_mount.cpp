// orupack mount: a pack shown as a read-only folder tree through FUSE 3.
//
// Everything that touches the pack by its path happens before the mount: the
// index is read, each entry's first bytes are looked at to learn its content
// size, and the data file is opened once. The file system then serves a
// snapshot that never changes, from a tree no thread writes to, so the kernel
// may cache names, attributes and content for as long as it likes. A file
// being read has a reader with its own stream over the data file, shared by
// all reads of that file while it is kept.

#define FUSE_USE_VERSION 31

#include "commands.h"
#include "entry_reader.h"
#include "mount_tree.h"

#include <fuse.h>

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>

namespace orupack {
namespace {

// A snapshot never changes, so the kernel keeps what it learned for a day.
constexpr double CACHE_SECONDS = 86400.0;

// What the file system callbacks reach through fuse_get_context.
struct CMount {
    CMountTree m_tree;
    std::unique_ptr<CDataFile> m_pData;
    std::unique_ptr<CReaderCache> m_pReaders;  // over m_pData
    uint32_t m_nSectorSize = 0;
    uid_t m_nUid = 0;
    gid_t m_nGid = 0;
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
    st.st_ctim = st.st_mtim;  // nothing about an entry changes after it is written
}

void* OnInit(fuse_conn_info*, fuse_config* pConfig)
{
    pConfig->kernel_cache = 1;
    pConfig->entry_timeout = CACHE_SECONDS;
    pConfig->attr_timeout = CACHE_SECONDS;
    pConfig->negative_timeout = CACHE_SECONDS;
    return fuse_get_context()->private_data;
}

int OnGetattr(const char* pPath, struct stat* pStat, fuse_file_info*)
{
    const CMountNode* pNode = Mount().m_tree.Find(pPath);
    if (!pNode)
        return -ENOENT;
    FillStat(Mount(), *pNode, *pStat);
    return 0;
}

// A folder's listing never changes, so the kernel may keep it.
int OnOpendir(const char* pPath, fuse_file_info* pInfo)
{
    const CMountNode* pNode = Mount().m_tree.Find(pPath);
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
    const CMountNode* pNode = Mount().m_tree.Find(pPath);
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
        FillStat(Mount(), Mount().m_tree.Node(index), st);
        if (fill(pBuffer, name.c_str(), &st, position, fillFlags) != 0)
            return 0;  // the reply is full; the kernel asks again from here
    }
    return 0;
}

// Nothing is kept per open: answering ENOSYS tells the kernel so, and from
// then on it opens and closes files without asking (and keeps their cached
// pages across opens). That spares two of the four round trips a small file
// costs, look-up and read being the others. A write never gets this far: the
// mount is read-only, which the kernel enforces itself.
int OnOpen(const char* pPath, fuse_file_info* pInfo)
{
    if ((pInfo->flags & O_ACCMODE) != O_RDONLY)
        return -EROFS;
    const CMountNode* pNode = Mount().m_tree.Find(pPath);
    if (!pNode)
        return -ENOENT;
    if (pNode->m_bFolder)
        return -EISDIR;
    return -ENOSYS;
}

int OnRead(const char* pPath, char* pBuffer, size_t size, off_t offset, fuse_file_info*)
{
    if (offset < 0)
        return -EINVAL;
    const CMountNode* pNode = Mount().m_tree.Find(pPath);
    if (!pNode)
        return -ENOENT;
    if (pNode->m_bFolder)
        return -EISDIR;
    const std::shared_ptr<CEntryReader> pReader = Mount().m_pReaders->Get(*pNode);
    if (!pReader)
        return -ENOMEM;
    const long got = pReader->ReadAt(static_cast<uint64_t>(offset),
                                     reinterpret_cast<uint8_t*>(pBuffer),
                                     std::min<size_t>(size, INT_MAX));
    return static_cast<int>(got);
}

fuse_operations Operations()
{
    fuse_operations ops{};
    ops.init = OnInit;
    ops.getattr = OnGetattr;
    ops.opendir = OnOpendir;
    ops.readdir = OnReaddir;
    ops.open = OnOpen;
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
    const std::string base = PackBase(args.m_vecWords[0]);
    // Absolute, because a mount in the background leaves the working folder.
    const std::string folder = oru::tools::ResolvedPath(args.m_vecWords[1]);
    if (folder.empty() || !oru::tools::IsFolder(folder)) {
        Error("%s: no such folder", args.m_vecWords[1].c_str());
        return EXIT_FAILED;
    }
    // Opening a FIFO would wait for a writer that never comes.
    for (const char* pExtension : {".odx", ".opk"}) {
        uint64_t size = 0;
        if (!oru::tools::ReadableFileSize(base + pExtension, size)) {
            Error("%s%s: not a regular file", base.c_str(), pExtension);
            return EXIT_FAILED;
        }
    }
    CPackForReading pack(args);
    if (!pack.IsOpen())
        return EXIT_FAILED;

    CMount mount;
    mount.m_nSectorSize = pack.SectorSize();
    mount.m_pData = std::make_unique<CDataFile>(pack.Pack());
    if (!mount.m_pData->IsOpen()) {
        Error("%s.opk: cannot open the data file", base.c_str());
        return EXIT_FAILED;
    }
    mount.m_pReaders = std::make_unique<CReaderCache>(*mount.m_pData, mount.m_nSectorSize);
    mount.m_tree.Build(pack.Files(), *mount.m_pData, mount.m_nSectorSize);
    for (const CMountTree::CLeftOut& left : mount.m_tree.LeftOut())
        Error("%s: not shown: %s", Narrow(left.m_strName).c_str(), left.m_pWhy);
    mount.m_nUid = oru::tools::CurrentUserId();
    mount.m_nGid = oru::tools::CurrentGroupId();
    const std::string absoluteBase = base[0] == '/' ? base : oru::tools::ResolvedPath(".") + "/" + base;
    return Serve(mount, absoluteBase, folder, args.Has("--background"));
}

}  // namespace orupack

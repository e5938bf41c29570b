// The commands that change packs: create, add and rm.
//
// The library reads an addition's source at the work folder plus the entry
// name, backslashes being folder separators. A tree is therefore added with
// the tree as work folder and names relative to it; content stored under
// another name (a compressed copy, a file added --as NAME) is first placed
// under that name in a staging folder beside the pack.

#include "commands.h"
#include "compress.h"
#include "tool_support.h"

#include <cstdlib>
#include <cinttypes>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <set>
#include <thread>
#include <unordered_map>

namespace fs = std::filesystem;

namespace orupack {
namespace {

constexpr uint32_t DEFAULT_SECTOR_SIZE = 512;
// Every sector costs an 8-byte link and a file wastes half a sector on
// average: below 64 bytes the links cost more than 12% of everything stored,
// and above 64 KiB a tree of small files is mostly padding (see the README's
// figures).
constexpr uint32_t MIN_SECTOR_SIZE = 64;
constexpr uint32_t MAX_SECTOR_SIZE = 64 * 1024;

// A scratch folder beside the pack, removed with its content at the end.
class CStaging : private COruNonCopyable {
public:
    explicit CStaging(const std::string& base)
    {
        std::string pattern = base + ".staging-XXXXXX";
        if (oru::tools::MakeUniqueFolder(pattern))
            m_strPath = pattern;
    }
    ~CStaging()
    {
        if (!m_strPath.empty())
            oru::tools::RemoveTree(m_strPath);
    }

    bool IsReady() const { return !m_strPath.empty(); }
    // The work folder to give the library.
    std::wstring WorkDir() const { return Wide(m_strPath + "/"); }
    // Where an entry's source goes; its folders are created.
    std::string Place(const std::string& relative) const
    {
        const std::string path = m_strPath + "/" + relative;
        MakeFolders(path.substr(0, path.rfind('/')));
        return path;
    }

private:
    std::string m_strPath;
};

bool ParseSectorSize(const CArgs& args, uint32_t& sectorSize)
{
    sectorSize = DEFAULT_SECTOR_SIZE;
    const auto it = args.m_mapValues.find("--sector-size");
    if (it == args.m_mapValues.end())
        return true;
    char* pEnd = nullptr;
    const unsigned long long value = std::strtoull(it->second.c_str(), &pEnd, 10);
    if (it->second.empty() || *pEnd != '\0' || value < MIN_SECTOR_SIZE || value > MAX_SECTOR_SIZE) {
        Error("--sector-size: '%s' is not a sector size: %" PRIu32 " to %" PRIu32
              " bytes (smaller sectors spend more on links than they save on padding, "
              "larger ones waste most of a sector on every small file)",
              it->second.c_str(), MIN_SECTOR_SIZE, MAX_SECTOR_SIZE);
        return false;
    }
    sectorSize = static_cast<uint32_t>(value);
    return true;
}

// Why a source could not be opened, for its message.
const char* OpenFailure(int error)
{
    if (error == ENOENT)
        return "no such file";
    if (error == EISDIR || error == EINVAL)
        return "not a regular file";
    return std::strerror(error);
}

// Why the last addition failed, for its message.
std::string AddFailure()
{
    const int error = oru::tools::LastFileError();
    if (error != 0)
        return std::strerror(error);
    return "unreadable, or the pack would pass its 2 GiB limit";
}

// A source as far as it can be read before the pack is touched. A file of
// up to HELD_BYTES, and any file stored wrapped, is held in memory, laid out
// as the pack's sectors (see CPackAccess::AddLaidOut), so that the pack
// writes it without copying it again; a larger plain file is left for the
// library to copy from disk. A file is stored wrapped when compression is
// asked for and that is smaller, and always when readers would otherwise
// decode its plain bytes.
struct CPrepared {
    std::string m_strFailure;  // why it cannot be stored; empty when it can
    bool m_bHeld = false;      // m_slots holds what is to be stored
    uint32_t m_nBytes = 0;     // held: the bytes to store
    CBytes m_slots;
    oru::tools::CFileTimes m_times{};
};

constexpr uint64_t HELD_BYTES = 4 * 1024 * 1024;

// The slots of `size` bytes of content in sectors of `sectorSize` bytes;
// false when there is no memory for them.
bool MakeSlots(uint64_t size, uint32_t sectorSize, CBytes& slots)
{
    const uint64_t sectors = oru::tools::SectorsForSize(static_cast<uint32_t>(size), sectorSize);
    try {
        slots.resize(static_cast<size_t>(sectors * (sectorSize + oru::tools::SECTOR_LINK_BYTES)));
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

// Where byte `offset` of the content lies in its slots.
size_t SlotOffset(uint64_t offset, uint32_t sectorSize)
{
    const uint64_t stride = sectorSize + oru::tools::SECTOR_LINK_BYTES;
    return static_cast<size_t>(offset / sectorSize * stride + oru::tools::SECTOR_LINK_BYTES +
                               offset % sectorSize);
}

// Reads the first `size` bytes of `file` into slots, as many payloads per
// call as the system takes.
bool ReadIntoSlots(const oru::tools::CFile& file, uint64_t size, uint32_t sectorSize, CBytes& slots)
{
    if (!MakeSlots(size, sectorSize, slots))
        return false;
    oru::tools::CReadPiece pieces[oru::tools::CFile::MAX_PIECES];
    uint64_t offset = 0;
    while (offset < size) {
        size_t count = 0;
        uint64_t bytes = 0;
        for (; count < oru::tools::CFile::MAX_PIECES && offset + bytes < size; ++count) {
            const size_t piece = static_cast<size_t>(std::min<uint64_t>(sectorSize, size - offset - bytes));
            pieces[count] = {slots.data() + SlotOffset(offset + bytes, sectorSize), piece};
            bytes += piece;
        }
        if (file.ReadScatteredAt(offset, pieces, count) != bytes)
            return false;
        offset += bytes;
    }
    return true;
}

// Lays `content` out in slots.
bool CopyIntoSlots(const CBytes& content, uint32_t sectorSize, CBytes& slots)
{
    if (!MakeSlots(content.size(), sectorSize, slots))
        return false;
    for (size_t offset = 0; offset < content.size(); offset += sectorSize)
        std::memcpy(slots.data() + SlotOffset(offset, sectorSize), content.data() + offset,
                    std::min<size_t>(sectorSize, content.size() - offset));
    return true;
}

// Reads the file whole, or only the bytes that tell a large plain file's
// form; false when it cannot be read.
bool ReadContent(const oru::tools::CFile& file, uint64_t bytes, CBytes& content)
{
    try {
        content.resize(static_cast<size_t>(bytes));
    } catch (const std::bad_alloc&) {
        return false;
    }
    return file.ReadExactAt(0, content.data(), content.size());
}

// Needs nothing of the pack, so it may run on another thread. A FIFO or a
// device is refused by the open without waiting. A plain file that is held
// goes straight into its slots; anything else is read whole first.
CPrepared Prepare(const std::string& path, bool compress, uint32_t sectorSize)
{
    CPrepared prepared;
    oru::tools::ClearLastFileError();
    uint64_t size = 0;
    const oru::tools::CFile file = oru::tools::CFile::OpenReadMeasured(path, size, prepared.m_times);
    if (!file.IsOpen()) {
        prepared.m_strFailure = path + ": " + OpenFailure(oru::tools::LastFileError());
        return prepared;
    }
    const std::string unreadable = path + ": cannot read the file";
    if (size <= HELD_BYTES && !compress) {
        if (!ReadIntoSlots(file, size, sectorSize, prepared.m_slots)) {
            prepared.m_strFailure = unreadable;
            return prepared;
        }
        uint8_t start[oru::tools::WRAPPER_PREFIX_BYTES];
        const size_t startBytes = static_cast<size_t>(std::min<uint64_t>(size, sizeof start));
        for (size_t i = 0; i < startBytes; ++i)
            start[i] = prepared.m_slots[SlotOffset(i, sectorSize)];
        if (!ReadersWouldDecode(start, startBytes)) {
            prepared.m_bHeld = true;
            prepared.m_nBytes = static_cast<uint32_t>(size);
            return prepared;
        }
    }
    // Only the first bytes tell a large plain file's form.
    CBytes content;
    if (!ReadContent(file, size <= HELD_BYTES || compress
                               ? size
                               : std::min<uint64_t>(size, sizeof oru::tools::WRAPPER_MAGIC),
                     content)) {
        prepared.m_strFailure = unreadable;
        return prepared;
    }
    const bool mustWrap = ReadersWouldDecode(content.data(), content.size());
    if (content.size() < size) {
        if (!mustWrap)
            return prepared;
        if (!ReadContent(file, size, content)) {
            prepared.m_strFailure = unreadable;
            return prepared;
        }
    }
    if (mustWrap || compress) {
        CBytes wrapped;
        if (WrapCompressed(content, wrapped, mustWrap)) {
            content.swap(wrapped);
        } else if (mustWrap) {
            prepared.m_strFailure = path + ": cannot compress the file, which must be stored compressed";
            return prepared;
        }
    }
    if (content.size() > UINT32_MAX || !CopyIntoSlots(content, sectorSize, prepared.m_slots)) {
        prepared.m_strFailure = unreadable;
        return prepared;
    }
    prepared.m_bHeld = true;
    prepared.m_nBytes = static_cast<uint32_t>(content.size());
    return prepared;
}

// What a tree walk found, in the order of the sorted tree: a file to store,
// or something it leaves out.
enum class eFound {
    FILE,
    UNREADABLE_FOLDER,  // named and skipped; the walk goes on with the rest
    NOT_REGULAR,        // links, FIFOs, devices
    LINK_LOOP,          // a followed link to a folder above it
    BAD_NAME,           // no UTF-8 form, or a backslash in the name
};

// How a walk treats symbolic links: skipped, or followed with the folders
// entered on the way down kept to tell a loop.
struct CWalk {
    bool m_bFollowLinks = false;
    std::vector<std::pair<uint64_t, uint64_t>> m_vecFolders;  // device and inode, root first

    // True when `folder` may be entered: not following links, or it is not
    // one of the folders it lies in. Entering it notes it until Leave.
    bool Enter(const std::string& folder)
    {
        if (!m_bFollowLinks)
            return true;
        oru::tools::eEntryKind kind{};
        std::pair<uint64_t, uint64_t> id;
        if (!oru::tools::LinkTarget(folder, kind, id.first, id.second))
            return true;  // the listing will say why it cannot be read
        if (std::find(m_vecFolders.begin(), m_vecFolders.end(), id) != m_vecFolders.end())
            return false;
        m_vecFolders.push_back(id);
        return true;
    }
    void Leave()
    {
        if (m_bFollowLinks && !m_vecFolders.empty())
            m_vecFolders.pop_back();
    }
};

struct CFound {
    eFound m_eKind = eFound::FILE;
    std::string m_strRelative;  // '/'-separated, relative to the tree
    std::wstring m_strEntry;    // FILE: the '\'-separated entry name
    std::string m_strWhy;       // UNREADABLE_FOLDER: the system's reason
    bool m_bCheckName = false;  // FILE: its entry name may be another file's too
    std::string m_strSameAs;    // FILE: an earlier file with the same entry name
    CPrepared m_prepared;       // FILE, once prepared
};

// Entry names fold only the letters A to Z, and UTF-8 never uses those bytes
// inside a longer character, so folding the bytes of a path folds its name.
std::string FoldBytes(std::string text)
{
    for (char& ch : text)
        if (ch >= 'A' && ch <= 'Z')
            ch = static_cast<char>(ch - 'A' + 'a');
    return text;
}

// The folded names that more than one of `entries` share. Two paths fold to
// one entry name only where, in some folder, two of their components fold to
// one name: below such names the walk compares whole paths, elsewhere it
// compares nothing.
std::set<std::string> SharedFoldedNames(const std::vector<oru::tools::CFolderEntry>& entries)
{
    std::vector<std::string> folded;
    folded.reserve(entries.size());
    for (const oru::tools::CFolderEntry& entry : entries)
        folded.push_back(FoldBytes(entry.m_strName));
    std::sort(folded.begin(), folded.end());
    std::set<std::string> shared;
    for (size_t i = 1; i < folded.size(); ++i)
        if (folded[i] == folded[i - 1])
            shared.insert(folded[i]);
    return shared;
}

// Walks the tree under `root` in the order of its sorted relative paths and
// hands each find to `found`. A folder sorts as its name with a '/' behind,
// so the walk visits exactly the order a sort of all the paths would give.
// Symbolic links are followed only as `walk` says. Files whose entry names
// may be shared (see SharedFoldedNames) are marked; `mayShare` marks a whole
// subtree. The caller has entered `root` in `walk`.
template <typename TFound>
void WalkTree(const std::string& root, const std::string& relative, bool mayShare, CWalk& walk,
              TFound& found)
{
    const std::string folder = relative.empty() ? root : root + "/" + relative;
    std::vector<oru::tools::CFolderEntry> entries;
    const bool whole = oru::tools::ListFolder(folder, entries);
    const int why = oru::tools::LastFileError();
    if (walk.m_bFollowLinks) {
        for (oru::tools::CFolderEntry& entry : entries) {
            oru::tools::eEntryKind target{};
            uint64_t device = 0, inode = 0;
            if (entry.m_eKind == oru::tools::eEntryKind::LINK &&
                oru::tools::LinkTarget(folder + "/" + entry.m_strName, target, device, inode))
                entry.m_eKind = target;
        }
    }
    for (oru::tools::CFolderEntry& entry : entries)
        if (entry.m_eKind == oru::tools::eEntryKind::FOLDER)
            entry.m_strName += '/';
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.m_strName < b.m_strName; });
    const std::set<std::string> shared = SharedFoldedNames(entries);
    for (oru::tools::CFolderEntry& entry : entries) {
        const bool check = mayShare || (!shared.empty() && shared.count(FoldBytes(entry.m_strName)));
        if (entry.m_eKind == oru::tools::eEntryKind::FOLDER)
            entry.m_strName.pop_back();
        CFound find;
        find.m_bCheckName = check;
        find.m_strRelative = relative.empty() ? entry.m_strName : relative + "/" + entry.m_strName;
        if (entry.m_eKind == oru::tools::eEntryKind::FOLDER) {
            if (walk.Enter(root + "/" + find.m_strRelative)) {
                WalkTree(root, find.m_strRelative, check, walk, found);
                walk.Leave();
            } else {
                find.m_eKind = eFound::LINK_LOOP;
                found(std::move(find));
            }
            continue;
        }
        if (entry.m_eKind != oru::tools::eEntryKind::FILE) {
            find.m_eKind = eFound::NOT_REGULAR;
        } else {
            find.m_strEntry = Wide(find.m_strRelative);
            if (find.m_strEntry.empty() || find.m_strRelative.find('\\') != std::string::npos)
                find.m_eKind = eFound::BAD_NAME;
            std::replace(find.m_strEntry.begin(), find.m_strEntry.end(), L'/', L'\\');
        }
        found(std::move(find));
    }
    if (!whole) {
        CFound find;
        find.m_eKind = eFound::UNREADABLE_FOLDER;
        find.m_strRelative = folder;
        find.m_strWhy = std::strerror(why);
        found(std::move(find));
    }
}

// Walks the tree and prepares its files on a second thread while the pack
// stores the ones before them, so that reading, sniffing and compressing the
// next files costs the storing thread nothing. Finds are handed over in
// batches: the taker sleeps until a batch is ready or the walk is over, the
// walker until the taker has emptied the queue, so the two threads meet a few
// times per batch rather than for every file. The walker stays at most a
// window of files and of bytes ahead. When no thread can be started, the
// tree is walked first and each file prepared as it is taken.
class CTreeReader : private COruNonCopyable {
public:
    CTreeReader(std::string root, bool compress, uint32_t sectorSize, bool followLinks)
        : m_strRoot(std::move(root)), m_bCompress(compress), m_nSectorSize(sectorSize)
    {
        m_walk.m_bFollowLinks = followLinks;
        m_walk.Enter(m_strRoot);
        try {
            m_thread = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
            auto keep = [this](CFound&& find) {
                NoteEntryName(find);
                m_queue.push_back(std::move(find));
            };
            WalkTree(m_strRoot, "", false, m_walk, keep);
            m_bWalked = true;
        }
    }
    ~CTreeReader()
    {
        {
            std::lock_guard<std::mutex> lock(m_cs);
            m_bStop = true;
        }
        m_cvRoom.notify_one();
        if (m_thread.joinable())
            m_thread.join();
    }

    // Moves the next finds, in order, into `finds`, each file prepared; what
    // `finds` held is dropped. False once the walk is over and everything
    // was taken.
    bool Take(std::deque<CFound>& finds)
    {
        if (!m_thread.joinable()) {
            finds.clear();
            if (m_queue.empty())
                return false;
            finds.push_back(std::move(m_queue.front()));
            m_queue.pop_front();
            CFound& find = finds.back();
            if (find.m_eKind == eFound::FILE)
                find.m_prepared = Prepare(m_strRoot + "/" + find.m_strRelative, m_bCompress, m_nSectorSize);
            return true;
        }
        std::unique_lock<std::mutex> lock(m_cs);
        m_bTakerWaits = true;
        m_cvReady.wait(lock, [this] { return BatchReady(); });
        m_bTakerWaits = false;
        if (m_queue.empty())
            return false;  // walked, and everything taken
        // The finds stored last are freed by the walker, off this thread,
        // unless it has not yet come for the ones before.
        std::deque<CFound> spent;
        (m_spent.empty() ? m_spent : spent).swap(finds);
        finds.swap(m_queue);
        m_nQueuedBytes = 0;
        const bool wake = m_bWalkerWaits;
        lock.unlock();
        if (wake)
            m_cvRoom.notify_one();
        return true;
    }

private:
    static constexpr size_t BATCH_FILES = 16;
    static constexpr size_t WINDOW_FILES = 64;
    static constexpr size_t WINDOW_BYTES = 32 * 1024 * 1024;
    static constexpr unsigned PREPARERS = 2;  // the machines games are built on have at least two cores

    // Called under the lock. Once the walk is over, whatever is left is the
    // last batch, or nothing.
    bool BatchReady() const
    {
        if (m_bWalked)
            return true;
        return !m_queue.empty() && (m_queue.size() >= BATCH_FILES ||
                                    m_nQueuedBytes >= WINDOW_BYTES / 2 || m_bWalkerWaits);
    }

    // Two files whose names differ only in case would share one entry; the
    // later one, in the order of the walk, takes it.
    void NoteEntryName(CFound& find)
    {
        if (find.m_eKind != eFound::FILE || !find.m_bCheckName)
            return;
        const auto [it, inserted] =
            m_mapEntryNames.emplace(FoldBytes(find.m_strRelative), find.m_strRelative);
        if (!inserted) {
            find.m_strSameAs = it->second;
            it->second = find.m_strRelative;
        }
    }

    void Run()
    {
        if (m_bCompress) {
            RunCompressing();
        } else {
            auto hand = [this](CFound&& find) {
                if (m_bStop)
                    return;  // the taker is gone: the walk runs out without reading
                NoteEntryName(find);
                if (find.m_eKind == eFound::FILE)
                    find.m_prepared = Prepare(m_strRoot + "/" + find.m_strRelative, m_bCompress, m_nSectorSize);
                Hand(std::move(find));
            };
            WalkTree(m_strRoot, "", false, m_walk, hand);
        }
        std::lock_guard<std::mutex> lock(m_cs);
        m_bWalked = true;
        m_cvReady.notify_one();
    }

    // Compressing costs far more than reading, so it runs on every core: the
    // tree is walked first (names only), then PREPARERS threads compress the
    // files, each taking the next one not taken, at most a window ahead of
    // the hand-over, which goes on in the walk's order.
    void RunCompressing()
    {
        std::vector<CFound> finds;
        auto keep = [&](CFound&& find) {
            NoteEntryName(find);
            finds.push_back(std::move(find));
        };
        WalkTree(m_strRoot, "", false, m_walk, keep);
        std::mutex cs;
        std::condition_variable cvDone, cvRoom;
        std::vector<uint8_t> done(finds.size(), 0);
        size_t next = 0, handed = 0;
        const auto work = [&] {
            for (;;) {
                size_t i = 0;
                {
                    std::unique_lock<std::mutex> lock(cs);
                    cvRoom.wait(lock, [&] { return m_bStop || next >= finds.size() || next < handed + WINDOW_FILES; });
                    if (m_bStop || next >= finds.size())
                        return;
                    i = next++;
                }
                CFound& find = finds[i];
                if (find.m_eKind == eFound::FILE)
                    find.m_prepared = Prepare(m_strRoot + "/" + find.m_strRelative, true, m_nSectorSize);
                {
                    std::lock_guard<std::mutex> lock(cs);
                    done[i] = 1;
                }
                cvDone.notify_all();
            }
        };
        std::vector<std::thread> preparers;
        for (unsigned i = 0; i < PREPARERS; ++i) {
            try {
                preparers.emplace_back(work);
            } catch (const std::system_error&) {
                break;
            }
        }
        for (size_t i = 0; i < finds.size() && !m_bStop; ++i) {
            if (preparers.empty()) {
                if (finds[i].m_eKind == eFound::FILE)
                    finds[i].m_prepared = Prepare(m_strRoot + "/" + finds[i].m_strRelative, true, m_nSectorSize);
            } else {
                std::unique_lock<std::mutex> lock(cs);
                cvDone.wait(lock, [&] { return done[i] != 0; });
            }
            Hand(std::move(finds[i]));
            {
                std::lock_guard<std::mutex> lock(cs);
                handed = i + 1;
            }
            cvRoom.notify_all();
        }
        {
            std::lock_guard<std::mutex> lock(cs);
            handed = finds.size();  // a stop: the preparers see it and leave
        }
        cvRoom.notify_all();
        for (std::thread& preparer : preparers)
            preparer.join();
    }

    void Hand(CFound&& find)
    {
        std::deque<CFound> spent;
        std::unique_lock<std::mutex> lock(m_cs);
        spent.swap(m_spent);
        if (m_bStop)
            return;
        if (m_queue.size() >= WINDOW_FILES || m_nQueuedBytes >= WINDOW_BYTES) {
            m_bWalkerWaits = true;
            if (m_bTakerWaits)
                m_cvReady.notify_one();
            m_cvRoom.wait(lock, [this] { return m_bStop || m_queue.empty(); });
            m_bWalkerWaits = false;
            if (m_bStop)
                return;
        }
        m_nQueuedBytes += find.m_prepared.m_slots.size();
        m_queue.push_back(std::move(find));
        const bool wake = m_bTakerWaits && BatchReady();
        lock.unlock();
        if (wake)
            m_cvReady.notify_one();
    }

    const std::string m_strRoot;
    const bool m_bCompress;
    const uint32_t m_nSectorSize;
    CWalk m_walk;  // walker's only
    std::unordered_map<std::string, std::string> m_mapEntryNames;  // walker's only: folded -> path
    std::mutex m_cs;
    std::condition_variable m_cvReady;
    std::condition_variable m_cvRoom;
    std::deque<CFound> m_queue;
    std::deque<CFound> m_spent;  // stored, for the walker to free
    size_t m_nQueuedBytes = 0;
    bool m_bWalked = false;
    std::atomic<bool> m_bStop{false};
    bool m_bTakerWaits = false;
    bool m_bWalkerWaits = false;
    std::thread m_thread;  // last: it starts once everything above is built
};

// How an addition ended. A source that cannot be read is the source's
// problem: it is named and the rest goes on. A pack that cannot take what it
// is given (a full disk, a failed write, its size limit) is the pack's: a
// create then stops and keeps the pack as it was.
enum class eAdded { STORED, SOURCE_FAILED, PACK_FAILED };

// One addition: the file at `path`, prepared, stored under `entry`. The
// library reads the source at its work folder plus the entry name: `workDir`
// when the file already lies there under that name, else a link or a wrapped
// copy placed in the staging folder.
class CAdder {
public:
    CAdder(COruPack& pack, const std::string& base, bool compress)
        : m_pack(pack), m_strBase(base), m_bCompress(compress)
    {
    }

    eAdded Add(const std::string& path, const std::string& workDir, const std::wstring& entry)
    {
        CPrepared prepared = Prepare(path, m_bCompress, m_pack.GetPackInfo()->sector_size);
        return Add(prepared, path, workDir, entry);
    }

    // The pack writes the links of a held file into its slots.
    eAdded Add(CPrepared& prepared, const std::string& path, const std::string& workDir,
               const std::wstring& entry)
    {
        if (!prepared.m_strFailure.empty()) {
            Error("%s", prepared.m_strFailure.c_str());
            return eAdded::SOURCE_FAILED;
        }
        if (prepared.m_bHeld)
            return StoreHeld(prepared, path, entry);
        if (workDir.empty())
            return AddStaged(path, entry);
        m_pack.SetWorkDir(Wide(workDir));
        return Store(path, entry);
    }

private:
    // A file held in memory goes in from there, with its own file's times;
    // only the pack can refuse it.
    eAdded StoreHeld(CPrepared& prepared, const std::string& path, const std::wstring& entry)
    {
        oru::tools::ClearLastFileError();
        if (!oru::tools::CPackAccess::AddLaidOut(m_pack, entry, prepared.m_slots.data(),
                                                 prepared.m_nBytes, prepared.m_times)) {
            Error("%s: cannot store the file: %s", path.c_str(), AddFailure().c_str());
            return eAdded::PACK_FAILED;
        }
        return eAdded::STORED;
    }

    // Places a link to `path` in the staging folder under the entry's name
    // and adds it from there.
    eAdded AddStaged(const std::string& path, const std::wstring& entry)
    {
        if (!m_pStaging)
            m_pStaging = std::make_unique<CStaging>(m_strBase);
        std::string relative = Narrow(entry);
        std::replace(relative.begin(), relative.end(), '\\', '/');
        const std::string staged = m_pStaging->IsReady() ? m_pStaging->Place(relative) : "";
        const std::string source = staged.empty() ? "" : oru::tools::ResolvedPath(path);
        // A hard link where no symbolic link can be made (Windows without the
        // right to make them): the staging folder is beside the pack, and the
        // source usually on the same volume.
        if (source.empty() || (!oru::tools::MakeSymbolicLink(source, staged) &&
                               !oru::tools::MakeHardLink(source, staged))) {
            Error("%s: cannot prepare the file in a staging folder beside the pack: %s", path.c_str(),
                  std::strerror(oru::tools::LastFileError()));
            return eAdded::PACK_FAILED;
        }
        m_pack.SetWorkDir(m_pStaging->WorkDir());
        const eAdded added = Store(path, entry);
        oru::tools::RemoveFile(staged);
        return added;
    }

    // A large file is copied from disk by the library, so the reason tells
    // whose failure it was.
    eAdded Store(const std::string& path, const std::wstring& entry)
    {
        oru::tools::ClearLastFileError();
        if (!m_pack.AddFile(entry)) {
            Error("%s: cannot store the file: %s", path.c_str(), AddFailure().c_str());
            const int error = oru::tools::LastFileError();
            const bool sourceFailed = error == ENOENT || error == EACCES || error == EPERM ||
                                      error == EISDIR || error == EINVAL || error == ELOOP;
            return sourceFailed ? eAdded::SOURCE_FAILED : eAdded::PACK_FAILED;
        }
        return eAdded::STORED;
    }

    COruPack& m_pack;
    std::string m_strBase;
    bool m_bCompress;
    std::unique_ptr<CStaging> m_pStaging;
};

// Removes the two files of a pack this command created but filled with
// nothing, so that a failed command leaves nothing behind.
void RemoveNewPack(const std::string& base)
{
    oru::tools::RemoveFile(base + ".odx");
    oru::tools::RemoveFile(base + ".opk");
}

}  // namespace

// What a create left out, and why.
struct CSkipped {
    size_t m_nFolders = 0;     // could not be read
    size_t m_nNotRegular = 0;  // links, FIFOs, devices
    size_t m_nBadNames = 0;    // no UTF-8 form, or a backslash in the name
    size_t m_nNotStored = 0;   // could not be read or written into the pack
    size_t m_nSameName = 0;    // replaced by a later file with the same entry name

    size_t Total() const
    {
        return m_nFolders + m_nNotRegular + m_nBadNames + m_nNotStored + m_nSameName;
    }
};

// How storing a tree ended.
enum class eStored {
    ALL,          // every file stored
    SOME_SKIPPED, // some named and left out, the rest stored
    PACK_FAILED,  // the pack could not take a file: nothing may be saved
    INTERRUPTED,  // the user or the system asked the command to stop
};

// Where a tree's files go: the tree's folder, the work folder that the
// library reads a large file from, and what goes before each entry name (a
// work folder plus the prefixed entry name is the file's path).
struct CTreePlace {
    std::string m_strRoot;
    std::string m_strWorkDir;
    std::wstring m_strPrefix;
};

// Stores the tree's files as the reader hands them over, in the order of
// their sorted paths. Two files whose names differ only in case share one
// entry: the later one is kept, and that is said.
eStored StoreTree(CTreeReader& reader, CAdder& adder, const CTreePlace& place, CSkipped& skipped,
                  CProgress& progress)
{
    bool skippedAny = false;
    std::deque<CFound> finds;
    while (reader.Take(finds)) {
        for (CFound& find : finds) {
            if (oru::tools::TerminationRequested())
                return eStored::INTERRUPTED;
            const char* pRelative = find.m_strRelative.c_str();
            switch (find.m_eKind) {
            case eFound::UNREADABLE_FOLDER:
                Error("%s: cannot read the folder: %s", pRelative, find.m_strWhy.c_str());
                ++skipped.m_nFolders;
                skippedAny = true;
                continue;
            case eFound::NOT_REGULAR:
                Error("%s: skipped, not a regular file", pRelative);
                ++skipped.m_nNotRegular;
                continue;
            case eFound::LINK_LOOP:
                Error("%s: skipped, a symbolic link to a folder it lies in", pRelative);
                ++skipped.m_nNotRegular;
                continue;
            case eFound::BAD_NAME:
                Error("%s: skipped, the name cannot be stored (not UTF-8, or holds '\\')", pRelative);
                ++skipped.m_nBadNames;
                skippedAny = true;
                continue;
            case eFound::FILE:
                break;
            }
            if (!find.m_strSameAs.empty()) {
                Error("%s: has the same entry name as %s; only the last one is kept", pRelative,
                      find.m_strSameAs.c_str());
                ++skipped.m_nSameName;
                skippedAny = true;
            }
            switch (adder.Add(find.m_prepared, place.m_strRoot + "/" + find.m_strRelative,
                              place.m_strWorkDir, place.m_strPrefix + find.m_strEntry)) {
            case eAdded::STORED:
                break;
            case eAdded::SOURCE_FAILED:
                ++skipped.m_nNotStored;
                skippedAny = true;
                break;
            case eAdded::PACK_FAILED:
                return eStored::PACK_FAILED;
            }
            progress.Advance(1);
        }
    }
    return skippedAny ? eStored::SOME_SKIPPED : eStored::ALL;
}

// Opens the pack at `base` for a create, under the editing lock, emptied in
// memory: an existing pack keeps its sector size (a different one asked for
// is refused), a new one is saved empty at once, so that a create stopped
// by a kill leaves a pack rather than a data file without an index.
bool OpenForCreate(COruPack& pack, const std::string& base, uint32_t& sectorSize, bool sectorSizeGiven,
                   bool& existed)
{
    existed = !oru::tools::PathMissing(base + ".odx");
    if (!OpenForWriting(pack, base, true, sectorSize))
        return false;
    RemoveLeftovers(base);
    if (!existed) {
        if (oru::tools::CPackAccess::SaveNow(pack))
            return true;
        Error("%s.odx: cannot save the new pack: %s", base.c_str(),
              std::strerror(oru::tools::LastFileError()));
    } else if (sectorSizeGiven && pack.GetPackInfo()->sector_size != sectorSize) {
        Error("%s: the pack has sectors of %" PRIu32 " bytes; remove it first to make one with %" PRIu32,
              base.c_str(), pack.GetPackInfo()->sector_size, sectorSize);
    } else if (oru::tools::CPackAccess::DropAllEntries(pack)) {
        sectorSize = pack.GetPackInfo()->sector_size;
        return true;
    } else {
        Error("%s: not enough memory to empty the pack", base.c_str());
    }
    oru::tools::CPackAccess::AbandonChanges(pack);
    if (!existed)
        RemoveNewPack(base);
    return false;
}

int CmdCreate(const CArgs& args)
{
    uint32_t sectorSize = 0;
    if (!ParseSectorSize(args, sectorSize))
        return EXIT_USAGE;
    const std::string base = PackBase(args.m_vecWords[0]);
    const std::string dir = WithoutTrailingSeparators(args.m_vecWords[1]);
    if (!oru::tools::IsFolder(dir)) {
        Error("%s: not a folder", dir.c_str());
        return EXIT_FAILED;
    }

    // The pack is rebuilt in place, under the editing lock, as one editing
    // session: the new content goes to sectors the old index leaves free (or
    // appended ones), and the old index stays on disk, whole, until the new
    // one replaces it in one rename. Whatever stops the create before that,
    // the old pack is what readers find; a reader that has it open keeps
    // reading it afterwards, since its sectors are not written over.
    oru::tools::CatchTerminationRequests();
    bool existed = false;
    COruPack pack;
    if (!OpenForCreate(pack, base, sectorSize, args.m_mapValues.count("--sector-size") > 0, existed))
        return EXIT_FAILED;
    const bool compress = args.Has("--compress");
    CSkipped skipped;
    eStored stored = eStored::ALL;
    {
        CAdder adder(pack, base, compress);
        CTreeReader reader(dir, compress, sectorSize, args.Has("--follow-links"));
        CProgress progress("create");
        stored = StoreTree(reader, adder, {dir, dir + "/", L""}, skipped, progress);
    }
    // What the pack holds: files that shared an entry name count once.
    const size_t packed = pack.GetFileList()->size();
    if (stored == eStored::PACK_FAILED || stored == eStored::INTERRUPTED) {
        oru::tools::CPackAccess::AbandonChanges(pack);
        if (!existed)
            RemoveNewPack(base);
        if (stored == eStored::INTERRUPTED) {
            Error("%s: interrupted; %s", base.c_str(), existed ? "the pack is as it was" : "no pack made");
            oru::tools::EndBySignal(oru::tools::TerminationRequested());
        }
        Error("%s: %s", base.c_str(), existed ? "not changed" : "no pack made");
        return EXIT_FAILED;
    }
    if (!CloseAfterWriting(pack, base))
        return EXIT_FAILED;
    std::printf("%s: %zu files packed", base.c_str(), packed);
    if (skipped.Total() > 0)
        std::printf("; skipped: %zu unreadable folders, %zu files that could not be stored, "
                    "%zu not regular files, %zu names that cannot be stored, "
                    "%zu files whose entry name a later file took",
                    skipped.m_nFolders, skipped.m_nNotStored, skipped.m_nNotRegular,
                    skipped.m_nBadNames, skipped.m_nSameName);
    std::printf("\n");
    bool failed = stored == eStored::SOME_SKIPPED;
    if (std::fflush(stdout) != 0)
        failed = true;
    return failed ? EXIT_FAILED : EXIT_DONE;
}

// The entry name of `path`, a path relative to the base folder that must
// stay inside it, with '\' between folders; "." (the base folder itself)
// gives an empty name. False when it cannot be a name.
bool EntryNameOf(const std::string& path, std::wstring& entry)
{
    const std::string relative = WithoutTrailingSeparators(fs::path(path).lexically_normal().generic_string());
    if (relative == ".") {
        entry.clear();
        return true;
    }
    entry = Wide(relative);
    if (relative.empty() || oru::tools::IsAbsolutePath(relative) || relative.compare(0, 2, "..") == 0 ||
        entry.empty() || relative.find('\\') != std::string::npos)
        return false;
    std::replace(entry.begin(), entry.end(), L'/', L'\\');
    return true;
}

int CmdAdd(const CArgs& args)
{
    const auto as = args.m_mapValues.find("--as");
    if (as != args.m_mapValues.end() && args.m_vecWords.size() != 2)
        return EXIT_USAGE;
    std::wstring asEntry;
    if (as != args.m_mapValues.end()) {
        // Entry names separate folders with '\'; a name given with '/' is
        // stored in that form, or no lookup would find it.
        std::string name = as->second;
        std::replace(name.begin(), name.end(), '\\', '/');
        if (!EntryNameOf(name, asEntry) || asEntry.empty()) {
            Error("--as %s: not a name that can be stored", as->second.c_str());
            return EXIT_USAGE;
        }
    }
    // Sources are found in the base folder (-C DIR, else the current one),
    // and named by their paths relative to it, as create names a tree's files.
    const auto baseDirOption = args.m_mapValues.find("-C");
    const std::string baseDir =
        WithoutTrailingSeparators(baseDirOption == args.m_mapValues.end() ? "." : baseDirOption->second);
    if (!oru::tools::IsFolder(baseDir)) {
        Error("%s: not a folder", baseDir.c_str());
        return EXIT_FAILED;
    }
    const std::string base = PackBase(args.m_vecWords[0]);
    const bool existed = !oru::tools::PathMissing(base + ".odx");
    oru::tools::CatchTerminationRequests();
    COruPack pack;
    if (!OpenForWriting(pack, base, true, DEFAULT_SECTOR_SIZE))
        return EXIT_FAILED;
    RemoveLeftovers(base);

    bool failed = false;
    int interrupted = 0;
    const bool compress = args.Has("--compress");
    {
        CAdder adder(pack, base, compress);  // its staging folder goes before the command ends
        CProgress progress("add");
        for (size_t i = 1; i < args.m_vecWords.size(); ++i) {
            if ((interrupted = oru::tools::TerminationRequested()) != 0)
                break;
            const std::string& word = args.m_vecWords[i];
            const std::string source = baseDirOption == args.m_mapValues.end() ? word : baseDir + "/" + word;
            if (!asEntry.empty()) {
                if (oru::tools::IsFolder(source)) {
                    Error("%s: --as names one file, not a folder", word.c_str());
                    return EXIT_USAGE;
                }
                failed = adder.Add(source, "", asEntry) != eAdded::STORED || failed;
                continue;
            }
            std::wstring entry;
            if (!EntryNameOf(word, entry)) {
                Error("%s: give the entry a name with --as NAME, or a base folder with -C DIR", word.c_str());
                failed = true;
                continue;
            }
            if (!oru::tools::IsFolder(source)) {
                failed = adder.Add(source, baseDir + "/", entry) != eAdded::STORED || failed;
                progress.Advance(1);
                continue;
            }
            // A folder: its files, named by their paths from the base folder.
            CSkipped skipped;
            CTreeReader reader(source, compress, pack.GetPackInfo()->sector_size, args.Has("--follow-links"));
            const CTreePlace place{source, baseDir + "/", entry.empty() ? entry : entry + L"\\"};
            const eStored stored = StoreTree(reader, adder, place, skipped, progress);
            if (stored == eStored::INTERRUPTED)
                interrupted = oru::tools::TerminationRequested();
            failed = stored == eStored::PACK_FAILED || stored == eStored::SOME_SKIPPED || failed;
        }
    }
    if (interrupted != 0) {
        oru::tools::CPackAccess::AbandonChanges(pack);
        if (!existed)
            RemoveNewPack(base);
        Error("%s: interrupted; %s", base.c_str(), existed ? "the pack is as it was" : "no pack made");
        oru::tools::EndBySignal(interrupted);
    }
    if (!existed && pack.GetFileList()->empty()) {
        pack.CloseOruPack();
        RemoveNewPack(base);
        return EXIT_FAILED;
    }
    if (!CloseAfterWriting(pack, base))
        return EXIT_FAILED;
    return failed ? EXIT_FAILED : EXIT_DONE;
}

int CmdRm(const CArgs& args)
{
    const std::string base = PackBase(args.m_vecWords[0]);
    COruPack pack;
    if (!OpenForWriting(pack, base, false, DEFAULT_SECTOR_SIZE))
        return EXIT_FAILED;
    RemoveLeftovers(base);
    bool failed = false;
    for (size_t i = 1; i < args.m_vecWords.size(); ++i) {
        const std::wstring key = FindEntry(pack, args.m_vecWords[i]);
        if (key.empty() || !pack.DelFile(key)) {
            Error("%s: no such entry in %s", args.m_vecWords[i].c_str(), base.c_str());
            failed = true;
        }
    }
    if (!CloseAfterWriting(pack, base))
        return EXIT_FAILED;
    return failed ? EXIT_FAILED : EXIT_DONE;
}

}  // namespace orupack

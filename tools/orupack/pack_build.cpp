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

#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

namespace fs = std::filesystem;

namespace orupack {
namespace {

constexpr uint32_t DEFAULT_SECTOR_SIZE = 512;

struct CSource {
    std::string m_strRelative;  // '/'-separated, relative to the tree
    std::wstring m_strEntry;    // '\'-separated entry name
};

// A scratch folder beside the pack, removed with its content at the end.
class CStaging {
public:
    explicit CStaging(const std::string& base)
    {
        std::string pattern = base + ".staging-XXXXXX";
        if (mkdtemp(pattern.data()))
            m_strPath = pattern;
    }
    ~CStaging()
    {
        std::error_code ec;
        if (!m_strPath.empty())
            fs::remove_all(m_strPath, ec);
    }
    CStaging(const CStaging&) = delete;
    CStaging& operator=(const CStaging&) = delete;

    bool IsReady() const { return !m_strPath.empty(); }
    // The work folder to give the library.
    std::wstring WorkDir() const { return Wide(m_strPath + "/"); }
    // Where an entry's source goes; its folders are created.
    std::string Place(const std::string& relative) const
    {
        const fs::path path = fs::path(m_strPath) / relative;
        std::error_code ec;
        fs::create_directories(path.parent_path(), ec);
        return path.string();
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
    if (it->second.empty() || *pEnd != '\0' || value == 0 || value > UINT32_MAX ||
        !oru::tools::DataFileFits(1, static_cast<uint32_t>(value))) {
        Error("--sector-size: '%s' is not a sector size (1 to 2147483639 bytes)",
              it->second.c_str());
        return false;
    }
    sectorSize = static_cast<uint32_t>(value);
    return true;
}

// What a tree walk left out, and why.
struct CSkipped {
    size_t m_nFolders = 0;     // could not be read
    size_t m_nNotRegular = 0;  // links, FIFOs, devices
    size_t m_nBadNames = 0;    // no UTF-8 form, or a backslash in the name
    size_t m_nNotStored = 0;   // could not be read or written into the pack
};

// Adds the regular files of `relative` (a folder under `root`, "" for the
// root itself) and of its folders to `sources`. A folder that cannot be read
// is named and skipped; the walk goes on with the rest. Symbolic links are
// never followed.
void CollectFolder(const std::string& root, const std::string& relative,
                   std::vector<CSource>& sources, CSkipped& skipped)
{
    const std::string folder = relative.empty() ? root : root + "/" + relative;
    std::error_code ec;
    fs::directory_iterator it(folder, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const std::string child = relative.empty() ? name : relative + "/" + name;
        std::error_code typeError;
        const bool link = it->is_symlink(typeError);
        if (!link && it->is_directory(typeError)) {
            CollectFolder(root, child, sources, skipped);
            continue;
        }
        if (link || !it->is_regular_file(typeError)) {
            Error("%s: skipped, not a regular file", child.c_str());
            ++skipped.m_nNotRegular;
            continue;
        }
        std::wstring entry = Wide(child);
        if (entry.empty() || child.find('\\') != std::string::npos) {
            Error("%s: skipped, the name cannot be stored (not UTF-8, or holds '\\')",
                  child.c_str());
            ++skipped.m_nBadNames;
            continue;
        }
        std::replace(entry.begin(), entry.end(), L'/', L'\\');
        sources.push_back({child, std::move(entry)});
    }
    if (ec) {
        Error("%s: cannot read the folder: %s", folder.c_str(), ec.message().c_str());
        ++skipped.m_nFolders;
    }
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
// up to HELD_BYTES, and any file stored wrapped, is read whole, so that the
// pack takes it from memory; a larger plain file is left for the library to
// copy from disk. A file is stored wrapped when compression is asked for and
// that is smaller, and always when readers would otherwise decode its plain
// bytes.
struct CPrepared {
    std::string m_strFailure;  // why it cannot be stored; empty when it can
    bool m_bHeld = false;      // m_vecContent holds what is to be stored
    std::vector<uint8_t> m_vecContent;
    oru::tools::CFileTimes m_times{};
};

constexpr uint64_t HELD_BYTES = 4 * 1024 * 1024;

// Needs nothing of the pack, so it may run on another thread. A FIFO or a
// device is refused by the open without waiting.
CPrepared Prepare(const std::string& path, bool compress)
{
    CPrepared prepared;
    oru::tools::ClearLastFileError();
    const oru::tools::CFile file = oru::tools::CFile::OpenRead(path);
    if (!file.IsOpen()) {
        prepared.m_strFailure = path + ": " + OpenFailure(oru::tools::LastFileError());
        return prepared;
    }
    uint64_t size = 0;
    std::vector<uint8_t>& content = prepared.m_vecContent;
    const auto readFirst = [&](uint64_t bytes) {
        try {
            content.resize(static_cast<size_t>(bytes));
        } catch (const std::bad_alloc&) {
            return false;
        }
        return file.ReadExactAt(0, content.data(), content.size());
    };
    // Only the first bytes tell a large plain file's form.
    if (!file.SizeAndTimes(size, prepared.m_times) ||
        !readFirst(size <= HELD_BYTES || compress
                       ? size
                       : std::min<uint64_t>(size, sizeof oru::tools::WRAPPER_MAGIC))) {
        prepared.m_strFailure = path + ": cannot read the file";
        return prepared;
    }
    const bool mustWrap = ReadersWouldDecode(content.data(), content.size());
    if (content.size() < size) {
        if (!mustWrap)
            return prepared;
        if (!readFirst(size)) {
            prepared.m_strFailure = path + ": cannot read the file";
            return prepared;
        }
    }
    prepared.m_bHeld = true;
    if (!mustWrap && !compress)
        return prepared;
    std::vector<uint8_t> wrapped;
    if (WrapCompressed(content, wrapped, mustWrap))
        content.swap(wrapped);
    else if (mustWrap)
        prepared.m_strFailure = path + ": cannot compress the file, which must be stored compressed";
    return prepared;
}

// Prepares the sources of a create in order on a second thread while the
// pack stores the ones before them, so that opening, sniffing and compressing
// the next files costs the storing thread nothing. It stays at most a window
// of files and of wrapped bytes ahead. When no thread can be started, each
// file is prepared as it is taken.
class CReadAhead {
public:
    CReadAhead(std::vector<std::string> paths, bool compress)
        : m_vecPaths(std::move(paths)), m_bCompress(compress)
    {
        try {
            m_thread = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
        }
    }
    ~CReadAhead()
    {
        {
            std::lock_guard<std::mutex> lock(m_cs);
            m_bStop = true;
        }
        m_cvRoom.notify_one();
        if (m_thread.joinable())
            m_thread.join();
    }
    CReadAhead(const CReadAhead&) = delete;
    CReadAhead& operator=(const CReadAhead&) = delete;

    // The next source's preparation, in the order of the paths given; called
    // once per path.
    CPrepared Next()
    {
        if (!m_thread.joinable())
            return Prepare(m_vecPaths[m_nTaken++], m_bCompress);
        std::unique_lock<std::mutex> lock(m_cs);
        m_bTakerWaits = true;
        m_cvReady.wait(lock, [this] { return !m_queue.empty(); });
        m_bTakerWaits = false;
        CPrepared prepared = std::move(m_queue.front());
        m_queue.pop_front();
        m_nQueuedBytes -= prepared.m_vecContent.size();
        // The reader is woken once half the window is free rather than for
        // every file: a wake-up per file cost more than the work it saved.
        const bool wake = m_bReaderWaits && m_queue.size() <= WINDOW_FILES / 2 &&
                          m_nQueuedBytes <= WINDOW_BYTES / 2;
        lock.unlock();
        if (wake)
            m_cvRoom.notify_one();
        return prepared;
    }

private:
    static constexpr size_t WINDOW_FILES = 64;
    static constexpr size_t WINDOW_BYTES = 64 * 1024 * 1024;

    void Run()
    {
        for (const std::string& path : m_vecPaths) {
            CPrepared prepared = Prepare(path, m_bCompress);
            std::unique_lock<std::mutex> lock(m_cs);
            m_bReaderWaits = true;
            m_cvRoom.wait(lock, [this] {
                return m_bStop || m_queue.empty() ||
                       (m_queue.size() < WINDOW_FILES && m_nQueuedBytes < WINDOW_BYTES);
            });
            m_bReaderWaits = false;
            if (m_bStop)
                return;
            m_nQueuedBytes += prepared.m_vecContent.size();
            m_queue.push_back(std::move(prepared));
            const bool wake = m_bTakerWaits;
            lock.unlock();
            if (wake)
                m_cvReady.notify_one();
        }
    }

    const std::vector<std::string> m_vecPaths;
    const bool m_bCompress;
    size_t m_nTaken = 0;  // without a thread
    std::mutex m_cs;
    std::condition_variable m_cvReady;
    std::condition_variable m_cvRoom;
    std::deque<CPrepared> m_queue;
    size_t m_nQueuedBytes = 0;
    bool m_bStop = false;
    bool m_bTakerWaits = false;   // Next waits for a file
    bool m_bReaderWaits = false;  // the reader waits for room
    std::thread m_thread;  // last: it starts once everything above is built
};

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

    bool Add(const std::string& path, const std::string& workDir, const std::wstring& entry)
    {
        return Add(Prepare(path, m_bCompress), path, workDir, entry);
    }

    bool Add(const CPrepared& prepared, const std::string& path, const std::string& workDir,
             const std::wstring& entry)
    {
        if (!prepared.m_strFailure.empty()) {
            Error("%s", prepared.m_strFailure.c_str());
            return false;
        }
        if (prepared.m_bHeld)
            return StoreHeld(prepared, path, entry);
        if (workDir.empty())
            return AddStaged(path, entry);
        m_pack.SetWorkDir(Wide(workDir));
        return Store(path, entry);
    }

    size_t Added() const { return m_nAdded; }

private:

    // A file held in memory goes in from there, with its own file's times.
    bool StoreHeld(const CPrepared& prepared, const std::string& path, const std::wstring& entry)
    {
        oru::tools::ClearLastFileError();
        const std::vector<uint8_t>& content = prepared.m_vecContent;
        if (content.size() > UINT32_MAX ||
            !m_pack.AddFileData(entry, content.data(), static_cast<uint32_t>(content.size()),
                                prepared.m_times.m_nCreation, prepared.m_times.m_nAccess,
                                prepared.m_times.m_nWrite)) {
            Error("%s: cannot store the file: %s", path.c_str(), AddFailure().c_str());
            return false;
        }
        ++m_nAdded;
        return true;
    }

    // Places a link to `path` in the staging folder under the entry's name
    // and adds it from there.
    bool AddStaged(const std::string& path, const std::wstring& entry)
    {
        if (!m_pStaging)
            m_pStaging = std::make_unique<CStaging>(m_strBase);
        std::string relative = Narrow(entry);
        std::replace(relative.begin(), relative.end(), '\\', '/');
        const std::string staged = m_pStaging->IsReady() ? m_pStaging->Place(relative) : "";
        std::error_code ec;
        if (!staged.empty())
            fs::create_symlink(fs::absolute(path, ec), staged, ec);
        if (staged.empty() || ec) {
            Error("%s: cannot prepare the file in a staging folder beside the pack%s%s",
                  path.c_str(), ec ? ": " : "", ec ? ec.message().c_str() : "");
            return false;
        }
        m_pack.SetWorkDir(m_pStaging->WorkDir());
        const bool stored = Store(path, entry);
        fs::remove(staged, ec);
        return stored;
    }

    bool Store(const std::string& path, const std::wstring& entry)
    {
        oru::tools::ClearLastFileError();
        if (!m_pack.AddFile(entry)) {
            Error("%s: cannot store the file: %s", path.c_str(), AddFailure().c_str());
            return false;
        }
        ++m_nAdded;
        return true;
    }

    COruPack& m_pack;
    std::string m_strBase;
    bool m_bCompress;
    std::unique_ptr<CStaging> m_pStaging;
    size_t m_nAdded = 0;
};

// Removes the two files of a pack this command created but filled with
// nothing, so that a failed command leaves nothing behind.
void RemoveNewPack(const std::string& base)
{
    std::error_code ec;
    fs::remove(base + ".odx", ec);
    fs::remove(base + ".opk", ec);
}

}  // namespace

int CmdCreate(const CArgs& args)
{
    uint32_t sectorSize = 0;
    if (args.m_vecWords.size() != 2 || !ParseSectorSize(args, sectorSize))
        return EXIT_USAGE;
    const std::string base = PackBase(args.m_vecWords[0]);
    std::string dir = args.m_vecWords[1];
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
        Error("%s: not a folder", dir.c_str());
        return EXIT_FAILED;
    }

    CSkipped skipped;
    std::vector<CSource> sources;
    CollectFolder(dir, "", sources, skipped);
    std::sort(sources.begin(), sources.end(),
              [](const CSource& a, const CSource& b) { return a.m_strRelative < b.m_strRelative; });
    // Two files whose names differ only in case would share one entry.
    bool failed = skipped.m_nFolders + skipped.m_nBadNames > 0;
    std::map<std::wstring, const CSource*> folded;
    for (const CSource& source : sources) {
        const auto [it, inserted] = folded.emplace(oru::tools::FoldName(source.m_strEntry), &source);
        if (!inserted) {
            Error("%s: has the same entry name as %s; only the last one is kept",
                  source.m_strRelative.c_str(), it->second->m_strRelative.c_str());
            failed = true;
        }
    }

    // A new pack replaces whatever was there, unless someone is editing it.
    if (oru::tools::PackEditedElsewhere(base)) {
        Error("%s: the pack is being edited elsewhere", base.c_str());
        return EXIT_FAILED;
    }
    for (const char* pExtension : {".odx", ".opk"}) {
        fs::remove(base + pExtension, ec);
        if (ec) {
            Error("%s%s: cannot replace the old file: %s", base.c_str(), pExtension,
                  ec.message().c_str());
            return EXIT_FAILED;
        }
    }
    COruPack pack;
    if (!OpenForWriting(pack, base, true, sectorSize))
        return EXIT_FAILED;
    const bool compress = args.Has("--compress");
    CAdder adder(pack, base, compress);
    std::vector<std::string> paths;
    paths.reserve(sources.size());
    for (const CSource& source : sources)
        paths.push_back(dir + "/" + source.m_strRelative);
    {
        CProgress progress("create", sources.size());
        CReadAhead readAhead(paths, compress);
        for (size_t i = 0; i < sources.size(); ++i) {
            if (!adder.Add(readAhead.Next(), paths[i], dir + "/", sources[i].m_strEntry)) {
                ++skipped.m_nNotStored;
                failed = true;
            }
            progress.Advance(1);
        }
    }
    if (!CloseAfterWriting(pack, base))
        return EXIT_FAILED;
    std::printf("%s: %zu files packed", base.c_str(), adder.Added());
    const size_t skippedInAll = skipped.m_nFolders + skipped.m_nNotRegular +
                                skipped.m_nBadNames + skipped.m_nNotStored;
    if (skippedInAll > 0)
        std::printf("; skipped: %zu unreadable folders, %zu files that could not be stored, "
                    "%zu not regular files, %zu names that cannot be stored",
                    skipped.m_nFolders, skipped.m_nNotStored, skipped.m_nNotRegular,
                    skipped.m_nBadNames);
    std::printf("\n");
    if (std::fflush(stdout) != 0)
        failed = true;
    return failed ? EXIT_FAILED : EXIT_DONE;
}

int CmdAdd(const CArgs& args)
{
    const auto as = args.m_mapValues.find("--as");
    if (args.m_vecWords.size() < 2 || (as != args.m_mapValues.end() && args.m_vecWords.size() != 2))
        return EXIT_USAGE;
    std::wstring asEntry;
    if (as != args.m_mapValues.end()) {
        // Entry names separate folders with '\'; a name given with '/' is
        // stored in that form, or no lookup would find it.
        std::string name = as->second;
        std::replace(name.begin(), name.end(), '\\', '/');
        const fs::path path = fs::path(name).lexically_normal();
        asEntry = Wide(as->second);
        if (name.empty() || path.is_absolute() || path.generic_string().compare(0, 2, "..") == 0 ||
            asEntry.empty()) {
            Error("--as %s: not a name that can be stored", as->second.c_str());
            return EXIT_USAGE;
        }
        std::replace(asEntry.begin(), asEntry.end(), L'/', L'\\');
    }
    const std::string base = PackBase(args.m_vecWords[0]);
    std::error_code ec;
    const bool existed = fs::exists(base + ".odx", ec);
    COruPack pack;
    if (!OpenForWriting(pack, base, true, DEFAULT_SECTOR_SIZE))
        return EXIT_FAILED;

    bool failed = false;
    CAdder adder(pack, base, false);
    for (size_t i = 1; i < args.m_vecWords.size(); ++i) {
        const std::string& file = args.m_vecWords[i];
        if (!asEntry.empty()) {
            failed = !adder.Add(file, "", asEntry) || failed;
            continue;
        }
        // The name is the path as given, which must stay inside the current
        // folder so that the name means something in the pack.
        const fs::path path = fs::path(file).lexically_normal();
        const std::string relative = path.generic_string();
        std::wstring entry = Wide(relative);
        if (path.is_absolute() || relative.compare(0, 2, "..") == 0 || entry.empty() ||
            relative.find('\\') != std::string::npos) {
            Error("%s: give the entry a name with --as NAME", file.c_str());
            failed = true;
            continue;
        }
        std::replace(entry.begin(), entry.end(), L'/', L'\\');
        failed = !adder.Add(file, "./", entry) || failed;
    }
    if (!existed && adder.Added() == 0) {
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
    if (args.m_vecWords.size() < 2)
        return EXIT_USAGE;
    const std::string base = PackBase(args.m_vecWords[0]);
    COruPack pack;
    if (!OpenForWriting(pack, base, false, DEFAULT_SECTOR_SIZE))
        return EXIT_FAILED;
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

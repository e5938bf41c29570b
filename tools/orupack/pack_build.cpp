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

#include "pack/pack_format.h"
#include "platform/files.h"

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

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
        !oru::detail::DataFileFits(1, static_cast<uint32_t>(value))) {
        Error("--sector-size: '%s' is not a sector size (1 to 2147483639 bytes)",
              it->second.c_str());
        return false;
    }
    sectorSize = static_cast<uint32_t>(value);
    return true;
}

// The regular files under `dir` in name order; what cannot be stored is
// reported and left out (`failed` is set).
bool CollectTree(const std::string& dir, std::vector<CSource>& sources, bool& failed)
{
    std::error_code ec;
    fs::recursive_directory_iterator it(dir, ec), end;
    if (ec) {
        Error("%s: cannot read the folder: %s", dir.c_str(), ec.message().c_str());
        return false;
    }
    for (; it != end; it.increment(ec)) {
        if (ec) {
            Error("%s: %s", dir.c_str(), ec.message().c_str());
            failed = true;
            break;
        }
        // The entry's cached type answers without asking the system again;
        // symbolic links are never followed.
        const bool link = it->is_symlink(ec);
        if (!link && it->is_directory(ec))
            continue;
        const std::string relative = it->path().lexically_relative(dir).generic_string();
        if (link || !it->is_regular_file(ec)) {
            Error("%s: skipped, not a regular file", relative.c_str());
            continue;
        }
        std::wstring entry = Wide(relative);
        if (entry.empty() || relative.find('\\') != std::string::npos) {
            Error("%s: skipped, the name cannot be stored (not UTF-8, or holds '\\')",
                  relative.c_str());
            failed = true;
            continue;
        }
        std::replace(entry.begin(), entry.end(), L'/', L'\\');
        sources.push_back({relative, std::move(entry)});
    }
    std::sort(sources.begin(), sources.end(),
              [](const CSource& a, const CSource& b) { return a.m_strRelative < b.m_strRelative; });
    return true;
}

// Gives the entry the times of its original file rather than those of the
// staged copy it was read from.
void KeepOriginalTimes(COruPack& pack, const std::wstring& entry, const std::string& original)
{
    uint64_t size = 0;
    oru::platform::CFileTimes times{};
    const auto it = pack.GetFileList()->find(oru::detail::FoldName(entry));
    if (it == pack.GetFileList()->end() || !oru::platform::FileSizeAndTimes(original, size, times))
        return;
    it->second.creation_time = times.m_nCreation;
    it->second.last_access_time = times.m_nAccess;
    it->second.last_write_time = times.m_nWrite;
}

// Adds one file of the tree, compressed when asked and worth it.
bool AddFromTree(CToolPack& pack, const std::string& dir, const CSource& source,
                 const CStaging* pStaging)
{
    if (pStaging) {
        std::vector<uint8_t> content, wrapped;
        const std::string original = dir + "/" + source.m_strRelative;
        if (!ReadFileBytes(original, content)) {
            Error("%s: cannot read the file", original.c_str());
            return false;
        }
        if (WrapCompressed(content, wrapped)) {
            const std::string staged = pStaging->Place(source.m_strRelative);
            std::ofstream out(staged, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(wrapped.data()),
                      static_cast<std::streamsize>(wrapped.size()));
            out.close();
            pack.SetWorkDir(pStaging->WorkDir());
            const bool added = out && pack.AddFile(source.m_strEntry);
            std::error_code ec;
            fs::remove(staged, ec);
            if (added)
                KeepOriginalTimes(pack, source.m_strEntry, original);
            else
                Error("%s: cannot store the compressed file (data file full or unwritable?)",
                      original.c_str());
            return added;
        }
    }
    pack.SetWorkDir(Wide(dir + "/"));
    if (pack.AddFile(source.m_strEntry))
        return true;
    Error("%s/%s: cannot store the file (unreadable, 2 GiB pack limit, or data file unwritable)",
          dir.c_str(), source.m_strRelative.c_str());
    return false;
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

    bool failed = false;
    std::vector<CSource> sources;
    if (!CollectTree(dir, sources, failed))
        return EXIT_FAILED;
    // Two files whose names differ only in case would share one entry.
    std::map<std::wstring, const CSource*> folded;
    for (const CSource& source : sources) {
        const auto [it, inserted] = folded.emplace(oru::detail::FoldName(source.m_strEntry), &source);
        if (!inserted) {
            Error("%s: has the same entry name as %s; only the last one is kept",
                  source.m_strRelative.c_str(), it->second->m_strRelative.c_str());
            failed = true;
        }
    }

    // A new pack replaces whatever was there.
    fs::remove(base + ".odx", ec);
    if (ec) {
        Error("%s.odx: cannot replace the old index: %s", base.c_str(), ec.message().c_str());
        return EXIT_FAILED;
    }
    CToolPack pack;
    if (!OpenForWriting(pack, base, true, sectorSize))
        return EXIT_FAILED;
    std::unique_ptr<CStaging> pStaging;
    if (args.Has("--compress")) {
        pStaging = std::make_unique<CStaging>(base);
        if (!pStaging->IsReady()) {
            Error("%s: cannot make a staging folder beside the pack", base.c_str());
            return EXIT_FAILED;
        }
    }

    {
        CProgress progress("create", sources.size());
        for (const CSource& source : sources) {
            if (!AddFromTree(pack, dir, source, pStaging.get()))
                failed = true;
            progress.Advance(1);
        }
    }
    if (!CloseAfterWriting(pack, base))
        return EXIT_FAILED;
    return failed ? EXIT_FAILED : EXIT_DONE;
}

int CmdAdd(const CArgs& args)
{
    const auto as = args.m_mapValues.find("--as");
    if (args.m_vecWords.size() < 2 || (as != args.m_mapValues.end() && args.m_vecWords.size() != 2))
        return EXIT_USAGE;
    const std::string base = PackBase(args.m_vecWords[0]);
    CToolPack pack;
    if (!OpenForWriting(pack, base, true, DEFAULT_SECTOR_SIZE))
        return EXIT_FAILED;

    bool failed = false;
    for (size_t i = 1; i < args.m_vecWords.size(); ++i) {
        const std::string& file = args.m_vecWords[i];
        std::error_code ec;
        if (!fs::is_regular_file(file, ec)) {
            Error("%s: not a regular file", file.c_str());
            failed = true;
            continue;
        }
        if (as == args.m_mapValues.end()) {
            // The name is the path as given, which must stay inside the
            // current folder so that the name means something in the pack.
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
            pack.SetWorkDir(L"");
            if (!pack.AddFile(entry)) {
                Error("%s: cannot store the file", file.c_str());
                failed = true;
            }
            continue;
        }

        // --as NAME: the file is linked into a staging folder under NAME.
        std::string name = as->second;
        std::replace(name.begin(), name.end(), '\\', '/');
        const fs::path inStaging = fs::path(name).lexically_normal();
        if (name.empty() || inStaging.is_absolute() || inStaging.generic_string().compare(0, 2, "..") == 0 ||
            Wide(as->second).empty()) {
            Error("--as %s: not a name that can be stored", as->second.c_str());
            return EXIT_USAGE;
        }
        CStaging staging(base);
        const std::string link = staging.IsReady() ? staging.Place(inStaging.string()) : "";
        fs::create_symlink(fs::absolute(file, ec), link, ec);
        pack.SetWorkDir(staging.WorkDir());
        if (link.empty() || ec || !pack.AddFile(Wide(as->second))) {
            Error("%s: cannot store the file as %s", file.c_str(), as->second.c_str());
            failed = true;
        }
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
    CToolPack pack;
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

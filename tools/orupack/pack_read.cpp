// The commands that read packs: list, info, cat and extract.

#include "commands.h"
#include "compress.h"
#include "pack_view.h"

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>
#include <cerrno>
#include <cstring>
#include <cinttypes>
#include <optional>
#include <unordered_set>

namespace orupack {
namespace {

using oru::tools::COutputFile;

constexpr unsigned int COPY_BYTES = 256 * 1024;
constexpr unsigned int READ_FAILED = 0xFFFFFFFFu;

// Copies an entry's content to `out`; false, with a message naming `what`,
// when the stored data is damaged, reads short of the content's length (a
// cut data file, a broken chain), or the write fails.
bool CopyContent(COruFile& stream, COutputFile& out, const std::string& what, CBytes& buffer)
{
    buffer.resize(COPY_BYTES);
    uint64_t copied = 0;
    for (;;) {
        const unsigned int got = stream.Fread(buffer.data(), 1, COPY_BYTES);
        if (got == 0)
            break;
        if (got == READ_FAILED) {
            Error("%s: the stored data is damaged", what.c_str());
            return false;
        }
        if (!out.Write(buffer.data(), got)) {
            Error("%s: cannot write: %s", what.c_str(), std::strerror(errno));
            return false;
        }
        copied += got;
    }
    if (copied != stream.GetFileSize()) {
        Error("%s: the stored data is damaged: it reads %" PRIu64 " bytes of %" PRIu32, what.c_str(),
              copied, stream.GetFileSize());
        return false;
    }
    return true;
}

// The path under the target folder for an entry name, '/'-separated; empty,
// with the reason in `why`, when the name must not be written: absolute,
// with a drive, with a ".." component, or not convertible.
std::string SafeRelativePath(const std::wstring& name, const char*& why)
{
    const std::optional<std::string> utf8 = oru::tools::ToUtf8(name);
    if (!utf8) {
        why = "the name has no UTF-8 form";
        return {};
    }
    std::string text = *utf8;
    std::replace(text.begin(), text.end(), '\\', '/');
    if (text.empty() || text[0] == '/' || (text.size() > 1 && text[1] == ':')) {
        why = "the name is absolute";
        return {};
    }
    std::string relative;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t slash = std::min(text.find('/', start), text.size());
        const std::string part = text.substr(start, slash - start);
        start = slash + 1;
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            why = "the name holds a '..' component";
            return {};
        }
        relative += relative.empty() ? part : "/" + part;
    }
    if (relative.empty())
        why = "the name has no file part";
    return relative;
}

// Writes entries as files under one folder, the root.
//
// An entry's file is created under its own name when nothing is there yet,
// and removed again when the entry proves damaged, so a damaged entry never
// leaves a file that looks extracted. Where something is already there, the
// content goes to a temporary file beside it instead, which takes the
// target's name only once the whole entry read back clean: an existing file
// is never lost to a damaged entry, and a symbolic link in the target's place
// is replaced, never followed. The folders on the way are checked once each.
class CExtractor {
public:
    CExtractor(const CPackView& view, const std::string& root)
        : m_view(view),
          m_strRoot(root),
          m_strTemporary(".orupack-" + std::to_string(oru::tools::CurrentProcessId()))
    {
    }

    bool Extract(const CPackView::CEntry& entry)
    {
        const char* why = "";
        const std::string relative = SafeRelativePath(entry.Name(), why);
        if (relative.empty() || !MakeParents(relative, why)) {
            Error("%s: not extracted: %s", Narrow(entry.Name()).c_str(), why);
            return false;
        }
        const std::string path = m_strRoot + "/" + relative;
        const std::string name = Narrow(entry.Name());
        COutputFile out;
        if (out.OpenNew(path))
            return WriteOut(entry, name, path, out) || RemoveAfterFailure(path);
        if (errno != EEXIST) {
            Error("%s: cannot create %s: %s", name.c_str(), path.c_str(), std::strerror(errno));
            return false;
        }
        const std::string temporary = path + m_strTemporary;
        if (!out.OpenNew(temporary)) {
            Error("%s: cannot create %s: %s", name.c_str(), temporary.c_str(), std::strerror(errno));
            return false;
        }
        if (!WriteOut(entry, name, temporary, out))
            return RemoveAfterFailure(temporary);
        if (!oru::tools::RenameFile(temporary, path)) {
            Error("%s: cannot create %s: %s", name.c_str(), path.c_str(),
                  std::strerror(oru::tools::LastFileError()));
            return RemoveAfterFailure(temporary);
        }
        return true;
    }

private:
    // Creates the folders of `relative` under the root, refusing any that is
    // a symbolic link or not a folder.
    bool MakeParents(const std::string& relative, const char*& why)
    {
        size_t slash = 0;
        while ((slash = relative.find('/', slash)) != std::string::npos) {
            const std::string folder = relative.substr(0, slash++);
            if (m_setChecked.count(folder))
                continue;
            const std::string path = m_strRoot + "/" + folder;
            oru::tools::eEntryKind kind = oru::tools::eEntryKind::OTHER;
            if (!oru::tools::EntryKind(path, kind)) {
                if (!oru::tools::MakeDirectory(path)) {
                    why = "a folder cannot be created";
                    return false;
                }
            } else if (kind == oru::tools::eEntryKind::LINK) {
                why = "the path leads through a symbolic link";
                return false;
            } else if (kind != oru::tools::eEntryKind::FOLDER) {
                why = "a file stands where a folder is needed";
                return false;
            }
            m_setChecked.insert(folder);
        }
        return true;
    }

    // Copies the entry's content into `out`, made at `path`, and gives the
    // file the entry's times; false, with a message, when that fails.
    bool WriteOut(const CPackView::CEntry& entry, const std::string& name,
                  const std::string& path, COutputFile& out)
    {
        auto stream = m_view.Open(entry);
        bool ok = stream && CopyContent(*stream, out, name, m_buffer);
        if (!stream)
            Error("%s: cannot open the data file", name.c_str());
        if (ok)  // the file gets the entry's times, as the pack recorded them
            out.SetTimes(entry.m_info.last_access_time, entry.m_info.last_write_time);
        if (!out.Close() && ok) {
            Error("%s: cannot write %s: %s", name.c_str(), path.c_str(), std::strerror(errno));
            ok = false;
        }
        return ok;
    }

    static bool RemoveAfterFailure(const std::string& path)
    {
        oru::tools::RemoveFile(path);
        return false;
    }

    const CPackView& m_view;
    const std::string m_strRoot;
    const std::string m_strTemporary;  // the suffix of a temporary file's name
    std::unordered_set<std::string> m_setChecked;  // folders made or found, relative
    CBytes m_buffer;
};

using CChosen = std::vector<const CPackView::CEntry*>;

// The first entry of the second half of `chosen`: where each half holds
// about as many bytes, plus PER_FILE_BYTES for every file (making a file
// costs about as much as writing that many bytes).
size_t SecondHalf(const CChosen& chosen)
{
    constexpr uint64_t PER_FILE_BYTES = 16 * 1024;
    uint64_t total = 0;
    for (const auto* pEntry : chosen)
        total += pEntry->m_info.size + PER_FILE_BYTES;
    uint64_t first = 0;
    size_t split = 0;
    while (split < chosen.size() && first < total / 2)
        first += chosen[split++]->m_info.size + PER_FILE_BYTES;
    return split;
}

// Extracts the chosen entries on two threads, one half each, so that making
// files, most of the work, runs on both cores; on one when no second thread
// can be had. Each half has an extractor of its own; they meet only in the
// file system, where making a folder the other made already is no error.
// False when any entry failed.
bool ExtractAll(const CPackView& view, const std::string& root, const CChosen& chosen,
                CProgress& progress)
{
    const size_t split = SecondHalf(chosen);
    std::atomic<uint64_t> doneThere{0};
    bool failedThere = false;
    const auto extractSecondHalf = [&] {
        CExtractor extractor(view, root);
        for (size_t i = split; i < chosen.size(); ++i) {
            failedThere = !extractor.Extract(*chosen[i]) || failedThere;
            doneThere += chosen[i]->m_info.size;
        }
    };
    std::thread there;
    try {
        there = std::thread(extractSecondHalf);
    } catch (const std::system_error&) {
    }
    bool failed = false;
    uint64_t seenThere = 0;
    CExtractor extractor(view, root);
    for (size_t i = 0; i < split; ++i) {
        failed = !extractor.Extract(*chosen[i]) || failed;
        const uint64_t nowThere = doneThere.load();
        progress.Advance(chosen[i]->m_info.size + nowThere - seenThere);
        seenThere = nowThere;
    }
    if (there.joinable())
        there.join();
    else
        extractSecondHalf();
    progress.Advance(doneThere.load() - seenThere);
    return !failed && !failedThere;
}

}  // namespace

int CmdList(const CArgs& args)
{
    const CPackView view(ViewBases(args, args.m_vecWords.size()));
    if (!view.IsOpen())
        return EXIT_FAILED;
    const bool longForm = args.Has("--long");
    const bool layered = view.LayerCount() > 1;
    for (const CPackView::CEntry& entry : view.Entries()) {
        const _oru_pack_file_info& info = entry.m_info;
        uint32_t content = info.size;
        WrappedLength(view.Data(entry.m_nLayer), info, view.SectorSize(entry.m_nLayer), content);
        std::printf("%10" PRIu32 " %10" PRIu32 "  %s", content, info.size,
                    FormatFileTime(info.last_write_time).c_str());
        if (longForm)
            std::printf(" %10" PRIu32 " %6" PRIu32, info.first_sector, info.sector_count);
        if (longForm && layered)
            std::printf("  %s", view.Base(entry.m_nLayer).c_str());
        std::printf("  %s\n", Narrow(entry.Name()).c_str());
    }
    return std::fflush(stdout) == 0 ? EXIT_DONE : EXIT_FAILED;
}

int CmdInfo(const CArgs& args)
{
    const std::string base = PackBase(args.m_vecWords[0]);
    std::vector<uint8_t> image;
    _oru_pack_header header{};
    COruPack::FileList files;
    std::vector<uint8_t> used;
    if (!oru::tools::ReadWholeFile(base + ".odx", image)) {
        Error("%s.odx: cannot read the index", base.c_str());
        return EXIT_FAILED;
    }
    const bool whole = oru::tools::ParseIndex(image.data(), image.size(), {&header, &files, nullptr, &used});
    uint64_t dataBytes = 0;
    const bool dataFileRead = oru::tools::ReadableFileSize(base + ".opk", dataBytes);
    const uint64_t usedCount = static_cast<uint64_t>(std::count(used.begin(), used.end(), 1));
    std::printf("version          %" PRIu32 "\n", header.version);
    std::printf("sector size      %" PRIu32 "\n", header.sector_size);
    std::printf("sectors          %" PRIu32 " (%" PRIu64 " used, %" PRIu64 " free)\n",
                header.sector_count, usedCount, used.size() - usedCount);
    std::printf("data size        %" PRIu32 " (data file: %s)\n", header.data_size,
                dataFileRead ? std::to_string(dataBytes).c_str() : "missing");
    std::printf("entries          %" PRIu32 "\n", header.file_count);
    std::printf("total file size  %" PRIu32 "\n", header.total_file_size);
    if (!whole) {
        Error("%s.odx: the index is damaged (it ends before its records and usage table do)",
              base.c_str());
        return EXIT_FAILED;
    }
    return EXIT_DONE;
}

int CmdCat(const CArgs& args)
{
    const CPackView view(ViewBases(args, 1));
    if (!view.IsOpen())
        return EXIT_FAILED;
    const CPackView::CEntry* pEntry = view.Find(args.m_vecWords[1]);
    if (!pEntry) {
        Error("%s: no such entry in %s", args.m_vecWords[1].c_str(), view.Name().c_str());
        return EXIT_FAILED;
    }
    auto stream = view.Open(*pEntry);
    if (!stream) {
        Error("%s.opk: cannot open the data file", view.Base(pEntry->m_nLayer).c_str());
        return EXIT_FAILED;
    }
    COutputFile out;
    if (!out.OpenStandardOutput()) {
        Error("cannot write to standard output");
        return EXIT_FAILED;
    }
    CBytes buffer;
    return CopyContent(*stream, out, Narrow(pEntry->Name()), buffer) ? EXIT_DONE : EXIT_FAILED;
}

int CmdExtract(const CArgs& args)
{
    const std::string root = WithoutTrailingSeparators(args.m_vecWords[1]);
    const CPackView view(ViewBases(args, 1));
    if (!view.IsOpen())
        return EXIT_FAILED;
    if (!MakeFolders(root)) {
        Error("%s: cannot make the folder", root.c_str());
        return EXIT_FAILED;
    }

    bool failed = false;
    CChosen chosen;
    if (args.m_vecWords.size() == 2) {
        for (const CPackView::CEntry& entry : view.Entries())
            chosen.push_back(&entry);
    }
    for (size_t i = 2; i < args.m_vecWords.size(); ++i) {
        const CPackView::CEntry* pEntry = view.Find(args.m_vecWords[i]);
        if (!pEntry) {
            Error("%s: no such entry in %s", args.m_vecWords[i].c_str(), view.Name().c_str());
            failed = true;
            continue;
        }
        chosen.push_back(pEntry);
    }

    uint64_t totalBytes = 0;
    for (const auto* pEntry : chosen)
        totalBytes += pEntry->m_info.size;
    CProgress progress("extract", totalBytes);
    if (!ExtractAll(view, root, chosen, progress))
        failed = true;
    return failed ? EXIT_FAILED : EXIT_DONE;
}

}  // namespace orupack

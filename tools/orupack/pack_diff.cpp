// orupack diff: the patch pack that turns one pack into another.
//
// A game that reads OLD with the patch laid over it (a pack set) must read
// exactly NEW: every entry with NEW's content, and nothing NEW does not
// hold. So the patch holds each entry of NEW that OLD lacks or holds other
// bytes under, stored as NEW stores it (a compressed entry stays
// compressed), with NEW's times; and a removal list naming each entry of
// OLD that NEW lacks. OLD may itself be a pack with patches over it
// (--layer), for the next patch of a game that shipped some.
//
// The two packs are walked side by side in name order. An entry whose size,
// creation time and write time are the same in both is taken as unchanged
// without reading it, as a build that rewrites only what changed leaves the
// rest with their times: that is what keeps a diff a small part of a build.
// --check-content compares the bytes of those too, for trees whose tools
// put old times on new content. Any other entry is compared byte for byte;
// one whose content is the same is left out even when its times differ, as
// a patch carries content.

#include "commands.h"
#include "compress.h"
#include "pack_view.h"

#include <chrono>
#include <cinttypes>
#include <cstring>
#include <new>

namespace orupack {
namespace {

// The current time as a FILETIME count, for the removal list's record.
uint64_t NowAsFileTime()
{
    constexpr uint64_t UNIX_EPOCH_AS_FILETIME = 116444736000000000ull;
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    return UNIX_EPOCH_AS_FILETIME +
           static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100);
}

// Reads an entry's stored bytes whole into `bytes`; false when they read
// short, or the size its record claims cannot be had.
bool ReadStoredBytes(const CPackView& view, const CPackView::CEntry& entry, CBytes& bytes)
{
    try {
        bytes.resize(entry.m_info.size);
    } catch (const std::bad_alloc&) {
        return false;
    }
    const uint32_t layer = entry.m_nLayer;
    return view.Data(layer).ReadStored(entry.m_info, view.SectorSize(layer), 0, bytes.data(),
                                       bytes.size()) == bytes.size();
}

// What the walk found.
struct CDiff {
    size_t m_nStored = 0;
    std::vector<std::wstring> m_vecRemoved;
};

enum class eWalk { DONE, FAILED, INTERRUPTED };

// True when the records say the entry was not rebuilt.
bool SameRecord(const _oru_pack_file_info& a, const _oru_pack_file_info& b)
{
    return a.size == b.size && a.creation_time == b.creation_time && a.last_write_time == b.last_write_time;
}

// Stores each entry of NEW that OLD lacks or holds other bytes under, and
// lists those of OLD that NEW lacks. The set's own entries (removal lists of
// packs that are patches themselves) are not content and are passed over.
eWalk Walk(const CPackView& oldView, const CPackView& newView, bool checkContent, COruPack& patch, CDiff& diff)
{
    const auto& olds = oldView.Entries();
    const auto& news = newView.Entries();
    CBytes oldBytes, newBytes;
    CProgress progress("diff", news.size());
    size_t o = 0;
    for (const CPackView::CEntry& entry : news) {
        if (oru::tools::TerminationRequested())
            return eWalk::INTERRUPTED;
        progress.Advance(1);
        for (; o < olds.size() && olds[o].Name() < entry.Name(); ++o)
            if (!oru::tools::IsReservedName(olds[o].Name()))
                diff.m_vecRemoved.push_back(olds[o].Name());
        if (oru::tools::IsReservedName(entry.Name()))
            continue;
        const CPackView::CEntry* pOld = o < olds.size() && olds[o].Name() == entry.Name() ? &olds[o++] : nullptr;
        if (pOld && !checkContent && SameRecord(pOld->m_info, entry.m_info))
            continue;
        if (!ReadStoredBytes(newView, entry, newBytes)) {
            Error("%s: %s: the stored data is damaged (it reads short)", newView.Name().c_str(),
                  Narrow(entry.Name()).c_str());
            return eWalk::FAILED;
        }
        if (pOld && pOld->m_info.size == entry.m_info.size && ReadStoredBytes(oldView, *pOld, oldBytes) &&
            oldBytes == newBytes)
            continue;
        const _oru_pack_file_info& info = entry.m_info;
        if (!patch.AddFileData(entry.Name(), newBytes.data(), info.size, info.creation_time,
                               info.last_access_time, info.last_write_time)) {
            Error("cannot store %s in the patch: %s", Narrow(entry.Name()).c_str(),
                  std::strerror(oru::tools::LastFileError()));
            return eWalk::FAILED;
        }
        ++diff.m_nStored;
    }
    for (; o < olds.size(); ++o)
        if (!oru::tools::IsReservedName(olds[o].Name()))
            diff.m_vecRemoved.push_back(olds[o].Name());
    return eWalk::DONE;
}

bool StoreRemovals(COruPack& patch, const std::vector<std::wstring>& removed)
{
    std::string text;
    if (!oru::tools::FormatRemovals(removed, text)) {
        Error("an entry of OLD that NEW lacks has a name that a removal list cannot hold (a line break in it)");
        return false;
    }
    const uint64_t now = NowAsFileTime();
    if (!patch.AddFileData(std::wstring(oru::tools::REMOVED_ENTRY), text.data(),
                           static_cast<uint32_t>(text.size()), now, now, now)) {
        Error("cannot store the removal list: %s", std::strerror(oru::tools::LastFileError()));
        return false;
    }
    return true;
}

}  // namespace

int CmdDiff(const CArgs& args)
{
    const auto out = args.m_mapValues.find("--out");
    if (out == args.m_mapValues.end())
        return EXIT_USAGE;
    const CPackView oldView(ViewBases(args, 1));
    const CPackView newView({PackBase(args.m_vecWords[1])});
    if (!oldView.IsOpen() || !newView.IsOpen())
        return EXIT_FAILED;
    for (const CPackView* pView : {&oldView, &newView}) {
        for (uint32_t layer = 0; layer < pView->LayerCount(); ++layer) {
            if (!pView->Data(layer).IsOpen()) {
                Error("%s.opk: cannot open the data file", pView->Base(layer).c_str());
                return EXIT_FAILED;
            }
        }
    }

    const std::string base = PackBase(out->second);
    oru::tools::CatchTerminationRequests();
    uint32_t sectorSize = newView.SectorSize(0);
    bool existed = false;
    COruPack patch;
    if (!OpenForCreate(patch, base, sectorSize, false, existed))
        return EXIT_FAILED;
    CDiff diff;
    eWalk walk = Walk(oldView, newView, args.Has("--check-content"), patch, diff);
    if (walk == eWalk::DONE && !diff.m_vecRemoved.empty() && !StoreRemovals(patch, diff.m_vecRemoved))
        walk = eWalk::FAILED;
    if (walk != eWalk::DONE) {
        oru::tools::CPackAccess::AbandonChanges(patch);
        if (!existed) {
            oru::tools::RemoveFile(base + ".odx");
            oru::tools::RemoveFile(base + ".opk");
        }
        Error("%s: %s", base.c_str(), existed ? "not changed" : "no patch made");
        if (walk == eWalk::INTERRUPTED)
            oru::tools::EndBySignal(oru::tools::TerminationRequested());
        return EXIT_FAILED;
    }
    if (!CloseAfterWriting(patch, base))
        return EXIT_FAILED;
    std::printf("%s: %zu entries added or changed, %zu removed\n", base.c_str(), diff.m_nStored,
                diff.m_vecRemoved.size());
    return std::fflush(stdout) == 0 ? EXIT_DONE : EXIT_FAILED;
}

}  // namespace orupack

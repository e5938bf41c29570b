#include "tool_support.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <string_view>

namespace orupack {
namespace {

constexpr int BAR_WIDTH = 30;
constexpr uint64_t REDRAW_MS = 100;

// True while a progress bar's line is drawn and not yet ended: a message
// then starts on a line of its own, and the bar is drawn again below it.
std::atomic<bool> s_bBarOnLine{false};

uint64_t NowMs()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

bool EndsWith(const std::string& text, const char* pSuffix)
{
    const std::string suffix(pSuffix);
    return text.size() > suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

bool ParseArgs(int argc, char** argv, int first, const std::set<std::string>& flags,
               const std::set<std::string>& valued, CArgs& args)
{
    bool optionsEnded = false;
    for (int i = first; i < argc; ++i) {
        const std::string word = argv[i];
        if (optionsEnded) {
            args.m_vecWords.push_back(word);
        } else if (word == "--") {
            optionsEnded = true;
        } else if (flags.count(word)) {
            args.m_setFlags.insert(word);
        } else if (valued.count(word)) {
            if (i + 1 >= argc) {
                Error("%s needs a value", word.c_str());
                return false;
            }
            if (word == "--layer")
                args.m_vecLayers.push_back(argv[i + 1]);
            args.m_mapValues[word] = argv[++i];
        } else if (word.size() > 2 && word.compare(0, 2, "--") == 0) {
            Error("unknown option %s", word.c_str());
            return false;
        } else {
            args.m_vecWords.push_back(word);
        }
    }
    return true;
}

// The message goes out in one piece, so that two threads' messages never
// mix within a line.
void Error(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(length > 0 ? static_cast<size_t>(length) + 1 : 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, again);
    va_end(again);
    std::fprintf(stderr, "%sorupack: %s\n", s_bBarOnLine.exchange(false) ? "\n" : "", text.c_str());
}

std::string PackBase(const std::string& arg)
{
    if (EndsWith(arg, ".odx") || EndsWith(arg, ".opk"))
        return arg.substr(0, arg.size() - 4);
    return arg;
}

std::wstring Wide(const std::string& utf8)
{
    return oru::tools::FromUtf8(utf8).value_or(std::wstring());
}

std::string Narrow(const std::wstring& wide)
{
    return oru::tools::ToUtf8Lossy(wide);
}

bool OpenForWriting(COruPack& pack, const std::string& base, bool mayCreate, uint32_t sectorSize)
{
    const bool exists = !oru::tools::PathMissing(base + ".odx");
    if (!exists && !mayCreate) {
        Error("%s.odx: no such pack", base.c_str());
        return false;
    }
    const bool opened = pack.OpenOruPack(Wide(base), ORU_PACK_MODE_WRITE, sectorSize);
    if (oru::tools::CPackAccess::HoldsDataFile(pack))
        return true;
    if (oru::tools::PackEditedElsewhere(base))
        Error("%s: the pack is being edited elsewhere; try again when that is done", base.c_str());
    else if (uint64_t dataBytes = 0;
             !exists && oru::tools::ReadableFileSize(base + ".opk", dataBytes) && dataBytes > 0)
        Error("%s.odx: the index is missing, but %s.opk holds data; not touching it",
              base.c_str(), base.c_str());
    else if (exists && !opened)
        Error("%s.odx: the index is damaged or unreadable; the pack cannot be edited",
              base.c_str());
    else
        Error("%s.opk: cannot open the data file for writing", base.c_str());
    return false;
}

bool CloseAfterWriting(COruPack& pack, const std::string& base)
{
    pack.CloseOruPack();
    if (oru::tools::CPackAccess::IndexUnsaved(pack)) {
        Error("%s.odx: cannot save the index; the pack keeps its previous index", base.c_str());
        return false;
    }
    return true;
}

std::vector<std::string> Leftovers(const std::string& base)
{
    const size_t slash = base.find_last_of(oru::tools::PathSeparators());
    const std::string folder = slash == std::string::npos ? "." : base.substr(0, slash);
    const std::string name = slash == std::string::npos ? base : base.substr(slash + 1);
    std::vector<oru::tools::CFolderEntry> entries;
    oru::tools::ListFolder(folder, entries);
    const auto startsWith = [](const std::string& text, const std::string& start) {
        return text.compare(0, start.size(), start) == 0;
    };
    std::vector<std::string> found;
    for (const oru::tools::CFolderEntry& entry : entries) {
        const std::string& file = entry.m_strName;
        if (startsWith(file, name + ".odx.tmp") || startsWith(file, name + ".staging-") ||
            startsWith(file, name + ".orupack-new-"))
            found.push_back(folder + "/" + file);
    }
    return found;
}

void RemoveLeftovers(const std::string& base)
{
    for (const std::string& path : Leftovers(base))
        oru::tools::RemoveTree(path);
}

CProgress::CProgress(const char* pLabel, uint64_t total)
    : m_pLabel(pLabel), m_nTotal(total), m_bActive(oru::tools::StandardErrorIsTerminal())
{
}

CProgress::~CProgress()
{
    if (!m_bActive)
        return;
    if (m_nTotal != UNKNOWN_TOTAL)
        m_nDone = m_nTotal;
    Draw();
    std::fputc('\n', stderr);
    s_bBarOnLine = false;
}

void CProgress::Advance(uint64_t amount)
{
    m_nDone += amount;
    if (!m_bActive)
        return;
    const uint64_t now = NowMs();
    if (now - m_nLastDrawMs >= REDRAW_MS) {
        m_nLastDrawMs = now;
        Draw();
    }
}

void CProgress::Draw()
{
    if (m_nTotal == UNKNOWN_TOTAL) {
        std::fprintf(stderr, "\r%-8s %" PRIu64, m_pLabel, m_nDone);
        std::fflush(stderr);
        s_bBarOnLine = true;
        return;
    }
    const uint64_t done = std::min(m_nDone, m_nTotal);
    const int filled = m_nTotal ? static_cast<int>(done * BAR_WIDTH / m_nTotal) : BAR_WIDTH;
    const int percent = m_nTotal ? static_cast<int>(done * 100 / m_nTotal) : 100;
    char bar[BAR_WIDTH + 1];
    for (int i = 0; i < BAR_WIDTH; ++i)
        bar[i] = i < filled ? '#' : '.';
    bar[BAR_WIDTH] = '\0';
    std::fprintf(stderr, "\r%-8s [%s] %3d%%", m_pLabel, bar, percent);
    std::fflush(stderr);
    s_bBarOnLine = true;
}


std::string WithoutTrailingSeparators(std::string path)
{
    const std::string_view separators = oru::tools::PathSeparators();
    while (path.size() > 1 && separators.find(path.back()) != std::string_view::npos &&
           path[path.size() - 2] != ':')
        path.pop_back();
    return path;
}

bool MakeFolders(const std::string& path)
{
    const char* separators = oru::tools::PathSeparators();
    for (size_t slash = path.find_first_of(separators, 1); slash != std::string::npos;
         slash = path.find_first_of(separators, slash + 1))
        oru::tools::MakeDirectory(path.substr(0, slash));
    return oru::tools::MakeDirectory(path);
}

std::wstring FindEntry(COruPack& pack, const std::string& name)
{
    return FindEntry([&pack](const std::wstring& key) { return pack.GetFileList()->count(key) != 0; }, name);
}

std::wstring FindEntry(const std::function<bool(const std::wstring&)>& holds, const std::string& name)
{
    std::wstring key = oru::tools::FoldName(Wide(name));
    if (!key.empty() && holds(key))
        return key;
    std::replace(key.begin(), key.end(), L'/', L'\\');
    if (!key.empty() && holds(key))
        return key;
    return std::wstring();
}

timespec FileTimeToTimespec(uint64_t fileTime)
{
    const oru::tools::CUnixTime moment = oru::tools::FromFileTime(fileTime);
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(moment.m_nSeconds);
    ts.tv_nsec = static_cast<long>(moment.m_nNanoseconds);
    return ts;
}

std::string FormatFileTime(uint64_t fileTime)
{
    const oru::tools::CLocalTime local =
        oru::tools::LocalTimeAt(oru::tools::FromFileTime(fileTime).m_nSeconds);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", local.m_nYear,
                  local.m_nMonth, local.m_nDay, local.m_nHour, local.m_nMinute, local.m_nSecond);
    return text;
}


bool WrappedLength(const CDataFile& data, const _oru_pack_file_info& info, uint32_t sectorSize,
                   uint32_t& length)
{
    using oru::tools::WRAPPER_PREFIX_BYTES;
    if (info.size < WRAPPER_PREFIX_BYTES)
        return false;
    uint8_t start[WRAPPER_PREFIX_BYTES];
    const size_t got = data.ReadStored(info, sectorSize, 0, start, sizeof start);
    const oru::tools::CWrapperPrefix prefix = oru::tools::ParseWrapperPrefix(start, got);
    if (!prefix.IsWhole())
        return false;
    length = prefix.m_nDeclared;
    return true;
}

}  // namespace orupack

// The profiler keeps a call tree keyed by section name under the current
// section. A begin reads the counter and finds (or, the first time, creates)
// the child of that name; an end adds the ticks since the begin to the node
// and moves back to the parent. Nothing is formatted until LogResult, so a
// steady frame costs two counter readings and one map lookup per section.
//
// The table lists the tree depth first, children by name, each node with its
// inclusive share of the root's time, its exclusive share in parentheses and
// its call count:
//
//   Lv3_[12:00:00] :  Root<padding>\t100.000%  \t( 10.000%)\t         3
//   Lv3_[12:00:00] :    Physics<padding>\t 60.000%  \t( 60.000%)\t         3

#include <oru/timing/profiler.h>

#include <oru/log/exception_handler.h>
#include <oru/log/log_system.h>

#include "core/utf8.h"
#include "crash/crash_notes.h"
#include "log/log_folder.h"
#include "platform/memory_probe.h"
#include "platform/replace_file.h"
#include "timing/profiler_timeline.h"
#include "platform/clock.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <string_view>

template class CSingleton<CProFiler>;

namespace {

constexpr std::wstring_view ROOT_NAME = L"Root";
constexpr int TABLE_LOG_LEVEL = 3;
constexpr size_t LABEL_WIDTH = 50;  // labels are padded two blanks at a time up to here

constexpr size_t TABLE_WIDTH = 85;  // characters of the rules above and below the rows
constexpr std::wstring_view TABLE_TITLE = L"Profiler Results";
constexpr size_t TABLE_TITLE_AT = 23;  // characters of the title line's rule before the title

// The profiler that the free functions use, published once it is fully
// built and withdrawn when it is destroyed: the same object the singleton
// holds, reached with one load instead of the singleton's lock, which cost
// a begin/end pair about as much as everything else it does besides reading
// the clock.
std::atomic<CProFiler*> s_pPublished{nullptr};

int64_t ReadCounter()
{
    return oru::platform::Clocks().Counter();
}

using oru::detail::CProFileTimeline;

// Reads the counter for a begin or an end into `now`, one reading for the
// timeline and the tree, and hands it to the timeline's `Record` once a
// capture has started. False when the call tree must not see the section:
// profiling is off, or the section is another thread's, kept on that
// thread's own track only.
template <bool (CProFileTimeline::*Record)(const std::wstring&, int64_t)>
bool StampSection(const std::atomic<bool>& enabled, const std::unique_ptr<CProFileTimeline>& pTimeline,
                  const std::wstring& name, int64_t& now)
{
    if (!enabled.load(std::memory_order_relaxed))
        return false;
    now = ReadCounter();
    return !pTimeline->IsStarted() || ((*pTimeline).*Record)(name, now);
}

// Two blanks per level of depth, the name, then blanks two at a time until
// the label reaches 50 characters (so it ends at 50 or 51). A longer label
// is neither padded nor cut.
std::wstring MakeLabel(const std::wstring& name, int depth)
{
    std::wstring label(static_cast<size_t>(depth) * 2, L' ');
    label += name;
    while (label.size() < LABEL_WIDTH)
        label += L"  ";
    return label;
}

int64_t SelfTicks(const CProFileNode& node)
{
    int64_t self = node.m_nTotal;
    for (const auto& [name, pChild] : node.m_mapChildren)
        self -= pChild->m_nTotal;
    return self;
}

// A root without time prints shares of 0 rather than the result of a
// division by zero. Sections nest inside the root, so a share lies within
// 0-100 % already; the clamp keeps it there even if the counter steps back.
double Share(int64_t ticks, int64_t rootTicks)
{
    if (rootTicks <= 0)
        return 0.0;
    return std::clamp(static_cast<double>(ticks) / static_cast<double>(rootTicks) * 100.0, 0.0, 100.0);
}

void LogNode(CLogSystem& log, CProFileNode& node, int depth, int64_t rootTicks)
{
    node.m_nSelf = SelfTicks(node);
    log.Log(TABLE_LOG_LEVEL, L" %ls\t%7.3f%%  \t(%7.3f%%)\t%10d",
            MakeLabel(node.m_strName, depth).c_str(), Share(node.m_nTotal, rootTicks),
            Share(node.m_nSelf, rootTicks), node.m_nCallCount);
    for (auto& [name, pChild] : node.m_mapChildren)
        LogNode(log, *pChild, depth + 1, rootTicks);
}

// A rule of `ch` across the table, with `title` set into it when one is given.
void LogRule(CLogSystem& log, wchar_t ch, std::wstring_view title = {})
{
    std::wstring rule(TABLE_WIDTH, ch);
    rule.replace(TABLE_TITLE_AT, title.size(), title);
    log.Log(TABLE_LOG_LEVEL, L"%ls", rule.c_str());
}

void LogTable(CLogSystem& log, CProFileNode& root)
{
    LogRule(log, L'=', TABLE_TITLE);
    log.Log(TABLE_LOG_LEVEL, L" %ls\tToTal%%  \t\t%%   \tCallNum",
            MakeLabel(L"Func Name", 0).c_str());
    LogRule(log, L'-');
    LogNode(log, root, 0, root.m_nTotal);
    LogRule(log, L'=');
}

// A name goes into a folded line as UTF-8. The format separates frames with
// ';' and ends a line with a blank and the count, so a ';' or a line break
// inside a name would split it: those become '_'. Blanks are kept.
void AppendFoldedName(std::string& out, const std::wstring& name)
{
    for (char c : oru::detail::ToUtf8Lossy(name))
        out += (c == ';' || c == '\n' || c == '\r') ? '_' : c;
}

int64_t TicksToMicroseconds(int64_t ticks, int64_t frequency)
{
    if (ticks <= 0 || frequency <= 0)
        return 0;
    return std::llround(static_cast<long double>(ticks) * 1000000.0L /
                        static_cast<long double>(frequency));
}

void AppendFolded(std::string& out, std::string& path, const CProFileNode& node, int64_t frequency)
{
    const size_t parentLength = path.size();
    if (!path.empty())
        path += ';';
    AppendFoldedName(path, node.m_strName);
    out += path;
    out += ' ';
    out += std::to_string(TicksToMicroseconds(SelfTicks(node), frequency));
    out += '\n';
    for (const auto& [name, pChild] : node.m_mapChildren)
        AppendFolded(out, path, *pChild, frequency);
    path.resize(parentLength);
}

}  // namespace

namespace oru::detail {

// The crash report's "< frame >": where in the frame the fault struck. The
// frame thread may be the one that faulted, halfway through a begin, or
// another thread may have: every node is checked readable before its fields
// are read, the walk up stops after MAX_DEPTH nodes (a cycle is damage), and
// a name is copied through the kernel.
struct CProFilerCrashNote {
    static constexpr size_t MAX_DEPTH = 64;
    static constexpr size_t NAME_BYTES = 64;
    static constexpr size_t FRAMES = 8;

    static void Append(CReportText& report)
    {
        const CProFiler* pProFiler = s_pPublished.load(std::memory_order_acquire);
        if (!pProFiler || !oru::platform::IsReadable(pProFiler, sizeof *pProFiler)) {
            report.Append("(no profiler)\r\n");
            return;
        }
        if (!pProFiler->m_bEnabled.load(std::memory_order_relaxed))
            report.Append("Profiling : off\r\n");
        AppendOpenSections(pProFiler->m_pCurrent, report);
        const CProFileTimeline* pTimeline = pProFiler->m_pTimeline.get();
        if (pTimeline && oru::platform::IsReadable(pTimeline, sizeof *pTimeline))
            AppendRecentFrames(*pTimeline, report);
    }

    static void AppendOpenSections(const CProFileNode* pNode, CReportText& report)
    {
        char names[MAX_DEPTH][NAME_BYTES];
        size_t depth = 0;
        bool damaged = false;
        for (; pNode && depth < MAX_DEPTH; ++depth) {
            if (!oru::platform::IsReadable(pNode, sizeof *pNode) || !CopyName(pNode->m_strName, names[depth])) {
                damaged = true;
                break;
            }
            pNode = pNode->m_pParent;
        }
        damaged = damaged || pNode;
        report.Append("Open sections : ");
        if (depth == 0)
            report.Append(damaged ? "(damaged)" : "(none)");
        for (size_t i = depth; i > 0; --i) {
            report.Append(names[i - 1]);
            if (i > 1)
                report.Append(" > ");
        }
        if (depth > 0 && damaged)
            report.Append(" (the outer sections are damaged)");
        report.Append("\r\n");
    }

    static bool CopyName(const std::wstring& name, char (&out)[NAME_BYTES])
    {
        wchar_t text[NAME_BYTES];
        const size_t length = std::min(name.size(), NAME_BYTES - 1);
        if (!oru::platform::CopyReadable(text, name.data(), length * sizeof(wchar_t)))
            return false;
        ToUtf8LossyCut(std::wstring_view(text, length), out, NAME_BYTES);
        return true;
    }

    static void AppendRecentFrames(const CProFileTimeline& timeline, CReportText& report)
    {
        int64_t ticks[FRAMES];
        const size_t count = timeline.RecentFrames(ticks, FRAMES);
        const int64_t frequency = oru::platform::Clocks().Frequency();
        if (count == 0 || frequency <= 0)
            return;
        report.Append("Last frames :");
        for (size_t i = 0; i < count; ++i)
            report.AppendFormat("%s %.3f ms", i > 0 ? "," : "",
                                static_cast<double>(ticks[i]) * 1000.0 / static_cast<double>(frequency));
        report.Append(" (the latest last)\r\n");
    }
};

}  // namespace oru::detail

CProFileNode::CProFileNode(CProFileNode* parent, const std::wstring& name)
    : m_pParent(parent), m_nStart(0), m_nTotal(0), m_nSelf(0), m_nCallCount(0), m_strName(name)
{
}

CProFileNode::~CProFileNode() = default;

CProFiler::CProFiler()
    : m_pCurrent(nullptr),
      m_pLog(new CLogSystem),
      m_pTimeline(new oru::detail::CProFileTimeline),
      m_bEnabled(false)
{
    if (!m_pLog->Init(LOG_MODE_FILE, 5, oru::detail::LogFolderForWriting(), L"ProFileLog", true, false))
        OruCriticalError(L"application log system initialize is failed.!!");
    // Like the singleton's registration, the last profiler built wins.
    s_pPublished.store(this, std::memory_order_release);
    oru::detail::SetCrashNoteWriter(oru::detail::CRASH_NOTE_FRAME, oru::detail::CProFilerCrashNote::Append);
}

CProFiler::~CProFiler()
{
    CProFiler* self = this;
    s_pPublished.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
}

void CProFiler::ExecuteProFiler(bool on)
{
    m_bEnabled.store(on, std::memory_order_relaxed);
}

// Beginning "Root" first closes whatever the last frame left open, so a
// missed end costs that one frame and never shifts the later ones.
void CProFiler::ExecBegin(const std::wstring& name)
{
    int64_t now = 0;
    if (!StampSection<&CProFileTimeline::Begin>(m_bEnabled, m_pTimeline, name, now))
        return;

    if (name == ROOT_NAME) {
        if (!m_pRoot)
            m_pRoot = std::make_unique<CProFileNode>(nullptr, name);
        CloseOpenSections(now);
        m_pCurrent = m_pRoot.get();
        m_pCurrent->m_nStart = now;
        ++m_pCurrent->m_nCallCount;
        return;
    }

    if (!m_pCurrent)
        return;  // no "Root" open: not recorded

    auto it = m_pCurrent->m_mapChildren.find(name);
    if (it == m_pCurrent->m_mapChildren.end())
        it = m_pCurrent->m_mapChildren.emplace(name, std::make_unique<CProFileNode>(m_pCurrent, name))
                 .first;
    m_pCurrent = it->second.get();
    ++m_pCurrent->m_nCallCount;
    m_pCurrent->m_nStart = now;
}

void CProFiler::ExecEnd(const std::wstring& name)
{
    int64_t now = 0;
    if (!StampSection<&CProFileTimeline::End>(m_bEnabled, m_pTimeline, name, now))
        return;
    if (!m_pCurrent || m_pCurrent->m_strName != name)
        return;  // not the open section: ignored, the section stays open

    m_pCurrent->m_nTotal += now - m_pCurrent->m_nStart;
    m_pCurrent = m_pCurrent->m_pParent;  // ending "Root" leaves nothing open
}

// The open sections are the current one and its ancestors. They all end at
// the same reading, so no section holds more time than its parent.
void CProFiler::CloseOpenSections(int64_t now)
{
    for (CProFileNode* pNode = m_pCurrent; pNode; pNode = pNode->m_pParent)
        pNode->m_nTotal += now - pNode->m_nStart;
    m_pCurrent = nullptr;
}

void CProFiler::LogResult()
{
    if (!m_pRoot)
        return;
    const int64_t now = ReadCounter();
    if (m_pTimeline->IsStarted())
        m_pTimeline->CloseAll(now);  // the tree's open sections end in the timeline too
    CloseOpenSections(now);
    LogTable(*m_pLog, *m_pRoot);
    m_pRoot.reset();
}

bool CProFiler::ExportFolded(const std::wstring& path) const
{
    if (!m_pRoot)
        return false;
    const std::optional<std::string> pathUtf8 = oru::detail::ToUtf8(path);
    if (!pathUtf8 || pathUtf8->empty())
        return false;

    std::string folded;
    std::string stack;
    AppendFolded(folded, stack, *m_pRoot, oru::platform::Clocks().Frequency());
    return oru::platform::ReplaceFileContents(*pathUtf8, folded);
}

bool CProFiler::CaptureTimeline(int frameCount, int eventsPerFrame)
{
    if (frameCount == 0) {
        m_pTimeline->Stop();
        return true;
    }
    return m_pTimeline->Start(frameCount, eventsPerFrame);
}

bool CProFiler::ExportTimeline(const std::wstring& path) const
{
    const std::optional<std::string> pathUtf8 = oru::detail::ToUtf8(path);
    return pathUtf8 && m_pTimeline->Export(*pathUtf8);
}

CProFiler& GetProFiler()
{
    CProFiler* pProFiler = s_pPublished.load(std::memory_order_acquire);
    return pProFiler ? *pProFiler : CSingleton<CProFiler>::GetInstance();
}

void _ProFileBegin(const std::wstring& name)
{
    GetProFiler().ExecBegin(name);
}

void _ProFileEnd(const std::wstring& name)
{
    GetProFiler().ExecEnd(name);
}

void _ProFileExecute(bool on)
{
    GetProFiler().ExecuteProFiler(on);
}

void _ProFileResult()
{
    GetProFiler().LogResult();
}

bool _ProFileExport(const std::wstring& path)
{
    return GetProFiler().ExportFolded(path);
}

bool _ProFileTimeline(int frameCount)
{
    return GetProFiler().CaptureTimeline(frameCount);
}

bool _ProFileExportTimeline(const std::wstring& path)
{
    return GetProFiler().ExportTimeline(path);
}

// CLogSystem: a levelled log with one output.
//
// A line that the level lets through is stamped and written under the log's
// lock, so lines from several threads come out whole and in the order in
// which they took the lock, with times that never go backwards in a file. The
// message is formatted before the lock is taken: it belongs to the calling
// thread, and formatting is the slow part of a line. The filter itself reads
// only the mode, the output pointer and the level, so a line that is filtered
// out costs a few loads, and takes no lock: the output it sees may be gone by
// the time the lock is taken, so the writer looks again under the lock.

#include <oru/log/log_system.h>

#include <oru/log/exception_handler.h>

#include "core/utf8.h"
#include "log/core_log.h"
#include "log/log_folder.h"
#include "log/log_outputs.h"
#include "log/recent_lines.h"
#include "platform/clock.h"
#include "platform/debug_channel.h"
#include "platform/ui.h"
#include "platform/wide_format.h"

#include <cstdarg>
#include <cstring>
#include <cwchar>
#include <new>

namespace {

constexpr int MAX_LEVEL = 9;

std::atomic<int> s_nDefaultRecentLines{oru::detail::CRecentLines::DEFAULT_LINES};

// The name a log's recent lines go by in a crash report.
const char* RecentLinesName(eLogMode mode)
{
    switch (mode) {
    case LOG_MODE_CONSOLE: return "(console log)";
    case LOG_MODE_DEBUG: return "(debug log)";
    default: return "(file log)";
    }
}

// Appends the decimal form of `value`, at least `minDigits` digits long
// (zero-padded), as %d and %02d would.
wchar_t* AppendDecimal(wchar_t* pOut, int value, int minDigits)
{
    const bool negative = value < 0;
    unsigned int magnitude = negative ? 0u - static_cast<unsigned int>(value)
                                      : static_cast<unsigned int>(value);
    wchar_t digits[12];
    int n = 0;
    do {
        digits[n++] = static_cast<wchar_t>(L'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    while (n < minDigits)
        digits[n++] = L'0';
    if (negative)
        *pOut++ = L'-';
    while (n > 0)
        *pOut++ = digits[--n];
    return pOut;
}

// Builds "Lv%d_[%02d:%02d:%02d] : %s" into `line` (MAX_LINE characters),
// cutting the message where the line is full.
void BuildLine(wchar_t* line, int level, const OruTime& time, const wchar_t* message)
{
    wchar_t* p = line;
    *p++ = L'L';
    *p++ = L'v';
    p = AppendDecimal(p, level, 1);
    *p++ = L'_';
    *p++ = L'[';
    p = AppendDecimal(p, time.hour, 2);
    *p++ = L':';
    p = AppendDecimal(p, time.minute, 2);
    *p++ = L':';
    p = AppendDecimal(p, time.second, 2);
    *p++ = L']';
    *p++ = L' ';
    *p++ = L':';
    *p++ = L' ';
    // The prefix takes at most 40 characters; the message fills the rest.
    const size_t room = static_cast<size_t>(line + CLogSystem::MAX_LINE - 1 - p);
    const size_t length = wcsnlen(message, room);
    wmemcpy(p, message, length);
    p[length] = L'\0';
}

template <class TOutput>
ILogOutput* NewOutputOf()
{
    return new (std::nothrow) TOutput;
}

// The modes that write somewhere, each with the output it writes through.
struct COutputKind {
    eLogMode m_eMode;
    ILogOutput* (*m_pfnNew)();  // null when memory runs out
};

constexpr COutputKind OUTPUT_KINDS[] = {
    {LOG_MODE_CONSOLE, &NewOutputOf<CConsoleLog>},
    {LOG_MODE_DEBUG, &NewOutputOf<CDebugLog>},
    {LOG_MODE_FILE, &NewOutputOf<CFileLog>},
};

// Null for a mode that writes nowhere.
const COutputKind* FindOutputKind(eLogMode mode)
{
    for (const COutputKind& kind : OUTPUT_KINDS)
        if (kind.m_eMode == mode)
            return &kind;
    return nullptr;
}

}  // namespace

CLogSystem::CLogSystem()
    : m_pOutput(nullptr),
      m_eMode(LOG_MODE_NONE),
      m_nLevel(0),
      m_Date{},
      m_Time{},
      m_szLastLog{},
      m_bKeepHistory(false),
      m_pRecent(nullptr),
      m_nRecentLines(s_nDefaultRecentLines.load(std::memory_order_relaxed))
{
}

CLogSystem::~CLogSystem()
{
    Release();
}

bool CLogSystem::SetDefaultRecentLines(int lines)
{
    if (lines < 0 || lines > oru::detail::CRecentLines::MAX_LINES)
        return false;
    s_nDefaultRecentLines.store(lines, std::memory_order_relaxed);
    return true;
}

bool CLogSystem::SetRecentLines(int lines)
{
    if (lines < 0 || lines > oru::detail::CRecentLines::MAX_LINES)
        return false;
    COruLock lock(m_cs);
    const oru::detail::CRecentLines* pRecent = m_pRecent.load(std::memory_order_relaxed);
    if (!m_pOutput.load(std::memory_order_relaxed) && !pRecent) {
        m_nRecentLines = lines;   // made at Init
        return true;
    }
    return MakeRecentLines(lines, pRecent ? pRecent->Name() : RecentLinesName(m_eMode));
}

// Under m_cs. The ring in use is replaced (or, for 0, withdrawn) and kept:
// a writer of a filtered line may still be inside it.
bool CLogSystem::MakeRecentLines(int lines, const char* nameUtf8)
{
    std::unique_ptr<oru::detail::CRecentLines> pNew;
    if (lines > 0) {
        pNew = oru::detail::CRecentLines::Create(lines, nameUtf8);
        if (!pNew)
            return false;
    }
    if (oru::detail::CRecentLines* pOld = m_pRecent.load(std::memory_order_relaxed))
        pOld->Retire();
    m_pRecent.store(pNew.get(), std::memory_order_release);
    if (pNew) {
        pNew->m_pReplaced = std::move(m_pRecentRings);
        m_pRecentRings = std::move(pNew);
    }
    m_nRecentLines = lines;
    return true;
}

// A log may be initialised again while other threads write to it (the core
// log is, whenever the host changes its level). The new output is made and
// opened first, outside the lock; the swap happens under the lock, which every
// writer holds while it uses the output; the old output is closed after that,
// when no writer can reach it any more.
bool CLogSystem::Init(eLogMode mode, int level, const std::wstring& dir,
                      const std::wstring& name, bool enable, bool keepHistory)
{
    if (!enable) {
        mode = LOG_MODE_NONE;
        level = 0;
    } else if (level < 0 || level > MAX_LEVEL) {
        oru::platform::ShowMessageBox(L"CLogSystem::Init()",
                                      L"log-system setting level is invalid.");
        level = MAX_LEVEL;
    }
    const oru::platform::CLocalTime now = oru::platform::Clocks().LocalTime();
    const OruDate date{now.m_nYear, now.m_nMonth, now.m_nDay};

    const COutputKind* pKind = FindOutputKind(mode);
    ILogOutput* pOutput = pKind ? pKind->m_pfnNew() : nullptr;
    if (pKind && !pOutput)
        return false;   // out of memory: the log stays as it was
    const bool opened = !pOutput || pOutput->Open(dir, name, date);

    ILogOutput* pOld = nullptr;
    {
        COruLock lock(m_cs);
        if (pOutput && !m_pRecent.load(std::memory_order_relaxed) && m_nRecentLines > 0) {
            const std::string nameUtf8 = oru::detail::ToUtf8Lossy(name);
            // Without memory for it the log works all the same, keeping no lines.
            MakeRecentLines(m_nRecentLines, nameUtf8.empty() ? RecentLinesName(mode) : nameUtf8.c_str());
        }
        pOld = m_pOutput.exchange(pOutput, std::memory_order_relaxed);
        m_eMode = mode;
        m_nLevel.store(level, std::memory_order_relaxed);
        m_Date = date;
        m_Time = {now.m_nHour, now.m_nMinute, now.m_nSecond};
        if (opened)
            m_bKeepHistory = keepHistory;
    }
    delete pOld;
    return opened;
}

void CLogSystem::SetLevel(int level)
{
    m_nLevel.store(level, std::memory_order_relaxed);
}

void CLogSystem::Log(int level, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    if (Accepts(level))
        LogV(level, false, format, args);
    else
        KeepFiltered(level, format, args);
    va_end(args);
}

// A line of an enabled log that its level filters out goes to the recent
// lines, unformatted; a log without output keeps nothing.
void CLogSystem::KeepFiltered(int level, const wchar_t* format, va_list args)
{
    oru::detail::CRecentLines* pRecent = m_pRecent.load(std::memory_order_acquire);
    if (pRecent && m_pOutput.load(std::memory_order_relaxed))
        pRecent->KeepFiltered(level, format, args);
}

void CLogSystem::LogError(int level, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    LogV(level, true, format, args);
    va_end(args);
}

void CLogSystem::LogV(int level, bool raise, const wchar_t* format, va_list args)
{
    if (!Accepts(level)) {
        KeepFiltered(level, format, args);
        return;
    }
    wchar_t message[MAX_LINE];
    oru::platform::FormatWide(message, MAX_LINE, format, args);
    if (!raise) {
        WriteLine(level, message);
        return;
    }
    // The line is copied under the lock: once it is released another thread
    // may overwrite the last-line buffer before the error report reads it.
    wchar_t line[MAX_LINE];
    if (WriteLine(level, message, line))
        OruCriticalError(L"%ls", line);  // the line is the message, never a format
}

const wchar_t* CLogSystem::GetLastLog() const
{
    return m_szLastLog;
}

void CLogSystem::GetLogHistory(std::list<std::wstring>& out)
{
    COruLock lock(m_cs);
    if (&out == &m_listHistory) {
        m_listHistory.clear();
        return;
    }
    out.clear();
    out.swap(m_listHistory);
}

bool CLogSystem::WriteLine(int level, const wchar_t* message, wchar_t* pLineCopy)
{
    COruLock lock(m_cs);
    // Read again under the lock: an Init since the filter may have taken the
    // output away.
    ILogOutput* pOutput = m_pOutput.load(std::memory_order_relaxed);
    if (!pOutput)
        return false;
    UpdateTime();
    BuildLine(m_szLastLog, level, m_Time, message);
    if (oru::detail::CRecentLines* pRecent = m_pRecent.load(std::memory_order_relaxed))
        pRecent->KeepWritten(level, message);
    pOutput->Write(m_Date, m_szLastLog);
    if (oru::platform::IsDebugChannelOpen())
        oru::platform::WriteDebugChannel(oru::detail::CLineText(m_szLastLog).TextWithLineFeed());
    if (m_bKeepHistory) {
        try {
            m_listHistory.emplace_back(m_szLastLog);
        } catch (const std::bad_alloc&) {
            // Out of memory: the line has been written; only its copy is lost.
        }
    }
    if (pLineCopy)
        wmemcpy(pLineCopy, m_szLastLog, MAX_LINE);
    return true;
}

void CLogSystem::UpdateTime()
{
    const oru::platform::CLocalTime now = oru::platform::Clocks().LocalTime();
    m_Date = {now.m_nYear, now.m_nMonth, now.m_nDay};
    m_Time = {now.m_nHour, now.m_nMinute, now.m_nSecond};
}

void CLogSystem::Release()
{
    delete m_pOutput.exchange(nullptr);
}

// The text is formatted once and logged as it is, so a percent sign that the
// formatting produced is never read as a directive again.
void OruSafeLog(CLogSystem* log, int level, const wchar_t* format, ...)
{
    if (!log)
        return;
    va_list args;
    va_start(args, format);
    log->LogV(level, false, format, args);
    va_end(args);
}

void OruSafeLogError(CLogSystem* log, int level, const wchar_t* format, ...)
{
    if (!log)
        return;
    va_list args;
    va_start(args, format);
    log->LogV(level, true, format, args);
    va_end(args);
}

template class CSingleton<CCoreLog>;

namespace oru::detail {

CLogSystem* GetCoreLog()
{
    return CSingleton<CCoreLog>::GetInstancePtr();
}

}  // namespace oru::detail

int OruCoreLogInitialize(int level)
{
    CLogSystem* pLog = oru::detail::GetCoreLog();
    if (pLog)
        pLog->Init(LOG_MODE_FILE, level, oru::detail::LogFolderForWriting(), L"OruCoreLog", true, false);
    return 0;
}

void OutputDebug(const wchar_t* format, ...)
{
    wchar_t message[CLogSystem::MAX_LINE];
    va_list args;
    va_start(args, format);
    oru::platform::FormatWide(message, CLogSystem::MAX_LINE, format, args);
    va_end(args);
    oru::platform::WriteDebugChannel(oru::detail::CLineText(message).TextWithLineFeed());
}

void OruTrace(const wchar_t* text)
{
    if (!text)
        return;
    std::string bytes = oru::detail::ToUtf8Lossy(text);
    bytes += "\r\n";
    oru::platform::WriteDebugChannel(bytes);
}

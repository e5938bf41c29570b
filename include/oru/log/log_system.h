#pragma once

#include <oru/core/critical_section.h>
#include <oru/core/date_time.h>
#include <oru/core/export.h>
#include <oru/core/non_copyable.h>

#include <atomic>
#include <cstdarg>
#include <list>
#include <memory>
#include <string>

namespace oru::detail {
class CRecentLines;
}

// The output of a log, chosen once at Init. Based on int so that any value a
// caller passes is defined; a value outside the table means no output.
enum eLogMode : int {
    LOG_MODE_NONE = 0,     // the log accepts nothing
    LOG_MODE_CONSOLE = 1,  // the process's standard output
    LOG_MODE_DEBUG = 2,    // the debug channel only
    LOG_MODE_FILE = 3,     // a file of the day under a folder
};

class CLogSystem;

// Formats the text (at most 511 characters) and, when `log` is not null, logs
// it at `level` unchanged: a percent sign in the result is not read as a
// directive again. A null log does nothing.
ORU_API void OruSafeLog(CLogSystem* log, int level, const wchar_t* format, ...);
// The same through LogError; a null log does nothing and raises nothing.
ORU_API void OruSafeLogError(CLogSystem* log, int level, const wchar_t* format, ...);

// Where a log's finished lines go; the log sends each line to the debug
// channel as well. Open returns false when the output cannot be used at all;
// Write is called under the log's lock, one finished line at a time.
class ORU_API ILogOutput {
public:
    virtual ~ILogOutput();
    virtual bool Open(const std::wstring& dir, const std::wstring& name, const OruDate& date) = 0;
    virtual void Write(const OruDate& date, const wchar_t* line) = 0;
};

// A levelled log. A line passes when its level is at most the log's level
// (0 to 9). Each accepted line becomes "Lv%d_[%02d:%02d:%02d] : %s", at most
// 511 characters (longer text is cut), goes to the output and the debug
// channel, and is kept in the history when that is on.
//
// Log, LogError and GetLogHistory are thread-safe; lines from several threads
// come out whole, in the order in which they took the log's lock. SetLevel
// may be called at any time, and so may Init: it replaces the output while
// other threads write, and closes the old one once no writer uses it. A line
// the level filters out costs no lock, no clock reading and no formatting.
//
// Every log also keeps its last lines in memory for a crash report, those
// the level filters out too (the flight recorder): 256 unless changed with
// SetRecentLines or SetDefaultRecentLines. A filtered line then costs a copy
// of its format's arguments, and is formatted only if a report needs it.
//
// Not copyable: a copy would share the output and destroy it twice.
class ORU_API CLogSystem : private COruNonCopyable {
public:
    static constexpr int MAX_LINE = 512;  // wide characters, terminator included

    CLogSystem();
    // Destroys the output: a file log writes its end banner.
    ~CLogSystem();

    // Chooses the output, closing one that an earlier Init made. With
    // `enable` false the log accepts nothing. A level outside 0..9 shows a
    // message box and becomes 9. False only when the output cannot be opened
    // (the built-in outputs always open; a file log that cannot create its
    // file shows a message box and still returns true), or when memory runs
    // out, which leaves the log as it was.
    bool Init(eLogMode mode, int level, const std::wstring& dir, const std::wstring& name,
              bool enable, bool keepHistory);
    // Any value is accepted, without the range check of Init.
    void SetLevel(int level);

    // One line, swprintf-style format and arguments (%ls for a wide string,
    // %s for a UTF-8 one).
    void Log(int level, const wchar_t* format, ...);
    // One line, then the general fatal error with that line as its message;
    // does not return. Returns normally, raising nothing, when the level or
    // the mode filters the line out.
    void LogError(int level, const wchar_t* format, ...);

    // The last finished line, prefix included; empty before the first. Points
    // into the log and changes with the next line. Not locked.
    const wchar_t* GetLastLog() const;
    // Replaces `out` with the kept lines, oldest first, and empties the history.
    void GetLogHistory(std::list<std::wstring>& out);

    // How many of its last lines the log keeps for a crash report (rounded
    // up to a power of two, at most 65536); 0 keeps none. Takes effect at
    // once for a log already set up, else at Init. False, keeping what the
    // log had, when the figure is out of range or memory runs out.
    // Thread-safe.
    bool SetRecentLines(int lines);
    // The same for every log set up from now on (the core log and the
    // profiler's log among them).
    static bool SetDefaultRecentLines(int lines);

private:
    friend void OruSafeLog(CLogSystem* log, int level, const wchar_t* format, ...);
    friend void OruSafeLogError(CLogSystem* log, int level, const wchar_t* format, ...);

    // True when a line of `level` would be written. Reads no clock and takes
    // no lock, so a filtered line costs a few loads.
    // Only the built-in modes have an output, so the output alone says
    // whether the log is enabled.
    bool Accepts(int level) const
    {
        return m_pOutput.load(std::memory_order_relaxed) &&
               level <= m_nLevel.load(std::memory_order_relaxed);
    }
    // Formats one message and, unless the level filters it out, writes its
    // line; with `raise`, then raises the general error.
    void LogV(int level, bool raise, const wchar_t* format, va_list args);
    // Stamps `message` (taken as it is, never as a format), writes the line
    // and keeps it. When `pLineCopy` is given (MAX_LINE characters), the line
    // is copied there before the lock is released. False when the log has no
    // output by the time the lock is taken.
    bool WriteLine(int level, const wchar_t* message, wchar_t* pLineCopy = nullptr);
    // Keeps a line the level filtered out in the recent lines.
    void KeepFiltered(int level, const wchar_t* format, va_list args);
    // Makes the ring of recent lines for the set figure; under m_cs.
    bool MakeRecentLines(int lines, const char* nameUtf8);
    void UpdateTime();
    void Release();

    // Replaced by Init under m_cs and used by writers under m_cs; atomic so
    // that the filter may read it without the lock.
    std::atomic<ILogOutput*> m_pOutput;
    eLogMode m_eMode;
    std::atomic<int> m_nLevel;  // atomic so SetLevel may race with lines being logged
    OruDate m_Date;
    OruTime m_Time;
    COruCriticalSection m_cs;
    wchar_t m_szLastLog[MAX_LINE];
    bool m_bKeepHistory;
    std::list<std::wstring> m_listHistory;
    // The recent lines in use, null when off; read by writers without the
    // lock. Every ring the log made stays until the log dies (a writer may
    // still be inside a replaced one), owned through m_pRecentRings.
    std::atomic<oru::detail::CRecentLines*> m_pRecent;
    std::unique_ptr<oru::detail::CRecentLines> m_pRecentRings;
    int m_nRecentLines;
};

// Sets up the core log as the file log "OruCoreLog_<date>.txt" in the log
// folder ("./oru_log" unless set: see <oru/log/log_folder.h>) at
// `level`, without history. Always returns 0.
ORU_API int OruCoreLogInitialize(int level);
// Formats the text (at most 511 characters) and sends it, then "\n", to the
// debug channel.
ORU_API void OutputDebug(const wchar_t* format, ...);
// Sends `text`, then "\r\n", to the debug channel. A null text sends nothing.
ORU_API void OruTrace(const wchar_t* text);

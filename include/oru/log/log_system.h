#pragma once

#include <oru/core/critical_section.h>
#include <oru/core/date_time.h>
#include <oru/core/export.h>

#include <list>
#include <string>

// The output of a log, chosen once at Init.
enum eLogMode {
    LOG_MODE_NONE = 0,     // the log accepts nothing
    LOG_MODE_CONSOLE = 1,  // the process's standard output
    LOG_MODE_DEBUG = 2,    // the debug channel only
    LOG_MODE_FILE = 3,     // a file of the day under a folder
};

// Where a log's finished lines go. Every output also sends each line to the
// debug channel.
class ORU_API ILogOutput {
public:
    virtual ~ILogOutput();
    virtual bool Open(const std::wstring& dir, const std::wstring& name, const OruDate& date) = 0;
    virtual void Write(const OruDate& date, const wchar_t* line) = 0;
};

// A levelled log. A line passes when its level is at most the log's level
// (0 to 9). Each accepted line becomes "Lv%d_[%02d:%02d:%02d] : %s", at most
// 511 characters, goes to the output and the debug channel, and is kept in
// the history when that is on. Log, LogError and GetLogHistory are
// thread-safe; Init and SetLevel come before the log is shared.
class ORU_API CLogSystem {
public:
    static constexpr int MAX_LINE = 512;  // wide characters, terminator included

    CLogSystem();
    ~CLogSystem();

    // Chooses the output. With `enable` false the log accepts nothing. A level
    // outside 0..9 shows a message box and becomes 9. False only when the
    // output cannot be opened (the built-in outputs always open).
    bool Init(eLogMode mode, int level, const std::wstring& dir, const std::wstring& name,
              bool enable, bool keepHistory);
    void SetLevel(int level);

    // One line, swprintf-style format and arguments.
    void Log(int level, const wchar_t* format, ...);
    // One line, then the general fatal error with that line as its message.
    // Returns normally when the level or the mode filters the line out.
    void LogError(int level, const wchar_t* format, ...);

    // The last finished line; changes with the next line. Not locked.
    const wchar_t* GetLastLog() const;
    // Replaces `out` with the kept lines, oldest first, and empties the history.
    void GetLogHistory(std::list<std::wstring>& out);

private:
    void UpdateTime();
    void Release();

    ILogOutput* m_pOutput;
    eLogMode m_eMode;
    int m_nLevel;
    OruDate m_Date;
    OruTime m_Time;
    COruCriticalSection m_cs;
    wchar_t m_szLastLog[MAX_LINE];
    bool m_bKeepHistory;
    std::list<std::wstring> m_listHistory;
};

// Formats the text and, when `log` is not null, logs it at `level` unchanged
// (a percent sign in the result is not read as a directive again).
ORU_API void OruSafeLog(CLogSystem* log, int level, const wchar_t* format, ...);
// The same through LogError; a null log does nothing and raises nothing.
ORU_API void OruSafeLogError(CLogSystem* log, int level, const wchar_t* format, ...);
// Sets up the core log as the file log "./oru_log/OruCoreLog_<date>.txt" at
// `level`. Always returns 0.
ORU_API int OruCoreLogInitialize(int level);
// Formats the text and sends it, then "\n", to the debug channel.
ORU_API void OutputDebug(const wchar_t* format, ...);
// Sends `text`, then "\r\n", to the debug channel.
ORU_API void OruTrace(const wchar_t* text);

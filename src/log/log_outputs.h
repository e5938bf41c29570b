#pragma once

// The three outputs a CLogSystem can choose at Init. The log itself sends
// every line to the debug channel, after the output has written it.

#include <oru/core/non_copyable.h>
#include <oru/log/log_system.h>

#include "platform/output_file.h"

#include <string>
#include <string_view>

namespace oru::detail {

// The UTF-8 form of one finished line, followed by a line feed, built on the
// stack. A line the fixed buffer cannot take (longer than a log's lines, or
// holding a value that is no character) is converted without a length limit,
// with such values replaced: an accepted line is never dropped or shortened
// by its conversion.
class CLineText : private COruNonCopyable {
public:
    explicit CLineText(const wchar_t* line);

    std::string_view Text() const { return m_view.substr(0, m_view.size() - 1); }
    std::string_view TextWithLineFeed() const { return m_view; }

private:
    // Every character takes at most 4 bytes; one more for the line feed.
    char m_szFixed[(CLogSystem::MAX_LINE - 1) * 4 + 2];
    std::string m_strLong;
    std::string_view m_view;
};

}  // namespace oru::detail

// The process's standard output, through a descriptor of its own taken at
// Open. Without a standard output the console part is dropped silently.
class CConsoleLog : public ILogOutput {
public:
    bool Open(const std::wstring& dir, const std::wstring& name, const OruDate& date) override;
    void Write(const OruDate& date, const wchar_t* line) override;

private:
    oru::platform::COutputFile m_hConsole;
};

// The debug channel alone, which the log writes to itself: this output adds
// nothing.
class CDebugLog : public ILogOutput {
public:
    bool Open(const std::wstring& dir, const std::wstring& name, const OruDate& date) override;
    void Write(const OruDate& date, const wchar_t* line) override;
};

// The file of the day, "<dir>/<name>_YYYY-MM-DD.txt", appended to by every run
// of that day. Narrow text (UTF-8) with CR LF line ends. Open writes the start
// banner; the destructor writes the end banner. A line on a new date closes
// the file and opens the new day's, with no banner on either side.
class CFileLog : public ILogOutput {
public:
    CFileLog() = default;
    ~CFileLog() override;

    bool Open(const std::wstring& dir, const std::wstring& name, const OruDate& date) override;
    void Write(const OruDate& date, const wchar_t* line) override;

private:
    // Closes the open file and opens the one for m_Date, creating the folder
    // first. On failure shows a message box and keeps no file.
    bool SetWriteFile();

    oru::platform::COutputFile m_File;
    OruDate m_Date{};
    std::wstring m_strDir;
    std::wstring m_strName;
};

#pragma once

// The crash report: its text, built from a fault record and a machine
// context, and the report file of the day it is appended to as it grows.
// Both fatal paths (a signal, and the library's own fatal errors) end here.

#include <oru/log/exception_handler.h>

#include "core/printf_format.h"
#include "platform/stack_walk.h"

#include <cstddef>
#include <string_view>

namespace oru::detail {

// The report's text: UTF-8 with CR LF line ends, in a fixed buffer so that
// building it needs no heap of its own. Text beyond the capacity is cut.
class CReportText {
public:
    static constexpr size_t CAPACITY = 512 * 1024;  // bytes; 512 frames fit with room to spare

    void Clear() { m_nSize = m_nStored = 0; }
    void Append(std::string_view text);
    void AppendFormat(const char* format, ...) ORU_PRINTF_FORMAT(2, 3);
    // Wide text as UTF-8; a value that is no Unicode character becomes U+FFFD.
    void AppendWide(const wchar_t* text);

    const char* Data() const { return m_szText; }
    size_t Size() const { return m_nSize; }
    std::string_view View() const { return {m_szText, m_nSize}; }

    // The text appended since the last call, which marks it as taken: what a
    // report file has yet to receive.
    std::string_view TakeUnstored();

private:
    char m_szText[CAPACITY];
    size_t m_nSize = 0;
    size_t m_nStored = 0;  // bytes already handed out by TakeUnstored
};

constexpr int MAX_REPORT_FRAMES = 512;

// The library's own fatal errors (OruCriticalError, OruAssertionFailure), as
// against a fault the system caught: their reports carry a message instead of
// a fault name, and their walks start at the raising code's caller.
constexpr bool IsLibraryFault(unsigned int code)
{
    return code == ORU_FAULT_GENERAL_ERROR || code == ORU_FAULT_ASSERTION_FAILURE;
}

// Where the walk of a report starts.
struct CWalkStart {
    const oru::platform::MachineContext* m_pContext;
    bool m_bFaultContext;  // the program counter is the faulting instruction
    int m_nSkipFrames;     // frames inside the raising code, not listed
};

// Builds the whole report of `fault` into `report` (heading, system section,
// call stack of at most MAX_REPORT_FRAMES lines, registers) and appends it,
// under its time line, to "Exp_YYYY-MM-DD.txt" in the log folder, or in the
// user's state folder when that cannot take it, creating the folders and the
// file as needed. The file receives each part as soon as it
// is known (the heading and the system section before the stack walk, each
// frame as it is found), so a report cut short by the watchdog still leaves
// what was known. A file that cannot be written is skipped; the report is
// built all the same.
void MakeCrashReport(const OruFaultRecord& fault, const CWalkStart& start, CReportText& report);

// Tells on standard error where the last report was written ("oru_core:
// crash report written to PATH"), or that no folder could take it: a line
// after the report, so that standard error shows the report first.
void SayWhereTheReportIs();

}  // namespace oru::detail

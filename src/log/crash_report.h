#pragma once

// The crash report: its text, built from a fault record and a machine
// context, and the report file of the day it is appended to. Both fatal
// paths (a signal, and the library's own fatal errors) end here.

#include <oru/log/exception_handler.h>

#include "platform/stack_walk.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace oru::detail {

// The report's text: UTF-8 with CR LF line ends, in a fixed buffer so that
// building it needs no heap of its own. Text beyond the capacity is cut.
class CReportText {
public:
    static constexpr size_t CAPACITY = 512 * 1024;  // bytes; 512 frames fit with room to spare

    void Clear() { m_nSize = 0; }
    void Append(std::string_view text);
    void AppendFormat(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Wide text as UTF-8; a value that is no Unicode character becomes U+FFFD.
    void AppendWide(const wchar_t* text);

    const char* Data() const { return m_szText; }
    size_t Size() const { return m_nSize; }
    std::string_view View() const { return {m_szText, m_nSize}; }

private:
    char m_szText[CAPACITY];
    size_t m_nSize = 0;
};

constexpr int MAX_REPORT_FRAMES = 512;

// The name of a fault code in a report's heading; "Unknown Exception" for a
// code without a name.
const char* FaultName(uint32_t code);

// Where the walk of a report starts.
struct CWalkStart {
    const oru::platform::MachineContext* m_pContext;
    bool m_bFaultContext;  // the program counter is the faulting instruction
    int m_nSkipFrames;     // frames inside the raising code, not listed
};

// Writes the whole report of `fault` into `report`: heading, system section,
// call stack (at most MAX_REPORT_FRAMES lines) and registers.
void BuildCrashReport(const OruFaultRecord& fault, const CWalkStart& start, CReportText& report);

// Appends `report` under its time line to "./oru_log/Exp_YYYY-MM-DD.txt",
// creating the folder and the file as needed. False when the file cannot be
// written; nothing else is affected then.
bool AppendReportFile(const CReportText& report);

}  // namespace oru::detail

// How a crash report is made.
//
// The report is built on the faulting thread, which may have overflowed its
// stack, damaged the heap or died holding a lock, so the builder leans on as
// little as it can: the text goes into a fixed buffer, the file is written
// with plain descriptors, and nothing here takes a lock of the library. The
// stack walk and the symbol look-up (libunwind, libdw) do allocate; that is
// the price of naming functions, files and lines, and the crash handler
// guards against a fault or a hang inside them.
//
// A report reads, for a library fault:
//
//   General Error!
//
//   Message : x=5
//
//   < system >
//
//   < call stack >
//   host.cpp::Load() + 3 line [0x002a] (57 line)
//   ...
//
//   < register >
//   rax: 0x0000000000000000		rbx: 0x00007ffd8c1e2a40
//   ...

#include "log/crash_report.h"

#include <oru/core/date_time.h>

#include "core/utf8.h"
#include "platform/files.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace oru::detail {
namespace {

using oru::platform::CStackFrame;

constexpr const char* REPORT_FOLDER = "./oru_log";

struct CFaultName {
    uint32_t m_nCode;
    const char* m_pName;
};

constexpr CFaultName FAULT_NAMES[] = {
    {0x80000002u, "Datatype misalignment"},
    {0x80000004u, "Single step"},
    {0xC0000005u, "Access violation"},
    {0xC0000006u, "In page error"},
    {0xC000001Du, "Illegal instruction"},
    {0xC0000025u, "Noncontinuable exception"},
    {0xC0000026u, "Invalid disposition"},
    {0xC000008Cu, "Array bounds exceeded"},
    {0xC000008Du, "Float denormal operand"},
    {0xC000008Eu, "Float divide by zero"},
    {0xC000008Fu, "Inexact result"},
    {0xC0000090u, "Invalid operation"},
    {0xC0000091u, "Float overflow"},
    {0xC0000092u, "Float stack check"},
    {0xC0000093u, "Float underflow"},
    {0xC0000094u, "Int divide by zero"},
    {0xC0000095u, "Int overflow"},
    {0xC0000096u, "Priv instruction"},
    {0xC00000FDu, "Stack overflow"},
};

void AppendHeading(const OruFaultRecord& fault, CReportText& report)
{
    if (fault.m_nCode == ORU_FAULT_GENERAL_ERROR || fault.m_nCode == ORU_FAULT_ASSERTION_FAILURE) {
        const bool bGeneral = fault.m_nCode == ORU_FAULT_GENERAL_ERROR;
        report.Append(bGeneral ? "General Error!" : "Assertion Failure!");
        if (fault.m_pMessage) {
            report.Append(bGeneral ? "\r\n\r\nMessage : " : "\r\n\r\nExpression : ");
            report.AppendWide(fault.m_pMessage);
        }
        return;
    }
    report.Append("Exception Type : ");
    report.Append(FaultName(fault.m_nCode));
}

void AppendFrame(const CStackFrame& frame, void* pUser)
{
    auto& report = *static_cast<CReportText*>(pUser);
    const auto offset = static_cast<unsigned long long>(frame.m_nOffset);
    if (!frame.m_bSymbol) {
        report.AppendFormat("0x%08llx Address Lookup Error (SymFromAddr returned error : %d)\r\n",
                            static_cast<unsigned long long>(frame.m_nAddress),
                            frame.m_nLookupError);
    } else if (frame.m_bLines) {
        report.AppendFormat("%s::%s() + %d line [0x%04llx] (%d line)\r\n", frame.m_szFile,
                            frame.m_szFunction, frame.m_nLine - frame.m_nFunctionLine, offset,
                            frame.m_nLine);
    } else {
        report.AppendFormat("%s() + [0x%04llx]\r\n", frame.m_szFunction, offset);
    }
}

void AppendRegisters(const oru::platform::MachineContext& context, CReportText& report)
{
    oru::platform::CRegister registers[oru::platform::REGISTER_COUNT];
    oru::platform::ReadRegisters(context, registers);
    for (size_t i = 0; i + 1 < oru::platform::REGISTER_COUNT; i += 2) {
        report.AppendFormat("%s: 0x%016llx\t\t%s: 0x%016llx\r\n", registers[i].m_pName,
                            static_cast<unsigned long long>(registers[i].m_nValue),
                            registers[i + 1].m_pName,
                            static_cast<unsigned long long>(registers[i + 1].m_nValue));
    }
}

}  // namespace

void CReportText::Append(std::string_view text)
{
    const size_t room = CAPACITY - m_nSize;
    const size_t n = text.size() < room ? text.size() : room;
    memcpy(m_szText + m_nSize, text.data(), n);
    m_nSize += n;
}

void CReportText::AppendFormat(const char* format, ...)
{
    const size_t room = CAPACITY - m_nSize;
    va_list args;
    va_start(args, format);
    const int n = vsnprintf(m_szText + m_nSize, room, format, args);
    va_end(args);
    if (n < 0)
        return;
    // A cut line keeps what fitted, less the terminator vsnprintf put last.
    m_nSize += static_cast<size_t>(n) < room ? static_cast<size_t>(n) : (room > 0 ? room - 1 : 0);
}

void CReportText::AppendWide(const wchar_t* text)
{
    static constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";
    for (; *text != L'\0'; ++text) {
        char bytes[5];
        size_t length = 0;
        if (EncodeUtf8(std::wstring_view(text, 1), bytes, sizeof bytes, &length))
            Append(std::string_view(bytes, length));
        else
            Append(REPLACEMENT);
    }
}

const char* FaultName(uint32_t code)
{
    for (const CFaultName& entry : FAULT_NAMES) {
        if (entry.m_nCode == code)
            return entry.m_pName;
    }
    return "Unknown Exception";
}

void BuildCrashReport(const OruFaultRecord& fault, const CWalkStart& start, CReportText& report)
{
    report.Clear();
    AppendHeading(fault, report);
    report.Append("\r\n\r\n< system >\r\n\r\n< call stack >\r\n");
    oru::platform::WalkStack(*start.m_pContext, start.m_bFaultContext, start.m_nSkipFrames,
                             MAX_REPORT_FRAMES, AppendFrame, &report);
    report.Append("\r\n< register >\r\n");
    AppendRegisters(*start.m_pContext, report);
}

bool AppendReportFile(const CReportText& report)
{
    OruDate date;
    OruGetDateInfo(date);
    char path[64];
    snprintf(path, sizeof path, "%s/Exp_%4d-%02d-%02d.txt", REPORT_FOLDER, date.year, date.month,
             date.day);
    // An existing folder is fine; any other failure shows when the file
    // will not open.
    oru::platform::MakeDirectory(REPORT_FOLDER);

    OruTime time;
    OruGetTimeInfo(time);
    char timeLine[80];
    const int n = snprintf(timeLine, sizeof timeLine,
                           "- Log Record Time (%02dh:%02dm:%02ds) ---------------------\r\n",
                           time.hour, time.minute, time.second);
    const std::string_view pieces[] = {
        std::string_view(timeLine, n > 0 ? static_cast<size_t>(n) : 0), report.View(), "\r\n\r\n"};
    return oru::platform::AppendToFile(path, pieces, 3);
}

}  // namespace oru::detail

// How a crash report is made.
//
// The report is built on the faulting thread, which may have overflowed its
// stack, damaged the heap or died holding a lock, so the builder leans on as
// little as it can: the text goes into a fixed buffer, the file is written
// with plain descriptors, and nothing here takes a lock of the library. Up to
// the call stack nothing allocates either, and the file receives each part as
// soon as it is known. The stack walk and the symbol look-up (libunwind,
// libdw) do allocate; that is the price of naming functions, files and lines,
// and the crash handler's watchdog ends a walk that hangs on a lock the fault
// left held, with the heading, the system section and the frames found so
// far already on disk.
//
// Between the system section and the call stack come what the game was
// doing (crash_notes.h): they read only records prepared before the fault,
// so they are on disk before the walk that may hang. A report reads, for a
// library fault:
//
//   General Error!
//
//   Message : x=5
//
//   < system >
//   OS : Debian GNU/Linux 12 (bookworm)
//   ...
//   Module : 0x00007f3a1c200000 /usr/lib/liboru_core.so.1 (build ID 5d0c...)
//
//   < recent log lines >
//   Game :
//     12:00:01.234 Lv7 (not written) : spawned wolf #12
//
//   < frame >
//   Open sections : Root > Update > Physics
//
//   < open files >
//   Stream : Map\Town.xml, pack entry, position 512
//
//   < call stack >
//   host.cpp::Load() + 3 line [0x002a] (57 line)
//   ...
//
//   < register >
//   rax: 0x0000000000000000		rbx: 0x00007ffd8c1e2a40
//   ...

#include "crash/crash_report.h"

#include "core/utf8.h"
#include "crash/crash_notes.h"
#include "log/log_folder.h"
#include "platform/clock.h"
#include "platform/fault_codes.h"
#include "platform/fault_signals.h"
#include "platform/files.h"
#include "platform/output_file.h"
#include "platform/system_info.h"
#include "platform/user_folders.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace oru::detail {
namespace {

using oru::platform::COutputFile;
using oru::platform::CStackFrame;

// The report file's path, for the line that tells the user where it is.
char s_szReportPath[4200];

void AppendHeading(const OruFaultRecord& fault, CReportText& report)
{
    if (IsLibraryFault(fault.m_nCode)) {
        const bool bGeneral = fault.m_nCode == ORU_FAULT_GENERAL_ERROR;
        report.Append(bGeneral ? "General Error!" : "Assertion Failure!");
        if (fault.m_pMessage) {
            report.Append(bGeneral ? "\r\n\r\nMessage : " : "\r\n\r\nExpression : ");
            report.AppendWide(fault.m_pMessage);
        }
        return;
    }
    report.Append("Exception Type : ");
    report.Append(oru::platform::FaultName(fault.m_nCode));
}

// A report under construction and the file that receives it as it grows.
struct CReportSink {
    CReportText& m_report;
    COutputFile& m_file;

    void Store()
    {
        const std::string_view text = m_report.TakeUnstored();
        m_file.Write(text.data(), text.size());  // a closed file takes nothing
    }
};

// Lines between the frame's line and its function's first one. Never
// negative: optimised code can place an instruction's line before the
// function's own, and when the first line is not known the distance is 0.
int LineDistance(const CStackFrame& frame)
{
    if (frame.m_nFunctionLine <= 0 || frame.m_nLine < frame.m_nFunctionLine)
        return 0;
    return frame.m_nLine - frame.m_nFunctionLine;
}

void AppendFrame(const CStackFrame& frame, void* pUser)
{
    auto& sink = *static_cast<CReportSink*>(pUser);
    CReportText& report = sink.m_report;
    const auto offset = static_cast<unsigned long long>(frame.m_nOffset);
    if (!frame.m_bSymbol) {
        report.AppendFormat("0x%08llx Address Lookup Error (SymFromAddr returned error : %d)\r\n",
                            static_cast<unsigned long long>(frame.m_nAddress),
                            frame.m_nLookupError);
    } else if (frame.m_bLines) {
        report.AppendFormat("%s::%s() + %d line [0x%04llx] (%d line)\r\n", frame.m_szFile,
                            frame.m_szFunction, LineDistance(frame), offset, frame.m_nLine);
    } else {
        report.AppendFormat("%s() + [0x%04llx]\r\n", frame.m_szFunction, offset);
    }
    sink.Store();
}

void AppendModule(const oru::platform::CLoadedModule& module, void* pUser)
{
    auto& report = *static_cast<CReportText*>(pUser);
    report.AppendFormat("Module : 0x%016llx %s ", static_cast<unsigned long long>(module.m_nAddress),
                        module.m_pPath);
    if (module.m_pVersion)
        report.AppendFormat("(version %s) ", module.m_pVersion);
    if (!module.m_pBuildId) {
        report.Append("(no build ID)\r\n");
        return;
    }
    static constexpr char HEX[] = "0123456789abcdef";
    char id[2 * 64 + 1];
    size_t n = 0;
    for (size_t i = 0; i < module.m_nBuildIdSize && n + 2 < sizeof id; ++i) {
        id[n++] = HEX[module.m_pBuildId[i] >> 4];
        id[n++] = HEX[module.m_pBuildId[i] & 0xf];
    }
    id[n] = '\0';
    report.AppendFormat("(build ID %s)\r\n", id);
}

// The machine and the process, for reading a report that comes from a
// player's machine: every line but the modules is there once, "unknown" when
// it cannot be read. The lines before the modules take no lock; the report
// file receives them before the module walk takes the loader's.
void AppendSystem(CReportSink& sink)
{
    CReportText& report = sink.m_report;
    oru::platform::CSystemSummary summary{};
    oru::platform::ReadSystemSummary(summary);
    const auto known = [](const char* text) { return text[0] != '\0' ? text : "unknown"; };
    constexpr unsigned long long MIB = 1024 * 1024;
    report.AppendFormat("OS : %s\r\n", known(summary.m_szOs));
    report.AppendFormat("Kernel : %s\r\n", known(summary.m_szKernel));
    report.AppendFormat("Processor : %s, %ld logical processors\r\n",
                        known(summary.m_szProcessor), summary.m_nProcessors);
    report.AppendFormat("Memory : %llu MB, %llu MB available\r\n",
                        static_cast<unsigned long long>(summary.m_nMemoryTotal) / MIB,
                        static_cast<unsigned long long>(summary.m_nMemoryAvailable) / MIB);
    report.AppendFormat("Executable : %s\r\n", known(summary.m_szExecutable));
    sink.Store();
    oru::platform::ForEachLoadedModule(known(summary.m_szExecutable), AppendModule, &report);
}

// Opens the report file of the day, creating its folder, and writes the time
// line; the file stays closed when it cannot be opened. The local time comes
// from the offset prepared before the fault, never from the C library's time
// functions: they take a lock that the fault may have left held.
void OpenReportFile(COutputFile& file)
{
    const oru::platform::CLocalTime now =
        oru::platform::LocalTimeFromLastOffset(oru::platform::CalendarSeconds());
    // The log folder, else the user's state folder: a report is written
    // wherever a user can find it. An existing folder is fine; any other
    // failure shows when the file will not open.
    s_szReportPath[0] = '\0';
    for (const bool fallback : {false, true}) {
        const char* pFolder = CrashReportFolder(fallback);
        if (!pFolder[0])
            continue;
        const int n = snprintf(s_szReportPath, sizeof s_szReportPath, "%s/Exp_%4d-%02d-%02d.txt",
                               pFolder, now.m_nYear, now.m_nMonth, now.m_nDay);
        if (n <= 0 || static_cast<size_t>(n) >= sizeof s_szReportPath)
            continue;
        oru::platform::MakeFolderChain(pFolder);
        if (file.OpenAppend(s_szReportPath))
            break;
        s_szReportPath[0] = '\0';
    }
    if (!s_szReportPath[0])
        return;
    char timeLine[80];
    const int n = snprintf(timeLine, sizeof timeLine,
                           "- Log Record Time (%02dh:%02dm:%02ds) ---------------------\r\n",
                           now.m_nHour, now.m_nMinute, now.m_nSecond);
    if (n > 0)
        file.Write(timeLine, static_cast<size_t>(n));
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

std::string_view CReportText::TakeUnstored()
{
    const std::string_view text(m_szText + m_nStored, m_nSize - m_nStored);
    m_nStored = m_nSize;
    return text;
}

void MakeCrashReport(const OruFaultRecord& fault, const CWalkStart& start, CReportText& report)
{
    COutputFile file;
    OpenReportFile(file);
    CReportSink sink{report, file};

    report.Clear();
    AppendHeading(fault, report);
    report.Append("\r\n\r\n< system >\r\n");
    sink.Store();
    AppendSystem(sink);
    report.Append("\r\n");
    AppendCrashNotes(report, [](void* pSink) { static_cast<CReportSink*>(pSink)->Store(); }, &sink);
    report.Append("< call stack >\r\n");
    sink.Store();
    oru::platform::WalkStack(*start.m_pContext, start.m_bFaultContext, start.m_nSkipFrames,
                             MAX_REPORT_FRAMES, AppendFrame, &sink);
    report.Append("\r\n< register >\r\n");
    AppendRegisters(*start.m_pContext, report);
    sink.Store();
    file.Write("\r\n\r\n", 4);
}

void SayWhereTheReportIs()
{
    char line[sizeof s_szReportPath + 64];
    const int n = s_szReportPath[0]
                      ? snprintf(line, sizeof line, "oru_core: crash report written to %s\n", s_szReportPath)
                      : snprintf(line, sizeof line, "oru_core: no folder could take the crash report\n");
    if (n > 0)
        oru::platform::WriteStandardError(line, std::min(static_cast<size_t>(n), sizeof line - 1));
}

}  // namespace oru::detail

// The crash handler's entry points and the one path every fatal fault takes.
//
// A fatal signal (the platform layer catches it on an alternate stack) and
// the library's own fatal errors meet in ReportAndEnd: a fault record goes to
// OruExceptionHandler, which builds the report, stores it in the report file
// of the day and shows it; then the process ends by the signal that brought
// it here (or by the system's cause for a library fault), so that a parent
// or a core dump sees the real cause.
//
// Only the first fault is reported. Before anything that could allocate or
// wait on a lock (the fault may have struck inside malloc, holding its lock),
// the handler claims the report for its thread and arms a watchdog that ends
// the process should the report hang; the report file is written as the
// report grows, so what was known by then is on disk, and the watchdog
// shows it too (standard error, and the window when there is a display). A
// fault on another thread meanwhile waits for the first report to end the
// process (by the first fault's signal); a fault on the reporting thread itself is a fault
// inside the handler, which writes one line to standard error and ends the
// process at once.

#include <oru/log/exception_handler.h>

#include "crash/crash_report.h"
#include "crash/exception_handler_internal.h"
#include "platform/fault_codes.h"
#include "platform/fault_signals.h"
#include "platform/stack_walk.h"
#include "platform/thread_id.h"
#include "platform/ui.h"
#include "platform/wide_format.h"

#include <atomic>
#include <cstdarg>

namespace oru::detail {

void (*g_pfnBeforeCrashReport)() = nullptr;
unsigned g_nCrashWatchdogSeconds = 30;

}  // namespace oru::detail

namespace {

using oru::detail::CReportText;
using oru::detail::CWalkStart;
using oru::detail::IsLibraryFault;
using oru::platform::MachineContext;

constexpr size_t MAX_MESSAGE = 512;  // wide characters, terminator included

// Frames of the raising code above a library fault's context, never listed:
// CaptureContext, RaiseLibraryFault, then OruCriticalError or
// OruAssertionFailure. The listing starts at their caller.
constexpr int LIBRARY_FAULT_FRAMES = 3;
// CaptureContext and OruExceptionHandler, when the host gives no context.
constexpr int HANDLER_FRAMES = 2;

constexpr char SECOND_FAULT_NOTE[] =
    "Oru Exception Handler: another fault while a report was being made; ending now\n";
constexpr char WATCHDOG_NOTE[] =
    "Oru Exception Handler: the report could not be completed in time; ending now\n";

// One message buffer per thread: two threads failing at once must not write
// into each other's message. The faulting thread never returns, so its
// buffer outlives the report.
thread_local wchar_t t_szMessage[MAX_MESSAGE];

// The report lives outside the faulting thread's stack, which may be nearly
// used up, and is built once per process.
CReportText s_report;

// The kernel id of the thread making the report; 0 before the first fault.
std::atomic<long> s_nReportingThread{0};
// Faults on other threads that wait for that report to end the process.
std::atomic<int> s_nWaitingFaults{0};

CWalkStart WalkStartOf(const OruFaultRecord& fault)
{
    const auto* pContext = static_cast<const MachineContext*>(fault.m_pContext);
    if (IsLibraryFault(fault.m_nCode))
        return {pContext, false, LIBRARY_FAULT_FRAMES};
    // Where a fault leaves the program counter just after the instruction
    // (a breakpoint on some systems), as a call leaves a return address, the
    // line wanted is the one before.
    const bool bAfterInstruction = oru::platform::FaultContextFollowsInstruction(fault.m_nCode);
    return {pContext, !bAfterInstruction, 0};
}

// The report is shown once: by the thread that made it or, when it hangs,
// by the watchdog. Whichever comes second waits for the first to end the
// process.
std::atomic<bool> s_bShowing{false};

void ClaimShowingOrWait()
{
    bool showing = false;
    if (!s_bShowing.compare_exchange_strong(showing, true))
        oru::platform::WaitForever();
}

// The watchdog's last words: its note, then the report as far as it was
// built, on standard error and in the window.
void OnReportOverdue()
{
    oru::platform::WriteStandardError(WATCHDOG_NOTE, sizeof WATCHDOG_NOTE - 1);
    const std::string_view built = s_report.View();
    if (built.empty())
        return;
    oru::platform::WriteStandardError(built.data(), built.size());
    oru::platform::WriteStandardError("\n", 1);
    ClaimShowingOrWait();
    oru::platform::ShowCrashReportWindow(built);
}

// Lets the first fault of the process go on to its report, with the
// watchdog armed; see the top of this file for the others. Allocates
// nothing and takes no lock.
void EnterReportOrEnd(int endSignal)
{
    const long self = oru::platform::CurrentThreadId();
    long reporter = 0;
    if (s_nReportingThread.compare_exchange_strong(reporter, self)) {
        oru::platform::ArmFaultWatchdog(oru::detail::g_nCrashWatchdogSeconds, endSignal,
                                        OnReportOverdue);
        return;
    }
    if (reporter == self) {
        oru::platform::WriteStandardError(SECOND_FAULT_NOTE, sizeof SECOND_FAULT_NOTE - 1);
        oru::platform::EndProcessWithSignal(endSignal);
    }
    s_nWaitingFaults.fetch_add(1);
    oru::platform::WaitForever();
}

// Reports a fault that has passed the guard, then ends the process.
[[noreturn]] void ReportAndEnd(const OruFaultRecord& fault, int endSignal)
{
    const oru::platform::CBrokenPipeIgnored brokenPipeIgnored;
    if (oru::detail::g_pfnBeforeCrashReport)
        oru::detail::g_pfnBeforeCrashReport();
    oru::detail::MakeCrashReport(fault, WalkStartOf(fault), s_report);
    oru::platform::ArmFaultWatchdog(0, endSignal, nullptr);

    ClaimShowingOrWait();
    oru::platform::ShowCrashReport(s_report.View());
    oru::detail::SayWhereTheReportIs();
    oru::platform::EndProcessWithSignal(endSignal);
}

void OnFatalFault(uint32_t faultCode, void* pContext, int endCause)
{
    EnterReportOrEnd(endCause);
    const OruFaultRecord fault{faultCode, nullptr, pContext};
    ReportAndEnd(fault, endCause);
}

[[gnu::noinline]] [[noreturn]] void RaiseLibraryFault(unsigned int code, const wchar_t* format,
                                                      va_list args)
{
    MachineContext context;
    oru::platform::CaptureContext(context);
    const int endCause = oru::platform::EndCauseOfLibraryFault(code);
    EnterReportOrEnd(endCause);
    oru::platform::FormatWide(t_szMessage, MAX_MESSAGE, format, args);
    const OruFaultRecord fault{code, t_szMessage, &context};
    ReportAndEnd(fault, endCause);
}

}  // namespace

long OruExceptionHandler(const OruFaultRecord* fault)
{
    if (!fault)
        return 1;
    MachineContext own;
    CWalkStart start{};
    if (fault->m_pContext) {
        start = WalkStartOf(*fault);
    } else {
        oru::platform::CaptureContext(own);
        start = {&own, false, HANDLER_FRAMES};
    }
    const oru::platform::CBrokenPipeIgnored brokenPipeIgnored;
    oru::detail::MakeCrashReport(*fault, start, s_report);
    oru::platform::ShowCrashReport(s_report.View());
    oru::detail::SayWhereTheReportIs();
    return 1;
}

void OruSetUnhandledException()
{
    oru::platform::InstallFatalFaultHandlers(OnFatalFault);
}

void OruCriticalError(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    RaiseLibraryFault(ORU_FAULT_GENERAL_ERROR, format, args);
}

void OruAssertionFailure(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    RaiseLibraryFault(ORU_FAULT_ASSERTION_FAILURE, format, args);
}

int oru::detail::CrashFaultsWaiting()
{
    return s_nWaitingFaults.load();
}

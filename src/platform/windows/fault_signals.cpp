#include "platform/fault_signals.h"

#include "fault_preparation.h"
#include "guarded_call.h"
#include "native_context.h"
#include "platform/clock.h"

#include <atomic>
#include <csignal>
#include <cstdlib>

// Every fault the system would end the process for reaches the unhandled
// exception filter with its exception code, which is the fault code itself,
// and the faulting thread's context. Three cases need more:
//
// - A stack overflow leaves the faulting thread a page or two of stack, far
//   too little to walk a stack and read debug information. A vectored
//   handler (it runs first, before the search through the thread's frames
//   needs any stack) hands the fault to a thread made for it when the
//   handlers were installed, and the faulting thread waits there.
// - abort() raises no exception: the C runtime raises SIGABRT, caught
//   through its signal(), and reported as an abort.
// - The C++ runtime raises its exceptions as system exceptions and counts on
//   the filter to let an uncaught one continue, so that std::terminate runs
//   (and aborts, which is reported).
//
// The process ends with the exception's code as its exit code, so the
// parent sees the real cause.

namespace oru::platform {
namespace {

// The code a C++ throw is raised with (in its low 24 bits, "GCC"), and the
// mask that leaves the bits that vary between runtime versions out.
constexpr DWORD CXX_EXCEPTION_CODE = 0x20474343;
constexpr DWORD CXX_EXCEPTION_MASK = 0x20FFFFFF;

// Stack kept back for the handler when a thread overflows its stack: enough
// for the vectored handler, which only hands the fault on.
constexpr ULONG STACK_GUARANTEE_BYTES = 64 * 1024;

// The stack of the thread that reports a stack overflow: the report walks
// the stack and reads debug information on it.
constexpr SIZE_T REPORTER_STACK_BYTES = 1024 * 1024;
constexpr SIZE_T WATCHDOG_STACK_BYTES = 256 * 1024;

// How the C runtime's abort() is told not to show its own message box or
// error report: _set_abort_behavior(0, _WRITE_ABORT_MSG | _CALL_REPORTFAULT).
constexpr unsigned ABORT_MESSAGE_AND_REPORT = 0x1 | 0x2;
// The C runtimes a program built here may use; the first one loaded counts.
constexpr const wchar_t* C_RUNTIMES[] = {L"ucrtbase.dll", L"msvcrt.dll"};

std::atomic<FatalFaultSink> s_pfnSink{nullptr};

// A stack overflow waiting for the reporter thread; null before one.
std::atomic<EXCEPTION_POINTERS*> s_pOverflow{nullptr};
HANDLE s_hOverflowEvent = nullptr;

std::atomic<ULONGLONG> s_nWatchdogDeadline{0};  // GetTickCount64's milliseconds; 0: disarmed
std::atomic<int> s_nWatchdogCause{static_cast<int>(FAULT_ABORT)};
std::atomic<void (*)()> s_pfnWatchdogExpiry{nullptr};
HANDLE s_hWatchdogEvent = nullptr;

[[noreturn]] void ReportFault(uint32_t faultCode, CONTEXT* pContext)
{
    const int endCause = static_cast<int>(faultCode);
    if (const FatalFaultSink sink = s_pfnSink.load())
        sink(faultCode, pContext, endCause);
    EndProcessWithSignal(endCause);
}

bool IsCxxException(const EXCEPTION_RECORD& record)
{
    return (record.ExceptionCode & CXX_EXCEPTION_MASK) == CXX_EXCEPTION_CODE &&
           (record.ExceptionFlags & EXCEPTION_NONCONTINUABLE) == 0;
}

// A fault inside a guarded call of the report (guarded_call.h) goes back to
// that call: it reaches this filter only when the code that faulted did not
// handle it itself. The filter is reached again for a fault while it runs.
LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* pPointers)
{
    const EXCEPTION_RECORD& record = *pPointers->ExceptionRecord;
    ResumeGuardedCall(record.ExceptionCode);
    if (IsCxxException(record))
        return EXCEPTION_CONTINUE_EXECUTION;  // the C++ runtime calls std::terminate next
    ReportFault(record.ExceptionCode, pPointers->ContextRecord);
}

// Sees every exception first, before the code that raised it had a chance to
// handle it, and acts on a stack overflow alone: this runs on the
// overflowing thread with hardly any stack left, so it only hands the fault
// to the reporter thread and waits. A second overflow meanwhile waits too;
// the first report ends the process.
LONG CALLBACK OnVectoredException(EXCEPTION_POINTERS* pPointers)
{
    const DWORD code = pPointers->ExceptionRecord->ExceptionCode;
    if (code != EXCEPTION_STACK_OVERFLOW)
        return EXCEPTION_CONTINUE_SEARCH;
    if (!s_hOverflowEvent)
        return EXCEPTION_CONTINUE_SEARCH;  // no reporter thread: the filter tries on this stack
    EXCEPTION_POINTERS* pNone = nullptr;
    if (s_pOverflow.compare_exchange_strong(pNone, pPointers))
        SetEvent(s_hOverflowEvent);
    WaitForever();
}

// `pEvent`: the event an overflow sets. It comes as the parameter because
// s_hOverflowEvent is only set once this thread exists.
DWORD WINAPI RunOverflowReporter(void* pEvent)
{
    WaitForSingleObject(static_cast<HANDLE>(pEvent), INFINITE);
    EXCEPTION_POINTERS* pPointers = s_pOverflow.load();
    ReportFault(FAULT_STACK_OVERFLOW, pPointers->ContextRecord);
}

DWORD WINAPI RunWatchdog(void*)
{
    for (;;) {
        DWORD wait = INFINITE;
        if (const ULONGLONG deadline = s_nWatchdogDeadline.load()) {
            const ULONGLONG now = GetTickCount64();
            if (now >= deadline) {
                if (void (*onExpiry)() = s_pfnWatchdogExpiry.load())
                    onExpiry();
                EndProcessWithSignal(s_nWatchdogCause.load());
            }
            wait = static_cast<DWORD>(deadline - now);
        }
        WaitForSingleObject(s_hWatchdogEvent, wait);
    }
}

// The context of the code that called abort(): the handler's own frame is
// stepped over, so the listing starts in the C runtime's abort.
[[gnu::noinline]] void CaptureCallerContext(CONTEXT& context)
{
    RtlCaptureContext(&context);
    for (int frame = 0; frame < 2; ++frame) {  // this function, then the signal handler
        DWORD64 imageBase = 0;
        PRUNTIME_FUNCTION pFunction = RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr);
        if (!pFunction)
            return;
        void* pHandlerData = nullptr;
        DWORD64 establisherFrame = 0;
        RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, context.Rip, pFunction, &context,
                         &pHandlerData, &establisherFrame, nullptr);
    }
}

void OnAbortSignal(int)
{
    CONTEXT context;
    CaptureCallerContext(context);
    ReportFault(FAULT_ABORT, &context);
}

// Keeps the C runtime's abort() from showing a message box or starting the
// system's error reporting before SIGABRT reaches the handler. The older
// runtime has no such switch and shows nothing for a console program.
void SilenceRuntimeAbort()
{
    for (const wchar_t* runtime : C_RUNTIMES) {
        const HMODULE hRuntime = GetModuleHandleW(runtime);
        if (!hRuntime)
            continue;
        using SetAbortBehavior = unsigned(__cdecl*)(unsigned, unsigned);
        const auto pfnSet = reinterpret_cast<SetAbortBehavior>(
            reinterpret_cast<void*>(GetProcAddress(hRuntime, "_set_abort_behavior")));
        if (pfnSet)
            pfnSet(0, ABORT_MESSAGE_AND_REPORT);
        return;
    }
}

HANDLE StartServiceThread(LPTHREAD_START_ROUTINE pfnRun, SIZE_T stackBytes, void* pParameter)
{
    return CreateThread(nullptr, stackBytes, pfnRun, pParameter, STACK_SIZE_PARAM_IS_A_RESERVATION,
                        nullptr);
}

// The reporter of stack overflows and the watchdog, made once and for good:
// arming the watchdog or handing on an overflow then only sets an event.
void StartServices()
{
    static const bool s_bStarted = [] {
        s_hWatchdogEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        HANDLE hWatchdog =
            s_hWatchdogEvent ? StartServiceThread(RunWatchdog, WATCHDOG_STACK_BYTES, nullptr)
                             : nullptr;
        if (hWatchdog)
            CloseHandle(hWatchdog);
        HANDLE hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        HANDLE hReporter =
            hEvent ? StartServiceThread(RunOverflowReporter, REPORTER_STACK_BYTES, hEvent)
                   : nullptr;
        if (hReporter) {
            s_hOverflowEvent = hEvent;
            CloseHandle(hReporter);
        } else if (hEvent) {
            CloseHandle(hEvent);
        }
        AddVectoredExceptionHandler(1, OnVectoredException);
        return true;
    }();
    (void)s_bStarted;
}

void RaiseStackGuarantee()
{
    ULONG bytes = STACK_GUARANTEE_BYTES;
    SetThreadStackGuarantee(&bytes);
}

}  // namespace

void InstallFatalFaultHandlers(FatalFaultSink sink)
{
    s_pfnSink.store(sink);
    StartServices();
    RaiseStackGuarantee();
    // Read now what a report would otherwise ask the system for while the
    // fault may hold one of its locks: the local time's offset (which
    // loads the time zone), the system's description. The symbol handler
    // is set up by the first walk instead: setting it up costs a tenth of
    // a second or more, too much for every start of every program.
    LocalTimeNow();
    PrepareSystemSummary();
    // No system message box for a fault or a missing drive: the report is
    // the one thing the player sees.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SilenceRuntimeAbort();
    signal(SIGABRT, OnAbortSignal);
    SetUnhandledExceptionFilter(OnUnhandledException);
}

int EndCauseOfLibraryFault(uint32_t faultCode)
{
    return static_cast<int>(faultCode);
}

// The system moves the context of a breakpoint back onto the instruction, as
// it leaves every other fault's.
bool FaultContextFollowsInstruction(uint32_t)
{
    return false;
}

// The system keeps no alternate stack; it keeps back part of the thread's
// own stack for the handler of an overflow instead. That reserve cannot be
// made smaller again, so nothing is put back.
CThreadAltStack::CThreadAltStack()
{
    ULONG bytes = STACK_GUARANTEE_BYTES;
    if (SetThreadStackGuarantee(&bytes))
        m_pStack = m_previous;  // marks the reserve as ours
}

CThreadAltStack::~CThreadAltStack() = default;

void EndProcessWithSignal(int signal)
{
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(signal));
    for (;;)
        Sleep(INFINITE);
}

void WaitForever()
{
    for (;;)
        Sleep(INFINITE);
}

// Writing to a pipe whose reader has gone fails the write here; it never
// ends the process.
CBrokenPipeIgnored::CBrokenPipeIgnored() = default;
CBrokenPipeIgnored::~CBrokenPipeIgnored() = default;

void WriteStandardError(const char* text, size_t length)
{
    const HANDLE hError = GetStdHandle(STD_ERROR_HANDLE);
    if (hError == nullptr || hError == INVALID_HANDLE_VALUE)
        return;
    while (length > 0) {
        const DWORD chunk = length > 0x40000000u ? 0x40000000u : static_cast<DWORD>(length);
        DWORD written = 0;
        if (!WriteFile(hError, text, chunk, &written, nullptr) || written == 0)
            return;
        text += written;
        length -= written;
    }
}

void ArmFaultWatchdog(unsigned seconds, int signal, void (*onExpiry)())
{
    if (seconds == 0) {
        s_nWatchdogDeadline.store(0);
    } else {
        s_nWatchdogCause.store(signal);
        s_pfnWatchdogExpiry.store(onExpiry);
        s_nWatchdogDeadline.store(GetTickCount64() + seconds * 1000ull);
    }
    if (s_hWatchdogEvent)
        SetEvent(s_hWatchdogEvent);
}

}  // namespace oru::platform

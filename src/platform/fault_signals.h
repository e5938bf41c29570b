#pragma once

// Fatal signals, caught so that a crash is reported before the process ends.
//
// SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP and SIGABRT are caught with
// sigaction and run on an alternate signal stack, so that a thread whose
// stack is used up can still report. Each signal is turned into a fault code
// (FaultCodeOfSignal, the codes below) by one sink, on the faulting thread. The sink
// does not return; it ends the process with EndProcessWithSignal.
//
// An alternate stack belongs to one thread. The thread that installs the
// handlers gets one; every other thread that wants its stack overflows
// reported must hold a CThreadAltStack while it runs. Without one, a fault
// is still reported, but a stack overflow ends the process without a report.

#include <csignal>
#include <cstdint>

namespace oru::platform {

// Fault codes. The library's own two codes live with the crash handler.
constexpr uint32_t FAULT_DATATYPE_MISALIGNMENT = 0x80000002u;
constexpr uint32_t FAULT_BREAKPOINT = 0x80000003u;
constexpr uint32_t FAULT_SINGLE_STEP = 0x80000004u;
constexpr uint32_t FAULT_ACCESS_VIOLATION = 0xC0000005u;
constexpr uint32_t FAULT_IN_PAGE_ERROR = 0xC0000006u;
constexpr uint32_t FAULT_ILLEGAL_INSTRUCTION = 0xC000001Du;
constexpr uint32_t FAULT_ARRAY_BOUNDS_EXCEEDED = 0xC000008Cu;
constexpr uint32_t FAULT_FLOAT_DIVIDE_BY_ZERO = 0xC000008Eu;
constexpr uint32_t FAULT_FLOAT_INEXACT_RESULT = 0xC000008Fu;
constexpr uint32_t FAULT_FLOAT_INVALID_OPERATION = 0xC0000090u;
constexpr uint32_t FAULT_FLOAT_OVERFLOW = 0xC0000091u;
constexpr uint32_t FAULT_FLOAT_UNDERFLOW = 0xC0000093u;
constexpr uint32_t FAULT_INT_DIVIDE_BY_ZERO = 0xC0000094u;
constexpr uint32_t FAULT_INT_OVERFLOW = 0xC0000095u;
constexpr uint32_t FAULT_PRIV_INSTRUCTION = 0xC0000096u;
constexpr uint32_t FAULT_STACK_OVERFLOW = 0xC00000FDu;
constexpr uint32_t FAULT_ABORT = 0x40000015u;  // abort(), a fatal application exit; no name of its own

// Receives a fatal signal on the faulting thread, on the alternate stack when
// the thread has one. `pContext` is the signal's ucontext_t. Must not return.
using FatalSignalSink = void (*)(int signal, const siginfo_t* pInfo, void* pContext);

// Installs the handler for the six fatal signals (again, when called twice:
// a filter the host installed in between is replaced) and gives the calling
// thread an alternate stack when it has none large enough. Thread-safe.
void InstallFatalSignalHandlers(FatalSignalSink sink);

// The fault code of a fatal signal. `pContext` (a ucontext_t*, may be null)
// tells a stack overflow from other invalid accesses. Allocates nothing and
// takes no lock: the fault may have struck inside malloc. The guard below the
// thread's stack is known only on a thread that holds an alternate stack of
// ours (the only threads whose overflow reaches a handler at all); elsewhere
// an access next to the stack pointer still counts as an overflow.
uint32_t FaultCodeOfSignal(int signal, const siginfo_t* pInfo, const void* pContext);

// An alternate signal stack for the calling thread while the object lives.
// Create it first thing on a thread the library starts (the task worker), on
// that thread, and let it die as the thread ends. When the thread already has
// a large enough alternate stack this does nothing; a smaller one is put back
// when the object dies. Not copyable.
class CThreadAltStack {
public:
    CThreadAltStack();
    ~CThreadAltStack();
    CThreadAltStack(const CThreadAltStack&) = delete;
    CThreadAltStack& operator=(const CThreadAltStack&) = delete;

    bool IsInstalled() const { return m_pStack != nullptr; }  // false: none needed or no memory

private:
    void* m_pStack = nullptr;  // the mapping, guard page included
    stack_t m_previous{};      // the thread's alternate stack before ours
};

// Ends the process by `signal` with its default action, so that the parent
// (and a core dump) sees the real cause. Falls back to _exit(128 + signal)
// should the signal not end it. Safe in a signal handler.
[[noreturn]] void EndProcessWithSignal(int signal);

// Writes all of `text` to standard error; safe in a signal handler.
void WriteStandardError(const char* text, size_t length);

// Suspends the calling thread for good; signal handlers still run. For a
// thread that must wait while another one ends the process.
[[noreturn]] void WaitForever();

// Ignores SIGPIPE while the object lives and puts the previous action back
// when it dies: a report written to a pipe whose reader has gone must fail
// its write, not end the process by the wrong signal. Safe in a signal
// handler.
class CBrokenPipeIgnored {
public:
    CBrokenPipeIgnored();
    ~CBrokenPipeIgnored();
    CBrokenPipeIgnored(const CBrokenPipeIgnored&) = delete;
    CBrokenPipeIgnored& operator=(const CBrokenPipeIgnored&) = delete;

private:
    struct sigaction m_previous{};
    bool m_bSaved = false;
};

// Arms (seconds > 0) or disarms (0) a watchdog that ends the process by
// `signal` after writing `note` to standard error, should the crash report
// hang on a lock the faulting thread already held (a fault inside malloc).
// `note` must stay valid while armed. Allocates nothing and takes no lock.
void ArmFaultWatchdog(unsigned seconds, int signal, const char* note);

}  // namespace oru::platform

#pragma once

// Fatal signals, caught so that a crash is reported before the process ends.
//
// SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP and SIGABRT are caught with
// sigaction and run on an alternate signal stack, so that a thread whose
// stack is used up can still report. Each signal goes to one sink, on the
// faulting thread, which turns it into a fault code of platform/fault_codes.h
// with FaultCodeOfSignal. The sink does not return; it ends the process with
// EndProcessWithSignal.
//
// An alternate stack belongs to one thread. The thread that installs the
// handlers gets one; every other thread that wants its stack overflows
// reported must hold a CThreadAltStack while it runs. Without one, a fault
// is still reported, but a stack overflow ends the process without a report.

#include <oru/core/non_copyable.h>

#include "platform/fault_codes.h"

#include <csignal>
#include <cstdint>

namespace oru::platform {

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
class CThreadAltStack : private COruNonCopyable {
public:
    CThreadAltStack();
    ~CThreadAltStack();

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
class CBrokenPipeIgnored : private COruNonCopyable {
public:
    CBrokenPipeIgnored();
    ~CBrokenPipeIgnored();

private:
    struct sigaction m_previous{};
    bool m_bSaved = false;
};

// Arms (seconds > 0) or disarms (0) a watchdog that ends the process by
// `signal` after calling `onExpiry` (in a signal handler, on any thread),
// should the crash report hang on a lock the faulting thread already held (a
// fault inside malloc). Allocates nothing and takes no lock.
void ArmFaultWatchdog(unsigned seconds, int signal, void (*onExpiry)());

}  // namespace oru::platform

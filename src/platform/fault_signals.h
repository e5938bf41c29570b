#pragma once

// Fatal faults, caught so that a crash is reported before the process ends.
//
// Every fault the system would end the process for (an invalid access, a
// bad instruction, an arithmetic fault, a breakpoint, an abort) reaches one
// sink, on the faulting thread, as a fault code of platform/fault_codes.h
// with the thread's machine context. The sink does not return; it ends the
// process with EndProcessWithSignal and the end cause it was given, so the
// parent sees the fault's own cause (the signal, or the exception's code).
//
// A thread whose stack is used up still reports: the handler runs on a stack
// of its own. The thread that installs the handlers gets one; every other
// thread that wants its stack overflows reported must hold a CThreadAltStack
// while it runs. Without one, a fault is still reported, but a stack
// overflow may end the process without a report.

#include <oru/core/non_copyable.h>

#include "platform/fault_codes.h"

#include <cstddef>
#include <cstdint>

namespace oru::platform {

// Receives a fatal fault on the faulting thread, on the handler's own stack
// when the thread has one. `pContext` is the thread's MachineContext at the
// fault (platform/stack_walk.h); `endCause` is what EndProcessWithSignal
// takes to end the process by this fault. Must not return.
using FatalFaultSink = void (*)(uint32_t faultCode, void* pContext, int endCause);

// Installs the handler for every fatal fault (again, when called twice: a
// filter the host installed in between is replaced) and gives the calling
// thread a stack for the handler when it has none large enough. Thread-safe.
void InstallFatalFaultHandlers(FatalFaultSink sink);

// The end cause of a library fault (OruCriticalError, OruAssertionFailure)
// with fault code `faultCode`: what ends the process once it is reported.
int EndCauseOfLibraryFault(uint32_t faultCode);

// True when the machine context of a fault with code `faultCode` holds the
// address just after the instruction that faulted, as a return address
// would, rather than that instruction's own address.
bool FaultContextFollowsInstruction(uint32_t faultCode);

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
    // The thread's alternate stack before ours, as the system describes it.
    alignas(16) unsigned char m_previous[32] = {};
};

// Ends the process by `signal` (an end cause a sink was given), so that the
// parent (and a core dump) sees the real cause. Safe in a fault handler.
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
    alignas(16) unsigned char m_previous[160] = {};  // the action before, as the system keeps it
    bool m_bSaved = false;
};

// Arms (seconds > 0) or disarms (0) a watchdog that ends the process by
// end cause `signal` after calling `onExpiry` (in a signal handler, on any thread),
// should the crash report hang on a lock the faulting thread already held (a
// fault inside malloc). Allocates nothing and takes no lock.
void ArmFaultWatchdog(unsigned seconds, int signal, void (*onExpiry)());

}  // namespace oru::platform

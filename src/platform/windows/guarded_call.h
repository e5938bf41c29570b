#pragma once

// Calls into code that may fault on data it does not understand, made so
// that the fault costs only that call. The symbol handler, reading the
// debug information of the modules for a crash report, can trip over a
// construct it does not know and fault; unguarded, that second fault would
// end the report after its heading.
//
// One guarded call at a time in the process: it is for the crash report,
// which runs once, on one thread.

#include <atomic>
#include <cstdint>

namespace oru::platform {

namespace detail {
extern std::atomic<uint32_t> g_nGuardedThread;  // the thread inside a guarded call; 0: none
extern void* g_recovery[5];                     // where the fault resumes: __builtin_setjmp's buffer
uint32_t CurrentThread();
}  // namespace detail

// Runs `body`; true when it returned, false when it faulted (the fault is
// then dropped, and whatever `body` was doing is abandoned half-way: locks it
// took stay taken, so the code it called must not be called again).
template <typename Body>
[[gnu::noinline]] bool RunGuarded(Body&& body)
{
    if (__builtin_setjmp(detail::g_recovery) != 0) {
        detail::g_nGuardedThread.store(0);
        return false;
    }
    detail::g_nGuardedThread.store(detail::CurrentThread());
    body();
    detail::g_nGuardedThread.store(0);
    return true;
}

// Called by the unhandled exception filter with a fault's code: when the
// fault is a processor fault on the thread inside a guarded call, resumes
// that call's RunGuarded (which returns false) and does not return here.
// Only a fault nobody handled counts: the symbol handler probes memory and
// catches its own faults as part of its normal work, and a call abandoned
// at such a fault would lose names that were there to be had.
void ResumeGuardedCall(uint32_t faultCode);

}  // namespace oru::platform

#pragma once

// How a fatal signal becomes a fault code of platform/fault_codes.h.

#include <csignal>
#include <cstdint>

namespace oru::platform {

// The fault code of a fatal signal. `pContext` (a ucontext_t*, may be null)
// tells a stack overflow from other invalid accesses. Allocates nothing and
// takes no lock: the fault may have struck inside malloc. The guard below the
// thread's stack is known only on a thread that holds an alternate stack of
// ours (the only threads whose overflow reaches a handler at all); elsewhere
// an access next to the stack pointer still counts as an overflow.
uint32_t FaultCodeOfSignal(int signal, const siginfo_t* pInfo, const void* pContext);

}  // namespace oru::platform

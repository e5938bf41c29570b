#pragma once

// Numbers that name the running process and thread the way the system's own
// tools show them (ps, top, a debugger's thread list).

#include <cstdint>

namespace oru::platform {

// The process id; the same for every thread.
uint32_t CurrentProcessId();

// The user and group the process runs as (its effective ids are not asked).
uint32_t CurrentUserId();
uint32_t CurrentGroupId();

// The kernel's id of the calling thread: unique among the live threads of
// the system, and the process id on the main thread. Safe in a signal
// handler.
long CurrentThreadId();

}  // namespace oru::platform

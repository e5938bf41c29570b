#pragma once

// Numbers that name the running process and thread the way the system's own
// tools show them (ps, top, a debugger's thread list), for exports that a
// viewer lays out by process and thread.

#include <cstdint>

namespace oru::platform {

// The process id; the same for every thread.
uint32_t CurrentProcessId();

// The kernel's id of the calling thread: unique among live threads of the
// system, and equal to the process id on the main thread.
uint32_t CurrentThreadId();

}  // namespace oru::platform

#pragma once

// Internal settings of the crash handler, for the tests of its fatal path.

namespace oru::detail {

// Called on the faulting thread once the re-entry guard is passed and the
// watchdog armed, before the report is built; null in normal use. A test places a second fault here.
extern void (*g_pfnBeforeCrashReport)();

// How long building and storing a report may take before the watchdog ends
// the process (the window that follows is not limited).
extern unsigned g_nCrashWatchdogSeconds;

// Faults on other threads that are waiting for the report under way.
int CrashFaultsWaiting();

}  // namespace oru::detail

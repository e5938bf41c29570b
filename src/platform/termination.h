#pragma once

// For a tool that must not leave half-done work when the user interrupts it
// (Ctrl-C) or the system asks it to stop: the request is noted instead of
// ending the process at once, the tool checks for it between steps, undoes
// what it started, and then ends the way the signal would have ended it.

namespace oru::platform {

// From now on SIGINT, SIGTERM and SIGHUP are noted, not obeyed.
void CatchTerminationRequests();
// The signal of the first request noted, or 0.
int TerminationRequested();
// Ends the process by `signal`, with its default action, as if it had never
// been caught (the shell then reports it as usual).
[[noreturn]] void EndBySignal(int signal);

}  // namespace oru::platform

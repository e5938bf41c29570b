#include "platform/termination.h"

#include <windows.h>

#include <atomic>
#include <csignal>

namespace oru::platform {
namespace {

std::atomic<int> s_nRequested{0};

// What a console ends a process with when Ctrl-C is not caught.
constexpr UINT CONTROL_C_EXIT_CODE = 0xC000013Au;

// The signal numbers the C runtime gives these requests.
int SignalOf(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
        return SIGINT;
    case CTRL_BREAK_EVENT:
        return SIGBREAK;
    default:
        return SIGTERM;  // the console closes, the user logs off, the system shuts down
    }
}

// Runs on a thread of its own that the system starts. Ctrl-C and Ctrl-Break
// are noted and the process goes on. For a closing console the system ends
// the process as soon as this returns, so it does not return: the tool's own
// thread undoes its work and ends the process, or the system's grace period
// ends it.
BOOL WINAPI NoteRequest(DWORD event)
{
    int none = 0;
    s_nRequested.compare_exchange_strong(none, SignalOf(event));
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT)
        return TRUE;
    Sleep(INFINITE);
    return TRUE;
}

}  // namespace

void CatchTerminationRequests()
{
    SetConsoleCtrlHandler(NoteRequest, TRUE);
}

int TerminationRequested()
{
    return s_nRequested.load();
}

// There is no signal to raise again: the process ends with the code a
// console gives a process that Ctrl-C ended, whatever the request was.
void EndBySignal(int)
{
    ExitProcess(CONTROL_C_EXIT_CODE);
}

}  // namespace oru::platform

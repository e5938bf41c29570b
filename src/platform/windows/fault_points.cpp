#include "platform/fault_points.h"

#include <windows.h>

#include <atomic>
#include <cerrno>

namespace oru::platform {
namespace {

std::atomic<uint64_t> s_nReached{0};
std::atomic<uint64_t> s_nArmedAt{0};
std::atomic<eFaultAction> s_eAction{eFaultAction::FAIL};
std::atomic<std::vector<eFaultKind>*> s_pTrace{nullptr};
thread_local int s_nLastError = 0;

// The exit code of a process the seam kills: what a shell reports for a
// process killed by signal 9 elsewhere, so a test tells it from a normal exit.
constexpr UINT KILLED_EXIT_CODE = 9;

}  // namespace

void ArmFaultPoint(uint64_t nth, eFaultAction action)
{
    s_eAction.store(action);
    s_nReached.store(0);
    s_nArmedAt.store(nth);
}

uint64_t FaultPointsReached()
{
    return s_nReached.load();
}

void TraceFaultPoints(std::vector<eFaultKind>* pTrace)
{
    s_pTrace.store(pTrace);
}

// A failure looks like a full disk both to code that reads errno and to code
// that reads the system's last error, whichever the caller goes on to read.
// A kill ends the process at once: no destructor, no flush, no atexit
// handler runs, as after a power cut.
bool ReachFaultPoint(eFaultKind kind)
{
    if (std::vector<eFaultKind>* pTrace = s_pTrace.load())
        pTrace->push_back(kind);
    const uint64_t reached = s_nReached.fetch_add(1) + 1;
    if (reached != s_nArmedAt.load(std::memory_order_relaxed))
        return true;
    if (s_eAction.load() == eFaultAction::KILL)
        TerminateProcess(GetCurrentProcess(), KILLED_EXIT_CODE);
    SetLastError(ERROR_DISK_FULL);
    errno = ENOSPC;
    s_nLastError = ENOSPC;
    return false;
}

int LastFileError()
{
    return s_nLastError;
}

void ClearLastFileError()
{
    s_nLastError = 0;
}

bool RecordFileError()
{
    s_nLastError = errno;
    return false;
}

}  // namespace oru::platform

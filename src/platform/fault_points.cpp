#include "platform/fault_points.h"

#include <atomic>
#include <cerrno>

namespace oru::platform {
namespace {

std::atomic<uint64_t> s_nReached{0};
std::atomic<uint64_t> s_nArmedAt{0};
std::atomic<eFaultAction> s_eAction{eFaultAction::FAIL};
std::atomic<std::vector<eFaultKind>*> s_pTrace{nullptr};
thread_local int s_nLastError = 0;

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

bool ReachFaultPoint(eFaultKind kind)
{
    if (std::vector<eFaultKind>* pTrace = s_pTrace.load())
        pTrace->push_back(kind);
    const uint64_t reached = s_nReached.fetch_add(1) + 1;
    if (reached != s_nArmedAt.load(std::memory_order_relaxed))
        return true;
    if (s_eAction.load() == eFaultAction::KILL)
        KillThisProcess();
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

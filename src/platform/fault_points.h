#pragma once

// A seam for tests: every call that changes a file on disk (a write, an
// fsync, a rename, a truncation) passes through ReachFaultPoint first. A test
// numbers these calls and makes the N-th one fail, as a full disk or an I/O
// error would, or makes the process die right there, as a power cut or a
// kill would. Disarmed (the default) the seam only counts.

#include <cstdint>
#include <vector>

namespace oru::platform {

enum class eFaultKind { WRITE, SYNC, RENAME, TRUNCATE };

enum class eFaultAction {
    FAIL,  // the call fails with ENOSPC and changes nothing
    KILL,  // the process is killed before the call (KillThisProcess)
};

// Makes the `nth` call from now (1 = the next) take `action`; 0 disarms.
// Resets the count.
void ArmFaultPoint(uint64_t nth, eFaultAction action);
// Calls counted since the last ArmFaultPoint.
uint64_t FaultPointsReached();

// Appends the kind of every call from now on to `pTrace` (null stops it).
// For single-threaded tests that check the order of the calls.
void TraceFaultPoints(std::vector<eFaultKind>* pTrace);

// Called by the platform layer before each such call. False when the call
// must fail; errno is then set to ENOSPC.
bool ReachFaultPoint(eFaultKind kind);

// The system's error number of the last file call that failed on this
// thread (0 when none has since ClearLastFileError), for messages.
int LastFileError();
void ClearLastFileError();
// Records errno as the last file error; returns false for use in returns.
bool RecordFileError();

// Each system's way to end the process at once, as a kill or a power cut
// would: no destructor, no flush, no exit handler runs.
[[noreturn]] void KillThisProcess();

}  // namespace oru::platform

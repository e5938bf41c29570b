#include "platform/fault_points.h"

#include <windows.h>

#include <cstdlib>

namespace oru::platform {

// The exit code a shell elsewhere shows as "killed by signal 9", so a test
// tells a kill from an ordinary exit.
void KillThisProcess()
{
    constexpr UINT KILLED_EXIT_CODE = 9;
    TerminateProcess(GetCurrentProcess(), KILLED_EXIT_CODE);
    std::abort();  // TerminateProcess of the calling process does not return
}

}  // namespace oru::platform

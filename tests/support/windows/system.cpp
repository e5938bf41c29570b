#include "support/system.h"

#include <cstdlib>

#include <windows.h>

namespace oru::test {

const char* MissingFeature(eTestFeature feature)
{
    switch (feature) {
    case eTestFeature::FIFOS:
        return "Windows has no FIFOs in the file system";
    case eTestFeature::POSIX_MODES:
        return "Windows files have no POSIX permission bits";
    case eTestFeature::SYMBOLIC_LINKS:
        return "making symbolic links on Windows needs a privilege that tests cannot count on";
    case eTestFeature::FORKED_CHILD:
        return "Windows has no fork: a child cannot start with the test's state";
    case eTestFeature::FILE_SIZE_LIMIT:
        return "Windows has no limit on how far a process may grow a file";
    }
    return nullptr;
}

void SetEnvironmentValue(const char* name, const char* value)
{
    // _putenv_s changes the C runtime's copy and the process's own, which
    // the library and child processes read; an empty value removes.
    _putenv_s(name, value ? value : "");
}

bool MakeFifo(const std::string&)
{
    return false;
}

bool SetFileMode(const std::string&, unsigned)
{
    return false;
}

int FileMode(const std::string&)
{
    return -1;
}

bool IgnoresFileModes()
{
    return false;
}

int OpenHandleCount()
{
    DWORD count = 0;
    return GetProcessHandleCount(GetCurrentProcess(), &count) ? static_cast<int>(count) : -1;
}

void* MapPage(bool executable)
{
    return VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT,
                        executable ? PAGE_EXECUTE_READWRITE : PAGE_READWRITE);
}

void UnmapPage(void* pPage)
{
    VirtualFree(pPage, 0, MEM_RELEASE);
}

}  // namespace oru::test

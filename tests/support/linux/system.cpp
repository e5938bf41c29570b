#include "support/system.h"

#include <filesystem>

#include <cstdlib>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace oru::test {

const char* MissingFeature(eTestFeature)
{
    return nullptr;
}

void SetEnvironmentValue(const char* name, const char* value)
{
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

bool MakeFifo(const std::string& path)
{
    return mkfifo(path.c_str(), 0600) == 0;
}

bool SetFileMode(const std::string& path, unsigned mode)
{
    return chmod(path.c_str(), mode) == 0;
}

int FileMode(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

bool IgnoresFileModes()
{
    return geteuid() == 0;
}

int OpenHandleCount()
{
    std::error_code error;
    int count = 0;
    for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end;
         it.increment(error))
        ++count;
    return error ? -1 : count;
}

void* MapPage(bool executable)
{
    const int protection = PROT_READ | PROT_WRITE | (executable ? PROT_EXEC : 0);
    void* pPage = mmap(nullptr, 4096, protection, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return pPage == MAP_FAILED ? nullptr : pPage;
}

void UnmapPage(void* pPage)
{
    munmap(pPage, 4096);
}

}  // namespace oru::test

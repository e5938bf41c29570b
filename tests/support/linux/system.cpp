#include "support/system.h"

#include <filesystem>

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sys/mman.h>
#include <sys/resource.h>
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

bool IgnoresFileModes()
{
    return geteuid() == 0;
}

uint64_t FileIdentity(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

oru::platform::CFileTimes SystemFileTimes(const std::string& path)
{
    struct statx st {};
    if (statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &st) != 0)
        return {0, 0, 0};
    const auto fileTime = [](const statx_timestamp& t) {
        return uint64_t(t.tv_sec) * 10000000u + t.tv_nsec / 100 + 116444736000000000ULL;
    };
    const statx_timestamp& created = (st.stx_mask & STATX_BTIME) ? st.stx_btime : st.stx_ctime;
    return {fileTime(created), fileTime(st.stx_atime), fileTime(st.stx_mtime)};
}

bool SetSystemFileTimes(const std::string& path, uint64_t access, uint64_t write)
{
    const auto unixTime = [](uint64_t fileTime) {
        const uint64_t since1970 = fileTime - 116444736000000000ULL;
        return timespec{static_cast<time_t>(since1970 / 10000000u), static_cast<long>(since1970 % 10000000u * 100)};
    };
    const timespec times[2] = {unixTime(access), unixTime(write)};
    return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

void LimitAddressSpace(uint64_t moreBytes)
{
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t limit = static_cast<rlim_t>(pages * sysconf(_SC_PAGESIZE)) + moreBytes;
    const rlimit rl{limit, limit};
    setrlimit(RLIMIT_AS, &rl);
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

const char* EntryFunctionName()
{
    return "_start";
}

}  // namespace oru::test

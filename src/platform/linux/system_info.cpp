#include "platform/system_info.h"

#include "descriptor.h"

#include <cerrno>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace oru::platform {
namespace {

// Enough of /proc/cpuinfo for its first processor, and all of the others.
constexpr size_t SMALL_FILE_BYTES = 8192;

// Reads at most `capacity - 1` bytes of a file and terminates them; the
// length read, 0 when the file cannot be read.
size_t ReadFileStart(const char* path, char* pBuffer, size_t capacity)
{
    const CDescriptor file = CDescriptor::Open(path, O_RDONLY);
    const size_t length = file.ReadUpTo(pBuffer, capacity - 1);
    pBuffer[length] = '\0';
    return length;
}

// The rest of the first line of `text` that starts with `key`, without the
// separator (`:` or `=`), blanks and quotes around it; null when no line does.
const char* ValueOf(const char* text, const char* key, size_t& length)
{
    const size_t keyLength = strlen(key);
    for (const char* pLine = text; *pLine != '\0';) {
        const char* pEnd = strchr(pLine, '\n');
        if (!pEnd)
            pEnd = pLine + strlen(pLine);
        if (strncmp(pLine, key, keyLength) == 0) {
            const char* p = pLine + keyLength;
            while (p < pEnd && (*p == ' ' || *p == '\t' || *p == ':' || *p == '=' || *p == '"'))
                ++p;
            const char* pLast = pEnd;
            while (pLast > p && (pLast[-1] == ' ' || pLast[-1] == '"' || pLast[-1] == '\r'))
                --pLast;
            length = static_cast<size_t>(pLast - p);
            return p;
        }
        pLine = *pEnd == '\n' ? pEnd + 1 : pEnd;
    }
    return nullptr;
}

void CopyValue(const char* text, const char* key, char* pDst, size_t capacity)
{
    size_t length = 0;
    const char* pValue = ValueOf(text, key, length);
    if (!pValue)
        length = 0;
    if (length >= capacity)
        length = capacity - 1;
    memcpy(pDst, pValue ? pValue : "", length);
    pDst[length] = '\0';
}

// A "/proc/meminfo" figure in bytes; 0 when missing.
uint64_t MemoryFigure(const char* meminfo, const char* key)
{
    size_t length = 0;
    const char* p = ValueOf(meminfo, key, length);
    uint64_t kib = 0;
    for (; p && length > 0 && *p >= '0' && *p <= '9'; ++p, --length) {
        if (kib > UINT64_MAX / 10 / 1024)
            return 0;
        kib = kib * 10 + static_cast<uint64_t>(*p - '0');
    }
    return kib * 1024;
}

void ReadKernel(char* pDst, size_t capacity)
{
    struct utsname names {};
    pDst[0] = '\0';
    if (uname(&names) != 0)
        return;
    const char* parts[] = {names.sysname, names.release, names.version, names.machine};
    size_t length = 0;
    for (const char* part : parts) {
        const size_t partLength = strnlen(part, sizeof names.sysname);
        if (length + partLength + 2 > capacity)
            break;
        if (length > 0)
            pDst[length++] = ' ';
        memcpy(pDst + length, part, partLength);
        length += partLength;
    }
    pDst[length] = '\0';
}

// The GNU build ID among the notes of a mapped module; false when it has none.
bool FindBuildId(const dl_phdr_info& info, const uint8_t*& pId, size_t& size)
{
    for (ElfW(Half) i = 0; i < info.dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info.dlpi_phdr[i];
        if (segment.p_type != PT_NOTE)
            continue;
        const auto* p = reinterpret_cast<const uint8_t*>(info.dlpi_addr + segment.p_vaddr);
        size_t left = segment.p_memsz;
        while (left >= sizeof(ElfW(Nhdr))) {
            ElfW(Nhdr) note;
            memcpy(&note, p, sizeof note);
            const size_t nameBytes = (static_cast<size_t>(note.n_namesz) + 3) & ~size_t{3};
            const size_t descBytes = (static_cast<size_t>(note.n_descsz) + 3) & ~size_t{3};
            if (nameBytes > left - sizeof note || descBytes > left - sizeof note - nameBytes)
                break;
            const uint8_t* pName = p + sizeof note;
            if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 &&
                memcmp(pName, "GNU", 4) == 0 && note.n_descsz > 0) {
                pId = pName + nameBytes;
                size = note.n_descsz;
                return true;
            }
            p += sizeof note + nameBytes + descBytes;
            left -= sizeof note + nameBytes + descBytes;
        }
    }
    return false;
}

struct CModuleWalk {
    const char* m_pExecutablePath;
    LoadedModuleVisitor m_pfnVisit;
    void* m_pUser;
};

int VisitModule(dl_phdr_info* pInfo, size_t, void* pData)
{
    const auto& walk = *static_cast<const CModuleWalk*>(pData);
    uint64_t lowest = UINT64_MAX;
    for (ElfW(Half) i = 0; i < pInfo->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = pInfo->dlpi_phdr[i];
        if (segment.p_type == PT_LOAD && segment.p_vaddr < lowest)
            lowest = segment.p_vaddr;
    }
    CLoadedModule module{};
    const bool bProgram = pInfo->dlpi_name == nullptr || pInfo->dlpi_name[0] == '\0';
    module.m_pPath = bProgram ? walk.m_pExecutablePath : pInfo->dlpi_name;
    module.m_nAddress = pInfo->dlpi_addr + (lowest == UINT64_MAX ? 0 : lowest);
    if (!FindBuildId(*pInfo, module.m_pBuildId, module.m_nBuildIdSize)) {
        module.m_pBuildId = nullptr;
        module.m_nBuildIdSize = 0;
    }
    walk.m_pfnVisit(module, walk.m_pUser);
    return 0;
}

}  // namespace

void ReadSystemSummary(CSystemSummary& summary)
{
    char text[SMALL_FILE_BYTES];
    if (ReadFileStart("/etc/os-release", text, sizeof text) == 0)
        ReadFileStart("/usr/lib/os-release", text, sizeof text);
    CopyValue(text, "PRETTY_NAME", summary.m_szOs, sizeof summary.m_szOs);

    ReadKernel(summary.m_szKernel, sizeof summary.m_szKernel);

    ReadFileStart("/proc/cpuinfo", text, sizeof text);
    CopyValue(text, "model name", summary.m_szProcessor, sizeof summary.m_szProcessor);
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    summary.m_nProcessors = online > 0 ? online : 0;

    ReadFileStart("/proc/meminfo", text, sizeof text);
    summary.m_nMemoryTotal = MemoryFigure(text, "MemTotal");
    summary.m_nMemoryAvailable = MemoryFigure(text, "MemAvailable");

    const ssize_t n = readlink("/proc/self/exe", summary.m_szExecutable,
                               sizeof summary.m_szExecutable - 1);
    summary.m_szExecutable[n > 0 ? n : 0] = '\0';
}

void ForEachLoadedModule(const char* executablePath, LoadedModuleVisitor visit, void* pUser)
{
    CModuleWalk walk{executablePath, visit, pUser};
    dl_iterate_phdr(VisitModule, &walk);
}

}  // namespace oru::platform

#include "platform/system_info.h"

#include "fault_preparation.h"
#include "native_context.h"

#include <dbghelp.h>
#include <psapi.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

// What does not change while the process runs (the system's name and
// version, the processor) is read from the registry when the fault handlers
// are installed; the registry functions allocate. At the time of a report
// only calls that read what the system keeps ready remain: the memory
// figures, the module list, and data inside the mapped modules themselves
// (version resources, debug directories).

namespace oru::platform {
namespace {

constexpr const wchar_t* VERSION_KEY = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr const wchar_t* PROCESSOR_KEY = L"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";

// Modules beyond this many are left out of a report.
constexpr DWORD MAX_MODULES = 1024;
// The resource type of a version resource (RT_VERSION, whose macro follows
// the narrow or wide build).
constexpr WORD VERSION_RESOURCE_TYPE = 16;
// A version resource larger than this is not read.
constexpr size_t MAX_VERSION_RESOURCE = 64 * 1024;

// The CodeView record of a module's debug directory, which names the exact
// PDB (or debug file) the module was linked with: "RSDS", a GUID, an age.
constexpr DWORD CODEVIEW_SIGNATURE = 0x53445352;  // "RSDS"
constexpr size_t CODEVIEW_ID_BYTES = 16 + 4;

struct CStaticSummary {
    char m_szOs[sizeof CSystemSummary::m_szOs] = {};
    char m_szKernel[sizeof CSystemSummary::m_szKernel] = {};
    char m_szProcessor[sizeof CSystemSummary::m_szProcessor] = {};
    long m_nProcessors = 0;
};
CStaticSummary s_summary;

// `text` (UTF-16, `length` units or terminated when -1) as UTF-8 in `pDst`,
// cut to fit; the bytes written.
size_t ToUtf8(const wchar_t* text, int length, char* pDst, size_t capacity)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, length, pDst,
                                      static_cast<int>(capacity - 1), nullptr, nullptr);
    const size_t written = n > 0 ? static_cast<size_t>(n) : 0;
    pDst[written] = '\0';
    return length < 0 && written > 0 ? written - 1 : written;  // a terminated input brings its own
}

// A text value of the registry under HKEY_LOCAL_MACHINE, as UTF-8 without
// the blanks around it; empty when missing.
void ReadRegistryText(const wchar_t* key, const wchar_t* name, char* pDst, size_t capacity)
{
    pDst[0] = '\0';
    wchar_t value[256];
    DWORD bytes = sizeof value;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_SZ, nullptr, value, &bytes) !=
        ERROR_SUCCESS)
        return;
    const wchar_t* p = value;
    while (*p == L' ')
        ++p;
    size_t length = ToUtf8(p, -1, pDst, capacity);
    while (length > 0 && pDst[length - 1] == ' ')
        pDst[--length] = '\0';
}

// Appends printf-style text to the terminated text in `pDst`, cut to fit.
void AppendFormat(char* pDst, size_t capacity, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void AppendFormat(char* pDst, size_t capacity, const char* format, ...)
{
    const size_t used = strlen(pDst);
    va_list args;
    va_start(args, format);
    vsnprintf(pDst + used, capacity - used, format, args);
    va_end(args);
}

// The compatibility layer that runs programs of this system on another
// one, in its own words: its version and the host system's name and
// release. False when the program runs on the system itself.
bool AppendCompatibilityLayer(char* pDst, size_t capacity)
{
    const HMODULE hNtdll = GetModuleHandleW(L"ntdll.dll");
    using VersionFunction = const char*(__cdecl*)();
    using HostFunction = void(__cdecl*)(const char**, const char**);
    const auto pfnVersion = reinterpret_cast<VersionFunction>(
        reinterpret_cast<void*>(GetProcAddress(hNtdll, "wine_get_version")));
    if (!pfnVersion)
        return false;
    AppendFormat(pDst, capacity, " (Wine %s", pfnVersion());
    const auto pfnHost = reinterpret_cast<HostFunction>(
        reinterpret_cast<void*>(GetProcAddress(hNtdll, "wine_get_host_version")));
    const char* pSystem = nullptr;
    const char* pRelease = nullptr;
    if (pfnHost)
        pfnHost(&pSystem, &pRelease);
    if (pSystem && pRelease)
        AppendFormat(pDst, capacity, " on %s %s", pSystem, pRelease);
    AppendFormat(pDst, capacity, ")");
    return true;
}

// "Windows NT 10.0.19045 x86-64", from the kernel's own version (the
// version functions of the system's libraries report what the program's
// manifest allows them to).
void ReadKernel(char* pDst, size_t capacity)
{
    pDst[0] = '\0';
    using GetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOW*);
    const auto pfnGetVersion = reinterpret_cast<GetVersionFunction>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (!pfnGetVersion || pfnGetVersion(&version) != 0)
        return;
    AppendFormat(pDst, capacity, "Windows NT %lu.%lu.%lu x86-64", version.dwMajorVersion,
                 version.dwMinorVersion, version.dwBuildNumber);
    AppendCompatibilityLayer(pDst, capacity);
}

// The CodeView record's GUID and age, in the order in which the binary
// tools and symbol stores write them: the GUID's first three fields (kept
// little-endian in the record) most significant byte first, its last eight
// bytes as they are, then the age, most significant byte first. False when
// the module has no such record (the linker writes one only when asked to).
bool ReadCodeViewId(HMODULE hModule, uint8_t (&id)[CODEVIEW_ID_BYTES])
{
    ULONG bytes = 0;
    const auto* pDirectory = static_cast<const IMAGE_DEBUG_DIRECTORY*>(
        ImageDirectoryEntryToData(hModule, TRUE, IMAGE_DIRECTORY_ENTRY_DEBUG, &bytes));
    if (!pDirectory)
        return false;
    const auto* pBase = reinterpret_cast<const uint8_t*>(hModule);
    for (ULONG i = 0; i < bytes / sizeof *pDirectory; ++i) {
        const IMAGE_DEBUG_DIRECTORY& entry = pDirectory[i];
        if (entry.Type != IMAGE_DEBUG_TYPE_CODEVIEW || entry.AddressOfRawData == 0 ||
            entry.SizeOfData < sizeof(DWORD) + CODEVIEW_ID_BYTES)
            continue;
        const uint8_t* pRecord = pBase + entry.AddressOfRawData;
        DWORD signature = 0;
        memcpy(&signature, pRecord, sizeof signature);
        if (signature != CODEVIEW_SIGNATURE)
            continue;
        const uint8_t* pGuid = pRecord + sizeof signature;
        // Byte positions in the record for each byte of the id.
        static constexpr uint8_t ORDER[CODEVIEW_ID_BYTES] = {3,  2,  1,  0,  5,  4,  7,
                                                             6,  8,  9,  10, 11, 12, 13,
                                                             14, 15, 19, 18, 17, 16};
        for (size_t b = 0; b < CODEVIEW_ID_BYTES; ++b)
            id[b] = pGuid[ORDER[b]];
        return true;
    }
    return false;
}

// The file version in the module's version resource, "major.minor.build.
// revision"; false when it has none. The resource is read where the module
// is mapped, copied because the query may write into its block.
bool ReadModuleVersion(HMODULE hModule, char* pDst, size_t capacity)
{
    static unsigned char s_block[MAX_VERSION_RESOURCE];
    const HRSRC hInfo = FindResourceW(hModule, MAKEINTRESOURCEW(VS_VERSION_INFO), MAKEINTRESOURCEW(VERSION_RESOURCE_TYPE));
    const DWORD size = hInfo ? SizeofResource(hModule, hInfo) : 0;
    const HGLOBAL hData = size > 0 ? LoadResource(hModule, hInfo) : nullptr;
    const void* pData = hData ? LockResource(hData) : nullptr;
    if (!pData || size > sizeof s_block)
        return false;
    memcpy(s_block, pData, size);
    VS_FIXEDFILEINFO* pFixed = nullptr;
    UINT fixedBytes = 0;
    if (!VerQueryValueW(s_block, L"\\", reinterpret_cast<void**>(&pFixed), &fixedBytes) ||
        fixedBytes < sizeof *pFixed || pFixed->dwSignature != VS_FFI_SIGNATURE)
        return false;
    snprintf(pDst, capacity, "%u.%u.%u.%u", HIWORD(pFixed->dwFileVersionMS),
             LOWORD(pFixed->dwFileVersionMS), HIWORD(pFixed->dwFileVersionLS),
             LOWORD(pFixed->dwFileVersionLS));
    return true;
}

}  // namespace

void PrepareSystemSummary()
{
    static const bool s_bPrepared = [] {
        ReadRegistryText(VERSION_KEY, L"ProductName", s_summary.m_szOs, sizeof s_summary.m_szOs);
        ReadKernel(s_summary.m_szKernel, sizeof s_summary.m_szKernel);
        ReadRegistryText(PROCESSOR_KEY, L"ProcessorNameString", s_summary.m_szProcessor,
                         sizeof s_summary.m_szProcessor);
        s_summary.m_nProcessors = static_cast<long>(GetActiveProcessorCount(ALL_PROCESSOR_GROUPS));
        return true;
    }();
    (void)s_bPrepared;
}

void ReadSystemSummary(CSystemSummary& summary)
{
    PrepareSystemSummary();
    memcpy(summary.m_szOs, s_summary.m_szOs, sizeof summary.m_szOs);
    memcpy(summary.m_szKernel, s_summary.m_szKernel, sizeof summary.m_szKernel);
    memcpy(summary.m_szProcessor, s_summary.m_szProcessor, sizeof summary.m_szProcessor);
    summary.m_nProcessors = s_summary.m_nProcessors;

    MEMORYSTATUSEX memory{};
    memory.dwLength = sizeof memory;
    if (GlobalMemoryStatusEx(&memory)) {
        summary.m_nMemoryTotal = memory.ullTotalPhys;
        summary.m_nMemoryAvailable = memory.ullAvailPhys;
    }

    wchar_t path[MAX_EXECUTABLE_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_EXECUTABLE_PATH);
    summary.m_szExecutable[0] = '\0';
    if (length > 0 && length < MAX_EXECUTABLE_PATH)
        ToUtf8(path, static_cast<int>(length), summary.m_szExecutable,
               sizeof summary.m_szExecutable);
}

void ForEachLoadedModule(const char* executablePath, LoadedModuleVisitor visit, void* pUser)
{
    // Static: a report may run on a stack that is nearly used up.
    static HMODULE s_modules[MAX_MODULES];
    static wchar_t s_path[MAX_EXECUTABLE_PATH];
    static char s_pathUtf8[MAX_EXECUTABLE_PATH];
    static char s_version[64];
    static uint8_t s_id[CODEVIEW_ID_BYTES];
    DWORD bytes = 0;
    if (!EnumProcessModules(GetCurrentProcess(), s_modules, sizeof s_modules, &bytes))
        return;
    const DWORD count = bytes / sizeof(HMODULE) < MAX_MODULES ? bytes / sizeof(HMODULE) : MAX_MODULES;
    for (DWORD i = 0; i < count; ++i) {
        const HMODULE hModule = s_modules[i];
        CLoadedModule module{};
        module.m_nAddress = reinterpret_cast<uint64_t>(hModule);
        const DWORD length = GetModuleFileNameW(hModule, s_path, MAX_EXECUTABLE_PATH);
        if (i == 0)
            module.m_pPath = executablePath;  // the program comes first
        else if (length > 0 && length < MAX_EXECUTABLE_PATH &&
                 ToUtf8(s_path, static_cast<int>(length), s_pathUtf8, sizeof s_pathUtf8) > 0)
            module.m_pPath = s_pathUtf8;
        else
            module.m_pPath = "unknown";
        if (ReadCodeViewId(hModule, s_id)) {
            module.m_pBuildId = s_id;
            module.m_nBuildIdSize = sizeof s_id;
        }
        if (ReadModuleVersion(hModule, s_version, sizeof s_version))
            module.m_pVersion = s_version;
        visit(module, pUser);
    }
}

}  // namespace oru::platform

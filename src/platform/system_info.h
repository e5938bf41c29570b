#pragma once

// What a crash report tells about the machine and the process: the system,
// the processor, the memory, the executable and every module loaded into it
// with its build ID, which names the exact debug files that resolve the
// report's addresses later, on the developer's machine, and its version
// where the system records one in the module.
//
// Made for a fault handler: nothing here allocates or takes a lock of the
// library (the fault may have struck inside malloc). Walking the modules
// takes the dynamic loader's own lock.

#include <cstddef>
#include <cstdint>

namespace oru::platform {

// Bytes kept of the executable's path (UTF-8).
constexpr size_t MAX_EXECUTABLE_PATH = 4096;

struct CSystemSummary {
    char m_szOs[128];              // the distribution's name ("Debian GNU/Linux 12 (bookworm)"); empty: unknown
    char m_szKernel[256];          // system, release, version and machine as uname gives them
    char m_szProcessor[128];       // the first processor's model name; empty: unknown
    long m_nProcessors;            // online logical processors; 0: unknown
    uint64_t m_nMemoryTotal;       // bytes; 0: unknown
    uint64_t m_nMemoryAvailable;   // bytes a new program could have without swapping; 0: unknown
    char m_szExecutable[MAX_EXECUTABLE_PATH];  // the running program's path; empty: unknown
};

// Fills `summary`; what cannot be read stays empty or 0.
void ReadSystemSummary(CSystemSummary& summary);

struct CLoadedModule {
    const char* m_pPath;        // as the loader names it; the executable's own path for the program
    uint64_t m_nAddress;        // where its lowest segment is mapped
    const uint8_t* m_pBuildId;  // the GNU build ID's bytes in the mapped module; null: none
    size_t m_nBuildIdSize;
    const char* m_pVersion;     // the file version the module records ("6.1.7601.24059"); null: none
};

using LoadedModuleVisitor = void (*)(const CLoadedModule& module, void* pUser);

// Hands each loaded module to `visit`, the program first, in load order.
// `executablePath` names the program (the loader knows it by an empty name).
void ForEachLoadedModule(const char* executablePath, LoadedModuleVisitor visit, void* pUser);

}  // namespace oru::platform

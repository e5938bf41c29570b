#pragma once

// Walking a thread's stack from a machine context and naming each frame from
// the debug information of the loaded modules. The stack is walked with
// libunwind; function names, source files and lines come from the DWARF data
// that libdw reads from the modules themselves or, for a module stripped of
// it, from its separate debug file on this machine (by build ID under
// /usr/lib/debug, or through its debug link beside it). Nothing is ever
// fetched over the network: a crashing game must not wait on a download.
// A call that the optimiser inlined is a frame of its own.
//
// Everything here may run in a fatal signal handler. It allocates (libdw
// does), so it is only for a process that is about to end.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "native_context.h"

namespace oru::platform {

// MachineContext (native_context.h): the machine context of a thread at one
// point, what a fatal fault hands its handler or what CaptureContext records.

// Records the context of its own call: the walk from it lists CaptureContext
// itself first, then its caller, and so on. Never inlined, so that count holds.
[[gnu::noinline]] void CaptureContext(MachineContext& context);

constexpr size_t MAX_FUNCTION_NAME = 169;  // characters kept of a function's name
constexpr size_t MAX_FILE_NAME = 255;      // bytes kept of a source file's name

// A demangled name without its parameter list, trailing qualifiers and the
// optimiser's clone suffix: "ns::Run(int) const [clone .isra.0]" is "ns::Run".
std::string_view FunctionNameWithoutParameters(std::string_view name);

// One frame as the debug information describes it.
struct CStackFrame {
    uint64_t m_nAddress;                 // the frame's program counter
    bool m_bSymbol;                      // false: no function is known there
    int m_nLookupError;                  // when !m_bSymbol: libdw's error number (0: no module)
    char m_szFunction[MAX_FUNCTION_NAME + 1];  // demangled, without its parameter list
    uint64_t m_nOffset;                  // bytes from the function's first instruction
    bool m_bLines;                       // both line look-ups below succeeded
    char m_szFile[MAX_FILE_NAME + 1];    // source file name without its folders
    int m_nLine;                         // line of the address, or of the inlined call it is in
    int m_nFunctionLine;                 // the function's first line; 0: not known
};

using StackFrameVisitor = void (*)(const CStackFrame& frame, void* pUser);

// Walks the stack described by `context`, steps over `skipFrames` frames
// (stopping early when the program counter becomes 0), then hands at most
// `maxFrames` frames to `visit`, innermost first; the calls inlined at one
// program counter come before the function that holds them. `bFaultContext`: the
// context's program counter is the faulting instruction itself (a signal's
// context), not a return address. Returns the number of frames visited. The
// walk ends at a program counter of 0 or where a step fails.
int WalkStack(const MachineContext& context, bool bFaultContext, int skipFrames, int maxFrames,
              StackFrameVisitor visit, void* pUser);

// The general registers of a context, by name, in the order in which a report
// lists them, two to a line.
struct CRegister {
    const char* m_pName;
    uint64_t m_nValue;
};
constexpr size_t REGISTER_COUNT = 18;
void ReadRegisters(const MachineContext& context, CRegister (&registers)[REGISTER_COUNT]);

}  // namespace oru::platform

#include "platform/stack_walk.h"

#include "coff_symbols.h"
#include "guarded_call.h"
#include "native_context.h"
#include "platform/memory_probe.h"

#include <dbghelp.h>

#include <cxxabi.h>

#include <cstdlib>
#include <cstring>

// The stack is walked by the system's symbol handler (StackWalk64) from the
// unwind data every x64 module carries, and named by the same handler:
// SymFromAddr for the function, SymGetLineFromAddr64 for the source line.
// What it can name depends on the debug information it can read. A program
// built by this project's compiler carries DWARF, which the symbol handler
// of the compatibility layer the tests run under reads (version 4 at most),
// and which the symbol handler of the system itself does not: there, only
// a module's exports and any PDB file are named.
//
// Where the handler knows no function, the module's own COFF symbol table
// names it (without a line): code without debug information, a module whose
// debug information the handler cannot read, or one that made it fault.
// A module that faulted it is not given to it again; the others keep their
// names and lines. Only a frame in no module with a symbol table is shown as
// its module and the offset into it.
//
// The search path is the executable's folder alone: the handler must never
// follow a symbol path from the environment to a server, a crashing game
// must not wait on a download.

namespace oru::platform {
namespace {

// Room for a function's whole name as the symbol handler gives it, before it
// is cut to MAX_FUNCTION_NAME characters.
constexpr ULONG MAX_SYMBOL_NAME = 1024;

HANDLE Process()
{
    return GetCurrentProcess();
}

void CopyCut(char* pDst, size_t capacity, std::string_view text)
{
    const size_t n = text.size() < capacity - 1 ? text.size() : capacity - 1;
    memcpy(pDst, text.data(), n);
    pDst[n] = '\0';
}

std::string_view BaseName(std::string_view path)
{
    const size_t separator = path.find_last_of("\\/");
    return separator == std::string_view::npos ? path : path.substr(separator + 1);
}

// A name the symbol handler took from a symbol table is still mangled;
// one it built from debug information is not.
void SetFunctionName(const char* pName, CStackFrame& frame)
{
    int status = -1;
    char* pDemangled = pName[0] == '_' && pName[1] == 'Z'
                           ? abi::__cxa_demangle(pName, nullptr, nullptr, &status)
                           : nullptr;
    const char* pShown = status == 0 && pDemangled ? pDemangled : pName;
    CopyCut(frame.m_szFunction, sizeof frame.m_szFunction, FunctionNameWithoutParameters(pShown));
    free(pDemangled);
}

// The module that holds `address` (without the symbol handler); null when
// none does.
HMODULE ModuleOf(uint64_t address)
{
    HMODULE hModule = nullptr;
    return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                  GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCWSTR>(address), &hModule)
               ? hModule
               : nullptr;
}

// The function symbol of the module's symbol table that holds the address;
// false when there is none.
bool DescribeFromSymbolTable(uint64_t address, uint64_t lookup, HMODULE hModule,
                             CStackFrame& frame)
{
    uint64_t start = 0;
    const char* pName = nullptr;
    if (!FindCoffFunction(hModule, lookup, start, pName))
        return false;
    frame = CStackFrame{};
    frame.m_nAddress = address;
    frame.m_bSymbol = true;
    frame.m_nOffset = address - start;
    SetFunctionName(pName, frame);
    return true;
}

// A frame no debug information names: from the module's symbol table when
// it keeps one, otherwise the module's file name stands in for the
// function and the offset counts from the module's start.
void DescribeWithoutDebugInfo(uint64_t address, uint64_t lookup, HMODULE hModule,
                              CStackFrame& frame)
{
    if (DescribeFromSymbolTable(address, lookup, hModule, frame))
        return;
    frame.m_bSymbol = true;
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(hModule, path, MAX_PATH);
    char utf8[MAX_PATH * 3];
    const int n = length > 0 ? WideCharToMultiByte(CP_UTF8, 0, path, static_cast<int>(length), utf8,
                                                   sizeof utf8, nullptr, nullptr)
                             : 0;
    CopyCut(frame.m_szFunction, sizeof frame.m_szFunction,
            n > 0 ? BaseName(std::string_view(utf8, static_cast<size_t>(n))) : "module");
    frame.m_nOffset = address - reinterpret_cast<uint64_t>(hModule);
}

// The source line of `address` in the function that starts at `start`. A
// line record from before the function belongs to other code: the look-up
// hands out the nearest earlier record when the function itself has none.
bool SourceLine(uint64_t address, uint64_t start, IMAGEHLP_LINE64& line)
{
    line = IMAGEHLP_LINE64{};
    line.SizeOfStruct = sizeof line;
    DWORD displacement = 0;
    return SymGetLineFromAddr64(Process(), address, &displacement, &line) && line.FileName &&
           line.LineNumber > 0 && line.Address >= start;
}

// What the symbol handler knows of an address.
enum class eKnown {
    NOTHING,   // no symbol (the error is kept in the frame)
    SYMBOL,    // only the nearest exported or public symbol below it
    FUNCTION,  // the function, from debug information
};

// Names the frame as the symbol handler can.
// `lookup` is the address whose function and line are wanted: the program
// counter itself for a faulting instruction, one byte before a return
// address otherwise, which keeps a call at the very end of a function (to a
// function that never returns) inside its caller.
eKnown DescribeFromDebugInfo(uint64_t lookup, CStackFrame& frame)
{
    // The SymTagFunction of a symbol the debug information describes as a
    // function; exports and public symbols have other tags.
    constexpr ULONG SYM_TAG_FUNCTION = 5;
    alignas(SYMBOL_INFO) char buffer[sizeof(SYMBOL_INFO) + MAX_SYMBOL_NAME];
    auto* pSymbol = reinterpret_cast<SYMBOL_INFO*>(buffer);
    pSymbol->SizeOfStruct = sizeof(SYMBOL_INFO);
    pSymbol->MaxNameLen = MAX_SYMBOL_NAME;
    DWORD64 displacement = 0;
    if (!SymFromAddr(Process(), lookup, &displacement, pSymbol)) {
        frame.m_nLookupError = static_cast<int>(GetLastError());
        return eKnown::NOTHING;
    }
    frame.m_bSymbol = true;
    const uint64_t start = pSymbol->Address;
    frame.m_nOffset = frame.m_nAddress - start;
    SetFunctionName(pSymbol->Name, frame);

    IMAGEHLP_LINE64 line;
    IMAGEHLP_LINE64 firstLine;
    if (SourceLine(lookup, start, line) && SourceLine(start, start, firstLine)) {
        frame.m_bLines = true;
        CopyCut(frame.m_szFile, sizeof frame.m_szFile, BaseName(line.FileName));
        frame.m_nLine = static_cast<int>(line.LineNumber);
        frame.m_nFunctionLine = static_cast<int>(firstLine.LineNumber);
    }
    return pSymbol->Tag == SYM_TAG_FUNCTION ? eKnown::FUNCTION : eKnown::SYMBOL;
}

// The modules whose debug information made the symbol handler fault. Its
// state for such a module is left half-built, and a second look-up would
// start reading it again (and fault again): they are named without it.
// Other modules keep their names, files and lines.
class CFaultedModules {
public:
    bool Contains(HMODULE hModule) const
    {
        for (int i = 0; i < m_nCount; ++i) {
            if (m_modules[i] == hModule)
                return true;
        }
        return false;
    }
    // Beyond the room kept, a module is asked again (and faults again).
    void Add(HMODULE hModule)
    {
        if (hModule && m_nCount < MAX_MODULES)
            m_modules[m_nCount++] = hModule;
    }

private:
    static constexpr int MAX_MODULES = 16;
    HMODULE m_modules[MAX_MODULES] = {};
    int m_nCount = 0;
};
CFaultedModules s_faultedModules;

// One frame: from the debug information where the symbol handler can read
// it, from the module's symbol table otherwise. An exported or public
// symbol is only the nearest one the module makes known, often another
// function than the one the address is in: the symbol table, which knows
// every function, is asked first then. The name comes from the table even
// when the debug information has the function: the handler's names leave
// out the anonymous namespace.
void Describe(uint64_t address, uint64_t lookup, CStackFrame& frame)
{
    frame = CStackFrame{};
    frame.m_nAddress = address;
    const HMODULE hModule = ModuleOf(lookup);
    if (hModule && s_faultedModules.Contains(hModule)) {
        DescribeWithoutDebugInfo(address, lookup, hModule, frame);
        return;
    }
    eKnown known = eKnown::NOTHING;
    if (!RunGuarded([&] { known = DescribeFromDebugInfo(lookup, frame); })) {
        s_faultedModules.Add(hModule);
        frame = CStackFrame{};
        frame.m_nAddress = address;
        frame.m_nLookupError = static_cast<int>(ERROR_MOD_NOT_FOUND);
    }
    if (!hModule)
        return;
    if (known == eKnown::NOTHING) {
        DescribeWithoutDebugInfo(address, lookup, hModule, frame);
        return;
    }
    CStackFrame fromTable;
    if (!DescribeFromSymbolTable(address, lookup, hModule, fromTable))
        return;
    if (known == eKnown::SYMBOL)
        frame = fromTable;
    else if (fromTable.m_nOffset == frame.m_nOffset)  // the same function
        memcpy(frame.m_szFunction, fromTable.m_szFunction, sizeof frame.m_szFunction);
}

// The module base of an address for the walk. Code outside every module
// (generated, or a jump through a bad pointer) is given the base of its
// memory region, so that the walk treats it as a function without unwind
// data, whose return address is on top of the stack, instead of ending.
DWORD64 CALLBACK ModuleBaseForWalk(HANDLE hProcess, DWORD64 address)
{
    if (const DWORD64 base = SymGetModuleBase64(hProcess, address))
        return base;
    MEMORY_BASIC_INFORMATION region{};
    if (VirtualQuery(reinterpret_cast<const void*>(address), &region, sizeof region) == 0 ||
        region.State != MEM_COMMIT)
        return 0;
    return reinterpret_cast<DWORD64>(region.AllocationBase);
}

// The state the walk starts from: the context's own frame.
STACKFRAME64 FirstStep(const CONTEXT& context)
{
    STACKFRAME64 step{};
    step.AddrPC.Offset = context.Rip;
    step.AddrPC.Mode = AddrModeFlat;
    step.AddrStack.Offset = context.Rsp;
    step.AddrStack.Mode = AddrModeFlat;
    step.AddrFrame.Offset = context.Rbp;
    step.AddrFrame.Mode = AddrModeFlat;
    return step;
}

// A function with more than a page of locals first calls the compiler
// runtime's stack probe, which touches each new page in turn: a stack
// overflow in such a function faults there, on the probe's "or $0, (rcx)".
// The probe has no unwind data and has pushed rcx and rax by then, so the
// walk, taking it for a function that pushed nothing, would stop at it.
// True when `context` faulted in the probe; it is then moved out to the
// probe's caller.
bool StepOutOfStackProbe(CONTEXT& context)
{
    static constexpr unsigned char PROBE_INSTRUCTION[] = {0x48, 0x83, 0x09, 0x00};
    static constexpr std::string_view PROBE_NAME = "___chkstk_ms";
    DWORD64 imageBase = 0;
    const HMODULE hModule = ModuleOf(context.Rip);
    uint64_t start = 0;
    const char* pName = nullptr;
    unsigned char instruction[sizeof PROBE_INSTRUCTION];
    uint64_t saved[3];  // rax, rcx, the return address
    const auto* pCode = reinterpret_cast<const void*>(context.Rip);
    if (!hModule || RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr) ||
        !CopyReadable(instruction, pCode, sizeof instruction) ||
        memcmp(instruction, PROBE_INSTRUCTION, sizeof instruction) != 0 ||
        !FindCoffFunction(hModule, context.Rip, start, pName) || pName != PROBE_NAME ||
        !CopyReadable(saved, reinterpret_cast<const void*>(context.Rsp), sizeof saved))
        return false;
    context.Rax = saved[0];
    context.Rcx = saved[1];
    context.Rip = saved[2];
    context.Rsp += sizeof saved;
    return true;
}

// Sets the symbol handler up for the process once, at the first walk: with
// the modules loaded then, and options for demangled names, lines, and
// symbols read only when a look-up needs them. False when it failed.
bool PrepareSymbols()
{
    static const bool s_bPrepared = [] {
        SymSetOptions(SYMOPT_UNDNAME | SYMOPT_DEFERRED_LOADS | SYMOPT_LOAD_LINES |
                      SYMOPT_FAIL_CRITICAL_ERRORS | SYMOPT_NO_PROMPTS);
        wchar_t folder[MAX_PATH];
        DWORD length = GetModuleFileNameW(nullptr, folder, MAX_PATH);
        while (length > 0 && folder[length - 1] != L'\\' && folder[length - 1] != L'/')
            --length;
        folder[length > 0 ? length - 1 : 0] = L'\0';
        return SymInitializeW(Process(), folder[0] != L'\0' ? folder : L".", TRUE) != FALSE;
    }();
    return s_bPrepared;
}

}  // namespace

void CaptureContext(MachineContext& context)
{
    memset(&context, 0, sizeof context);
    RtlCaptureContext(&context);
}

int WalkStack(const MachineContext& context, bool bFaultContext, int skipFrames, int maxFrames,
              StackFrameVisitor visit, void* pUser)
{
    if (PrepareSymbols())
        SymRefreshModuleList(Process());  // modules loaded since an earlier walk

    CONTEXT walking = context;  // the walk changes it as it goes
    STACKFRAME64 step = FirstStep(walking);

    // Only the first frame's program counter can be the faulting
    // instruction; every other one is a return address.
    bool bExact = bFaultContext;
    int visited = 0;
    for (int frame = 0; visited < maxFrames; ++frame) {
        bool bStepped = false;
        if (!RunGuarded([&] {
                bStepped = StackWalk64(IMAGE_FILE_MACHINE_AMD64, Process(), GetCurrentThread(),
                                       &step, &walking, nullptr, SymFunctionTableAccess64,
                                       ModuleBaseForWalk, nullptr) != FALSE;
            }) ||
            !bStepped)
            break;
        const uint64_t pc = step.AddrPC.Offset;
        if (pc == 0)
            break;
        if (frame >= skipFrames) {
            CStackFrame described;
            Describe(pc, bExact ? pc : pc - 1, described);
            visit(described, pUser);
            ++visited;
        }
        if (bExact) {
            walking = context;
            if (StepOutOfStackProbe(walking))
                step = FirstStep(walking);  // the walk goes on from the probe's caller
        }
        bExact = false;
    }
    return visited;
}

void ReadRegisters(const MachineContext& context, CRegister (&registers)[REGISTER_COUNT])
{
    const CRegister values[REGISTER_COUNT] = {
        {"rax", context.Rax}, {"rbx", context.Rbx}, {"rcx", context.Rcx}, {"rdx", context.Rdx},
        {"rsi", context.Rsi}, {"rdi", context.Rdi}, {"rbp", context.Rbp}, {"rsp", context.Rsp},
        {"r8", context.R8},   {"r9", context.R9},   {"r10", context.R10}, {"r11", context.R11},
        {"r12", context.R12}, {"r13", context.R13}, {"r14", context.R14}, {"r15", context.R15},
        {"rip", context.Rip}, {"efl", context.EFlags},
    };
    for (size_t i = 0; i < REGISTER_COUNT; ++i)
        registers[i] = values[i];
}

}  // namespace oru::platform

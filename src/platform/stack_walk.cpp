#include "platform/stack_walk.h"

#define UNW_LOCAL_ONLY
#include <cxxabi.h>
#include <elfutils/libdwfl.h>
#include <libunwind.h>

#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unistd.h>

namespace oru::platform {
namespace {

// Only the debug information inside the module files themselves; see the
// header for why separate debug files are not looked for.
int NoSeparateDebugInfo(Dwfl_Module*, void**, const char*, Dwarf_Addr, const char*, const char*,
                        GElf_Word, char**)
{
    return -1;
}

char* s_pDebugInfoPath = nullptr;
const Dwfl_Callbacks PROCESS_CALLBACKS = {
    dwfl_linux_proc_find_elf, NoSeparateDebugInfo, nullptr, &s_pDebugInfoPath};

// The modules of this process, reported once per walk.
class CProcessSymbols {
public:
    CProcessSymbols()
    {
        m_pDwfl = dwfl_begin(&PROCESS_CALLBACKS);
        if (!m_pDwfl)
            return;
        dwfl_report_begin(m_pDwfl);
        dwfl_linux_proc_report(m_pDwfl, getpid());
        dwfl_report_end(m_pDwfl, nullptr, nullptr);
    }
    ~CProcessSymbols()
    {
        if (m_pDwfl)
            dwfl_end(m_pDwfl);
    }
    CProcessSymbols(const CProcessSymbols&) = delete;
    CProcessSymbols& operator=(const CProcessSymbols&) = delete;

    void Describe(uint64_t address, uint64_t lookup, CStackFrame& frame) const;

private:
    Dwfl* m_pDwfl = nullptr;
};

void CopyCut(char* dst, size_t capacity, std::string_view text)
{
    const size_t n = text.size() < capacity - 1 ? text.size() : capacity - 1;
    memcpy(dst, text.data(), n);
    dst[n] = '\0';
}

void SetFunctionName(const char* symbol, CStackFrame& frame)
{
    int status = -1;
    char* pDemangled = abi::__cxa_demangle(symbol, nullptr, nullptr, &status);
    if (status == 0 && pDemangled)
        CopyCut(frame.m_szFunction, sizeof frame.m_szFunction, FunctionNameWithoutParameters(pDemangled));
    else
        CopyCut(frame.m_szFunction, sizeof frame.m_szFunction, symbol);
    free(pDemangled);
}

// The source line of `address` in the function that starts at
// `functionStart`. A line record from before the function belongs to other
// code: the look-up hands out the nearest earlier record when the function
// itself has no line information (a C start-up routine, for example).
bool SourceLine(Dwfl_Module* pModule, uint64_t address, uint64_t functionStart,
                const char*& pFile, int& line)
{
    Dwfl_Line* pLine = dwfl_module_getsrc(pModule, address);
    if (!pLine)
        return false;
    line = 0;
    Dwarf_Addr lineAddress = 0;
    pFile = dwfl_lineinfo(pLine, &lineAddress, &line, nullptr, nullptr, nullptr);
    return pFile != nullptr && line > 0 && lineAddress >= functionStart;
}

// `lookup` is the address whose function and line are wanted: the program
// counter itself for a faulting instruction, one byte before a return
// address otherwise, which keeps a call at the very end of a function (to a
// function that never returns) inside its caller.
void CProcessSymbols::Describe(uint64_t address, uint64_t lookup, CStackFrame& frame) const
{
    frame.m_nAddress = address;
    frame.m_bSymbol = false;
    frame.m_nLookupError = 0;
    frame.m_bLines = false;
    dwfl_errno();  // clears an error left by an earlier frame
    if (!m_pDwfl) {
        frame.m_nLookupError = dwfl_errno();
        return;
    }
    Dwfl_Module* pModule = dwfl_addrmodule(m_pDwfl, lookup);
    if (!pModule) {
        frame.m_nLookupError = dwfl_errno();
        return;
    }
    GElf_Off offset = 0;
    GElf_Sym symbol{};
    const char* pName =
        dwfl_module_addrinfo(pModule, lookup, &offset, &symbol, nullptr, nullptr, nullptr);
    if (!pName) {
        frame.m_nLookupError = dwfl_errno();
        return;
    }
    frame.m_bSymbol = true;
    SetFunctionName(pName, frame);
    const uint64_t start = lookup - offset;
    frame.m_nOffset = address - start;

    const char* pFile = nullptr;
    const char* pStartFile = nullptr;
    int startLine = 0;
    if (!SourceLine(pModule, lookup, start, pFile, frame.m_nLine) ||
        !SourceLine(pModule, start, start, pStartFile, startLine))
        return;
    const char* pSlash = strrchr(pFile, '/');
    CopyCut(frame.m_szFile, sizeof frame.m_szFile, pSlash ? pSlash + 1 : pFile);
    frame.m_nFunctionLine = startLine;
    frame.m_bLines = true;
}

}  // namespace

// "ns::Class::Run(int) const" becomes "ns::Class::Run": the frame line
// adds its own "()". Parentheses nest (function-pointer parameters,
// operator()), so the list is found by matching from the end.
std::string_view FunctionNameWithoutParameters(std::string_view name)
{
    static constexpr std::string_view QUALIFIERS[] = {" const", " volatile", " &&", " &"};
    static constexpr std::string_view CLONE = " [clone ";
    for (bool bCut = true; bCut;) {
        bCut = false;
        // An optimiser's specialised copy: "Run(int) [clone .constprop.0]".
        const size_t clone = name.rfind(CLONE);
        if (clone != std::string_view::npos && name.back() == ']') {
            name = name.substr(0, clone);
            bCut = true;
        }
        for (const std::string_view q : QUALIFIERS) {
            if (name.size() > q.size() && name.substr(name.size() - q.size()) == q) {
                name.remove_suffix(q.size());
                bCut = true;
            }
        }
    }
    if (name.empty() || name.back() != ')')
        return name;
    int depth = 0;
    for (size_t i = name.size(); i-- > 0;) {
        if (name[i] == ')')
            ++depth;
        else if (name[i] == '(' && --depth == 0)
            return i > 0 ? name.substr(0, i) : name;
    }
    return name;
}

void CaptureContext(MachineContext& context)
{
    memset(&context, 0, sizeof context);
    getcontext(&context);
}

int WalkStack(const MachineContext& context, bool bFaultContext, int skipFrames, int maxFrames,
              StackFrameVisitor visit, void* pUser)
{
    // libunwind reads the context and never writes it; its interface just
    // is not const.
    auto* pContext = reinterpret_cast<unw_context_t*>(const_cast<MachineContext*>(&context));
    unw_cursor_t cursor;
    if (unw_init_local2(&cursor, pContext, bFaultContext ? UNW_INIT_SIGNAL_FRAME : 0) != 0)
        return 0;

    // A frame's program counter is exact for the faulting frame and for the
    // frame that a signal interrupted; every other one is a return address.
    bool bExact = bFaultContext;
    for (int i = 0; i < skipFrames; ++i) {
        unw_word_t ip = 0;
        unw_get_reg(&cursor, UNW_REG_IP, &ip);
        if (ip == 0)
            return 0;
        bExact = unw_is_signal_frame(&cursor) > 0;
        if (unw_step(&cursor) <= 0)
            return 0;
    }

    const CProcessSymbols symbols;
    CStackFrame frame{};
    int visited = 0;
    while (visited < maxFrames) {
        unw_word_t ip = 0;
        if (unw_get_reg(&cursor, UNW_REG_IP, &ip) != 0 || ip == 0)
            break;
        symbols.Describe(ip, bExact ? ip : ip - 1, frame);
        visit(frame, pUser);
        ++visited;
        bExact = unw_is_signal_frame(&cursor) > 0;
        if (unw_step(&cursor) <= 0)
            break;
    }
    return visited;
}

void ReadRegisters(const MachineContext& context, CRegister (&registers)[REGISTER_COUNT])
{
    static constexpr struct {
        const char* m_pName;
        int m_nIndex;
    } ORDER[REGISTER_COUNT] = {
        {"rax", REG_RAX}, {"rbx", REG_RBX}, {"rcx", REG_RCX}, {"rdx", REG_RDX},
        {"rsi", REG_RSI}, {"rdi", REG_RDI}, {"rbp", REG_RBP}, {"rsp", REG_RSP},
        {"r8", REG_R8},   {"r9", REG_R9},   {"r10", REG_R10}, {"r11", REG_R11},
        {"r12", REG_R12}, {"r13", REG_R13}, {"r14", REG_R14}, {"r15", REG_R15},
        {"rip", REG_RIP}, {"efl", REG_EFL},
    };
    for (size_t i = 0; i < REGISTER_COUNT; ++i) {
        registers[i].m_pName = ORDER[i].m_pName;
        registers[i].m_nValue = static_cast<uint64_t>(context.uc_mcontext.gregs[ORDER[i].m_nIndex]);
    }
}

}  // namespace oru::platform

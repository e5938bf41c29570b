#include "platform/stack_walk.h"

#include <oru/core/non_copyable.h>

#include "descriptor.h"
#include "platform/file.h"

#define UNW_LOCAL_ONLY
#include <cxxabi.h>
#include <dwarf.h>
#include <elfutils/libdwelf.h>
#include <elfutils/libdwfl.h>
#include <libunwind.h>
#include <zlib.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace oru::platform {
namespace {

constexpr const char* SYSTEM_DEBUG_FOLDER = "/usr/lib/debug";

// Bytes of a debug file read at a time to check its debug-link CRC.
constexpr size_t CRC_CHUNK_BYTES = 64 * 1024;

// Deeper chains of inlined calls at one address are cut to this many frames.
constexpr size_t MAX_INLINE_DEPTH = 64;

bool SameBuildId(Dwfl_Module* pModule, int fd)
{
    const unsigned char* pModuleId = nullptr;
    GElf_Addr idAddress = 0;
    const int moduleIdSize = dwfl_module_build_id(pModule, &pModuleId, &idAddress);
    Elf* pElf = elf_begin(fd, ELF_C_READ_MMAP, nullptr);
    if (!pElf)
        return false;
    const void* pFileId = nullptr;
    const ssize_t fileIdSize = dwelf_elf_gnu_build_id(pElf, &pFileId);
    const bool bSame = moduleIdSize > 0 && fileIdSize == moduleIdSize &&
                       memcmp(pModuleId, pFileId, static_cast<size_t>(moduleIdSize)) == 0;
    elf_end(pElf);
    return bSame;
}

bool MatchesLinkCrc(int fd, GElf_Word expected)
{
    std::vector<unsigned char> chunk(CRC_CHUNK_BYTES);
    uLong crc = crc32(0L, Z_NULL, 0);
    for (off_t offset = 0;;) {
        const ssize_t n = pread(fd, chunk.data(), chunk.size(), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        crc = crc32(crc, chunk.data(), static_cast<uInt>(n));
        offset += n;
    }
    return static_cast<GElf_Word>(crc) == expected;
}

// A debug file named by the module's debug link is taken only when it
// belongs to this very build: the same build ID when the module has one, the
// link's CRC otherwise. A stale file would give wrong names and lines.
int OpenLinkedDebugFile(Dwfl_Module* pModule, const std::string& path, GElf_Word crc)
{
    // Without waiting: a FIFO in the debug file's place must not hang the
    // report; only a regular file is read.
    CDescriptor file(CFile::OpenRead(path).ReleaseAsRuntimeDescriptor());
    if (!file.IsOpen())
        return -1;
    const unsigned char* pModuleId = nullptr;
    GElf_Addr idAddress = 0;
    const bool bMatches = dwfl_module_build_id(pModule, &pModuleId, &idAddress) > 0
                              ? SameBuildId(pModule, file.Get())
                              : MatchesLinkCrc(file.Get(), crc);
    return bMatches ? file.Release() : -1;  // libdw owns a matching file from here
}

// Finds the debug information of a module that was stripped of it, on this
// machine only: by build ID under the system's debug folder
// (.build-id/xx/yyyy.debug), then through the module's debug link, beside
// the module, in .debug beside it, and under the system's debug folder
// followed by the module's own folder. Never over the network: a crashing
// game must not wait on a download, whatever the environment asks for.
int FindLocalDebugInfo(Dwfl_Module* pModule, void** ppUser, const char* pModuleName,
                       Dwarf_Addr base, const char* pFileName, const char* pDebugLink,
                       GElf_Word debugLinkCrc, char** ppDebugFileName)
{
    const int fd = dwfl_build_id_find_debuginfo(pModule, ppUser, pModuleName, base, pFileName,
                                                pDebugLink, debugLinkCrc, ppDebugFileName);
    if (fd >= 0 || !pFileName || !pDebugLink || pDebugLink[0] == '\0')
        return fd;
    const std::string file = pFileName;
    const size_t slash = file.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : file.substr(0, slash);
    const std::string candidates[] = {folder + "/" + pDebugLink, folder + "/.debug/" + pDebugLink,
                                      SYSTEM_DEBUG_FOLDER + folder + "/" + pDebugLink};
    for (const std::string& candidate : candidates) {
        if (candidate == file)
            continue;
        const int found = OpenLinkedDebugFile(pModule, candidate, debugLinkCrc);
        if (found >= 0)
            return found;
    }
    return -1;
}

char* s_pDebugInfoPath = nullptr;  // libdwfl's default: the system's debug folder
const Dwfl_Callbacks PROCESS_CALLBACKS = {
    dwfl_linux_proc_find_elf, FindLocalDebugInfo, nullptr, &s_pDebugInfoPath};

// The modules of this process, reported once per walk.
class CProcessSymbols : private COruNonCopyable {
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

    // Hands `visit` the frames of one program counter: each inlined call at
    // it, innermost first, then the function that holds them; at most
    // `budget` of them. Returns how many it handed.
    int VisitFrames(uint64_t address, uint64_t lookup, int budget, StackFrameVisitor visit,
                    void* pUser);

private:
    void Describe(uint64_t address, uint64_t lookup, std::vector<CStackFrame>& frames) const;

    Dwfl* m_pDwfl = nullptr;
    // The frames of the last program counter: a deep recursion repeats one
    // return address hundreds of times, and finding the inlined calls at an
    // address walks its whole compilation unit.
    uint64_t m_nCachedAddress = 0;
    uint64_t m_nCachedLookup = 0;
    std::vector<CStackFrame> m_vecCachedFrames;
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

std::string_view BaseName(const char* path)
{
    const char* pSlash = strrchr(path, '/');
    return pSlash ? pSlash + 1 : path;
}

void SetFile(const char* path, CStackFrame& frame)
{
    CopyCut(frame.m_szFile, sizeof frame.m_szFile, BaseName(path));
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

const char* StringAttribute(Dwarf_Die* pDie, unsigned int name)
{
    Dwarf_Attribute attribute;
    return dwarf_attr_integrate(pDie, name, &attribute) ? dwarf_formstring(&attribute) : nullptr;
}

// The debug entry that a concrete entry (an inlined call, an out-of-line
// copy) takes its name from, followed to the declaration inside its class
// when there is one.
Dwarf_Die DeclarationOf(Dwarf_Die* pDie)
{
    Dwarf_Die current = *pDie;
    for (int hops = 0; hops < 4; ++hops) {
        Dwarf_Attribute attribute;
        Dwarf_Die next;
        if (!dwarf_attr(&current, DW_AT_abstract_origin, &attribute) &&
            !dwarf_attr(&current, DW_AT_specification, &attribute))
            break;
        if (!dwarf_formref_die(&attribute, &next))
            break;
        current = next;
    }
    return current;
}

// The namespaces and classes around a declaration, outermost first, each
// followed by "::"; an unnamed namespace reads "(anonymous namespace)" as
// the demangler writes it.
void AppendEnclosingScopes(Dwarf_Die* pDeclaration, std::string& name)
{
    Dwarf_Die* pScopes = nullptr;
    const int count = dwarf_getscopes_die(pDeclaration, &pScopes);
    for (int i = count - 1; i >= 1; --i) {
        const int tag = dwarf_tag(&pScopes[i]);
        if (tag != DW_TAG_namespace && tag != DW_TAG_class_type && tag != DW_TAG_structure_type &&
            tag != DW_TAG_union_type)
            continue;
        const char* pScopeName = dwarf_diename(&pScopes[i]);
        name += pScopeName ? pScopeName : "(anonymous namespace)";
        name += "::";
    }
    free(pScopes);
}

// The name of a function's debug entry (an inlined call's or a
// function's): its linkage name demangled, else its plain name with the
// namespaces and classes around it.
void SetFunctionNameOf(Dwarf_Die* pDie, CStackFrame& frame)
{
    const char* pLinkage = StringAttribute(pDie, DW_AT_linkage_name);
    if (!pLinkage)
        pLinkage = StringAttribute(pDie, DW_AT_MIPS_linkage_name);
    if (pLinkage) {
        SetFunctionName(pLinkage, frame);
        return;
    }
    const char* pName = StringAttribute(pDie, DW_AT_name);
    std::string name;
    Dwarf_Die declaration = DeclarationOf(pDie);
    AppendEnclosingScopes(&declaration, name);
    name += pName ? pName : "??";
    CopyCut(frame.m_szFunction, sizeof frame.m_szFunction, name);
}

// The first inlined call or function among `count` scopes from `from` on,
// innermost first; false when there is none. Frees the scopes libdw gave.
bool TakeFunctionScope(Dwarf_Die* pScopes, int count, int from, Dwarf_Die& function)
{
    bool bFound = false;
    for (int i = from; i < count && !bFound; ++i) {
        const int tag = dwarf_tag(&pScopes[i]);
        if (tag == DW_TAG_inlined_subroutine || tag == DW_TAG_subprogram) {
            function = pScopes[i];
            bFound = true;
        }
    }
    free(pScopes);
    return bFound;
}

// The entry of the call or function that holds `pDie` in the code: the
// nearest enclosing inlined call or function. False at the top.
bool EnclosingFunction(Dwarf_Die* pDie, Dwarf_Die& enclosing)
{
    Dwarf_Die* pScopes = nullptr;
    const int count = dwarf_getscopes_die(pDie, &pScopes);
    return TakeFunctionScope(pScopes, count, 1, enclosing);
}

// The first line of the function that a debug entry stands for, when it is
// declared in the same source file as `frame`'s line; 0 otherwise.
int FirstLineOf(Dwarf_Die* pDie, const CStackFrame& frame)
{
    int line = 0;
    const char* pFile = dwarf_decl_file(pDie);
    if (!pFile || dwarf_decl_line(pDie, &line) != 0 || BaseName(pFile) != frame.m_szFile)
        return 0;
    return line;
}

// Where an inlined call sits in its caller: the call's file and line.
bool CallSite(Dwarf_Die* pInlined, Dwarf_Files* pFiles, size_t fileCount, const char*& pFile,
              int& line)
{
    Dwarf_Attribute attribute;
    Dwarf_Word fileIndex = 0;
    Dwarf_Word callLine = 0;
    if (!pFiles || !dwarf_attr(pInlined, DW_AT_call_file, &attribute) ||
        dwarf_formudata(&attribute, &fileIndex) != 0 || fileIndex >= fileCount ||
        !dwarf_attr(pInlined, DW_AT_call_line, &attribute) ||
        dwarf_formudata(&attribute, &callLine) != 0 || callLine == 0 || callLine > INT32_MAX)
        return false;
    pFile = dwarf_filesrc(pFiles, fileIndex, nullptr, nullptr);
    line = static_cast<int>(callLine);
    return pFile != nullptr;
}

// `lookup` is the address whose function and line are wanted: the program
// counter itself for a faulting instruction, one byte before a return
// address otherwise, which keeps a call at the very end of a function (to a
// function that never returns) inside its caller.
//
// In optimised code one address can stand for several calls: the debug
// entries that enclose it (dwarf_getscopes, innermost first) include one
// inlined-call entry per call folded into the function. The innermost frame
// takes the address's own line; each frame further out takes the line of
// the call it inlined, recorded on that call's entry.
void CProcessSymbols::Describe(uint64_t address, uint64_t lookup,
                               std::vector<CStackFrame>& frames) const
{
    CStackFrame frame{};
    frame.m_nAddress = address;
    dwfl_errno();  // clears an error left by an earlier frame
    Dwfl_Module* pModule = m_pDwfl ? dwfl_addrmodule(m_pDwfl, lookup) : nullptr;
    GElf_Off offset = 0;
    GElf_Sym symbol{};
    const char* pName =
        pModule ? dwfl_module_addrinfo(pModule, lookup, &offset, &symbol, nullptr, nullptr, nullptr)
                : nullptr;
    if (!pName) {
        frame.m_nLookupError = dwfl_errno();
        frames.push_back(frame);
        return;
    }
    frame.m_bSymbol = true;
    const uint64_t start = lookup - offset;
    frame.m_nOffset = address - start;

    const char* pFile = nullptr;
    if (!SourceLine(pModule, lookup, start, pFile, frame.m_nLine)) {
        SetFunctionName(pName, frame);
        frames.push_back(frame);
        return;
    }
    frame.m_bLines = true;

    // The innermost function entry at the address; dwarf_getscopes goes on
    // from an inlined call into its definition's scopes, so the callers are
    // found through each call's own parents instead.
    Dwarf_Addr bias = 0;
    Dwarf_Die* pUnit = dwfl_module_addrdie(pModule, lookup, &bias);
    Dwarf_Die* pScopes = nullptr;
    const int scopeCount = pUnit ? dwarf_getscopes(pUnit, lookup - bias, &pScopes) : 0;
    Dwarf_Die current{};
    bool bCurrent = TakeFunctionScope(pScopes, scopeCount, 0, current);
    Dwarf_Files* pFiles = nullptr;
    size_t fileCount = 0;
    if (pUnit && dwarf_getsrcfiles(pUnit, &pFiles, &fileCount) != 0)
        pFiles = nullptr;
    while (bCurrent && dwarf_tag(&current) == DW_TAG_inlined_subroutine &&
           frames.size() < MAX_INLINE_DEPTH) {
        SetFile(pFile, frame);
        SetFunctionNameOf(&current, frame);
        frame.m_nFunctionLine = FirstLineOf(&current, frame);
        const char* pCallFile = nullptr;
        int callLine = 0;
        if (!CallSite(&current, pFiles, fileCount, pCallFile, callLine))
            break;  // the callers' lines are unknown: name no frame with a wrong one
        frames.push_back(frame);
        pFile = pCallFile;
        frame.m_nLine = callLine;
        bCurrent = EnclosingFunction(&current, current);
    }
    Dwarf_Die* pFunction =
        bCurrent && dwarf_tag(&current) == DW_TAG_subprogram ? &current : nullptr;

    SetFile(pFile, frame);
    SetFunctionName(pName, frame);
    frame.m_nFunctionLine = pFunction ? FirstLineOf(pFunction, frame) : 0;
    if (frame.m_nFunctionLine == 0) {
        const char* pStartFile = nullptr;
        int startLine = 0;
        if (SourceLine(pModule, start, start, pStartFile, startLine) &&
            BaseName(pStartFile) == frame.m_szFile)
            frame.m_nFunctionLine = startLine;
    }
    frames.push_back(frame);
}

int CProcessSymbols::VisitFrames(uint64_t address, uint64_t lookup, int budget,
                                 StackFrameVisitor visit, void* pUser)
{
    if (m_vecCachedFrames.empty() || address != m_nCachedAddress || lookup != m_nCachedLookup) {
        m_vecCachedFrames.clear();
        Describe(address, lookup, m_vecCachedFrames);
        m_nCachedAddress = address;
        m_nCachedLookup = lookup;
    }
    int visited = 0;
    for (const CStackFrame& frame : m_vecCachedFrames) {
        if (visited == budget)
            break;
        visit(frame, pUser);
        ++visited;
    }
    return visited;
}

}  // namespace

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

    CProcessSymbols symbols;
    int visited = 0;
    while (visited < maxFrames) {
        unw_word_t ip = 0;
        if (unw_get_reg(&cursor, UNW_REG_IP, &ip) != 0 || ip == 0)
            break;
        visited += symbols.VisitFrames(ip, bExact ? ip : ip - 1, maxFrames - visited, visit, pUser);
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

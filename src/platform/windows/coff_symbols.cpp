#include "coff_symbols.h"

#include "descriptor.h"

#include <cstring>

// The symbol table is not mapped with the module: it lies in the file after
// the sections, where the module's file header says. It is read from the
// file in pieces through a static buffer, so a look-up allocates nothing.
// Values of function symbols count from the start of their section.

namespace oru::platform {
namespace {

static_assert(sizeof(IMAGE_SYMBOL) == IMAGE_SIZEOF_SYMBOL);

constexpr size_t SYMBOLS_PER_READ = 4096;
// Room for a mangled name; a longer one is cut.
constexpr size_t MAX_SYMBOL_NAME = 4096;

IMAGE_SYMBOL s_symbols[SYMBOLS_PER_READ];

// The function found last: a deep recursion lists one function many times.
struct CFoundFunction {
    HMODULE m_hModule;
    uint32_t m_nStart;  // addresses relative to the module's base
    uint32_t m_nEnd;    // the next function symbol's start, or the section's end
    char m_szName[MAX_SYMBOL_NAME];
};
CFoundFunction s_found{};

// Reads `size` bytes at `offset`; the count read, short at the file's end.
DWORD ReadAt(HANDLE hFile, uint64_t offset, void* pDst, DWORD size)
{
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(offset);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    return ReadFile(hFile, pDst, size, &got, &position) ? got : 0;
}

// The module's own description of itself, mapped with it.
const IMAGE_NT_HEADERS* Headers(HMODULE hModule)
{
    const auto* pBase = reinterpret_cast<const unsigned char*>(hModule);
    const auto* pDos = reinterpret_cast<const IMAGE_DOS_HEADER*>(pBase);
    if (pDos->e_magic != IMAGE_DOS_SIGNATURE)
        return nullptr;
    const auto* pNt = reinterpret_cast<const IMAGE_NT_HEADERS*>(pBase + pDos->e_lfanew);
    return pNt->Signature == IMAGE_NT_SIGNATURE ? pNt : nullptr;
}

// What a symbol in executable code tells of the code at its address, from
// least to most: nothing (a code section's start), the function whose
// section it starts (".text$name", one section per function), a global
// label (a routine written in assembly), a function. At one address the one
// that tells most names the code.
enum class eMark { NONE, SECTION, FUNCTION_SECTION, LABEL, FUNCTION };

// What `symbol` marks; NONE for a symbol outside code, an import, or a
// local label.
eMark MarkOf(const IMAGE_SYMBOL& symbol, const IMAGE_SECTION_HEADER* pSections, int sectionCount)
{
    if (symbol.SectionNumber <= 0 || symbol.SectionNumber > sectionCount ||
        (pSections[symbol.SectionNumber - 1].Characteristics & IMAGE_SCN_MEM_EXECUTE) == 0)
        return eMark::NONE;
    if (symbol.StorageClass == IMAGE_SYM_CLASS_EXTERNAL)
        return ISFCN(symbol.Type) ? eMark::FUNCTION : eMark::LABEL;
    if (symbol.StorageClass != IMAGE_SYM_CLASS_STATIC)
        return eMark::NONE;
    if (ISFCN(symbol.Type))
        return eMark::FUNCTION;
    // A name of more than 8 characters lives in the string table; whether it
    // holds the '$' is seen when it is read.
    if (symbol.N.Name.Short != 0 && !memchr(symbol.N.ShortName, '$', sizeof symbol.N.ShortName))
        return symbol.N.ShortName[0] == '.' ? eMark::SECTION : eMark::NONE;
    return symbol.NumberOfAuxSymbols > 0 ? eMark::FUNCTION_SECTION : eMark::NONE;
}

// The symbol's name into s_found.m_szName: held in the record itself when
// it has at most 8 characters, otherwise in the string table after the
// symbols.
bool ReadName(HANDLE hFile, const IMAGE_FILE_HEADER& file, const IMAGE_SYMBOL& symbol)
{
    char* pName = s_found.m_szName;
    if (symbol.N.Name.Short != 0) {
        memcpy(pName, symbol.N.ShortName, sizeof symbol.N.ShortName);
        pName[sizeof symbol.N.ShortName] = '\0';
        return true;
    }
    const uint64_t strings =
        uint64_t{file.PointerToSymbolTable} + uint64_t{file.NumberOfSymbols} * IMAGE_SIZEOF_SYMBOL;
    const DWORD got = ReadAt(hFile, strings + symbol.N.Name.Long, pName, MAX_SYMBOL_NAME - 1);
    pName[got] = '\0';
    return got > 0;
}

// The function's name from the symbol that marks it: a function section's
// name is ".text$" and the function's.
bool ReadFunctionName(HANDLE hFile, const IMAGE_FILE_HEADER& file, const IMAGE_SYMBOL& symbol,
                      eMark mark)
{
    if (!ReadName(hFile, file, symbol))
        return false;
    if (mark != eMark::FUNCTION_SECTION)
        return true;
    char* pName = s_found.m_szName;
    const char* pDollar = strchr(pName, '$');
    if (!pDollar || pDollar[1] == '\0')
        return false;
    memmove(pName, pDollar + 1, strlen(pDollar + 1) + 1);
    return true;
}

// The nearest mark at or below an address, and the nearest start above it.
struct CNearest {
    IMAGE_SYMBOL m_symbol{};
    eMark m_mark = eMark::NONE;
    uint32_t m_nStart = 0;
    uint32_t m_nEnd = UINT32_MAX;   // a section's end (its length is known); the code's end
    uint32_t m_nNext = UINT32_MAX;  // the next mark's start

    // `pAux`: the section's auxiliary record, which starts with its length.
    void Consider(const IMAGE_SYMBOL& symbol, eMark mark, uint32_t start, const IMAGE_SYMBOL* pAux,
                  uint32_t codeEnd, uint32_t rva)
    {
        if (start > rva) {
            m_nNext = start < m_nNext ? start : m_nNext;
            return;
        }
        if (m_mark != eMark::NONE && (start < m_nStart || (start == m_nStart && mark <= m_mark)))
            return;
        m_symbol = symbol;
        m_mark = mark;
        m_nStart = start;
        m_nEnd = codeEnd;
        if (mark == eMark::FUNCTION_SECTION && pAux) {
            uint32_t length = 0;
            memcpy(&length, pAux, sizeof length);
            m_nEnd = start + length < codeEnd ? start + length : codeEnd;
        }
    }
};

// Scans the whole table for the mark nearest below `rva`. A symbol and its
// auxiliary records are read in one piece.
bool Scan(HMODULE hModule, uint32_t rva)
{
    const IMAGE_NT_HEADERS* pNt = Headers(hModule);
    if (!pNt || pNt->FileHeader.PointerToSymbolTable == 0 || pNt->FileHeader.NumberOfSymbols == 0)
        return false;
    const IMAGE_FILE_HEADER& file = pNt->FileHeader;
    const auto* pSections = reinterpret_cast<const IMAGE_SECTION_HEADER*>(
        reinterpret_cast<const unsigned char*>(&pNt->OptionalHeader) + file.SizeOfOptionalHeader);
    const int sectionCount = file.NumberOfSections;

    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(hModule, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return false;
    const CDescriptor image(CreateFileW(path, GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!image.IsOpen())
        return false;

    CNearest nearest;
    for (DWORD index = 0; index < file.NumberOfSymbols;) {
        const DWORD wanted = file.NumberOfSymbols - index < SYMBOLS_PER_READ
                                 ? file.NumberOfSymbols - index
                                 : static_cast<DWORD>(SYMBOLS_PER_READ);
        const DWORD got =
            ReadAt(image.Get(), file.PointerToSymbolTable + uint64_t{index} * IMAGE_SIZEOF_SYMBOL,
                   s_symbols, wanted * IMAGE_SIZEOF_SYMBOL) /
            IMAGE_SIZEOF_SYMBOL;
        DWORD i = 0;
        while (i < got && i + 1 + s_symbols[i].NumberOfAuxSymbols <= got) {
            const IMAGE_SYMBOL& symbol = s_symbols[i];
            const eMark mark = MarkOf(symbol, pSections, sectionCount);
            if (mark != eMark::NONE) {
                const IMAGE_SECTION_HEADER& section = pSections[symbol.SectionNumber - 1];
                nearest.Consider(symbol, mark, section.VirtualAddress + symbol.Value,
                                 symbol.NumberOfAuxSymbols > 0 ? &s_symbols[i + 1] : nullptr,
                                 section.VirtualAddress + section.Misc.VirtualSize, rva);
            }
            i += 1 + symbol.NumberOfAuxSymbols;
        }
        if (i == 0)
            break;  // the file ends, or a record does not fit a whole piece
        index += i;
    }
    const uint32_t end = nearest.m_nNext < nearest.m_nEnd ? nearest.m_nNext : nearest.m_nEnd;
    if (nearest.m_mark == eMark::NONE || nearest.m_mark == eMark::SECTION || rva >= end ||
        !ReadFunctionName(image.Get(), file, nearest.m_symbol, nearest.m_mark))
        return false;
    s_found.m_hModule = hModule;
    s_found.m_nStart = nearest.m_nStart;
    s_found.m_nEnd = end;
    return true;
}

}  // namespace

bool FindCoffFunction(HMODULE hModule, uint64_t address, uint64_t& start, const char*& pName)
{
    const auto base = reinterpret_cast<uint64_t>(hModule);
    if (!hModule || address < base || address - base >= UINT32_MAX)
        return false;
    const auto rva = static_cast<uint32_t>(address - base);
    const bool bCached =
        s_found.m_hModule == hModule && s_found.m_nStart <= rva && rva < s_found.m_nEnd;
    if (!bCached && !Scan(hModule, rva)) {
        s_found.m_hModule = nullptr;
        return false;
    }
    start = base + s_found.m_nStart;
    pName = s_found.m_szName;
    return true;
}

}  // namespace oru::platform

#include "pack/pack_format.h"

#include "core/unicode.h"

#include <algorithm>
#include <new>

namespace oru::detail {
namespace {

void AppendUnit(uint16_t unit, std::string& out)
{
    const uint16_t masked = unit ^ NAME_MASK;
    out.push_back(static_cast<char>(masked & 0xFF));
    out.push_back(static_cast<char>(masked >> 8));
}

// Calls `emit` with each UTF-16 code unit of `text`.
template <class F>
void ForEachUnit(std::wstring_view text, F emit)
{
    for (const wchar_t ch : text) {
        const uint32_t cp = static_cast<uint32_t>(ch);
        if (cp > 0xFFFF) {
            emit(static_cast<uint16_t>(HIGH_SURROGATE_FIRST + ((cp - 0x10000) >> 10)));
            emit(static_cast<uint16_t>(LOW_SURROGATE_FIRST + ((cp - 0x10000) & 0x3FF)));
        } else {
            emit(static_cast<uint16_t>(cp));
        }
    }
}

}  // namespace

CWrapperPrefix ParseWrapperPrefix(const uint8_t* bytes, size_t length)
{
    CWrapperPrefix prefix;
    if (length < sizeof WRAPPER_MAGIC || std::memcmp(bytes, WRAPPER_MAGIC, sizeof WRAPPER_MAGIC) != 0)
        return prefix;
    prefix.m_bWrapped = true;
    prefix.m_nBytes = std::min(length, WRAPPER_PREFIX_BYTES);
    if (prefix.IsWhole())
        prefix.m_nDeclared = LoadU32(bytes + sizeof WRAPPER_MAGIC);
    return prefix;
}

void WriteWrapperPrefix(uint32_t declared, uint8_t* pOut)
{
    std::memcpy(pOut, WRAPPER_MAGIC, sizeof WRAPPER_MAGIC);
    StoreU32(pOut + sizeof WRAPPER_MAGIC, declared);
}

bool NameStorable(std::wstring_view name)
{
    for (const wchar_t ch : name) {
        const uint32_t cp = static_cast<uint32_t>(ch);
        if (cp == 0 || cp > LAST_CODE_POINT)
            return false;
    }
    return true;
}

bool EncodeName(std::wstring_view name, std::string& out)
{
    if (!NameStorable(name))
        return false;
    ForEachUnit(name, [&out](uint16_t unit) { AppendUnit(unit, out); });
    AppendUnit(0, out);
    return true;
}

bool DecodeName(const uint8_t* bytes, size_t length, std::wstring& name, size_t& consumed)
{
    name.clear();
    size_t pos = 0;
    for (;;) {
        if (length - pos < 2)
            return false;
        const uint32_t unit = (bytes[pos] | (uint32_t{bytes[pos + 1]} << 8)) ^ NAME_MASK;
        pos += 2;
        if (unit == 0)
            break;
        // Wide text of 32-bit characters holds a valid pair as one code
        // point; UTF-16 wide text keeps the units as they are.
        if (!WIDE_IS_UTF16 && IsLowSurrogate(unit) && !name.empty() &&
            IsHighSurrogate(static_cast<uint32_t>(name.back()))) {
            const uint32_t high = static_cast<uint32_t>(name.back());
            name.back() = static_cast<wchar_t>(
                0x10000 + ((high - HIGH_SURROGATE_FIRST) << 10) + (unit - LOW_SURROGATE_FIRST));
            continue;
        }
        name.push_back(static_cast<wchar_t>(unit));
    }
    consumed = pos;
    return true;
}

bool Utf16Less(std::wstring_view a, std::wstring_view b)
{
    std::u16string unitsA, unitsB;
    ForEachUnit(a, [&unitsA](uint16_t unit) { unitsA.push_back(static_cast<char16_t>(unit)); });
    ForEachUnit(b, [&unitsB](uint16_t unit) { unitsB.push_back(static_cast<char16_t>(unit)); });
    return unitsA < unitsB;
}

// The process locale is left out on purpose: a game that calls setlocale
// must still find the names a tool stored in the default locale, where only
// A-Z have lower-case forms.
std::wstring FoldName(std::wstring_view name)
{
    std::wstring folded(name);
    for (wchar_t& ch : folded)
        if (ch >= L'A' && ch <= L'Z')
            ch = static_cast<wchar_t>(ch - L'A' + L'a');
    return folded;
}

void PackUsageTable(const std::vector<uint8_t>& used, std::string& out)
{
    const size_t fullBytes = used.size() / 8;
    for (size_t i = 0; i <= fullBytes; ++i) {
        uint8_t byte = 0;
        for (size_t bit = 0; bit < 8 && i * 8 + bit < used.size(); ++bit)
            if (used[i * 8 + bit])
                byte = static_cast<uint8_t>(byte | (1u << bit));
        out.push_back(static_cast<char>(byte));
    }
}

bool UnpackUsageTable(const uint8_t* bytes, size_t length, uint32_t sectorCount,
                      std::vector<uint8_t>& used)
{
    if (length < UsageTableBytes(sectorCount))
        return false;
    std::vector<uint8_t> table;
    try {
        table.resize(sectorCount);  // bounded by the bytes checked above
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (uint32_t i = 0; i < sectorCount; ++i)
        table[i] = (bytes[i / 8] >> (i % 8)) & 1;
    used.swap(table);
    return true;
}

}  // namespace oru::detail

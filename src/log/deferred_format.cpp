// The captured arguments are a run of tagged values, in the order the
// format takes them (a '*' width or precision first, as an integer):
//
//   TAG_INT     8 bytes, the value widened to 64 bits (as the length
//               modifier narrowed it: %hhx of 300 keeps 44)
//   TAG_DOUBLE  8 bytes (a long double is kept as a double)
//   TAG_POINTER 8 bytes
//   TAG_TEXT    1 byte of length, then that many bytes of UTF-8 (cut)
//
// %n takes its pointer and keeps nothing; it is never written through.

#include "log/deferred_format.h"

#include "core/utf8.h"
#include "platform/memory_probe.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string_view>

namespace oru::detail {
namespace {

enum eTag : unsigned char { TAG_INT = 1, TAG_DOUBLE, TAG_POINTER, TAG_TEXT };

enum eLength { LEN_NONE, LEN_HH, LEN_H, LEN_L, LEN_LL, LEN_J, LEN_Z, LEN_T, LEN_LONG_DOUBLE };

enum eArgKind { ARG_SIGNED, ARG_UNSIGNED, ARG_DOUBLE, ARG_POINTER, ARG_CHAR, ARG_TEXT, ARG_COUNT, ARG_UNKNOWN };

constexpr size_t MAX_TEXT = 48;       // bytes kept of a string argument
constexpr size_t MAX_FORMAT = 512;    // wide characters of a format a report reads

struct CConversion {
    char m_szFlags[8];
    bool m_bWidthStar;
    int m_nWidth;            // -1: none
    bool m_bPrecisionStar;
    int m_nPrecision;        // -1: none
    eLength m_eLength;
    wchar_t m_cConversion;
    bool m_bWide;            // %ls, %lc, %S, %C
    eArgKind m_eKind;
};

int ReadNumber(const wchar_t*& p)
{
    int value = 0;
    while (*p >= L'0' && *p <= L'9') {
        if (value < 100000)
            value = value * 10 + (*p - L'0');
        ++p;
    }
    return value;
}

eLength ReadLength(const wchar_t*& p)
{
    switch (*p) {
    case L'h': ++p; if (*p == L'h') { ++p; return LEN_HH; } return LEN_H;
    case L'l': ++p; if (*p == L'l') { ++p; return LEN_LL; } return LEN_L;
    case L'q': ++p; return LEN_LL;
    case L'j': ++p; return LEN_J;
    case L'z': ++p; return LEN_Z;
    case L't': ++p; return LEN_T;
    case L'L': ++p; return LEN_LONG_DOUBLE;
    default: return LEN_NONE;
    }
}

eArgKind KindOf(wchar_t conversion)
{
    switch (conversion) {
    case L'd': case L'i': return ARG_SIGNED;
    case L'o': case L'u': case L'x': case L'X': return ARG_UNSIGNED;
    case L'e': case L'E': case L'f': case L'F': case L'g': case L'G': case L'a': case L'A': return ARG_DOUBLE;
    case L'p': return ARG_POINTER;
    case L'c': case L'C': return ARG_CHAR;
    case L's': case L'S': return ARG_TEXT;
    case L'n': return ARG_COUNT;
    default: return ARG_UNKNOWN;
    }
}

bool IsFlag(wchar_t c)
{
    return c == L'-' || c == L'+' || c == L' ' || c == L'#' || c == L'0' || c == L'\'';
}

// The general parse of a conversion: flags, width, precision, length.
void ParseFullConversion(const wchar_t*& p, CConversion& conv)
{
    size_t flags = 0;
    while (IsFlag(*p)) {
        if (flags + 1 < sizeof conv.m_szFlags)
            conv.m_szFlags[flags++] = static_cast<char>(*p);
        ++p;
    }
    conv.m_szFlags[flags] = '\0';
    conv.m_bWidthStar = *p == L'*';
    conv.m_nWidth = conv.m_bWidthStar ? (++p, -1) : (*p >= L'0' && *p <= L'9' ? ReadNumber(p) : -1);
    conv.m_bPrecisionStar = false;
    conv.m_nPrecision = -1;
    if (*p == L'.') {
        ++p;
        conv.m_bPrecisionStar = *p == L'*';
        conv.m_nPrecision = conv.m_bPrecisionStar ? (++p, -1) : ReadNumber(p);
    }
    conv.m_eLength = ReadLength(p);
    conv.m_cConversion = *p;
    if (*p)
        ++p;
    conv.m_bWide = conv.m_cConversion == L'S' || conv.m_cConversion == L'C' || conv.m_eLength == LEN_L;
    conv.m_eKind = KindOf(conv.m_cConversion);
}

// Reads one conversion; `p` points just after its '%' and is left after it.
// Most conversions in a game's lines are bare ("%d", "%ls"): they skip the
// general parse.
inline void ParseConversion(const wchar_t*& p, CConversion& conv)
{
    const bool wide = p[0] == L'l';
    const wchar_t conversion = p[wide ? 1 : 0];
    if (conversion >= L'a' && conversion <= L'z' && conversion != L'l' && conversion != L'h' &&
        conversion != L'j' && conversion != L'z' && conversion != L't' && conversion != L'q') {
        conv.m_szFlags[0] = '\0';
        conv.m_bWidthStar = conv.m_bPrecisionStar = false;
        conv.m_nWidth = conv.m_nPrecision = -1;
        conv.m_eLength = wide ? LEN_L : LEN_NONE;
        conv.m_cConversion = conversion;
        conv.m_bWide = wide;
        conv.m_eKind = KindOf(conversion);
        p += wide ? 2 : 1;
        return;
    }
    ParseFullConversion(p, conv);
}

class CCaptureWriter {
public:
    CCaptureWriter(unsigned char* pOut, size_t room) : m_pOut(pOut), m_nRoom(room) {}

    bool PutValue(eTag tag, const void* pValue)
    {
        if (m_nUsed + 9 > m_nRoom)
            return false;
        m_pOut[m_nUsed] = tag;
        std::memcpy(m_pOut + m_nUsed + 1, pValue, 8);
        m_nUsed += 9;
        return true;
    }
    bool PutInt(int64_t value) { return PutValue(TAG_INT, &value); }

    bool PutNarrow(const char* text)
    {
        const char* pText = text ? text : "(null)";
        size_t length = 0;
        while (length < MAX_TEXT && pText[length] != '\0')
            ++length;
        return PutText(pText, length);
    }
    // Encoded straight into place, cut at MAX_TEXT bytes or the room left.
    bool PutWide(const wchar_t* text)
    {
        if (m_nUsed + 3 > m_nRoom)
            return false;
        // The encoder's terminator lands after the text, inside the room.
        const size_t room = std::min(MAX_TEXT + 1, m_nRoom - m_nUsed - 2);
        const size_t length = ToUtf8LossyCut(text ? text : L"(null)",
                                             reinterpret_cast<char*>(m_pOut + m_nUsed + 2), room);
        m_pOut[m_nUsed] = TAG_TEXT;
        m_pOut[m_nUsed + 1] = static_cast<unsigned char>(length);
        m_nUsed += 2 + length;
        return true;
    }

    size_t Used() const { return m_nUsed; }

private:
    bool PutText(const char* bytes, size_t length)
    {
        if (m_nUsed + 2 + length > m_nRoom)
            return false;
        m_pOut[m_nUsed] = TAG_TEXT;
        m_pOut[m_nUsed + 1] = static_cast<unsigned char>(length);
        std::memcpy(m_pOut + m_nUsed + 2, bytes, length);
        m_nUsed += 2 + length;
        return true;
    }

    unsigned char* m_pOut;
    size_t m_nRoom;
    size_t m_nUsed = 0;
};

int64_t FetchSigned(va_list* pArgs, eLength length)
{
    switch (length) {
    case LEN_HH: return static_cast<signed char>(va_arg(*pArgs, int));
    case LEN_H: return static_cast<short>(va_arg(*pArgs, int));
    case LEN_L: return va_arg(*pArgs, long);
    case LEN_LL: return va_arg(*pArgs, long long);
    case LEN_J: return va_arg(*pArgs, intmax_t);
    case LEN_Z: return va_arg(*pArgs, ssize_t);
    case LEN_T: return va_arg(*pArgs, ptrdiff_t);
    default: return va_arg(*pArgs, int);
    }
}

uint64_t FetchUnsigned(va_list* pArgs, eLength length)
{
    switch (length) {
    case LEN_HH: return static_cast<unsigned char>(va_arg(*pArgs, unsigned));
    case LEN_H: return static_cast<unsigned short>(va_arg(*pArgs, unsigned));
    case LEN_L: return va_arg(*pArgs, unsigned long);
    case LEN_LL: return va_arg(*pArgs, unsigned long long);
    case LEN_J: return va_arg(*pArgs, uintmax_t);
    case LEN_Z: return va_arg(*pArgs, size_t);
    case LEN_T: return static_cast<uint64_t>(va_arg(*pArgs, ptrdiff_t));
    default: return va_arg(*pArgs, unsigned);
    }
}

// Takes one conversion's arguments; false when it cannot be kept.
bool CaptureOne(const CConversion& conv, va_list* pArgs, CCaptureWriter& out)
{
    if (conv.m_bWidthStar && !out.PutInt(va_arg(*pArgs, int)))
        return false;
    if (conv.m_bPrecisionStar && !out.PutInt(va_arg(*pArgs, int)))
        return false;
    switch (conv.m_eKind) {
    case ARG_SIGNED: return out.PutInt(FetchSigned(pArgs, conv.m_eLength));
    case ARG_UNSIGNED: {
        const uint64_t value = FetchUnsigned(pArgs, conv.m_eLength);
        return out.PutValue(TAG_INT, &value);
    }
    case ARG_DOUBLE: {
        const double value = conv.m_eLength == LEN_LONG_DOUBLE
                                 ? static_cast<double>(va_arg(*pArgs, long double))
                                 : va_arg(*pArgs, double);
        return out.PutValue(TAG_DOUBLE, &value);
    }
    case ARG_POINTER: {
        const void* value = va_arg(*pArgs, void*);
        return out.PutValue(TAG_POINTER, &value);
    }
    case ARG_CHAR:
        // A wint_t narrower than int arrives promoted to int.
        return out.PutInt(conv.m_bWide ? static_cast<int64_t>(va_arg(*pArgs, decltype(+wint_t{})))
                                       : va_arg(*pArgs, int));
    case ARG_TEXT:
        return conv.m_bWide ? out.PutWide(va_arg(*pArgs, const wchar_t*))
                            : out.PutNarrow(va_arg(*pArgs, const char*));
    case ARG_COUNT:
        va_arg(*pArgs, void*);
        return true;
    case ARG_UNKNOWN:
    default:
        return false;
    }
}

// The kept arguments, read back with their kinds checked.
class CCaptureReader {
public:
    CCaptureReader(const unsigned char* pArgs, size_t size) : m_pArgs(pArgs), m_nSize(size) {}

    bool Take(eTag tag, void* pValue)
    {
        if (m_nAt + 9 > m_nSize || m_pArgs[m_nAt] != tag)
            return false;
        std::memcpy(pValue, m_pArgs + m_nAt + 1, 8);
        m_nAt += 9;
        return true;
    }
    bool TakeText(std::string_view& text)
    {
        if (m_nAt + 2 > m_nSize || m_pArgs[m_nAt] != TAG_TEXT)
            return false;
        const size_t length = m_pArgs[m_nAt + 1];
        if (length > MAX_TEXT || m_nAt + 2 + length > m_nSize)
            return false;
        text = {reinterpret_cast<const char*>(m_pArgs + m_nAt + 2), length};
        m_nAt += 2 + length;
        return true;
    }
    bool AtEnd() const { return m_nAt == m_nSize; }

private:
    const unsigned char* m_pArgs;
    size_t m_nSize;
    size_t m_nAt = 0;
};

class COutput {
public:
    COutput(char* pOut, size_t room) : m_pOut(pOut), m_nRoom(room) { m_pOut[0] = '\0'; }

    void Append(std::string_view text)
    {
        const size_t n = std::min(text.size(), m_nRoom - 1 - m_nLength);
        std::memcpy(m_pOut + m_nLength, text.data(), n);
        m_nLength += n;
        m_pOut[m_nLength] = '\0';
    }
    void AppendWideChar(wchar_t c)
    {
        char bytes[8];
        Append({bytes, ToUtf8LossyCut(std::wstring_view(&c, 1), bytes, sizeof bytes)});
    }
    // One printf conversion with one value. `conv` is built by NarrowConversion
    // from a parsed conversion whose kind matched the value's, so its type
    // is known even though the text is not a literal.
    template <class T>
    void AppendConversion(const char* conv, int width, int precision, T value)
    {
        char text[128];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        const int n = std::snprintf(text, sizeof text, conv, width, precision, value);
#pragma GCC diagnostic pop
        if (n > 0)
            Append({text, std::min(static_cast<size_t>(n), sizeof text - 1)});
    }
    size_t Length() const { return m_nLength; }

private:
    char* m_pOut;
    size_t m_nRoom;
    size_t m_nLength = 0;
};

// Reads the format, which may be gone, a page at a time; false when none of
// it, or no terminator within MAX_FORMAT characters, can be read.
bool CopyFormat(const wchar_t* format, wchar_t (&copy)[MAX_FORMAT])
{
    size_t have = 0;
    while (have < MAX_FORMAT - 1) {
        const auto at = reinterpret_cast<uintptr_t>(format + have);
        const size_t toPageEnd = (4096 - at % 4096) / sizeof(wchar_t);
        const size_t chunk = std::min({toPageEnd == 0 ? size_t{1} : toPageEnd, MAX_FORMAT - 1 - have, size_t{64}});
        if (!oru::platform::CopyReadable(copy + have, format + have, chunk * sizeof(wchar_t)))
            return false;
        for (size_t i = have; i < have + chunk; ++i)
            if (copy[i] == L'\0')
                return true;
        have += chunk;
    }
    return false;
}

// The narrow conversion for `conv`, with the width and precision as '*'
// arguments: "%-*.*lld" and the like.
void NarrowConversion(const CConversion& conv, const char* length, char conversion, char (&out)[24])
{
    std::snprintf(out, sizeof out, "%%%s*.*%s%c", conv.m_szFlags, length, conversion);
}

bool RenderOne(const CConversion& conv, CCaptureReader& in, COutput& out)
{
    int64_t width = conv.m_nWidth;
    int64_t precision = conv.m_nPrecision;
    if (conv.m_bWidthStar && !in.Take(TAG_INT, &width))
        return false;
    if (conv.m_bPrecisionStar && !in.Take(TAG_INT, &precision))
        return false;
    const int w = static_cast<int>(std::clamp<int64_t>(width, -100, 100));
    const int p = static_cast<int>(std::clamp<int64_t>(precision, -1, 100));
    char narrow[24];
    switch (conv.m_eKind) {
    case ARG_SIGNED:
    case ARG_UNSIGNED:
    case ARG_CHAR: {
        int64_t value = 0;
        if (!in.Take(TAG_INT, &value))
            return false;
        if (conv.m_eKind == ARG_CHAR) {
            out.AppendWideChar(static_cast<wchar_t>(value));
            return true;
        }
        NarrowConversion(conv, "ll", static_cast<char>(conv.m_cConversion), narrow);
        out.AppendConversion(narrow, w, p, static_cast<long long>(value));
        return true;
    }
    case ARG_DOUBLE: {
        double value = 0;
        if (!in.Take(TAG_DOUBLE, &value))
            return false;
        NarrowConversion(conv, "", static_cast<char>(conv.m_cConversion), narrow);
        out.AppendConversion(narrow, w, p, value);
        return true;
    }
    case ARG_POINTER: {
        void* value = nullptr;
        if (!in.Take(TAG_POINTER, &value))
            return false;
        NarrowConversion(conv, "", 'p', narrow);
        out.AppendConversion(narrow, w, -1, value);
        return true;
    }
    case ARG_TEXT: {
        std::string_view text;
        if (!in.TakeText(text))
            return false;
        NarrowConversion(conv, "", 's', narrow);
        char terminated[MAX_TEXT + 1];
        std::memcpy(terminated, text.data(), text.size());
        terminated[text.size()] = '\0';
        out.AppendConversion(narrow, w, p, static_cast<const char*>(terminated));
        return true;
    }
    case ARG_COUNT:
        return true;
    case ARG_UNKNOWN:
    default:
        return false;
    }
}

}  // namespace

size_t CaptureArguments(const wchar_t* format, va_list args, unsigned char* pOut, size_t room, bool& cut)
{
    CCaptureWriter out(pOut, room);
    va_list copy;
    va_copy(copy, args);
    cut = false;
    // The library's search finds the next '%' many characters at a time;
    // the text between conversions is not looked at.
    for (const wchar_t* p = std::wcschr(format, L'%'); p; p = std::wcschr(p, L'%')) {
        ++p;
        if (*p == L'%') {
            ++p;
            continue;
        }
        CConversion conv;
        ParseConversion(p, conv);
        if (!CaptureOne(conv, &copy, out)) {
            cut = true;
            break;
        }
    }
    va_end(copy);
    return out.Used();
}

bool RenderCaptured(const wchar_t* format, const unsigned char* pArgs, size_t size, bool cut, char* pOut,
                    size_t room, size_t& length)
{
    wchar_t copy[MAX_FORMAT];
    if (room == 0 || !CopyFormat(format, copy))
        return false;
    COutput out(pOut, room);
    CCaptureReader in(pArgs, size);
    for (const wchar_t* p = copy; *p != L'\0';) {
        if (*p != L'%') {
            out.AppendWideChar(*p++);
            continue;
        }
        ++p;
        if (*p == L'%') {
            out.Append("%");
            ++p;
            continue;
        }
        CConversion conv;
        ParseConversion(p, conv);
        if (!RenderOne(conv, in, out)) {
            if (!cut)
                return false;  // the arguments do not fit the format: it changed, or they are damaged
            out.Append("...");
            break;
        }
    }
    if (!cut && !in.AtEnd())
        return false;
    length = out.Length();
    return true;
}

}  // namespace oru::detail

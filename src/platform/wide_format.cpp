// Wide formatting in two ways. The C library's vswprintf sets up a wide
// stream and a locale for every call, which costs more than the rest of a
// log line outside the system call. The formats the library and its games
// log with are mostly integers and strings, so those are written here
// directly; the first directive this code does not take on (a float, a
// pointer, a narrow string that is not plain ASCII, an unusual flag) sends
// the whole call to the C library (FormatWithSystemLibrary, in the system's
// folder), which starts again from the beginning
// with its own copy of the arguments. The direct path writes exactly what
// the C library would: the same padding, signs, prefixes and cut.

#include "platform/wide_format.h"

#include "core/utf8.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <sys/types.h>

namespace oru::platform {
namespace {

// The buffer being written: characters past its room are counted but
// dropped, so the text is cut where the C library cuts it.
class CWideSink {
public:
    CWideSink(wchar_t* dst, size_t capacity) : m_pDst(dst), m_nRoom(capacity - 1) {}

    void Put(wchar_t c)
    {
        if (m_nLength < m_nRoom)
            m_pDst[m_nLength] = c;
        ++m_nLength;
    }
    void Repeat(wchar_t c, size_t count)
    {
        const size_t fits = std::min(count, Room());
        for (size_t i = 0; i < fits; ++i)
            m_pDst[m_nLength + i] = c;
        m_nLength += count;
    }
    // Narrow text is plain ASCII here: each byte is one character.
    template <class Char>
    void Append(const Char* pText, size_t count)
    {
        const size_t fits = std::min(count, Room());
        for (size_t i = 0; i < fits; ++i)
            m_pDst[m_nLength + i] = static_cast<wchar_t>(pText[i]);
        m_nLength += count;
    }
    // Terminates the text; its length without the terminator.
    size_t Finish()
    {
        const size_t length = std::min(m_nLength, m_nRoom);
        m_pDst[length] = L'\0';
        return length;
    }

private:
    size_t Room() const { return m_nLength < m_nRoom ? m_nRoom - m_nLength : 0; }

    wchar_t* m_pDst;
    size_t m_nRoom;         // characters, the terminator not included
    size_t m_nLength = 0;   // of the whole text, cut or not
};

enum eLength { LENGTH_NONE, LENGTH_HH, LENGTH_H, LENGTH_L, LENGTH_LL, LENGTH_J, LENGTH_Z, LENGTH_T };

// One directive: %[flags][width][.precision][length]conversion.
struct CDirective {
    bool m_bLeft = false;     // '-'
    bool m_bPlus = false;     // '+'
    bool m_bSpace = false;    // ' '
    bool m_bAlternate = false;  // '#'
    bool m_bZero = false;     // '0'
    int m_nWidth = 0;
    int m_nPrecision = -1;    // none
    eLength m_eLength = LENGTH_NONE;
    wchar_t m_cConversion = 0;
};

// Widths and precisions beyond this are left to the C library, which reports
// the ones that do not fit an int.
constexpr int MAX_FIELD = 1 << 20;

// Narrow text decoded on the stack, in wide characters; longer text goes to
// the C library.
constexpr size_t MAX_DECODED = 256;

// Reads digits at `p`; false when the number is too big for a field.
bool ReadField(const wchar_t*& p, int& value)
{
    value = 0;
    while (*p >= L'0' && *p <= L'9') {
        value = value * 10 + (*p++ - L'0');
        if (value > MAX_FIELD)
            return false;
    }
    return true;
}

void ReadFlags(const wchar_t*& p, CDirective& d)
{
    for (;; ++p) {
        switch (*p) {
        case L'-': d.m_bLeft = true; break;
        case L'+': d.m_bPlus = true; break;
        case L' ': d.m_bSpace = true; break;
        case L'#': d.m_bAlternate = true; break;
        case L'0': d.m_bZero = true; break;
        default: return;
        }
    }
}

void ReadLength(const wchar_t*& p, CDirective& d)
{
    switch (*p) {
    case L'h':
        d.m_eLength = p[1] == L'h' ? LENGTH_HH : LENGTH_H;
        p += d.m_eLength == LENGTH_HH ? 2 : 1;
        return;
    case L'l':
        d.m_eLength = p[1] == L'l' ? LENGTH_LL : LENGTH_L;
        p += d.m_eLength == LENGTH_LL ? 2 : 1;
        return;
    case L'j': d.m_eLength = LENGTH_J; ++p; return;
    case L'z': d.m_eLength = LENGTH_Z; ++p; return;
    case L't': d.m_eLength = LENGTH_T; ++p; return;
    default: return;
    }
}

// Pads `body` (the sign or prefix, then the digits or text) to the width.
// Zeros go between the prefix and the digits, blanks around the whole.
template <class Char>
void PutPadded(CWideSink& sink, const CDirective& d, const wchar_t* pPrefix, size_t prefixLength,
               size_t zeros, const Char* pBody, size_t bodyLength, bool zeroPad)
{
    const size_t length = prefixLength + zeros + bodyLength;
    const size_t width = static_cast<size_t>(d.m_nWidth);
    const size_t pad = width > length ? width - length : 0;
    if (!d.m_bLeft && !zeroPad)
        sink.Repeat(L' ', pad);
    sink.Append(pPrefix, prefixLength);
    sink.Repeat(L'0', zeros + (zeroPad && !d.m_bLeft ? pad : 0));
    sink.Append(pBody, bodyLength);
    if (d.m_bLeft)
        sink.Repeat(L' ', pad);
}

// Writes the digits of `value` backwards, ending before `pEnd`; returns
// where they begin. The base is a constant, so the divisions are
// multiplications.
template <unsigned Base>
wchar_t* DigitsBackwards(wchar_t* pEnd, uint64_t value, const wchar_t* pDigitSet)
{
    do {
        *--pEnd = pDigitSet[value % Base];
        value /= Base;
    } while (value != 0);
    return pEnd;
}

void PutInteger(CWideSink& sink, const CDirective& d, uint64_t magnitude, bool negative)
{
    const wchar_t conversion = d.m_cConversion;
    const bool isSigned = conversion == L'd' || conversion == L'i';
    const bool octal = conversion == L'o';
    const bool hex = conversion == L'x' || conversion == L'X';

    wchar_t buffer[24];   // 64 bits in octal take 22 digits
    wchar_t* const pEnd = buffer + 24;
    wchar_t* pDigits = pEnd;
    // A value of 0 has one digit, unless the precision is 0.
    if (magnitude != 0 || d.m_nPrecision != 0) {
        const wchar_t* pDigitSet = conversion == L'X' ? L"0123456789ABCDEF" : L"0123456789abcdef";
        pDigits = octal ? DigitsBackwards<8>(pEnd, magnitude, pDigitSet)
                : hex   ? DigitsBackwards<16>(pEnd, magnitude, pDigitSet)
                        : DigitsBackwards<10>(pEnd, magnitude, pDigitSet);
    }
    const size_t count = static_cast<size_t>(pEnd - pDigits);

    size_t zeros = d.m_nPrecision > 0 && static_cast<size_t>(d.m_nPrecision) > count
                       ? static_cast<size_t>(d.m_nPrecision) - count
                       : 0;
    // '#' with octal makes the first digit a 0.
    if (octal && d.m_bAlternate && zeros == 0 && (count == 0 || *pDigits != L'0'))
        zeros = 1;

    wchar_t prefix[2];
    size_t prefixLength = 0;
    if (isSigned && negative)
        prefix[prefixLength++] = L'-';
    else if (isSigned && d.m_bPlus)
        prefix[prefixLength++] = L'+';
    else if (isSigned && d.m_bSpace)
        prefix[prefixLength++] = L' ';
    else if (hex && d.m_bAlternate && magnitude != 0) {
        prefix[prefixLength++] = L'0';
        prefix[prefixLength++] = conversion;
    }
    PutPadded(sink, d, prefix, prefixLength, zeros, pDigits, count, d.m_bZero && d.m_nPrecision < 0);
}

// Flags that mean nothing for a string or a character are left to the C
// library rather than guessed at.
bool TextFlagsAreSimple(const CDirective& d)
{
    return !d.m_bZero && !d.m_bPlus && !d.m_bSpace && !d.m_bAlternate;
}

// Formats the common directives; false as soon as one is met that the C
// library should handle, and then `dst` holds nothing of use.
bool FormatDirectly(wchar_t* dst, size_t capacity, const wchar_t* format, va_list args, size_t& length)
{
    CWideSink sink(dst, capacity);
    const wchar_t* p = format;
    while (*p) {
        const wchar_t* pRun = p;
        while (*p && *p != L'%')
            ++p;
        sink.Append(pRun, static_cast<size_t>(p - pRun));
        if (!*p)
            break;
        ++p;   // the '%'
        if (*p == L'%') {
            sink.Put(L'%');
            ++p;
            continue;
        }

        CDirective d;
        ReadFlags(p, d);
        if (*p == L'*') {
            ++p;
            const int width = va_arg(args, int);
            if (width == INT_MIN || width < -MAX_FIELD || width > MAX_FIELD)
                return false;
            d.m_bLeft = d.m_bLeft || width < 0;
            d.m_nWidth = width < 0 ? -width : width;
        } else if (!ReadField(p, d.m_nWidth)) {
            return false;
        }
        if (*p == L'.') {
            ++p;
            if (*p == L'*') {
                ++p;
                const int precision = va_arg(args, int);
                if (precision > MAX_FIELD)
                    return false;
                d.m_nPrecision = precision < 0 ? -1 : precision;
            } else if (!ReadField(p, d.m_nPrecision)) {
                return false;
            }
        }
        ReadLength(p, d);
        d.m_cConversion = *p++;

        switch (d.m_cConversion) {
        case L'd':
        case L'i': {
            int64_t value = 0;
            switch (d.m_eLength) {
            case LENGTH_HH: value = static_cast<signed char>(va_arg(args, int)); break;
            case LENGTH_H: value = static_cast<short>(va_arg(args, int)); break;
            case LENGTH_NONE: value = va_arg(args, int); break;
            case LENGTH_L: value = va_arg(args, long); break;
            case LENGTH_LL: value = va_arg(args, long long); break;
            case LENGTH_J: value = va_arg(args, intmax_t); break;
            case LENGTH_Z: value = va_arg(args, ssize_t); break;
            case LENGTH_T: value = va_arg(args, ptrdiff_t); break;
            }
            const uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
            PutInteger(sink, d, magnitude, value < 0);
            break;
        }
        case L'u':
        case L'o':
        case L'x':
        case L'X': {
            uint64_t value = 0;
            switch (d.m_eLength) {
            case LENGTH_HH: value = static_cast<unsigned char>(va_arg(args, unsigned)); break;
            case LENGTH_H: value = static_cast<unsigned short>(va_arg(args, unsigned)); break;
            case LENGTH_NONE: value = va_arg(args, unsigned); break;
            case LENGTH_L: value = va_arg(args, unsigned long); break;
            case LENGTH_LL: value = va_arg(args, unsigned long long); break;
            case LENGTH_J: value = va_arg(args, uintmax_t); break;
            case LENGTH_Z: value = va_arg(args, size_t); break;
            case LENGTH_T: value = static_cast<uint64_t>(va_arg(args, ptrdiff_t)); break;
            }
            PutInteger(sink, d, value, false);
            break;
        }
        case L's': {
            if (!TextFlagsAreSimple(d) || (d.m_eLength != LENGTH_NONE && d.m_eLength != LENGTH_L))
                return false;
            const size_t limit = d.m_nPrecision < 0 ? SIZE_MAX : static_cast<size_t>(d.m_nPrecision);
            if (d.m_eLength == LENGTH_L) {
                const wchar_t* pText = va_arg(args, const wchar_t*);
                if (!pText)
                    return false;   // the C library's "(null)"
                const size_t count = wcsnlen(pText, limit);
                PutPadded(sink, d, nullptr, 0, 0, pText, count, false);
            } else {
                // A narrow string is UTF-8; plain ASCII is the same text in
                // any form. Other text is decoded here when it is short and
                // uncut, as a UTF-8 locale's C library decodes it (some C
                // libraries read narrow text in a locale of their own); the
                // rest, and invalid text, is left to the C library.
                const char* pText = va_arg(args, const char*);
                if (!pText)
                    return false;
                const size_t count = strnlen(pText, limit);
                if (std::any_of(pText, pText + count, [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
                    wchar_t decoded[MAX_DECODED];
                    size_t decodedLength = 0;
                    if (d.m_nPrecision >= 0 || count >= MAX_DECODED ||
                        !oru::detail::DecodeUtf8(std::string_view(pText, count), decoded, MAX_DECODED,
                                                 &decodedLength))
                        return false;
                    PutPadded(sink, d, nullptr, 0, 0, decoded, decodedLength, false);
                    break;
                }
                PutPadded(sink, d, nullptr, 0, 0, pText, count, false);
            }
            break;
        }
        case L'p': {
            // "0x" and the address in lower-case hex, and "(nil)" for a null
            // pointer, as glibc writes them, so that logs read the same on
            // every system; unusual flags go to the C library.
            const void* pValue = va_arg(args, const void*);
            if (!TextFlagsAreSimple(d) || d.m_eLength != LENGTH_NONE || d.m_nPrecision >= 0)
                return false;
            if (!pValue) {
                static constexpr wchar_t NIL[] = L"(nil)";
                PutPadded(sink, d, nullptr, 0, 0, NIL, std::size(NIL) - 1, false);
                break;
            }
            CDirective hex = d;
            hex.m_cConversion = L'x';
            hex.m_bAlternate = true;
            PutInteger(sink, hex, reinterpret_cast<uintptr_t>(pValue), false);
            break;
        }
        case L'c': {
            if (!TextFlagsAreSimple(d) || d.m_eLength != LENGTH_NONE)
                return false;
            const int value = va_arg(args, int);
            if (value <= 0 || value >= 0x80)
                return false;
            const wchar_t c = static_cast<wchar_t>(value);
            PutPadded(sink, d, nullptr, 0, 0, &c, 1, false);
            break;
        }
        default:
            return false;
        }
    }
    length = sink.Finish();
    return true;
}

}  // namespace

size_t FormatWide(wchar_t* dst, size_t capacity, const wchar_t* format, va_list args)
{
    if (capacity == 0)
        return 0;
    dst[0] = L'\0';
    if (!format)
        return 0;

    va_list copy;
    va_copy(copy, args);
    size_t length = 0;
    const bool done = FormatDirectly(dst, capacity, format, copy, length);
    va_end(copy);
    return done ? length : FormatWithSystemLibrary(dst, capacity, format, args);
}

}  // namespace oru::platform

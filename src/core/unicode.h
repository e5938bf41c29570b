#pragma once

// Unicode code points and UTF-16 code units, shared by the UTF-8 codec and
// the pack name codec, which stores names as UTF-16.
//
// Wide text is UTF-32 where wchar_t has 32 bits and UTF-16 where it has 16:
// the helpers at the end read and write code points in either, so the
// codecs say once what they do with a code point.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

namespace oru::detail {

constexpr char32_t HIGH_SURROGATE_FIRST = 0xD800;
constexpr char32_t LOW_SURROGATE_FIRST = 0xDC00;
constexpr char32_t SURROGATE_END = 0xE000;  // one past the last low surrogate
constexpr char32_t LAST_CODE_POINT = 0x10FFFF;

constexpr bool IsHighSurrogate(char32_t c) { return c >= HIGH_SURROGATE_FIRST && c < LOW_SURROGATE_FIRST; }
constexpr bool IsLowSurrogate(char32_t c) { return c >= LOW_SURROGATE_FIRST && c < SURROGATE_END; }

// A code point that is not a surrogate: what UTF-8 may encode.
constexpr bool IsScalarValue(char32_t c)
{
    return c < HIGH_SURROGATE_FIRST || (c >= SURROGATE_END && c <= LAST_CODE_POINT);
}

// True where a wide character is a UTF-16 code unit.
constexpr bool WIDE_IS_UTF16 = sizeof(wchar_t) == 2;

// A wide character's value, never negative.
constexpr char32_t WideValue(wchar_t w)
{
    return static_cast<char32_t>(static_cast<std::make_unsigned_t<wchar_t>>(w));
}

// The code point at `text[i]`, moving `i` past it. In UTF-16 wide text a
// high surrogate followed by a low one is one code point; anything else (a
// lone surrogate included) is one character's own value.
constexpr char32_t NextCodePoint(std::wstring_view text, size_t& i)
{
    const char32_t c = WideValue(text[i++]);
    if constexpr (WIDE_IS_UTF16) {
        if (IsHighSurrogate(c) && i < text.size() && IsLowSurrogate(WideValue(text[i]))) {
            const char32_t low = WideValue(text[i++]);
            return 0x10000 + ((c - HIGH_SURROGATE_FIRST) << 10) + (low - LOW_SURROGATE_FIRST);
        }
    }
    return c;
}

// Wide characters that code point `c` takes.
constexpr size_t WideLength(char32_t c)
{
    return WIDE_IS_UTF16 && c > 0xFFFF ? 2 : 1;
}

// Writes code point `c` (at most LAST_CODE_POINT) at `p` as WideLength(c)
// wide characters; returns the end.
inline wchar_t* PutWide(char32_t c, wchar_t* p)
{
    if (WIDE_IS_UTF16 && c > 0xFFFF) {
        *p++ = static_cast<wchar_t>(HIGH_SURROGATE_FIRST + ((c - 0x10000) >> 10));
        *p++ = static_cast<wchar_t>(LOW_SURROGATE_FIRST + ((c - 0x10000) & 0x3FF));
        return p;
    }
    *p++ = static_cast<wchar_t>(c);
    return p;
}

}  // namespace oru::detail

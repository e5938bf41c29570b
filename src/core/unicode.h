#pragma once

// Unicode code points and UTF-16 code units, shared by the UTF-8 codec and
// the pack name codec, which stores names as UTF-16.

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

}  // namespace oru::detail

#pragma once

// UTF-8 <-> wide text, strict in both directions: an overlong form, a
// surrogate, a code point above U+10FFFF or a truncated sequence fails the
// whole conversion. Nothing here depends on the process locale. These are the
// library's own conversions, used for code pages 0 and 65001, for paths and
// for every text the library writes to a file.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace oru::detail {

// Bytes the UTF-8 form of `text` needs, without a terminator; nullopt when
// `text` holds a value that is not a Unicode scalar value.
std::optional<size_t> Utf8Length(std::wstring_view text);

// Encodes `text` into `dst` followed by a terminator. False, with `dst`
// unspecified, when `text` is invalid or the result and its terminator need
// more than `capacity` bytes.
bool EncodeUtf8(std::wstring_view text, char* dst, size_t capacity,
                size_t* pLength = nullptr);

// Decodes `text` into `dst` followed by a terminator. False when `text` is
// not valid UTF-8 or needs more than `capacity` wide characters with the
// terminator. `pLength`, when given, receives the length without the
// terminator. The result never has more characters than `text` has bytes.
bool DecodeUtf8(std::string_view text, wchar_t* dst, size_t capacity,
                size_t* pLength = nullptr);

// Whole-string forms; nullopt on invalid text.
std::optional<std::string> ToUtf8(std::wstring_view text);
std::optional<std::wstring> FromUtf8(std::string_view text);

// For diagnostics only (debug channel, crash reports): invalid values become
// U+FFFD instead of failing, so a damaged name still shows up.
std::string ToUtf8Lossy(std::wstring_view text);

// The same into a fixed buffer, cut at a character boundary where it is
// full, and terminated; returns the bytes written without the terminator.
// `capacity` must be at least 1. Allocates nothing.
size_t ToUtf8LossyCut(std::wstring_view text, char* dst, size_t capacity);
// The same for terminated text.
size_t ToUtf8LossyCut(const wchar_t* text, char* dst, size_t capacity);

}  // namespace oru::detail

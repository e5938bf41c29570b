#pragma once

// Conversions for code pages other than UTF-8, through the system's iconv
// under the name "CP<number>". Strict: a character the code page lacks, or
// bytes that are not valid in it, fail the conversion.

#include <optional>
#include <string>
#include <string_view>

namespace oru::platform {

std::optional<std::string> WideToCodePage(unsigned int codePage, std::wstring_view text);
std::optional<std::wstring> CodePageToWide(unsigned int codePage, std::string_view text);

}  // namespace oru::platform

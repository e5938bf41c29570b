#include "platform/codepage.h"

#include <windows.h>

#include <climits>

namespace oru::platform {
namespace {

// Only code pages that can say when a character does not convert: the
// others (some East Asian encodings and the symbol page) refuse the flags,
// and a conversion that may replace characters silently is no conversion.
bool Fits(size_t length)
{
    return length <= static_cast<size_t>(INT_MAX);
}

}  // namespace

std::optional<std::string> WideToCodePage(unsigned int codePage, std::wstring_view text)
{
    if (text.empty())
        return std::string();
    if (!Fits(text.size()))
        return std::nullopt;
    const int length = static_cast<int>(text.size());
    const DWORD flags = codePage == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* pUsedDefault = codePage == CP_UTF8 ? nullptr : &usedDefault;
    const int size = WideCharToMultiByte(codePage, flags, text.data(), length, nullptr, 0, nullptr,
                                         pUsedDefault);
    if (size <= 0 || usedDefault)
        return std::nullopt;
    std::string out(static_cast<size_t>(size), '\0');
    if (WideCharToMultiByte(codePage, flags, text.data(), length, out.data(), size, nullptr,
                            pUsedDefault) != size ||
        usedDefault)
        return std::nullopt;
    return out;
}

std::optional<std::wstring> CodePageToWide(unsigned int codePage, std::string_view text)
{
    if (text.empty())
        return std::wstring();
    if (!Fits(text.size()))
        return std::nullopt;
    const int length = static_cast<int>(text.size());
    const int size =
        MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
    if (size <= 0)
        return std::nullopt;
    std::wstring out(static_cast<size_t>(size), L'\0');
    if (MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), length, out.data(), size) !=
        size)
        return std::nullopt;
    return out;
}

}  // namespace oru::platform

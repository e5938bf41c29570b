// Feeds arbitrary bytes to the text conversions and the argument splitter:
// as UTF-8 and as code page 949 text, and, reinterpreted, as wide text with
// any 32-bit values (surrogates, values past U+10FFFF). Every result must be
// null or a terminated text that converts back to what went in.

#include <oru/core/argument.h>
#include <oru/core/convert.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <list>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string narrow(reinterpret_cast<const char*>(data), size);
    const char* text = narrow.c_str();  // stops at the first NUL

    for (unsigned int cp : {65001u, 949u}) {
        if (const wchar_t* wide = OruCharToWCharEx(cp, text)) {
            const std::wstring copy = wide;
            const char* back = OruWCharToCharEx(cp, copy.c_str());
            if (!back || std::strcmp(back, text) != 0)
                std::abort();
        }
        if (const wchar_t* wide = OruCharToWChar(cp, text))
            if (std::wcslen(wide) >= 1024)
                std::abort();
    }

    std::wstring wide(size / sizeof(wchar_t), L'\0');
    std::memcpy(wide.data(), data, wide.size() * sizeof(wchar_t));
    wide = wide.c_str();
    if (const char* utf8 = OruWCharToChar(65001, wide.c_str())) {
        const std::string copy = utf8;
        const wchar_t* back = OruCharToWChar(65001, copy.c_str());
        if (!back || wide != back)
            std::abort();
    }

    std::list<std::wstring> tokens;
    OruParseArgument(tokens, wide);
    for (const std::wstring& token : tokens)
        if (token.empty() || token.find_first_of(L"\t;") != std::wstring::npos)
            std::abort();
    return 0;
}

#include <oru/core/argument.h>

void OruParseArgument(std::list<std::wstring>& tokens, const std::wstring& text)
{
    static constexpr wchar_t DELIMITERS[] = L"\t;";
    size_t start = text.find_first_not_of(DELIMITERS);
    while (start != std::wstring::npos) {
        const size_t end = text.find_first_of(DELIMITERS, start);
        tokens.push_back(text.substr(start, end == std::wstring::npos ? end : end - start));
        start = end == std::wstring::npos ? end : text.find_first_not_of(DELIMITERS, end);
    }
}

// An outside program that uses the installed library through its one
// all-in-one header.
#include <oru/oru_core.h>

#include <cstdio>
#include <list>
#include <string>

int main()
{
    std::list<std::wstring> tokens;
    OruParseArgument(tokens, L"a;b\tc");
    const char* narrow = OruWCharToChar(65001, L"\uD55C\uAE00");
    OruDate today{};
    OruGetDateInfo(today);
    if (tokens.size() != 3 || !narrow || std::string(narrow) != "\xED\x95\x9C\xEA\xB8\x80" ||
        today.year < 2000) {
        std::puts("consumer: unexpected results");
        return 1;
    }
    std::puts("consumer: ok");
    return 0;
}

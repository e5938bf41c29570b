#pragma once

// ASCII test text as the wide strings the library's names and paths take.

#include <string>

namespace oru::test {

inline std::wstring Wide(const std::string& ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

}  // namespace oru::test

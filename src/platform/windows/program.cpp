#include "platform/program.h"

#include <windows.h>
#include <shellapi.h>

#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <io.h>

namespace oru::platform {
namespace {

// UTF-16 to UTF-8, strictly; false for a lone surrogate.
bool ToUtf8(const wchar_t* text, std::string& out)
{
    const int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, nullptr, 0,
                                         nullptr, nullptr);
    if (size <= 0)
        return false;
    out.assign(static_cast<size_t>(size), '\0');
    if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, out.data(), size, nullptr,
                            nullptr) != size)
        return false;
    out.pop_back();  // the terminator the call counted
    return true;
}

}  // namespace

// main's `argv` is in the ANSI code page, which loses what it lacks; the
// wide command line, split as the C runtime splits it, has every character.
std::vector<std::string> ProgramArgumentsUtf8(int argc, char** argv)
{
    std::vector<std::string> arguments(argv, argv + argc);
    int count = 0;
    wchar_t** pWide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!pWide)
        return arguments;
    if (count == argc) {
        for (int i = 0; i < count; ++i) {
            std::string utf8;
            if (ToUtf8(pWide[i], utf8))
                arguments[static_cast<size_t>(i)] = std::move(utf8);
        }
    }
    LocalFree(pWide);
    return arguments;
}

void UseBinaryStandardStreams()
{
    std::fflush(stdout);
    std::fflush(stderr);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

}  // namespace oru::platform

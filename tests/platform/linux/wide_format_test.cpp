#include "platform/wide_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cwchar>
#include <locale.h>
#include <string>
#include <sys/types.h>
#include <vector>

namespace {

// What a call gave: the text up to its terminator, and the length returned.
struct CFormatted {
    std::wstring m_strText;
    size_t m_nLength;
    bool operator==(const CFormatted&) const = default;
};

std::ostream& operator<<(std::ostream& out, const CFormatted& formatted)
{
    out << formatted.m_nLength << " \"";
    for (wchar_t c : formatted.m_strText)
        out << (c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
    return out << '"';
}

CFormatted Ours(size_t capacity, const wchar_t* format, ...)
{
    std::vector<wchar_t> buffer(capacity, L'#');
    va_list args;
    va_start(args, format);
    const size_t length = oru::platform::FormatWide(buffer.data(), capacity, format, args);
    va_end(args);
    return {buffer.data(), length};
}

// The C library in the locale the library formats in: a cut text ends at the
// buffer's last place, a failed one where it stopped.
CFormatted CLibrary(size_t capacity, const wchar_t* format, ...)
{
    static const locale_t s_locale = newlocale(LC_ALL_MASK, "C.UTF-8", locale_t(nullptr));
    std::vector<wchar_t> buffer(std::max<size_t>(capacity, 1), L'#');  // never empty: [0] is written
    buffer[0] = L'\0';
    const locale_t previous = uselocale(s_locale);
    va_list args;
    va_start(args, format);
    const int written = vswprintf(buffer.data(), capacity, format, args);
    va_end(args);
    uselocale(previous);
    if (written >= 0)
        return {buffer.data(), static_cast<size_t>(written)};
    buffer[capacity - 1] = L'\0';
    return {buffer.data(), wcslen(buffer.data())};
}

// Every case is formatted whole and cut at several buffer sizes.
template <class... Args>
void ExpectAsTheCLibrary(const wchar_t* format, Args... args)
{
    for (size_t capacity : {1, 2, 7, 16, 512}) {
        SCOPED_TRACE(testing::Message() << "format #" << std::wstring(format).size() << " capacity "
                                        << capacity);
        EXPECT_EQ(Ours(capacity, format, args...), CLibrary(capacity, format, args...));
    }
}

TEST(WideFormat, IntegersMatchTheCLibraryInEveryFlagWidthAndLength)
{
    ExpectAsTheCLibrary(L"frame %d took %d ms in %ls", 4096, 16, L"main loop");
    ExpectAsTheCLibrary(L"%d %d %d %i %d", INT_MIN, INT_MAX, 0, -1, 7);
    ExpectAsTheCLibrary(L"%+d %+d % d % d %+ d %+u % u", 5, -5, 5, -5, 5, 5u, 5u);
    ExpectAsTheCLibrary(L"[%5d][%-5d][%05d][%-05d][%.3d][%8.3d][%-8.3d][%08.3d][%.0d][%5.0d][%.d]", 42, 42, -42,
                        -42, 7, -7, 7, 7, 0, 0, 0);
    ExpectAsTheCLibrary(L"[%*d][%-*d][%*d][%.*d][%.*d][%0*d][%0.*d]", 6, 1, 6, 2, -6, 3, 4, 5, -1, 6, 5, -3, -2,
                        -9);
    ExpectAsTheCLibrary(L"%u %lu %llu %zu %ju %hu %hhu", UINT_MAX, ULONG_MAX, ULLONG_MAX, SIZE_MAX, UINTMAX_MAX,
                        70000u, 300u);
    ExpectAsTheCLibrary(L"%hd %hhd %ld %lld %jd %zd %td", 70000, 300, LONG_MIN, LLONG_MIN, INTMAX_MAX,
                        static_cast<ssize_t>(-3), static_cast<ptrdiff_t>(-4));
    ExpectAsTheCLibrary(L"%x %X %#x %#X %#o %o %#.0o %.0o %#x %08x %#010x %-#6x| %#.5x %llx", 0xbeefu, 0xbeefu,
                        0xbeefu, 0xbeefu, 8u, 8u, 0u, 0u, 0u, 0xabu, 0xabu, 0xabu, 0xabu, ULLONG_MAX);
    ExpectAsTheCLibrary(L"%02d:%02d:%02d %7d%% %10d", 9, 5, 1, 100, -2147483647);
    ExpectAsTheCLibrary(L"%100000d|%-100000d|%.100000d", 1, 2, 3);
}

TEST(WideFormat, TextAndCharactersMatchTheCLibrary)
{
    ExpectAsTheCLibrary(L"[%ls][%10ls][%-10ls][%.3ls][%10.3ls][%.0ls][%*ls]", L"wide", L"wide", L"wide", L"wide",
                        L"wide", L"wide", -7, L"wide");
    ExpectAsTheCLibrary(L"[%s][%8s][%-8s][%.2s][%.9s]", "ascii", "ascii", "ascii", "ascii", "ascii");
    ExpectAsTheCLibrary(L"[%c][%3c][%-3c]%%[%%]", 'a', 'b', 'c');
    int local = 0;
    ExpectAsTheCLibrary(L"[%p][%24p][%-24p]", &local, &local, &local);
    ExpectAsTheCLibrary(L"[%p]", static_cast<void*>(nullptr));
    ExpectAsTheCLibrary(L"[%s][%12s][%-12s][%.3s]", "caf\xc3\xa9 \xf0\x9f\x98\x80", "d\xc3\xa9j\xc3\xa0",
                        "d\xc3\xa9j\xc3\xa0", "d\xc3\xa9j\xc3\xa0");
    ExpectAsTheCLibrary(L"%ls", L"\xD800 and \x10FFFF, \xFFFE, \x110000");   // values kept as they are
    ExpectAsTheCLibrary(L"no directive at all, \x00E9\x00E8");
    const std::wstring longText(2000, L'a');
    ExpectAsTheCLibrary(L"%ls", longText.c_str());
    ExpectAsTheCLibrary(longText.c_str());
}

// What the direct path hands over: the result is still the C library's.
TEST(WideFormat, EverythingElseIsLeftToTheCLibrary)
{
    ExpectAsTheCLibrary(L"%f %.2f %g %e %a", 1.5, 2.25, 1e-5, 3.0, 1.0);
    ExpectAsTheCLibrary(L"%d then %7.3f%%", 3, 99.5);
    ExpectAsTheCLibrary(L"%s and %s", "ascii", "caf\xc3\xa9");
    ExpectAsTheCLibrary(L"before %s after", "\xff\xfe");
    ExpectAsTheCLibrary(L"%ls|%s|%.3ls", static_cast<const wchar_t*>(nullptr), static_cast<const char*>(nullptr),
                        static_cast<const wchar_t*>(nullptr));
    ExpectAsTheCLibrary(L"%lc %c %c", static_cast<wint_t>(L'\x00E9'), 0xE9, 0);
    ExpectAsTheCLibrary(L"[%05s][%+s][%#c][% c]", "x", "y", 'z', 'w');
    ExpectAsTheCLibrary(L"%2$d %1$d", 1, 2);
    ExpectAsTheCLibrary(L"%'d %Ld %qd %5%", 1234567, 1LL, 2LL);
    ExpectAsTheCLibrary(L"dangling %");
    ExpectAsTheCLibrary(L"dangling %5");
    ExpectAsTheCLibrary(L"%2000000d|%.2000000d", 1, 2);
}

}  // namespace

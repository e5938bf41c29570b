// A filtered line is kept as its format and a copy of its arguments, and
// formatted only for a crash report. The C library's own wide formatting of
// the same format and arguments is the expected text.

#include "core/utf8.h"
#include "log/deferred_format.h"
#include "support/system.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cwchar>
#include <string>

namespace {

struct CKept {
    unsigned char m_args[226];
    size_t m_nSize = 0;
    bool m_bCut = false;
};

void Keep(CKept& kept, size_t room, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    kept.m_nSize = oru::detail::CaptureArguments(format, args, kept.m_args, room, kept.m_bCut);
    va_end(args);
}

std::string Expected(const wchar_t* format, ...)
{
    wchar_t text[512];
    va_list args;
    va_start(args, format);
    vswprintf(text, 512, format, args);
    va_end(args);
    return oru::detail::ToUtf8Lossy(text);
}

std::string Render(const wchar_t* format, const CKept& kept)
{
    char text[600];
    size_t length = 0;
    if (!oru::detail::RenderCaptured(format, kept.m_args, kept.m_nSize, kept.m_bCut, text, sizeof text, length))
        return "(not rendered)";
    return std::string(text, length);
}

// Keeps the arguments, renders them, and compares with the C library.
#define EXPECT_RENDERED_AS_FORMATTED(format, ...)                                  \
    do {                                                                           \
        CKept kept;                                                                \
        Keep(kept, sizeof kept.m_args, format, __VA_ARGS__);                       \
        EXPECT_FALSE(kept.m_bCut) << #format;                                      \
        EXPECT_EQ(Render(format, kept), Expected(format, __VA_ARGS__)) << #format; \
    } while (0)

TEST(DeferredFormat, RendersWhatTheCLibraryFormats)
{
    EXPECT_RENDERED_AS_FORMATTED(L"frame %d took %d ms in %ls", 4096, 16, L"main loop");
    EXPECT_RENDERED_AS_FORMATTED(L"[%-6ls|%6ls] %s", L"ab", L"cd", "narrow");
    EXPECT_RENDERED_AS_FORMATTED(L"%+.3f %e %g %10.2f", 2.5, 1e-7, 0.1, -3.25);
    EXPECT_RENDERED_AS_FORMATTED(L"%hhx %hd %hu %x %#o", 300, 70000, 70000, 0xBEEFu, 8u);
    EXPECT_RENDERED_AS_FORMATTED(L"%ld %lld %llu %zu %jd", -5L, -6LL, 7ULL, size_t{8}, intmax_t{-9});
    EXPECT_RENDERED_AS_FORMATTED(L"%*d|%-*d|%.*ls", 5, 42, 4, 7, 2, L"cut here");
    EXPECT_RENDERED_AS_FORMATTED(L"%c%lc%C 100%%", 'a', L'\u00e9', L'\u4e2d');
    EXPECT_RENDERED_AS_FORMATTED(L"%Lf and %ls", 1.5L, L"\u00fcber");
}

TEST(DeferredFormat, AStringIsCopiedAtOnceAndCut)
{
    wchar_t name[80];
    wmemset(name, L'x', 79);
    name[79] = L'\0';
    CKept kept;
    Keep(kept, sizeof kept.m_args, L"open %ls", name);
    wmemset(name, L'y', 79);  // what the pointer showed later does not matter
    EXPECT_EQ(Render(L"open %ls", kept), "open " + std::string(48, 'x'));
}

TEST(DeferredFormat, ArgumentsBeyondTheRoomAreMarkedCut)
{
    CKept kept;
    Keep(kept, 30, L"%d %d %d %d %d", 1, 2, 3, 4, 5);
    EXPECT_TRUE(kept.m_bCut);
    EXPECT_EQ(Render(L"%d %d %d %d %d", kept), "1 2 3 ...");
}

// A format that no longer matches the kept arguments, damaged arguments, and
// a format whose memory is gone are not rendered, and do not fault.
TEST(DeferredFormat, RefusesWhatDoesNotMatchOrCannotBeRead)
{
    CKept kept;
    Keep(kept, sizeof kept.m_args, L"%d and %ls", 1, L"two");
    EXPECT_EQ(Render(L"%ls and %d", kept), "(not rendered)");
    EXPECT_EQ(Render(L"%d", kept), "(not rendered)");
    CKept damaged = kept;
    damaged.m_args[9] = 0xEE;   // the string's tag
    EXPECT_EQ(Render(L"%d and %ls", damaged), "(not rendered)");
    damaged = kept;
    damaged.m_args[10] = 200;   // the string's length, past what was kept
    EXPECT_EQ(Render(L"%d and %ls", damaged), "(not rendered)");

    void* pPage = oru::test::MapPage();
    ASSERT_NE(pPage, nullptr);
    auto* format = static_cast<wchar_t*>(pPage);
    wcscpy(format, L"%d and %ls");
    oru::test::UnmapPage(pPage);
    EXPECT_EQ(Render(format, kept), "(not rendered)");
}

}  // namespace

#include <oru/core/convert.h>

#include "core/convert_internal.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <set>
#include <string>

namespace {

const wchar_t HANGUL_WORD[] = L"\uD55C\uAD6D\uC5B4";      // three syllables
const char HANGUL_WORD_UTF8[] = "\xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4";

TEST(Conversion, Utf8RoundTripsKoreanAndAstralText)
{
    for (unsigned int cp : {0u, 65001u}) {
        const char* narrow = OruWCharToChar(cp, HANGUL_WORD);
        ASSERT_NE(narrow, nullptr);
        EXPECT_STREQ(narrow, HANGUL_WORD_UTF8);
        EXPECT_STREQ(OruCharToWChar(cp, HANGUL_WORD_UTF8), HANGUL_WORD);

        const wchar_t* astral = L"\U0001F600x";  // a surrogate pair where wchar_t has 16 bits
        EXPECT_STREQ(OruWCharToChar(cp, astral), "\xF0\x9F\x98\x80x");
        EXPECT_STREQ(OruCharToWChar(cp, "\xF0\x9F\x98\x80x"), astral);
    }
}

TEST(Conversion, InvalidTextFailsWithNull)
{
    const wchar_t loneSurrogate[] = {L'a', 0xD800, 0};
    const wchar_t reversedPair[] = {0xDE00, 0xD83D, 0};
    EXPECT_EQ(OruWCharToChar(65001, loneSurrogate), nullptr);
    EXPECT_EQ(OruWCharToChar(65001, reversedPair), nullptr);
    EXPECT_EQ(OruWCharToCharEx(65001, loneSurrogate), nullptr);
    if constexpr (sizeof(wchar_t) == 4) {  // only a 32-bit wchar_t can hold a value past Unicode
        const wchar_t beyondUnicode[] = {static_cast<wchar_t>(0x110000), 0};
        EXPECT_EQ(OruWCharToChar(65001, beyondUnicode), nullptr);
    }

    for (const char* bad : {"\xC0\x80",           // overlong NUL
                            "\xE0\x80\xAF",       // overlong slash
                            "\xED\xA0\x80",       // encoded surrogate
                            "\xF4\x90\x80\x80",   // above U+10FFFF
                            "abc\xE2\x82",        // cut short
                            "\x80", "\xFF"}) {
        EXPECT_EQ(OruCharToWChar(65001, bad), nullptr) << bad;
        EXPECT_EQ(OruCharToWCharEx(65001, bad), nullptr) << bad;
    }
}

TEST(Conversion, NullTextReturnsNullAndKeepsTheExBuffer)
{
    const char* kept = OruWCharToCharEx(65001, L"kept");
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(OruWCharToChar(65001, nullptr), nullptr);
    EXPECT_EQ(OruCharToWChar(65001, nullptr), nullptr);
    EXPECT_EQ(OruWCharToCharEx(65001, nullptr), nullptr);
    EXPECT_EQ(OruCharToWCharEx(65001, nullptr), nullptr);
    EXPECT_STREQ(kept, "kept");
}

TEST(Conversion, EmptyTextGivesAnEmptyTerminatedResult)
{
    EXPECT_STREQ(OruWCharToChar(65001, L""), "");
    EXPECT_STREQ(OruCharToWChar(65001, ""), L"");
    EXPECT_STREQ(OruWCharToCharEx(65001, L""), "");
    EXPECT_STREQ(OruCharToWCharEx(65001, ""), L"");
}

TEST(Conversion, RingHandsOutOneHundredBuffersThenWraps)
{
    // Start from a known slot: the ring index wraps after 100 successes.
    std::set<const char*> seen;
    const char* first = OruWCharToChar(65001, L"0");
    seen.insert(first);
    for (int i = 1; i < 100; ++i)
        seen.insert(OruWCharToChar(65001, std::to_wstring(i).c_str()));
    EXPECT_EQ(seen.size(), 100u);
    EXPECT_EQ(OruWCharToChar(65001, L"100"), first);
}

TEST(Conversion, RingLimitIs1024BytesWithTheTerminator)
{
    EXPECT_NE(OruWCharToChar(65001, std::wstring(1023, L'a').c_str()), nullptr);

    // A failed call does not use up a slot: the next success takes the slot
    // right after the last success (or the first one, when the ring wraps).
    const char* last = OruWCharToChar(65001, L"v");
    EXPECT_EQ(OruWCharToChar(65001, std::wstring(1024, L'a').c_str()), nullptr);
    const char* next = OruWCharToChar(65001, L"u");
    EXPECT_TRUE(next - last == 1024 || last - next == 99 * 1024);

    // Three bytes per Hangul syllable: 341 fit (1023 bytes), 342 do not.
    EXPECT_NE(OruWCharToChar(65001, std::wstring(341, L'\uD55C').c_str()), nullptr);
    EXPECT_EQ(OruWCharToChar(65001, std::wstring(342, L'\uD55C').c_str()), nullptr);

    EXPECT_NE(OruCharToWChar(65001, std::string(1023, 'b').c_str()), nullptr);
    EXPECT_EQ(OruCharToWChar(65001, std::string(1024, 'b').c_str()), nullptr);
}

TEST(Conversion, ExFormsHoldTextOfAnyLength)
{
    // Korean text needs three bytes a character in UTF-8, more than twice
    // the character count: the heap form sizes its buffer to fit.
    const std::wstring longKorean(5000, L'\uD55C');
    const char* narrow = OruWCharToCharEx(65001, longKorean.c_str());
    ASSERT_NE(narrow, nullptr);
    EXPECT_EQ(std::strlen(narrow), 15000u);
    const wchar_t* wide = OruCharToWCharEx(65001, narrow);
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(std::wstring(wide), longKorean);

    OruReleaseExBuffers();
    EXPECT_STREQ(OruCharToWCharEx(65001, "again"), L"again");
}

TEST(Conversion, OtherCodePagesGoThroughTheSystem)
{
    // Code page 1252: e-acute is one byte, a Hangul syllable is missing.
    EXPECT_STREQ(OruWCharToChar(1252, L"caf\u00E9"), "caf\xE9");
    EXPECT_STREQ(OruCharToWChar(1252, "caf\xE9"), L"caf\u00E9");
    EXPECT_EQ(OruWCharToChar(1252, L"\uD55C"), nullptr);
    EXPECT_EQ(OruWCharToCharEx(1252, L"\uD55C"), nullptr);
    // Code page 949 holds Hangul in two bytes a character.
    const char* korean = OruWCharToCharEx(949, HANGUL_WORD);
    ASSERT_NE(korean, nullptr);
    EXPECT_EQ(std::strlen(korean), 6u);
    EXPECT_STREQ(OruCharToWCharEx(949, korean), HANGUL_WORD);
    // A number the system does not know.
    EXPECT_EQ(OruWCharToChar(4242, L"abc"), nullptr);
    EXPECT_EQ(OruCharToWChar(4242, "abc"), nullptr);
}

// Text of a few hundred characters through a code page, each direction and
// each form: the result must be the pieces' short conversions end to end (a
// converter that grows its buffer must go on where it stopped, not start
// again).
TEST(Conversion, LongTextThroughACodePageIsThePiecesInOrder)
{
    struct CCase {
        unsigned int m_nCodePage;
        std::wstring m_Piece;  // varied, so that a restart shows
    };
    const CCase cases[] = {{1252, L"caf\u00E9 \u20AC5 "}, {949, L"\uD55C\uAD6D\uC5B4 abc "}};
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.m_nCodePage);
        std::wstring wide;
        std::string narrow;
        for (int i = 0; i < 40; ++i) {
            const std::wstring piece = c.m_Piece + std::to_wstring(i);
            wide += piece;
            const char* part = OruWCharToChar(c.m_nCodePage, piece.c_str());
            ASSERT_NE(part, nullptr);
            narrow += part;
        }
        ASSERT_GT(wide.size(), 300u);
        const char* ring = OruWCharToChar(c.m_nCodePage, wide.c_str());
        ASSERT_NE(ring, nullptr);
        EXPECT_EQ(std::string(ring), narrow);
        const char* ex = OruWCharToCharEx(c.m_nCodePage, wide.c_str());
        ASSERT_NE(ex, nullptr);
        EXPECT_EQ(std::string(ex), narrow);
        const wchar_t* back = OruCharToWChar(c.m_nCodePage, narrow.c_str());
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(std::wstring(back), wide);
        const wchar_t* backEx = OruCharToWCharEx(c.m_nCodePage, narrow.c_str());
        ASSERT_NE(backEx, nullptr);
        EXPECT_EQ(std::wstring(backEx), wide);
    }
}

TEST(Conversion, ResultsDoNotDependOnTheProcessLocale)
{
    const char* previous = std::setlocale(LC_ALL, nullptr);
    const std::string saved = previous ? previous : "C";
    std::setlocale(LC_ALL, "C");
    EXPECT_STREQ(OruWCharToChar(0, HANGUL_WORD), HANGUL_WORD_UTF8);
    EXPECT_STREQ(OruCharToWChar(0, HANGUL_WORD_UTF8), HANGUL_WORD);
    std::setlocale(LC_ALL, saved.c_str());
}

}  // namespace

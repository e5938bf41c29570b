// The index codecs against bytes written out by hand.

#include "pack/pack_format.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace oru::detail;

namespace {

std::string Encoded(const std::wstring& name)
{
    std::string out;
    EXPECT_TRUE(EncodeName(name, out));
    return out;
}

std::wstring Decoded(const std::string& bytes, size_t* pConsumed = nullptr)
{
    std::wstring name;
    size_t consumed = 0;
    EXPECT_TRUE(DecodeName(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), name, consumed));
    if (pConsumed)
        *pConsumed = consumed;
    return name;
}

}  // namespace

TEST(EntryName, IsStoredAsMaskedLittleEndianUnitsWithAMaskedTerminator)
{
    // 'a' = 0x0061 ^ 0xB5 = 0x00D4, '\' = 0x005C ^ 0xB5 = 0x00E9, U+D55C (Hangul) keeps its high byte.
    const std::string expected("\xD4\x00\xE9\x00\xE9\xD5\xB5\x00", 8);
    EXPECT_EQ(Encoded(L"a\\\uD55C"), expected);
    size_t consumed = 0;
    EXPECT_EQ(Decoded(expected + "garbage", &consumed), L"a\\\uD55C");
    EXPECT_EQ(consumed, 8u);
}

TEST(EntryName, CarriesCodePointsAboveTheBasicPlaneAsSurrogatePairs)
{
    // U+1F600 = D83D DE00; masked 0xD888 0xDEB5.
    const std::string expected("\x88\xD8\xB5\xDE\xB5\x00", 6);
    EXPECT_EQ(Encoded(L"\U0001F600"), expected);
    EXPECT_EQ(Decoded(expected), L"\U0001F600");
}

TEST(EntryName, KeepsLoneSurrogatesAsTheirOwnValues)
{
    // A low surrogate with nothing before it, then a high one followed by 'x'.
    const std::string bytes("\xB5\xDC\x88\xD8\xCD\x00\xB5\x00", 8);
    const std::wstring name = Decoded(bytes);
    ASSERT_EQ(name.size(), 3u);
    EXPECT_EQ(static_cast<uint32_t>(name[0]), 0xDC00u);
    EXPECT_EQ(static_cast<uint32_t>(name[1]), 0xD83Du);
    EXPECT_EQ(name[2], L'x');
    EXPECT_EQ(Encoded(name), bytes);
}

TEST(EntryName, FailsWithoutATerminatorInsideTheBytes)
{
    std::wstring name;
    size_t consumed = 0;
    for (const std::string& bytes : {std::string(), std::string("\xD4\x00", 2), std::string("\xD4\x00\xB5", 3)})
        EXPECT_FALSE(DecodeName(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), name, consumed))
            << bytes.size();
}

TEST(EntryName, RefusesNamesTheIndexCannotHold)
{
    std::string out = "x";
    EXPECT_FALSE(EncodeName(std::wstring(L"a\0b", 3), out));
    EXPECT_FALSE(EncodeName(std::wstring(1, static_cast<wchar_t>(0x110000)), out));
    EXPECT_EQ(out, "x");
}

TEST(EntryName, OrdersByUtf16UnitsAsTheWriterDoes)
{
    // U+10000 is D800 DC00 in UTF-16, so it sorts before U+FFFD there,
    // although its code point is larger.
    EXPECT_TRUE(Utf16Less(L"\U00010000", L"\uFFFD"));
    EXPECT_FALSE(Utf16Less(L"\uFFFD", L"\U00010000"));
    EXPECT_TRUE(Utf16Less(L"ab", L"abc"));
    EXPECT_FALSE(Utf16Less(L"abc", L"abc"));
}

TEST(EntryName, FoldsOnlyLettersInTheDefaultLocale)
{
    EXPECT_EQ(FoldName(L"Map\\Town.XML"), L"map\\town.xml");
    EXPECT_EQ(FoldName(L" A/B "), L" a/b ");
    // The ends of A-Z and their neighbours on both sides, upper and lower.
    EXPECT_EQ(FoldName(L"@AZ[`az{"), L"@az[`az{");
    EXPECT_EQ(FoldName(L"BYÀĀ"), L"byÀĀ");
}

TEST(UsageTable, PacksBitsLowFirstWithOneTrailingByte)
{
    struct {
        std::vector<uint8_t> used;
        std::string bytes;
    } const cases[] = {
        {{}, std::string("\x00", 1)},
        {{1, 1, 1, 1, 1, 1, 1, 1}, std::string("\xFF\x00", 2)},
        {{1, 1, 0, 0, 0, 0, 0, 0, 0, 1}, std::string("\x03\x02", 2)},
        {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, std::string("\x00\x00\x01", 3)},
    };
    for (const auto& c : cases) {
        std::string packed;
        PackUsageTable(c.used, packed);
        EXPECT_EQ(packed, c.bytes) << c.used.size();
        EXPECT_EQ(UsageTableBytes(static_cast<uint32_t>(c.used.size())), c.bytes.size());

        std::vector<uint8_t> unpacked = {7};
        ASSERT_TRUE(UnpackUsageTable(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size(),
                                     static_cast<uint32_t>(c.used.size()), unpacked));
        EXPECT_EQ(unpacked, c.used);
    }
}

TEST(UsageTable, RefusesATableShorterThanItsSectorCount)
{
    const uint8_t bytes[] = {0xFF};
    std::vector<uint8_t> used = {1};
    EXPECT_FALSE(UnpackUsageTable(bytes, sizeof bytes, 8, used));
    // A claim of four billion sectors must not size anything.
    EXPECT_FALSE(UnpackUsageTable(bytes, sizeof bytes, UINT32_MAX, used));
    EXPECT_EQ(used, std::vector<uint8_t>{1});
}

TEST(SectorLayout, PlacesSectorsAndCountsThemFromTheSize)
{
    EXPECT_EQ(PayloadOffset(3, 512, 5), 3u * 520 + 8 + 5);
    // Sizes and numbers from a file cannot overflow a position.
    EXPECT_EQ(SectorOffset(UINT32_MAX, UINT32_MAX), uint64_t{UINT32_MAX} * (uint64_t{UINT32_MAX} + 8));
    EXPECT_EQ(SectorsForSize(3 * 512, 512), 3u);
    EXPECT_EQ(SectorsForSize(3 * 512 + 1, 512), 4u);
    EXPECT_EQ(SectorsForSize(0, 512), 1u);
    EXPECT_EQ(SectorsForSize(UINT32_MAX, 1), UINT32_MAX);
    EXPECT_TRUE(DataFileFits(4129776, 512));    // 2147483520 bytes
    EXPECT_FALSE(DataFileFits(4129777, 512));   // 2147484040 bytes
    EXPECT_FALSE(DataFileFits(1, 0));
}

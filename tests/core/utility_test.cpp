#include <oru/core/argument.h>
#include <oru/core/date_time.h>
#include <oru/core/file_info.h>

#include "support/system.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <list>
#include <string>

namespace {

std::list<std::wstring> Parse(const std::wstring& text, std::list<std::wstring> tokens = {})
{
    OruParseArgument(tokens, text);
    return tokens;
}

TEST(ParseArgument, SplitsOnTabsAndSemicolonsOnly)
{
    using L = std::list<std::wstring>;
    EXPECT_EQ(Parse(L"a;b\t\tc;"), (L{L"a", L"b", L"c"}));
    EXPECT_EQ(Parse(L"a b"), (L{L"a b"}));
    EXPECT_EQ(Parse(L";;\t;x"), (L{L"x"}));
    EXPECT_EQ(Parse(L"\"q;r\""), (L{L"\"q", L"r\""}));
    EXPECT_EQ(Parse(L""), L{});
    EXPECT_EQ(Parse(L";\t;"), L{});
}

TEST(ParseArgument, AppendsAfterWhatTheListHolds)
{
    using L = std::list<std::wstring>;
    EXPECT_EQ(Parse(L"b;c", L{L"a"}), (L{L"a", L"b", L"c"}));
}

TEST(DateTime, DatesCompareByAllThreeFields)
{
    const OruDate a{2026, 12, 6};
    const OruDate b{2026, 12, 6};
    const OruDate c{2026, 12, 7};
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a != b);
    EXPECT_TRUE(a != c);
    EXPECT_TRUE((OruDate{2025, 12, 6}) != a);
    EXPECT_TRUE((OruDate{2026, 11, 6}) != a);
}

// The library's readings are taken between two readings of the C library.
// When those two agree to the minute, so must the library's; when a minute
// (and with it an hour, a day or a year) turned in between, the round is read
// again, which can happen only once in a row.
TEST(DateTime, ReportsTheLocalCalendar)
{
    auto localNow = [] {
        const time_t now = time(nullptr);
        return *std::localtime(&now);  // no other thread of this test reads the clock
    };
    auto sameMinute = [](const tm& a, const tm& b) {
        return a.tm_year == b.tm_year && a.tm_yday == b.tm_yday && a.tm_hour == b.tm_hour &&
               a.tm_min == b.tm_min;
    };
    tm before{}, after{};
    OruDate date{};
    OruTime time{};
    do {
        before = localNow();
        OruGetDateInfo(date);
        OruGetTimeInfo(time);
        after = localNow();
    } while (!sameMinute(before, after));
    EXPECT_EQ(date.year, before.tm_year + 1900);
    EXPECT_EQ(date.month, before.tm_mon + 1);
    EXPECT_EQ(date.day, before.tm_mday);
    EXPECT_EQ(time.hour, before.tm_hour);
    EXPECT_EQ(time.minute, before.tm_min);
}

TEST(FileSize, GivesTheSizeOrZero)
{
    oru::test::CTempDir dir;
    const std::string path = dir.File("five_thousand.bin");
    std::ofstream(path, std::ios::binary) << std::string(5000, 'x');
    const std::wstring widePath(path.begin(), path.end());
    EXPECT_EQ(OruGetFileSize(widePath), 5000u);
    EXPECT_EQ(OruGetFileSize(widePath + L".missing"), 0u);
    EXPECT_EQ(OruGetFileSize(std::wstring(dir.Path().wstring())), 0u);  // a folder
    std::ofstream(dir.File("empty")).close();
    EXPECT_EQ(OruGetFileSize(dir.Path().wstring() + L"/empty"), 0u);
    if (oru::test::MissingFeature(oru::test::eTestFeature::FIFOS))
        return;
    ASSERT_TRUE(oru::test::MakeFifo(dir.File("fifo")));
    EXPECT_EQ(OruGetFileSize(dir.Path().wstring() + L"/fifo"), 0u);  // without waiting for a writer
}

TEST(FileSize, ReadsPathsWithNonAsciiNames)
{
    oru::test::CTempDir dir;
    std::ofstream(dir.Path() / std::filesystem::path(u8"\uD55C.txt"), std::ios::binary) << "abc";
    EXPECT_EQ(OruGetFileSize(dir.Path().wstring() + L"/\uD55C.txt"), 3u);
}

}  // namespace

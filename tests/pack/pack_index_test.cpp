// The index reader that takes a file in pieces, held against the parser of a
// whole image: whatever the file holds, the two must build the same tables.

#include "pack/pack_index.h"

#include "pack_builder.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

using namespace oru::test;
using oru::detail::eIndexRead;

namespace {

struct CLoaded {
    bool m_bWhole = false;
    _oru_pack_header m_header{};
    COruPack::FileList m_files;
    COruPack::DirIndex m_dirIndex;
    std::vector<uint8_t> m_used;

    oru::detail::CIndexTables Tables(bool forWriting)
    {
        return {&m_header, &m_files, forWriting ? nullptr : &m_dirIndex, forWriting ? &m_used : nullptr};
    }
};

std::vector<std::pair<std::wstring, std::vector<std::wstring>>> DirNames(const COruPack::DirIndex& dirIndex)
{
    std::vector<std::pair<std::wstring, std::vector<std::wstring>>> out;
    for (const auto& [dir, pList] : dirIndex) {
        out.emplace_back(dir, std::vector<std::wstring>{});
        for (const auto entry : *pList)
            out.back().second.push_back(entry->first);
    }
    return out;
}

void ExpectSameTables(const CLoaded& read, const CLoaded& parsed, size_t length)
{
    EXPECT_EQ(read.m_bWhole, parsed.m_bWhole) << length;
    EXPECT_EQ(std::memcmp(&read.m_header, &parsed.m_header, sizeof read.m_header), 0) << length;
    ASSERT_EQ(read.m_files.size(), parsed.m_files.size()) << length;
    for (auto a = read.m_files.begin(), b = parsed.m_files.begin(); a != read.m_files.end(); ++a, ++b) {
        EXPECT_EQ(a->first, b->first) << length;
        EXPECT_EQ(std::memcmp(&a->second, &b->second, sizeof a->second), 0) << length;
    }
    EXPECT_EQ(DirNames(read.m_dirIndex), DirNames(parsed.m_dirIndex)) << length;
    EXPECT_EQ(read.m_used, parsed.m_used) << length;
}

// Several pieces of names, one name longer than a piece, a repeated name, a
// name outside any directory, and a usage table that spans pieces too.
Bytes LargeIndex()
{
    CPackImage image(16);
    uint32_t sector = 0;
    for (int i = 0; i < 800; ++i) {
        const std::string name = "level" + std::to_string(i % 7) + "\\props\\crate_with_a_rather_long_name_" +
                                 std::to_string(i) + ".dat";
        image.Store(std::u16string(name.begin(), name.end()), Pattern(static_cast<size_t>(i % 40)), {sector++});
        if (i == 400)
            image.Store(u"huge\\" + std::u16string(40000, u'x'), {}, {sector++});
    }
    image.Store(u"level3\\props\\crate_with_a_rather_long_name_3.dat", Pattern(9), {sector++});
    image.Store(u"readme.txt", Pattern(3), {sector++});

    constexpr uint32_t TABLE_SECTORS = 600000;
    Bytes index = image.IndexBytes();
    index.resize(index.size() - (image.m_nSectorCount / 8 + 1));
    std::memcpy(&index[8], &TABLE_SECTORS, sizeof TABLE_SECTORS);
    const Bytes table = Pattern(TABLE_SECTORS / 8 + 1);
    index.insert(index.end(), table.begin(), table.end());
    return index;
}

}  // namespace

TEST(PackIndexReader, BuildsFromPiecesWhatTheWholeImageGives)
{
    const CTempDir dir;
    const std::string path = dir.File("index.odx");
    const Bytes full = LargeIndex();
    std::vector<size_t> lengths = {0, 23, 24, 25, full.size() - 1, full.size()};
    for (size_t length = 100; length < full.size(); length += 20011)
        lengths.push_back(length);
    for (size_t piece = 65536; piece < full.size(); piece += 65536)
        for (const size_t near : {piece - 1, piece, piece + 1})
            lengths.push_back(near);

    for (const size_t length : lengths) {
        const Bytes cut(full.begin(), full.begin() + static_cast<long>(length));
        Spit(path, cut);
        for (const bool forWriting : {false, true}) {
            CLoaded read, parsed;
            const eIndexRead result = oru::detail::ReadIndex(path, read.Tables(forWriting));
            EXPECT_NE(result, eIndexRead::UNREADABLE) << length;
            read.m_bWhole = result == eIndexRead::WHOLE;
            parsed.m_bWhole = oru::detail::ParseIndex(cut.data(), cut.size(), parsed.Tables(forWriting));
            ExpectSameTables(read, parsed, length);
        }
    }
}

// Claims larger than the file are refused where they are met, and a file
// that cannot be opened is told apart from a damaged one.
TEST(PackIndexReader, StopsAtClaimsTheFileCannotHoldAndNamesAMissingFile)
{
    const CTempDir dir;
    const std::string path = dir.File("index.odx");
    Bytes index = LargeIndex();
    const uint32_t everySector = 0xFFFFFFFFu;
    std::memcpy(&index[8], &everySector, sizeof everySector);
    Spit(path, index);
    CLoaded loaded;
    EXPECT_EQ(oru::detail::ReadIndex(path, loaded.Tables(true)), eIndexRead::DAMAGED);
    EXPECT_EQ(loaded.m_files.size(), 802u);
    EXPECT_TRUE(loaded.m_used.empty());

    CLoaded missing;
    EXPECT_EQ(oru::detail::ReadIndex(dir.File("absent.odx"), missing.Tables(false)), eIndexRead::UNREADABLE);
    EXPECT_TRUE(missing.m_files.empty());
}

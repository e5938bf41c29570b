// Chains of sectors damaged in every way met so far, in one table, and what
// each reader of links makes of them: the walker alone, the stream (both read
// strategies, streaming and in memory), the editor deleting the entry, and
// the pack check.
//
// Every case starts from the same pack: the entry "f" on sectors 0 to 3 and
// "other" on sectors 4 and 5, then overwrites the links of one or two sectors
// of "f". `entered` is how many sectors of "f" really belong to it: the walk
// accepts them and nothing after.

#include <oru/pack/oru_pack.h>

#include "pack/chain_walk.h"
#include "pack/pack_check.h"
#include "pack_builder.h"
#include "support/file_bytes.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace oru::test;

namespace {

constexpr uint32_t ENTRY_SECTORS = 4;
constexpr uint32_t PACK_SECTORS = 6;

struct CLinks {
    uint32_t m_nSector, m_nNext, m_nPrev;
};

struct CDamagedChain {
    const char* m_pWhat;
    std::vector<CLinks> m_vecLinks;
    uint32_t m_nEntered;
};

const CDamagedChain DAMAGED_CHAINS[] = {
    {"next past the data file", {{1, 1000, 0}}, 2},
    {"the first sector's next past the data file", {{0, 1000000, 0}}, 1},
    {"end marker too early", {{1, 1, 0}}, 2},
    {"cycle back to the start", {{2, 0, 1}}, 3},
    // 0 -> 1 -> 2 -> 3 -> 1, and 1 claims 3 as its predecessor: 1 refuses to follow 0.
    {"cycle with consistent back links", {{3, 1, 2}, {1, 2, 3}}, 1},
    {"prev that does not point back", {{2, 3, 0}}, 2},
    {"prev naming a sector further on", {{1, 2, 7}}, 1},
    {"first sector not linked to itself", {{0, 1, 3}}, 0},
    {"next into another chain, whose back link disagrees", {{1, 4, 0}}, 2},
    // The size stops these walks; the chain itself never says it ends.
    {"last sector linking back to the start", {{3, 0, 2}}, ENTRY_SECTORS},
    {"last sector going on into another chain", {{3, 4, 2}}, ENTRY_SECTORS},
};

CPackImage MakeImage(uint32_t sectorSize, const CDamagedChain* pDamage)
{
    CPackImage image(sectorSize);
    image.Store(u"f", Pattern(ENTRY_SECTORS * sectorSize), {0, 1, 2, 3});
    image.Store(u"other", Pattern(2 * sectorSize, 5), {4, 5});
    if (pDamage)
        for (const CLinks& links : pDamage->m_vecLinks)
            image.SetLinks(links.m_nSector, links.m_nNext, links.m_nPrev);
    return image;
}

// The walk over "f" as any reader drives it: a sector outside the data file
// cannot have its links read.
oru::detail::CChainWalk WalkEntry(const CPackImage& image)
{
    oru::detail::CChainWalk walk(0, ENTRY_SECTORS);
    const Bytes data = image.DataBytes();
    while (walk.CanEnter()) {
        if (walk.Upcoming() >= PACK_SECTORS) {
            walk.Break();
            break;
        }
        oru::detail::_oru_pack_sector_links links;
        std::memcpy(&links, &data[size_t{walk.Upcoming()} * (image.m_nSectorSize + 8)], sizeof links);
        if (!walk.Enter(links))
            break;
    }
    return walk;
}

// Tiny sectors and large ones: a read of a few dozen bytes crosses several
// link pairs or none.
class DamagedChain : public ::testing::TestWithParam<uint32_t> {
protected:
    std::string Write(const CDamagedChain* pDamage)
    {
        MakeImage(SECTOR, pDamage).Write(m_strBase);
        return m_strBase;
    }
    Bytes Readable(const CDamagedChain& c) const
    {
        const Bytes content = Pattern(ENTRY_SECTORS * SECTOR);
        return Bytes(content.begin(), content.begin() + static_cast<std::ptrdiff_t>(c.m_nEntered) * SECTOR);
    }

    const uint32_t SECTOR = GetParam();
    CTempDir m_dir;
    std::string m_strBase = m_dir.File("p");
};

}  // namespace

TEST(ChainWalk, EntersOnlyTheSectorsThatBelongToTheChain)
{
    const oru::detail::CChainWalk whole = WalkEntry(MakeImage(16, nullptr));
    EXPECT_EQ(whole.Entered(), ENTRY_SECTORS);
    EXPECT_TRUE(whole.Ended());
    for (const CDamagedChain& c : DAMAGED_CHAINS) {
        const oru::detail::CChainWalk walk = WalkEntry(MakeImage(16, &c));
        EXPECT_EQ(walk.Entered(), c.m_nEntered) << c.m_pWhat;
        // A whole chain ends exactly where the size says; no damaged one does.
        EXPECT_FALSE(walk.Ended() && walk.Entered() == ENTRY_SECTORS) << c.m_pWhat;
        EXPECT_FALSE(walk.CanEnter()) << c.m_pWhat;
    }
}

TEST_P(DamagedChain, StreamsStopShortWhereTheChainLeavesTheEntry)
{
    COruPack pack;
    for (const CDamagedChain& c : DAMAGED_CHAINS) {
        ASSERT_TRUE(pack.OpenOruPack(Wide(Write(&c)), ORU_PACK_MODE_READ, 512)) << c.m_pWhat;
        std::unique_ptr<COruFile, int (*)(COruFile*)> p(pack.OpenFile(L"f", false), oru_fclose);
        ASSERT_TRUE(p) << c.m_pWhat;
        const Bytes got = ReadInPieces(*p, {7, 40});
        EXPECT_EQ(got, Readable(c)) << c.m_pWhat << ": read " << got.size();

        // Memory holds the same bytes and reads short in the same place: no
        // zeros stand in for the part the chain lost.
        std::unique_ptr<COruFile, int (*)(COruFile*)> memory(pack.OpenFile(L"f", true), oru_fclose);
        ASSERT_TRUE(memory) << c.m_pWhat;
        EXPECT_EQ(ReadAll(*memory), Readable(c)) << c.m_pWhat;
    }
}

// Deleting gives back only the sectors the chain really owns, never more
// than the size needs and never a sector of another entry.
TEST_P(DamagedChain, DeletingGivesBackOnlyTheSectorsTheEntryOwns)
{
    for (const CDamagedChain& c : DAMAGED_CHAINS) {
        COruPack pack;
        ASSERT_TRUE(pack.OpenOruPack(Wide(Write(&c)), ORU_PACK_MODE_WRITE, SECTOR)) << c.m_pWhat;
        EXPECT_TRUE(pack.DelFile(L"f")) << c.m_pWhat;
        ASSERT_TRUE(pack.CloseOruPack()) << c.m_pWhat;

        // The usage table is the index's last byte: one bit per sector.
        const uint8_t allUsed = (1u << PACK_SECTORS) - 1;
        const uint8_t freed = static_cast<uint8_t>((1u << c.m_nEntered) - 1);
        EXPECT_EQ(Slurp<Bytes>(m_strBase + ".odx").back(), allUsed & ~freed) << c.m_pWhat;

        ASSERT_TRUE(pack.OpenOruPack(Wide(m_strBase), ORU_PACK_MODE_READ, 512));
        EXPECT_EQ(ReadEntry(pack, L"other"), Pattern(2 * SECTOR, 5)) << c.m_pWhat;
    }
}

TEST_P(DamagedChain, TheCheckReportsEachDamagedChainByItsEntry)
{
    EXPECT_EQ(oru::detail::CheckPack(Write(nullptr), {}).m_nProblems, 0u);
    for (const CDamagedChain& c : DAMAGED_CHAINS) {
        std::vector<std::string> problems;
        oru::detail::CPackCheckHooks hooks;
        hooks.m_fnProblem = [&problems](const std::string& line) { problems.push_back(line); };
        oru::detail::CheckPack(Write(&c), hooks);
        ASSERT_FALSE(problems.empty()) << c.m_pWhat;
        EXPECT_EQ(problems.front().rfind("'f': ", 0), 0u) << c.m_pWhat << ": " << problems.front();
    }
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, DamagedChain, ::testing::Values(16u, 8192u),
                         [](const auto& sizeInfo) { return "Sector" + std::to_string(sizeInfo.param); });

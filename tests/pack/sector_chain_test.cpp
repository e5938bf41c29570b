// The sector chain reader over entries longer than its bounce buffer, where
// one request or one fill spans many sectors: runs of sectors in file order
// broken by jumps forward and back, damage in the middle of a run, and a
// full buffer that ends inside a link pair.

#include "pack/sector_chain.h"
#include "pack_builder.h"
#include "platform/file.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <vector>

using namespace oru::test;
using oru::detail::CSectorChain;

namespace {

constexpr size_t BOUNCE = CSectorChain::BOUNCE_BYTES;

// Sectors [from, to) in file order.
void AppendRun(std::vector<uint32_t>& sectors, uint32_t from, uint32_t to)
{
    for (uint32_t s = from; s < to; ++s)
        sectors.push_back(s);
}

// Small sectors always go through the bounce buffer; over large ones a
// request of a buffer's worth is scattered straight into place.
class LongChain : public ::testing::TestWithParam<uint32_t> {
protected:
    // A chain of four runs, each at least a buffer's worth of small sectors
    // long: the first quarter with two sectors swapped (a jump back into
    // bytes already read ahead), then the last quarter, then the third.
    std::vector<uint32_t> Layout() const
    {
        const uint32_t q = SECTORS / 4;
        std::vector<uint32_t> sectors;
        AppendRun(sectors, 0, q);
        sectors.insert(sectors.end(), {q + 1, q});
        AppendRun(sectors, q + 2, 2 * q);
        AppendRun(sectors, 3 * q, SECTORS);
        AppendRun(sectors, 2 * q, 3 * q);
        return sectors;
    }
    // Stores `m_content` on `sectors`, applies `damage` and opens the chain.
    std::unique_ptr<CSectorChain> Open(const std::vector<uint32_t>& sectors,
                                       const std::vector<std::array<uint32_t, 3>>& damage = {})
    {
        CPackImage image(SECTOR);
        image.Store(u"f", m_content, sectors);
        for (const auto& [sector, next, prev] : damage)
            image.SetLinks(sector, next, prev);
        const std::string base = m_dir.File("p");
        image.Write(base);
        _oru_pack_file_info info{};
        info.size = static_cast<uint32_t>(m_content.size());
        info.first_sector = sectors.front();
        return std::make_unique<CSectorChain>(oru::platform::CFile::OpenRead(base + ".opk"), info,
                                              SECTOR);
    }
    // Reads from the start until a read delivers nothing, cycling through
    // `sizes`. Going back to the start keeps what the buffer holds.
    static Bytes ReadInPieces(CSectorChain& chain, const std::vector<size_t>& sizes)
    {
        EXPECT_TRUE(chain.Seek(0));
        Bytes out;
        for (size_t i = 0;; ++i) {
            const size_t size = sizes[i % sizes.size()];
            const size_t at = out.size();
            out.resize(at + size);
            const size_t got = chain.Read(out.data() + at, size);
            out.resize(at + got);
            if (got == 0)
                return out;
        }
    }
    Bytes Prefix(size_t sectors) const
    {
        return Bytes(m_content.begin(), m_content.begin() + static_cast<long>(sectors * SECTOR));
    }

    const uint32_t SECTOR = GetParam();
    // Enough sectors for each quarter to outlast one fill of the buffer.
    const uint32_t SECTORS = static_cast<uint32_t>(4 * (BOUNCE / SECTOR + 8));
    const Bytes m_content = Pattern(size_t{SECTORS - 1} * SECTOR + SECTOR / 2 + 1);
    CTempDir m_dir;
};

const std::vector<std::vector<size_t>> REQUEST_MIXES = {
    {BOUNCE + 1}, {BOUNCE - 1, 5}, {1000, 77777}, {3 * 16 + 1, 8191}};

}  // namespace

TEST_P(LongChain, ReadsRunsAndJumpsInRequestsOfAnySize)
{
    const auto pChain = Open(Layout());
    for (const auto& mix : REQUEST_MIXES)
        EXPECT_EQ(ReadInPieces(*pChain, mix), m_content) << "first request " << mix[0];
}

// Bytes read ahead past a link that breaks the chain are never delivered,
// whether the break lies inside one fill or one scattered request.
TEST_P(LongChain, StopsAtDamageInsideARun)
{
    const std::vector<uint32_t> sectors = Layout();
    const uint32_t q = SECTORS / 4;
    struct CDamage {
        const char* m_pWhat;
        std::array<uint32_t, 3> m_links;  // sector, next, prev
        size_t m_nReadable;               // sectors of the chain read before the break
    };
    const CDamage cases[] = {
        {"prev that does not point back", {q / 2, q / 2 + 1, q / 2}, q / 2},
        {"next that skips a sector of the run", {3 * q + 5, 3 * q + 7, 3 * q + 4}, 2 * q + 6},
        {"end marker in the middle of the swapped pair", {q + 1, q + 1, q - 1}, q + 1},
    };
    for (const CDamage& c : cases) {
        const auto pChain = Open(sectors, {c.m_links});
        for (const auto& mix : REQUEST_MIXES)
            EXPECT_EQ(ReadInPieces(*pChain, mix), Prefix(c.m_nReadable))
                << c.m_pWhat << ", first request " << mix[0];
    }
}

// A seek walks the links to its target through the same buffer: reading
// from there gives the content from there, and a target past damage is
// refused without moving.
TEST_P(LongChain, SeeksAcrossRunsAndJumps)
{
    const uint32_t q = SECTORS / 4;
    const size_t size = m_content.size();
    const auto pChain = Open(Layout());
    const size_t targets[] = {size - 1, 1, size_t{q} * SECTOR + 3, SECTOR, size_t{3} * q * SECTOR - 1, 0, size};
    for (const size_t target : targets) {
        ASSERT_TRUE(pChain->Seek(target)) << target;
        Bytes got(std::min<size_t>(size - target, 3 * SECTOR + 5));
        ASSERT_EQ(pChain->Read(got.data(), got.size()), got.size()) << target;
        EXPECT_TRUE(std::equal(got.begin(), got.end(), m_content.begin() + static_cast<long>(target)))
            << target;
    }
    EXPECT_FALSE(pChain->Seek(size + 1));

    const auto pDamaged = Open(Layout(), {{3 * q + 5, 3 * q + 7, 3 * q + 4}});
    const size_t readable = size_t{2 * q + 6} * SECTOR;
    ASSERT_TRUE(pDamaged->Seek(readable - 1));
    uint8_t last = 0;
    ASSERT_EQ(pDamaged->Read(&last, 1), 1u);
    EXPECT_EQ(last, m_content[readable - 1]);
    EXPECT_FALSE(pDamaged->Seek(readable + 1));
    EXPECT_EQ(pDamaged->Tell(), readable);
    EXPECT_EQ(pDamaged->Read(&last, 1), 0u);
}

// A fill reads at most a buffer's worth, so where it ends is arbitrary: here
// three bytes into a link pair. The next sector must be read again, whole,
// rather than taken for the end of the chain.
TEST_P(LongChain, GoesOnWhereAFullBufferEndsInsideALinkPair)
{
    std::vector<uint32_t> sectors;
    AppendRun(sectors, 0, SECTORS);
    const auto pChain = Open(sectors);
    // The second request starts `first` bytes into sector 0's payload, so
    // its fill of BOUNCE bytes ends at this offset within a sector.
    const size_t stride = size_t{SECTOR} + 8;
    const size_t first = (stride - (8 + BOUNCE) % stride + 3) % stride;
    ASSERT_LT(first, SECTOR);
    Bytes got(m_content.size());
    ASSERT_EQ(pChain->Read(got.data(), first), first);
    ASSERT_EQ(pChain->Read(got.data() + first, BOUNCE - 1), BOUNCE - 1);
    const size_t rest = m_content.size() - first - (BOUNCE - 1);
    ASSERT_EQ(pChain->Read(got.data() + first + BOUNCE - 1, rest), rest);
    EXPECT_EQ(got, m_content);
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, LongChain, ::testing::Values(16u, 8192u),
                         [](const auto& sizeInfo) { return "Sector" + std::to_string(sizeInfo.param); });

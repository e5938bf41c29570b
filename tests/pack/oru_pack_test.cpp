// The pack manager over packs assembled by hand.

#include <oru/pack/oru_pack.h>

#include "pack_builder.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <clocale>
#include <filesystem>
#include <string>
#include <thread>

using namespace oru::test;

namespace {

// Reaches the manager's protected tables.
class CPackProbe : public COruPack {
public:
    using COruPack::m_bModified;
    using COruPack::m_mapDirIndex;
    using COruPack::m_pDataFile;
    using COruPack::m_vecSectorUsed;
};

class PackManager : public ::testing::Test {
protected:
    void TearDown() override { COruPack::DeleteInstance(); }

    // Three entries: two under "map" (one two levels deep), one at the top.
    std::string WriteSamplePack()
    {
        CPackImage image(16);
        image.Store(u"map\\sub\\a.dat", m_a, {0, 1});
        image.Store(u"map\\town.xml", m_town, {2});
        image.Store(u"readme.txt", m_readme, {3, 4, 5});
        const std::string base = m_dir.File("data");
        image.Write(base);
        return base;
    }

    CTempDir m_dir;
    const Bytes m_a = Pattern(20, 1);
    const Bytes m_town = ToBytes("<town/>");
    const Bytes m_readme = Pattern(40, 3);
};

}  // namespace

TEST_F(PackManager, ListsEveryEntryAndBuildsTheDirectoryIndex)
{
    CPackProbe pack;
    ASSERT_TRUE(pack.OpenOruPack(Wide(WriteSamplePack()), ORU_PACK_MODE_READ, 512));
    const auto& files = *pack.GetFileList();
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(+files.at(L"readme.txt").size, 40u);
    EXPECT_EQ(+files.at(L"readme.txt").first_sector, 3u);
    EXPECT_EQ(+files.at(L"map\\town.xml").last_write_time, 0x01D0000000000003ull);
    EXPECT_EQ(+pack.GetPackInfo()->sector_size, 16u);
    EXPECT_EQ(+pack.GetPackInfo()->file_count, 3u);

    ASSERT_EQ(pack.m_mapDirIndex.size(), 1u);
    const auto& list = *pack.m_mapDirIndex.at(L"map");
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0], files.find(L"map\\sub\\a.dat"));  // the file list's own entries
    EXPECT_EQ(list[1], files.find(L"map\\town.xml"));
    EXPECT_TRUE(pack.m_vecSectorUsed.empty());

    pack.CloseOruPack();
    EXPECT_TRUE(pack.m_mapDirIndex.empty());
    EXPECT_EQ(pack.GetFileList()->size(), 3u);
}

TEST_F(PackManager, FindsNamesFoldedToLowerCaseButNoOtherSpelling)
{
    ASSERT_TRUE(InitOruPack(Wide(WriteSamplePack())));
    EXPECT_EQ(ReadEntry(OruPack(), L"MAP\\Town.XML"), m_town);
    EXPECT_EQ(OruPack().OpenFile(L"map/town.xml", false), nullptr);
    EXPECT_EQ(OruPack().OpenFile(L"town.xml", false), nullptr);
}

// Only A-Z fold, whatever locale the game sets: a name stored by a tool in
// the default locale is found under any locale, and letters outside ASCII
// are matched exactly as written.
TEST_F(PackManager, FoldsOnlyAsciiLettersWhateverTheLocale)
{
    CPackImage image(16);
    image.Store(u"\u00c9t\u00e9.txt", Pattern(3), {0});
    image.Store(u"\u00e9t\u00e9.txt", Pattern(4), {1});
    const std::string base = m_dir.File("accents");
    image.Write(base);
    const std::string previous = std::setlocale(LC_ALL, nullptr);
    for (const char* locale : {"C", "C.UTF-8"}) {
        if (!std::setlocale(LC_ALL, locale))
            continue;
        COruPack pack;
        ASSERT_TRUE(pack.OpenOruPack(Wide(base), ORU_PACK_MODE_READ, 512));
        EXPECT_EQ(ReadEntry(pack, L"\u00c9T\u00e9.TXT"), Pattern(3)) << locale;
        EXPECT_EQ(ReadEntry(pack, L"\u00e9T\u00e9.txt"), Pattern(4)) << locale;
    }
    std::setlocale(LC_ALL, previous.c_str());
}

// Destroying a copy of the manager leaves the real one in place.
TEST_F(PackManager, ACopyThatGoesAwayLeavesTheManagerConnected)
{
    ASSERT_TRUE(InitOruPack(Wide(WriteSamplePack())));
    COruPack* pManager = &OruPack();
    { COruPack copy(OruPack()); }
    EXPECT_EQ(&OruPack(), pManager);
    EXPECT_EQ(OruPack().GetFileList()->size(), 3u);
}

TEST_F(PackManager, ListsUpperCaseNamesFromAnotherToolButNeverFindsThem)
{
    CPackImage image(16);
    image.Store(u"Big.DAT", Pattern(5), {0});
    const std::string base = m_dir.File("upper");
    image.Write(base);
    COruPack pack;
    ASSERT_TRUE(pack.OpenOruPack(Wide(base), ORU_PACK_MODE_READ, 512));
    EXPECT_EQ(pack.GetFileList()->count(L"Big.DAT"), 1u);
    EXPECT_EQ(pack.OpenFile(L"Big.DAT", false), nullptr);
    EXPECT_EQ(pack.OpenFile(L"big.dat", false), nullptr);
}

TEST_F(PackManager, KeepsTheLastRecordOfARepeatedName)
{
    CPackImage image(16);
    image.Store(u"same", ToBytes("first"), {0});
    image.Store(u"same", ToBytes("second!"), {1});
    const std::string base = m_dir.File("twice");
    image.Write(base);
    COruPack pack;
    ASSERT_TRUE(pack.OpenOruPack(Wide(base), ORU_PACK_MODE_READ, 512));
    ASSERT_EQ(pack.GetFileList()->size(), 1u);
    EXPECT_EQ(ReadEntry(pack, L"same"), ToBytes("second!"));
}

TEST_F(PackManager, FailsToOpenAMissingPackAndForgetsThePreviousOne)
{
    COruPack pack;
    ASSERT_TRUE(pack.OpenOruPack(Wide(WriteSamplePack()), ORU_PACK_MODE_READ, 512));
    EXPECT_FALSE(pack.OpenOruPack(Wide(m_dir.File("absent")), ORU_PACK_MODE_READ, 512));
    EXPECT_TRUE(pack.GetFileList()->empty());
    EXPECT_EQ(pack.OpenFile(L"readme.txt", false), nullptr);
}

// An index cut anywhere, or claiming more than it holds, stops at its end:
// the open fails and keeps the records that were whole.
TEST_F(PackManager, StopsAtTheEndOfADamagedIndex)
{
    CPackImage image(16);
    image.Store(u"one", ToBytes("1"), {0});
    image.Store(u"two", ToBytes("2"), {1});
    const Bytes full = image.IndexBytes();
    const size_t firstRecordEnd = 24 + 8 + 36;
    const std::string base = m_dir.File("cut");
    image.Write(base);
    COruPack pack;
    for (size_t length = 0; length < full.size() - 1; ++length) {  // the usage table is not read here
        Spit(base + ".odx", Bytes(full.begin(), full.begin() + static_cast<long>(length)));
        EXPECT_FALSE(pack.OpenOruPack(Wide(base), ORU_PACK_MODE_READ, 512)) << length;
        EXPECT_EQ(pack.GetFileList()->size(), length >= firstRecordEnd ? 1u : 0u) << length;
    }

    image.m_nFileCountOverride = 0xFFFFFFFFu - 1;
    Spit(base + ".odx", image.IndexBytes());
    EXPECT_FALSE(pack.OpenOruPack(Wide(base), ORU_PACK_MODE_READ, 512));
    EXPECT_EQ(pack.GetFileList()->size(), 2u);
    EXPECT_EQ(ReadEntry(pack, L"two"), ToBytes("2"));
}

TEST_F(PackManager, OpensAnExistingPackForWritingWithItsUsageTable)
{
    const std::string base = WriteSamplePack();
    const Bytes indexBefore = Slurp<Bytes>(base + ".odx");
    CPackProbe pack;
    EXPECT_EQ(pack.GetLastOpenResult(), ORU_PACK_OPEN_NONE);
    EXPECT_TRUE(pack.OpenOruPack(Wide(base), ORU_PACK_MODE_WRITE, 4096));
    EXPECT_EQ(pack.GetLastOpenResult(), ORU_PACK_OPENED);
    EXPECT_EQ(pack.m_vecSectorUsed, (std::vector<uint8_t>{1, 1, 1, 1, 1, 1}));
    EXPECT_TRUE(pack.m_pDataFile);
    EXPECT_TRUE(pack.m_mapDirIndex.empty());
    EXPECT_EQ(+pack.GetPackInfo()->sector_size, 16u);  // the pack's own, not the argument
    EXPECT_FALSE(pack.m_bModified);
    pack.CloseOruPack();
    EXPECT_FALSE(pack.m_pDataFile);
    EXPECT_EQ(Slurp<Bytes>(base + ".odx"), indexBefore);
}

TEST_F(PackManager, RefusesToEditAPackWhoseUsageTableIsCut)
{
    const std::string base = WriteSamplePack();
    Bytes index = Slurp<Bytes>(base + ".odx");
    index.pop_back();
    Spit(base + ".odx", index);
    CPackProbe pack;
    EXPECT_FALSE(pack.OpenOruPack(Wide(base), ORU_PACK_MODE_WRITE, 512));
    EXPECT_EQ(pack.GetLastOpenResult(), ORU_PACK_OPEN_FAILED);
    EXPECT_FALSE(pack.m_pDataFile);
    EXPECT_FALSE(pack.m_bModified);
    EXPECT_EQ(Slurp<Bytes>(base + ".opk").size(), 6u * 24);
}

// Without an index a pack is created over a missing or empty data file; a
// data file that holds bytes is someone's data (its index was lost) and is
// left exactly as it is.
TEST_F(PackManager, CreatesANewPackOnlyWhereNoDataWouldBeLost)
{
    for (const size_t stale : {SIZE_MAX, size_t{0}, size_t{100}}) {
        const std::string base = m_dir.File("fresh" + std::to_string(stale));
        if (stale != SIZE_MAX)
            Spit(base + ".opk", Pattern(stale));
        CPackProbe pack;
        EXPECT_FALSE(pack.OpenOruPack(Wide(base), ORU_PACK_MODE_WRITE, 1024));
        const bool created = stale != 100;
        EXPECT_EQ(pack.GetLastOpenResult(), created ? ORU_PACK_CREATED : ORU_PACK_OPEN_FAILED)
            << stale;
        EXPECT_EQ(pack.m_pDataFile != nullptr, created) << stale;
        EXPECT_EQ(pack.m_bModified, created) << stale;
        EXPECT_EQ(std::filesystem::file_size(base + ".opk"), created ? 0u : 100u) << stale;
        pack.CloseOruPack();
        EXPECT_EQ(std::filesystem::exists(base + ".odx"), created) << stale;
        if (!created)
            continue;
        const _oru_pack_header& header = *pack.GetPackInfo();
        EXPECT_EQ(+header.version, 1u);
        EXPECT_EQ(+header.sector_size, 1024u);
        EXPECT_EQ(header.sector_count + header.data_size + header.file_count +
                      header.total_file_size, 0u);
    }
}

// An index that exists but cannot be read is not a missing one: creating a
// new pack there would empty the data file of a real one.
TEST_F(PackManager, NeverEmptiesTheDataFileOfAnIndexItCannotRead)
{
    const std::string base = m_dir.File("locked");
    std::filesystem::create_directory(base + ".odx");
    Spit(base + ".opk", Pattern(100));
    CPackProbe pack;
    EXPECT_FALSE(pack.OpenOruPack(Wide(base), ORU_PACK_MODE_WRITE, 512));
    EXPECT_FALSE(pack.m_pDataFile);
    EXPECT_FALSE(pack.m_bModified);
    EXPECT_EQ(Slurp<Bytes>(base + ".opk"), Pattern(100));
}

TEST_F(PackManager, CreatesNoPackWithASectorSizeThatCannotWork)
{
    for (const uint32_t sectorSize : {0u, 0x7FFFFFF8u, 0xFFFFFFFFu}) {
        const std::string base = m_dir.File("bad" + std::to_string(sectorSize));
        CPackProbe pack;
        EXPECT_FALSE(pack.OpenOruPack(Wide(base), ORU_PACK_MODE_WRITE, sectorSize));
        EXPECT_EQ(pack.GetLastOpenResult(), ORU_PACK_OPEN_FAILED);
        EXPECT_FALSE(pack.m_pDataFile);
        EXPECT_FALSE(std::filesystem::exists(base + ".opk"));
    }
}

TEST_F(PackManager, CopiesTablesButNeverTheDataFileOrTheLists)
{
    auto pOriginal = std::make_unique<CPackProbe>();
    ASSERT_TRUE(pOriginal->OpenOruPack(Wide(WriteSamplePack()), ORU_PACK_MODE_READ, 512));
    CPackProbe copy(*pOriginal);
    EXPECT_EQ(COruPack::m_pSingleton, pOriginal.get());
    EXPECT_NE(copy.m_mapDirIndex.at(L"map").get(), pOriginal->m_mapDirIndex.at(L"map").get());
    pOriginal.reset();  // its lists go; the copy's must stay, over the copy's own entries
    const auto& list = *copy.m_mapDirIndex.at(L"map");
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0], copy.GetFileList()->find(L"map\\sub\\a.dat"));
    EXPECT_EQ(list[1], copy.GetFileList()->find(L"map\\town.xml"));
    EXPECT_EQ(ReadEntry(copy, L"readme.txt", true), m_readme);

    const std::string base = m_dir.File("writable");
    CPackProbe writer;
    writer.OpenOruPack(Wide(base), ORU_PACK_MODE_WRITE, 512);
    ASSERT_TRUE(writer.m_pDataFile);
    CPackProbe assigned;
    assigned = writer;
    EXPECT_FALSE(assigned.m_pDataFile);
    EXPECT_TRUE(writer.m_pDataFile);
    assigned = assigned;
    EXPECT_EQ(+assigned.GetPackInfo()->sector_size, 512u);
}

TEST_F(PackManager, StreamsOutliveTheCloseAndTheManager)
{
    ASSERT_TRUE(InitOruPack(Wide(WriteSamplePack())));
    COruFile* pFirst = OruPack().OpenFile(L"readme.txt", false);
    COruFile* pSecond = OruPack().OpenFile(L"readme.txt", false);
    ASSERT_TRUE(pFirst && pSecond);
    uint8_t head[10];
    ASSERT_EQ(pFirst->Fread(head, 1, 10), 10u);
    OruPack().CloseOruPack();
    COruFile* pAfterClose = OruPack().OpenFile(L"readme.txt", false);
    ASSERT_NE(pAfterClose, nullptr);
    COruPack::DeleteInstance();

    // Each stream has its own position.
    EXPECT_EQ(ReadAll(*pSecond, 100), m_readme);
    EXPECT_EQ(ReadAll(*pFirst, 100), Bytes(m_readme.begin() + 10, m_readme.end()));
    EXPECT_EQ(ReadAll(*pAfterClose, 100), m_readme);
    oru_fclose(pFirst);
    oru_fclose(pSecond);
    oru_fclose(pAfterClose);
}

TEST_F(PackManager, OpensAndReadsStreamsFromSeveralThreadsAtOnce)
{
    ASSERT_TRUE(InitOruPack(Wide(WriteSamplePack())));
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                COruFile* pFile = OruPack().OpenFile(i % 2 ? L"readme.txt" : L"map\\sub\\a.dat", t % 2 == 0);
                if (!pFile || ReadAll(*pFile, 100) != (i % 2 ? m_readme : m_a))
                    ++failures;
                oru_fclose(pFile);
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
}

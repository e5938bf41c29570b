// Adding, replacing and deleting entries, and the index saved at close,
// checked against index and data bytes assembled here from the layout.

#include <oru/pack/oru_pack.h>

#include "pack_builder.h"
#include "platform/file.h"
#include "platform/files.h"
#include "support/file_size_limit.h"
#include "support/system.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <string>

using namespace oru::test;

namespace {

constexpr uint32_t SECTOR = 512;
// FILETIME counts: 1970-01-01, one minute, and a write time with a part of a
// second that a truncation to seconds or microseconds would lose.
constexpr uint64_t UNIX_EPOCH_AS_FILE_TIME = 116444736000000000ull;
constexpr uint64_t MINUTE = 600000000ull;
constexpr uint64_t WRITTEN = UNIX_EPOCH_AS_FILE_TIME + 16000000001234567ull;

class CEditProbe : public COruPack {
public:
    using COruPack::m_bModified;
    using COruPack::m_pDataFile;
    using COruPack::m_vecSectorUsed;
};

// The expected index, built field by field.
struct CExpectedIndex {
    Bytes m_bytes;

    CExpectedIndex(uint32_t sectorCount, uint32_t dataSize, uint32_t fileCount, uint32_t total)
    {
        AppendU32(m_bytes, 1);
        AppendU32(m_bytes, SECTOR);
        AppendU32(m_bytes, sectorCount);
        AppendU32(m_bytes, dataSize);
        AppendU32(m_bytes, fileCount);
        AppendU32(m_bytes, total);
    }
    void Entry(const std::u16string& name, uint32_t size, uint32_t first, uint32_t sectors,
               const oru::platform::CFileTimes& times)
    {
        for (const char16_t unit : name)
            AppendU16(m_bytes, static_cast<uint16_t>(unit ^ 0xB5));
        AppendU16(m_bytes, 0xB5);
        AppendU32(m_bytes, size);
        AppendU32(m_bytes, first);
        AppendU32(m_bytes, sectors);
        AppendU64(m_bytes, times.m_nCreation);
        AppendU64(m_bytes, times.m_nAccess);
        AppendU64(m_bytes, times.m_nWrite);
    }
    void Usage(std::initializer_list<uint8_t> table) { m_bytes.insert(m_bytes.end(), table); }
};

// One sector of the expected data file: links, then the payload zero-padded.
void AppendSector(Bytes& data, uint32_t next, uint32_t prev, const Bytes& content, size_t from)
{
    AppendU32(data, next);
    AppendU32(data, prev);
    const size_t n = std::min<size_t>(SECTOR, content.size() - from);
    data.insert(data.end(), content.begin() + static_cast<long>(from),
                content.begin() + static_cast<long>(from + n));
    data.resize(data.size() + SECTOR - n, 0);
}

class PackEdit : public ::testing::Test {
protected:
    PackEdit()
    {
        std::filesystem::create_directories(m_dir.Path() / "src");
        m_base = m_dir.File("pack");
    }
    void TearDown() override { COruPack::DeleteInstance(); }

    // Writes a source file under src/ (a relative path with '/').
    Bytes Source(const std::string& relative, const Bytes& content)
    {
        const std::filesystem::path path = m_dir.Path() / "src" / relative;
        std::filesystem::create_directories(path.parent_path());
        Spit(path.string(), content);
        // The write time in the past and the access time a little after now,
        // so that opening or reading the source (relatime; Wine reads a file
        // as it opens it) moves neither before the pack records them.
        const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
        const uint64_t now = UNIX_EPOCH_AS_FILE_TIME + static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(sinceEpoch).count()) * 10u;
        EXPECT_TRUE(oru::test::SetSystemFileTimes(path.string(), now + MINUTE, WRITTEN));
        m_mapTimes[relative] = oru::test::SystemFileTimes(path.string());
        return content;
    }
    oru::platform::CFileTimes TimesOf(const std::string& relative) { return m_mapTimes[relative]; }
    // Opens (or creates) the pack for writing with src/ as the work folder.
    void OpenForWriting(CEditProbe& pack)
    {
        pack.OpenOruPack(Wide(m_base), ORU_PACK_MODE_WRITE, SECTOR);
        pack.SetWorkDir(Wide(m_dir.File("src/")));
    }
    // Makes a pack of the named sources, added in this order, and saves it.
    void SavePackOf(std::initializer_list<const wchar_t*> names)
    {
        CEditProbe pack;
        OpenForWriting(pack);
        for (const wchar_t* name : names)
            ASSERT_TRUE(pack.AddFile(name)) << name;
    }
    uint64_t DataFileSize() const { return std::filesystem::file_size(m_base + ".opk"); }
    // A pack of `sectorCount` sectors and no entries, with an empty data file.
    Bytes WriteEmptyPack(uint32_t sectorSize, uint32_t sectorCount, uint8_t usage)
    {
        Bytes index;
        for (const uint32_t field : {1u, sectorSize, sectorCount, 0u, 0u, 0u})
            AppendU32(index, field);
        index.push_back(usage);
        Spit(m_base + ".odx", index);
        Spit(m_base + ".opk", Bytes{});
        return index;
    }
    uint64_t IndexIdentity() const { return oru::test::FileIdentity(m_base + ".odx"); }

    CTempDir m_dir;
    std::string m_base;
    std::map<std::string, oru::platform::CFileTimes> m_mapTimes;
};

}  // namespace

// A new pack gets a 1-byte file, then a 1025-byte one; the first is deleted,
// the pack saved, and a 600-byte file takes the lowest free sector and one
// appended sector.
TEST_F(PackEdit, FollowsTheWorkedExampleByteForByte)
{
    const Bytes a = Source("a", Pattern(1, 1));
    const Bytes b = Source("b", Pattern(1025, 2));
    const Bytes c = Source("c", Pattern(600, 3));
    {
        CEditProbe pack;
        OpenForWriting(pack);
        ASSERT_TRUE(pack.AddFile(L"a"));
        const _oru_pack_header& header = *pack.GetPackInfo();
        EXPECT_EQ(DataFileSize(), 520u);
        EXPECT_EQ(header.sector_count, 1u);
        EXPECT_EQ(header.data_size, 520u);
        EXPECT_EQ(header.file_count, 1u);
        EXPECT_EQ(header.total_file_size, 1u);
        const _oru_pack_file_info& infoA = pack.GetFileList()->at(L"a");
        EXPECT_EQ(infoA.size, 1u);
        EXPECT_EQ(infoA.first_sector, 0u);
        EXPECT_EQ(infoA.sector_count, 1u);

        ASSERT_TRUE(pack.AddFile(L"b"));
        EXPECT_EQ(DataFileSize(), 2080u);
        EXPECT_EQ(header.data_size, 2080u);
        Bytes expected;
        AppendSector(expected, 0, 0, a, 0);
        AppendSector(expected, 2, 1, b, 0);
        AppendSector(expected, 3, 1, b, 512);
        AppendSector(expected, 3, 2, b, 1024);
        EXPECT_EQ(Slurp<Bytes>(m_base + ".opk"), expected);

        ASSERT_TRUE(pack.DelFile(L"a"));
        EXPECT_FALSE(std::filesystem::exists(m_base + ".odx"));  // saved only at close
        // Sector 0 becomes free for new data once the deletion is saved.
        pack.CloseOruPack();
        OpenForWriting(pack);
        ASSERT_TRUE(pack.AddFile(L"c"));
        EXPECT_EQ(DataFileSize(), 2600u);
        EXPECT_EQ(pack.GetFileList()->at(L"c").first_sector, 0u);
    }

    CExpectedIndex index(5, 2600, 2, 1625);
    index.Entry(u"b", 1025, 1, 3, TimesOf("b"));
    index.Entry(u"c", 600, 0, 2, TimesOf("c"));
    index.Usage({0x1F});
    EXPECT_EQ(Slurp<Bytes>(m_base + ".odx"), index.m_bytes);
    Bytes data;
    AppendSector(data, 4, 0, c, 0);
    AppendSector(data, 2, 1, b, 0);
    AppendSector(data, 3, 1, b, 512);
    AppendSector(data, 3, 2, b, 1024);
    AppendSector(data, 4, 0, c, 512);
    EXPECT_EQ(Slurp<Bytes>(m_base + ".opk"), data);

    ASSERT_TRUE(InitOruPack(Wide(m_base)));
    EXPECT_EQ(ReadEntry(OruPack(), L"b"), b);
    EXPECT_EQ(ReadEntry(OruPack(), L"c"), c);
    EXPECT_EQ(OruPack().OpenFile(L"a", false), nullptr);
}

TEST_F(PackEdit, StoresSizesAroundTheSectorEdgesAndReadsThemBack)
{
    // 512 * 512 + 1 crosses the copy buffer's end by one byte.
    const std::vector<uint32_t> sizes = {0,    1,    511,     512,         513,
                                         1024, 1025, 3 * 512, 3 * 512 + 1, 512 * 512 + 1};
    {
        CEditProbe pack;
        OpenForWriting(pack);
        for (const uint32_t size : sizes) {
            Source("f" + std::to_string(size), Pattern(size, size));
            ASSERT_TRUE(pack.AddFile(Wide("f" + std::to_string(size)))) << size;
            const _oru_pack_file_info& info = pack.GetFileList()->at(Wide("f" + std::to_string(size)));
            EXPECT_EQ(info.size, size);
            EXPECT_EQ(info.sector_count, size == 0 ? 1 : (size + 511) / 512) << size;
        }
    }
    COruPack reader;
    ASSERT_TRUE(reader.OpenOruPack(Wide(m_base), ORU_PACK_MODE_READ, SECTOR));
    EXPECT_EQ(reader.GetPackInfo()->file_count, sizes.size());
    for (const uint32_t size : sizes)
        EXPECT_EQ(ReadEntry(reader, Wide("f" + std::to_string(size))), Pattern(size, size)) << size;
    EXPECT_EQ(DataFileSize(), uint64_t{reader.GetPackInfo()->sector_count} * 520);
}

// Content handed over in memory is laid out exactly as a source file's, and
// the entry takes the times it is given.
TEST_F(PackEdit, StoresContentGivenInMemoryAsItStoresAFile)
{
    const std::vector<uint32_t> sizes = {0, 1, 511, 512, 513, 512 * 512 + 1};
    const oru::platform::CFileTimes times{111, 222, 333};
    CEditProbe pack;
    OpenForWriting(pack);
    Bytes expected;
    uint32_t first = 0;
    for (const uint32_t size : sizes) {
        const Bytes content = Pattern(size, size);
        const std::wstring name = Wide("M" + std::to_string(size));
        ASSERT_TRUE(pack.AddFileData(name, content.data(), size, 111, 222, 333)) << size;
        const uint32_t count = size == 0 ? 1 : (size + SECTOR - 1) / SECTOR;
        for (uint32_t i = 0; i < count; ++i)
            AppendSector(expected, first + std::min(i + 1, count - 1), first + (i == 0 ? 0 : i - 1),
                         content, size_t{i} * SECTOR);
        const _oru_pack_file_info& info = pack.GetFileList()->at(Wide("m" + std::to_string(size)));
        EXPECT_EQ(info.first_sector, first) << size;
        EXPECT_EQ(info.sector_count, count) << size;
        EXPECT_EQ((std::vector<uint64_t>{info.creation_time, info.last_access_time,
                                         info.last_write_time}),
                  (std::vector<uint64_t>{times.m_nCreation, times.m_nAccess, times.m_nWrite}));
        first += count;
    }
    EXPECT_EQ(Slurp<Bytes>(m_base + ".opk"), expected);

    // A replacement from memory keeps the old content until the save, as
    // AddFile does; a null buffer with bytes to store is refused.
    const Bytes replacement = Pattern(20, 7);
    ASSERT_TRUE(pack.AddFileData(L"m1", replacement.data(), 20, 1, 2, 3));
    EXPECT_FALSE(pack.AddFileData(L"m2", nullptr, 5, 1, 2, 3));
    EXPECT_EQ(ReadEntry(pack, L"m1"), replacement);
    EXPECT_EQ(pack.GetPackInfo()->file_count, sizes.size());
    pack.CloseOruPack();
    EXPECT_FALSE(pack.AddFileData(L"m3", replacement.data(), 20, 1, 2, 3));
}

// A sector larger than the copy buffer gets room only for the content; the
// data file still ends at the end of the last sector.
TEST_F(PackEdit, EndsTheDataFileAtTheLastSectorWhenSectorsAreLarge)
{
    constexpr uint32_t LARGE = 1024 * 1024;
    {
        COruPack pack;
        pack.OpenOruPack(Wide(m_base), ORU_PACK_MODE_WRITE, LARGE);
        const Bytes small = Pattern(10, 1);
        const Bytes big = Pattern(LARGE + 5, 2);
        ASSERT_TRUE(pack.AddFileData(L"small", small.data(), 10, 0, 0, 0));
        EXPECT_EQ(DataFileSize(), LARGE + 8u);
        ASSERT_TRUE(pack.AddFileData(L"big", big.data(), LARGE + 5, 0, 0, 0));
        EXPECT_EQ(DataFileSize(), 3 * (LARGE + 8u));
    }
    const Bytes data = Slurp<Bytes>(m_base + ".opk");
    ASSERT_EQ(data.size(), 3 * (LARGE + 8u));
    EXPECT_TRUE(std::all_of(data.begin() + 8 + 10, data.begin() + LARGE + 8,
                            [](uint8_t byte) { return byte == 0; }));
    COruPack reader;
    ASSERT_TRUE(reader.OpenOruPack(Wide(m_base), ORU_PACK_MODE_READ, LARGE));
    EXPECT_EQ(ReadEntry(reader, L"small"), Pattern(10, 1));
    EXPECT_EQ(ReadEntry(reader, L"big"), Pattern(LARGE + 5, 2));
}

// Copy-on-write: a replacement and a deletion leave the old sectors alone
// until the index that stops using them is saved; after that save they are
// the lowest free sectors like any other.
TEST_F(PackEdit, ReusesTheSectorsOfAReplacedEntryOnlyAfterTheSave)
{
    const Bytes big = Source("big", Pattern(1025));
    Source("one", Pattern(1));
    ASSERT_NO_FATAL_FAILURE(SavePackOf({L"big", L"one"}));  // sectors 0, 1, 2, then 3
    const Bytes oldData = Slurp<Bytes>(m_base + ".opk");
    const Bytes smaller = Source("big", Pattern(600, 9));
    CEditProbe pack;
    EXPECT_TRUE(pack.OpenOruPack(Wide(m_base), ORU_PACK_MODE_WRITE, SECTOR));
    pack.SetWorkDir(Wide(m_dir.File("src/")));
    ASSERT_TRUE(pack.AddFile(L"big"));
    const _oru_pack_header& header = *pack.GetPackInfo();
    EXPECT_EQ(header.file_count, 2u);
    EXPECT_EQ(header.total_file_size, 601u);
    EXPECT_EQ(header.sector_count, 6u);
    EXPECT_EQ(pack.GetFileList()->at(L"big").first_sector, 4u);
    ASSERT_TRUE(pack.DelFile(L"one"));
    Source("x", Pattern(10, 4));
    ASSERT_TRUE(pack.AddFile(L"x"));  // nothing free yet: appended
    EXPECT_EQ(pack.GetFileList()->at(L"x").first_sector, 6u);
    const Bytes data = Slurp<Bytes>(m_base + ".opk");
    EXPECT_TRUE(std::equal(oldData.begin(), oldData.end(), data.begin()));

    pack.CloseOruPack();
    EXPECT_EQ(Slurp<Bytes>(m_base + ".odx").back(), 0x70);  // sectors 4, 5 and 6
    EXPECT_EQ(ReadEntry(pack, L"big"), smaller);
    OpenForWriting(pack);
    Source("y", Pattern(1100, 5));
    ASSERT_TRUE(pack.AddFile(L"y"));
    EXPECT_EQ(pack.GetFileList()->at(L"y").first_sector, 0u);
    EXPECT_EQ(pack.m_vecSectorUsed, (std::vector<uint8_t>{1, 1, 1, 0, 1, 1, 1}));
}

// The source is found under the name as written (backslashes being folder
// separators), the entry is stored under the lower-case name.
TEST_F(PackEdit, ReadsTheSourceAsNamedAndStoresTheNameFolded)
{
    const Bytes town = Source("Map/Town.XML", ToBytes("<town/>"));
    CEditProbe pack;
    OpenForWriting(pack);
    if (!MissingFeature(eTestFeature::CASE_SENSITIVE_NAMES)) {
        EXPECT_FALSE(pack.AddFile(L"map\\town.xml"));  // no such source
    }
    ASSERT_TRUE(pack.AddFile(L"Map\\Town.XML"));
    ASSERT_EQ(pack.GetFileList()->count(L"map\\town.xml"), 1u);
    EXPECT_EQ(ReadEntry(pack, L"MAP\\TOWN.xml"), town);
}

// Names are saved in UTF-16 order: a character above U+FFFF (a surrogate
// pair, D83D DE00) sorts before U+FFFD although its code point is larger.
TEST_F(PackEdit, SavesNamesInUtf16Order)
{
    Source("x", Pattern(3));
    Source("y", Pattern(4));
    {
        CEditProbe pack;
        OpenForWriting(pack);
        // Named as UTF-8 text: a narrow path is in the ANSI code page on Windows.
        std::filesystem::rename(m_dir.File("src/x"), m_dir.Path() / "src" / std::filesystem::path(u8"\uFFFD"));
        std::filesystem::rename(m_dir.File("src/y"), m_dir.Path() / "src" / std::filesystem::path(u8"\U0001F600"));
        ASSERT_TRUE(pack.AddFile(L"\uFFFD"));
        ASSERT_TRUE(pack.AddFile(L"\U0001F600"));
    }
    const Bytes index = Slurp<Bytes>(m_base + ".odx");
    ASSERT_GT(index.size(), 30u);
    EXPECT_EQ(index[24] | (index[25] << 8), 0xD83D ^ 0xB5);
    EXPECT_EQ(index[26] | (index[27] << 8), 0xDE00 ^ 0xB5);
    COruPack reader;
    ASSERT_TRUE(reader.OpenOruPack(Wide(m_base), ORU_PACK_MODE_READ, SECTOR));
    EXPECT_EQ(ReadEntry(reader, L"\U0001F600"), Pattern(4));
    EXPECT_EQ(ReadEntry(reader, L"\uFFFD"), Pattern(3));
}

// Opening and closing, a failed deletion or a failed addition leave the index
// file as it was: not even rewritten with the same bytes.
TEST_F(PackEdit, RewritesTheIndexOnlyWhenSomethingChanged)
{
    Source("a", Pattern(10));
    Source("b", Pattern(20));
    ASSERT_NO_FATAL_FAILURE(SavePackOf({L"a", L"b"}));
    const Bytes before = Slurp<Bytes>(m_base + ".odx");
    const uint64_t identity = IndexIdentity();
    {
        CEditProbe pack;
        OpenForWriting(pack);
        EXPECT_FALSE(pack.DelFile(L"absent"));
        EXPECT_FALSE(pack.AddFile(L"absent"));
        std::filesystem::create_directory(m_dir.Path() / "src" / "folder");
        EXPECT_FALSE(pack.AddFile(L"folder"));
        EXPECT_FALSE(pack.m_bModified);
    }
    EXPECT_EQ(IndexIdentity(), identity);

    const uint64_t dataSize = DataFileSize();
    {
        CEditProbe pack;
        OpenForWriting(pack);
        ASSERT_TRUE(pack.DelFile(L"A"));
    }
    EXPECT_NE(IndexIdentity(), identity);
    EXPECT_EQ(DataFileSize(), dataSize);
    CExpectedIndex index(2, 1040, 1, 20);
    index.Entry(u"b", 20, 1, 1, TimesOf("b"));
    index.Usage({0x02});
    EXPECT_EQ(Slurp<Bytes>(m_base + ".odx"), index.m_bytes);
    EXPECT_NE(Slurp<Bytes>(m_base + ".odx"), before);
}

// A source that cannot be read is found out before the old entry of that
// name is touched.
TEST_F(PackEdit, LeavesTheOldEntryWhenTheNewSourceCannotBeRead)
{
    const Bytes old = Source("a", Pattern(700));
    CEditProbe pack;
    OpenForWriting(pack);
    ASSERT_TRUE(pack.AddFile(L"a"));
    pack.CloseOruPack();
    OpenForWriting(pack);
    std::filesystem::remove(m_dir.File("src/a"));
    std::filesystem::create_directory(m_dir.File("src/a"));
    EXPECT_FALSE(pack.AddFile(L"a"));
    EXPECT_FALSE(pack.m_bModified);
    EXPECT_EQ(pack.m_vecSectorUsed, (std::vector<uint8_t>{1, 1}));
    EXPECT_EQ(ReadEntry(pack, L"a"), old);
}

TEST_F(PackEdit, RefusesEditsWithoutAPackOpenForWriting)
{
    Source("a", Pattern(10));
    CEditProbe pack;
    pack.SetWorkDir(Wide(m_dir.File("src/")));
    EXPECT_FALSE(pack.AddFile(L"a"));  // nothing open yet
    OpenForWriting(pack);
    ASSERT_TRUE(pack.AddFile(L"a"));
    pack.CloseOruPack();
    EXPECT_FALSE(pack.AddFile(L"a"));
    EXPECT_FALSE(pack.DelFile(L"a"));
    ASSERT_TRUE(pack.OpenOruPack(Wide(m_base), ORU_PACK_MODE_READ, SECTOR));
    EXPECT_FALSE(pack.DelFile(L"a"));
    EXPECT_EQ(pack.GetFileList()->size(), 1u);
}

// Sectors past the last numbered one (an earlier run that never saved) stay
// where they are: new sectors are numbered on from sector_count, their zeros
// go at the real end and their content at their numbered place.
TEST_F(PackEdit, NumbersNewSectorsFromTheCountWhenTheDataFileIsLonger)
{
    Source("a", Pattern(10));
    const Bytes b = Source("b", Pattern(20, 5));
    ASSERT_NO_FATAL_FAILURE(SavePackOf({L"a"}));
    Bytes data = Slurp<Bytes>(m_base + ".opk");
    const Bytes leftover = Pattern(520 + 100, 7);
    data.insert(data.end(), leftover.begin(), leftover.end());
    Spit(m_base + ".opk", data);

    CEditProbe pack;
    OpenForWriting(pack);
    ASSERT_TRUE(pack.AddFile(L"b"));
    EXPECT_EQ(pack.GetFileList()->at(L"b").first_sector, 1u);
    EXPECT_EQ(DataFileSize(), 520u + 620u + 520u);
    Bytes expected(data.begin(), data.begin() + 520);
    AppendU32(expected, 1);
    AppendU32(expected, 1);
    expected.insert(expected.end(), b.begin(), b.end());
    expected.insert(expected.end(), leftover.begin() + 28, leftover.end());
    expected.resize(expected.size() + 520, 0);
    EXPECT_EQ(Slurp<Bytes>(m_base + ".opk"), expected);
}

// Near the format's limit of 2^31 data-file bytes an addition that would
// pass it is refused before anything changes; one that fits in a free
// sector still goes in. A sector of 2^30 - 8 payload bytes makes two
// sectors reach the limit without writing a large file.
TEST_F(PackEdit, RefusesAnAdditionThatWouldReachTwoGigabytes)
{
    constexpr uint32_t HUGE_SECTOR = (1u << 30) - 8;
    Source("a", Pattern(5));

    WriteEmptyPack(HUGE_SECTOR, 1, 0x01);  // the only sector is taken
    CEditProbe pack;
    OpenForWriting(pack);
    EXPECT_FALSE(pack.AddFile(L"a"));
    EXPECT_FALSE(pack.m_bModified);
    EXPECT_EQ(pack.GetPackInfo()->sector_count, 1u);
    EXPECT_EQ(DataFileSize(), 0u);
    pack.CloseOruPack();

    WriteEmptyPack(HUGE_SECTOR, 1, 0x00);
    OpenForWriting(pack);
    ASSERT_TRUE(pack.AddFile(L"a"));
    EXPECT_EQ(pack.GetPackInfo()->sector_count, 1u);
    EXPECT_EQ(DataFileSize(), 8u + 5u);
}

TEST_F(PackEdit, RefusesToEditAPackWithSectorSizeZero)
{
    const Bytes index = WriteEmptyPack(0, 0, 0);
    Source("a", Pattern(5));
    CEditProbe pack;
    OpenForWriting(pack);
    EXPECT_FALSE(pack.AddFile(L"a"));
    pack.CloseOruPack();
    EXPECT_EQ(Slurp<Bytes>(m_base + ".odx"), index);
}

// A data file that cannot grow: the addition fails, records nothing and
// gives its sectors back; the pack closes into a consistent state, in which
// a reused sector is handed out again.
TEST_F(PackEdit, FailsCleanlyWhenTheDiskIsFull)
{
    const Bytes small = Source("small", Pattern(700, 1));
    Source("large", Pattern(8000, 2));
    const bool childOk = oru::test::InChildWithFileSizeLimit(4000, [&] {
        CEditProbe pack;
        OpenForWriting(pack);
        if (!pack.AddFile(L"small") || !pack.DelFile(L"small") || !pack.AddFile(L"small"))
            return false;
        oru::test::DiskFullFromHere();
        const bool refused = !pack.AddFile(L"large");
        const bool nothingRecorded = pack.GetFileList()->size() == 1 &&
                                     pack.GetPackInfo()->total_file_size == 700;
        // The first copy's sectors are held until the save, the second's used.
        const bool sectorsFree = std::count(pack.m_vecSectorUsed.begin(),
                                            pack.m_vecSectorUsed.end(), 1) == 4;
        return refused && nothingRecorded && sectorsFree;
    });
    EXPECT_TRUE(childOk);

    CEditProbe pack;
    ASSERT_TRUE(pack.OpenOruPack(Wide(m_base), ORU_PACK_MODE_WRITE, SECTOR));
    EXPECT_EQ(ReadEntry(pack, L"small"), small);
    const size_t used = std::count(pack.m_vecSectorUsed.begin(), pack.m_vecSectorUsed.end(), 1);
    EXPECT_EQ(used, 2u);
    EXPECT_EQ(DataFileSize(), uint64_t{pack.GetPackInfo()->sector_count} * 520);
}

// A data file that takes no more writes: a replacement that would reuse
// free sectors records nothing and leaves those sectors free.
TEST_F(PackEdit, RecordsNothingWhenTheDataFileRefusesTheWrite)
{
    Source("a", Pattern(1100));
    Source("b", Pattern(10));
    CEditProbe pack;
    OpenForWriting(pack);
    ASSERT_TRUE(pack.AddFile(L"a"));
    ASSERT_TRUE(pack.AddFile(L"b"));  // after a's sectors, so that they are not cut off as a free tail
    ASSERT_TRUE(pack.DelFile(L"a"));
    pack.CloseOruPack();
    OpenForWriting(pack);
    pack.m_pDataFile = std::make_unique<oru::platform::CFile>(
        oru::platform::CFile::OpenRead(m_base + ".opk"));
    EXPECT_FALSE(pack.AddFile(L"a"));
    EXPECT_EQ(pack.GetFileList()->size(), 1u);
    EXPECT_EQ(pack.GetPackInfo()->total_file_size, 10u);
    EXPECT_EQ(pack.m_vecSectorUsed, (std::vector<uint8_t>{0, 0, 0, 1}));
}

// A save that cannot finish leaves the old index whole, no temporary file
// behind, and the changes still marked as unsaved. Small sectors make the
// index outgrow the data file, so only the save runs into the limit.
TEST_F(PackEdit, KeepsTheOldIndexWhenTheSaveFails)
{
    const auto name = [](int i) { return "entry-with-a-long-name-" + std::to_string(i); };
    for (int i = 0; i < 40; ++i)
        Source(name(i), Pattern(3, i));
    const auto open = [&](CEditProbe& pack) {
        pack.OpenOruPack(Wide(m_base), ORU_PACK_MODE_WRITE, 16);
        pack.SetWorkDir(Wide(m_dir.File("src/")));
    };
    {
        CEditProbe pack;
        open(pack);
        ASSERT_TRUE(pack.AddFile(Wide(name(0))));
    }
    const Bytes before = Slurp<Bytes>(m_base + ".odx");
    const bool childOk = oru::test::InChildWithFileSizeLimit(2000, [&] {
        CEditProbe pack;
        open(pack);
        for (int i = 1; i < 40; ++i)
            if (!pack.AddFile(Wide(name(i))))
                return false;
        oru::test::DiskFullFromHere();
        pack.CloseOruPack();
        return pack.m_bModified;
    });
    EXPECT_TRUE(childOk);
    EXPECT_EQ(Slurp<Bytes>(m_base + ".odx"), before);
    size_t files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(m_dir.Path()))
        ++files;
    EXPECT_EQ(files, 3u);  // src, pack.odx, pack.opk
}

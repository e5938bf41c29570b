// The orupack tool, run as a program: trees round-tripped byte for byte,
// verify finding damage made on purpose, extraction kept inside its folder,
// and the exit statuses.

#include <oru/core/version.h>
#include <oru/pack/oru_pack.h>

#include "orupack_run.h"
#include "support/system.h"
#include "support/wide_text.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

using oru::test::eTestFeature;
using oru::test::MissingFeature;
using oru::test::RunOrupack;
using oru::test::Wide;
using CRun = oru::test::COrupackRun;

namespace {

// `text` as a gzip file, as the gzip tool would write it.
std::string Gzip(const std::string& text)
{
    z_stream z{};
    deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, text.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

class Orupack : public ::testing::Test {
protected:
    CRun Run(const std::string& args) const { return RunOrupack(args); }

    // A tree with the sizes around a sector, empty and nested folders,
    // compressible text and incompressible noise. Names are in lower case:
    // a pack keeps its names that way.
    void MakeTree(const fs::path& root)
    {
        m_tree = oru::test::SectorEdgeFiles();
        m_tree.insert(m_tree.end(), {
            {"text\\readme.txt", std::string(20000, 'a') + "the end\n"},
            {"text\\deep\\er\\noise.dat", Noise(70000, 4)},
            {"map\\town.xml", "<town name=\"harbour\"/>\n"},
        });
        for (const auto& [name, content] : m_tree) {
            std::string relative = name;
            std::replace(relative.begin(), relative.end(), '\\', '/');
            Spit(root / relative, content);
        }
    }

    std::string Base() const { return m_dir.File("pack"); }

    CTempDir m_dir;
    std::vector<std::pair<std::string, std::string>> m_tree;
};

// Compressed or not, and a sector size: the usual one, and an odd one that
// puts payload boundaries at odd places in every file.
class OrupackRoundTrip : public Orupack,
                         public ::testing::WithParamInterface<std::tuple<bool, uint32_t>> {};

}  // namespace

TEST_P(OrupackRoundTrip, ExtractsTheTreeItWasMadeFromByteForByte)
{
    const auto [compress, sectorSize] = GetParam();
    MakeTree(m_dir.Path() / "tree");
    // A file past what create holds in memory is copied from disk instead.
    m_tree.push_back({"big.bin", Noise(4 * 1024 * 1024 + 1, 5)});
    Spit(m_dir.Path() / "tree" / "big.bin", m_tree.back().second);
    // Every entry takes its own file's last write, wrapped or not.
    constexpr int64_t WRITTEN = 1500000000;
    const auto writeTime = std::chrono::file_clock::from_sys(std::chrono::sys_seconds(std::chrono::seconds(WRITTEN)));
    for (const auto& entry : fs::recursive_directory_iterator(m_dir.Path() / "tree")) {
        if (entry.is_regular_file())
            fs::last_write_time(entry.path(), writeTime);
    }
    const CRun create = Run("create " + Base() + " " + m_dir.File("tree") + (compress ? " --compress" : "") +
                            " --sector-size " + std::to_string(sectorSize));
    ASSERT_EQ(create.m_nStatus, 0) << create.m_strErr;
    EXPECT_EQ(Run("verify " + Base()).m_nStatus, 0);

    const CRun extract = Run("extract " + Base() + ".odx " + m_dir.File("out"));
    ASSERT_EQ(extract.m_nStatus, 0) << extract.m_strErr;
    size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(m_dir.Path() / "out"))
        files += entry.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, m_tree.size());
    for (const auto& [name, content] : m_tree) {
        std::string relative = name;
        std::replace(relative.begin(), relative.end(), '\\', '/');
        EXPECT_EQ(Slurp(m_dir.File("out/" + relative)), content) << name;
        EXPECT_EQ(Run("cat " + Base() + " " + relative).m_strOut, content) << name;
    }

    // Compression is used only where it makes the stored file smaller.
    COruPack pack;
    ASSERT_TRUE(pack.OpenOruPack(Wide(Base()), ORU_PACK_MODE_READ, 512));
    const auto& list = *pack.GetFileList();
    EXPECT_EQ(list.at(L"text\\readme.txt").size < 1000, compress);
    EXPECT_EQ(list.at(L"text\\deep\\er\\noise.dat").size, 70000u);
    EXPECT_EQ(list.at(L"one.bin").size, 1u);
    for (const auto& [name, info] : list) {
        const uint64_t written = info.last_write_time;  // a packed record: no reference to it
        EXPECT_EQ(written, WRITTEN * 10000000ULL + 116444736000000000ULL)
            << std::string(name.begin(), name.end());
    }
    const CRun listing = Run("list " + Base() + " --long");
    EXPECT_NE(listing.m_strOut.find("     20008 "), std::string::npos) << listing.m_strOut;
    EXPECT_NE(listing.m_strOut.find("text\\deep\\er\\noise.dat"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(PlainAndCompressed, OrupackRoundTrip,
                         ::testing::Combine(::testing::Bool(), ::testing::Values(512u, 67u)));

// Each kind of damage on its own copy of a good pack.
TEST_F(Orupack, VerifyFindsEachKindOfDamage)
{
    MakeTree(m_dir.Path() / "tree");
    ASSERT_EQ(Run("create " + Base() + " " + m_dir.File("tree") + " --compress").m_nStatus, 0);
    const std::string index = Slurp(Base() + ".odx");
    const std::string data = Slurp(Base() + ".opk");
    COruPack pack;
    ASSERT_TRUE(pack.OpenOruPack(Wide(Base()), ORU_PACK_MODE_READ, 512));
    const _oru_pack_file_info text = pack.GetFileList()->at(L"text\\readme.txt");
    const _oru_pack_file_info noise = pack.GetFileList()->at(L"text\\deep\\er\\noise.dat");
    const auto at = [](uint32_t sector, uint32_t offset) { return size_t{sector} * 520 + offset; };
    const auto putU32 = [](std::string& bytes, size_t offset, uint32_t value) {
        std::memcpy(&bytes[offset], &value, 4);
    };

    struct CDamage {
        const char* m_pWhat;
        std::string m_index, m_data;
    };
    std::vector<CDamage> damages;
    damages.push_back({"a flipped bit in compressed data", index, data});
    damages.back().m_data[at(text.first_sector, 40)] ^= 0x10;
    damages.push_back({"a used sector marked free", index, data});
    damages.back().m_index.back() = 0;
    damages.back().m_index[damages.back().m_index.size() - 2] = 0;
    damages.push_back({"a file count that is off", index, data});
    putU32(damages.back().m_index, 16, pack.GetPackInfo()->file_count + 1);
    damages.push_back({"a cut data file", index, data.substr(0, data.size() - 520)});
    damages.push_back({"a cut index", index.substr(0, index.size() - 1), data});
    damages.push_back({"an absurd sector count", index, data});
    putU32(damages.back().m_index, 8, 0xFFFFFFF0u);
    damages.push_back({"a plain entry that a reader would decode", index, data});
    const uint32_t plainSector = pack.GetFileList()->at(L"sector.bin").first_sector;
    damages.back().m_data[at(plainSector, 8)] = '\x1F';
    damages.back().m_data[at(plainSector, 9)] = '\x8B';
    // Two entries sharing a sector: the one-byte entry's record points into
    // the noise chain, whose sector names itself as the first.
    {
        std::string shared = index;
        const size_t record = shared.find(std::string("\xDA\x00\xDB\x00\xD0\x00", 6));  // "one"
        ASSERT_NE(record, std::string::npos);
        putU32(shared, record + 10 + 4, noise.first_sector);
        damages.push_back({"a sector in two chains", shared, data});
        // Both chains well formed, one sector each, and the table agreeing:
        // only the sharing itself is wrong.
        const uint32_t oneSector = pack.GetFileList()->at(L"one.bin").first_sector;
        putU32(shared, record + 10 + 4, plainSector);
        const size_t table = shared.size() - (pack.GetPackInfo()->sector_count / 8 + 1);
        shared[table + oneSector / 8] = static_cast<char>(shared[table + oneSector / 8] & ~(1 << (oneSector % 8)));
        damages.push_back({"two one-sector chains on one sector", shared, data});
    }

    EXPECT_EQ(Run("verify " + Base()).m_nStatus, 0);
    for (const CDamage& damage : damages) {
        Spit(m_dir.File("bad.odx"), damage.m_index);
        Spit(m_dir.File("bad.opk"), damage.m_data);
        const CRun verify = Run("verify " + m_dir.File("bad"));
        EXPECT_EQ(verify.m_nStatus, 1) << damage.m_pWhat;
        EXPECT_NE(verify.m_strErr.find("problem"), std::string::npos) << damage.m_pWhat;
    }
}

// Entry names that point outside the target folder, or through a symbolic
// link in it, are refused; the other entries are extracted all the same.
TEST_F(Orupack, ExtractNeverWritesOutsideItsFolder)
{
    Spit(m_dir.Path() / "src" / "ok.txt", "fine");
    Spit(m_dir.Path() / "src" / "abs", "absolute");
    Spit(m_dir.Path() / "up", "parent");
    Spit(m_dir.Path() / "src" / "link" / "victim.txt", "through a link");
    {
        COruPack pack;
        pack.OpenOruPack(Wide(Base()), ORU_PACK_MODE_WRITE, 512);
        pack.SetWorkDir(Wide(m_dir.File("src")));
        ASSERT_TRUE(pack.AddFile(L"\\abs"));  // stored with a leading separator
        pack.SetWorkDir(Wide(m_dir.File("src/")));
        ASSERT_TRUE(pack.AddFile(L"ok.txt"));
        ASSERT_TRUE(pack.AddFile(L"..\\up"));
        ASSERT_TRUE(pack.AddFile(L"link\\victim.txt"));
    }
    const fs::path out = m_dir.Path() / "out", outside = m_dir.Path() / "outside";
    const bool links = !MissingFeature(eTestFeature::SYMBOLIC_LINKS);
    fs::create_directories(out);
    fs::create_directories(outside);
    if (links)
        fs::create_directory_symlink(outside, out / "link");
    fs::remove(m_dir.Path() / "up");  // extracting "..\up" would bring it back

    const CRun extract = Run("extract " + Base() + " " + out.string());
    EXPECT_EQ(extract.m_nStatus, 1);
    EXPECT_NE(extract.m_strErr.find("absolute"), std::string::npos) << extract.m_strErr;
    if (links) {
        EXPECT_NE(extract.m_strErr.find("symbolic link"), std::string::npos) << extract.m_strErr;
    }
    EXPECT_TRUE(fs::is_empty(outside));
    EXPECT_EQ(Slurp((out / "ok.txt").string()), "fine");
    EXPECT_FALSE(fs::exists(m_dir.Path() / "up"));

    // Relative names with '..' and the good entry, through a pack of its own.
    Spit(m_dir.Path() / "w" / "good.txt", "good");
    Spit(m_dir.Path() / "escape.txt", "escape");
    {
        COruPack pack;
        pack.OpenOruPack(Wide(m_dir.File("second")), ORU_PACK_MODE_WRITE, 512);
        pack.SetWorkDir(Wide(m_dir.File("w/")));
        ASSERT_TRUE(pack.AddFile(L"good.txt"));
        ASSERT_TRUE(pack.AddFile(L"..\\escape.txt"));
    }
    fs::remove(m_dir.File("escape.txt"));
    const CRun second = Run("extract " + m_dir.File("second") + " " + m_dir.File("out2"));
    EXPECT_EQ(second.m_nStatus, 1);
    EXPECT_NE(second.m_strErr.find(".."), std::string::npos);
    EXPECT_EQ(Slurp(m_dir.File("out2/good.txt")), "good");
    EXPECT_FALSE(fs::exists(m_dir.File("escape.txt")));
}

TEST_F(Orupack, AddsReplacesAndRemovesEntries)
{
    Spit(m_dir.Path() / "a.txt", "first");
    Spit(m_dir.Path() / "b.txt", Noise(2000, 5));
    const std::string pack = Base();
    ASSERT_EQ(Run("add " + pack + " " + m_dir.File("a.txt") + " --as 'Docs\\A.txt'").m_nStatus, 0);
    ASSERT_EQ(Run("add " + pack + " " + m_dir.File("b.txt") + " --as b.txt").m_nStatus, 0);
    EXPECT_EQ(Run("cat " + pack + " docs/a.txt").m_strOut, "first");

    Spit(m_dir.Path() / "a.txt", "second version");
    ASSERT_EQ(Run("add " + pack + " " + m_dir.File("a.txt") + " --as 'docs\\a.txt'").m_nStatus, 0);
    EXPECT_EQ(Run("cat " + pack + " 'DOCS\\A.TXT'").m_strOut, "second version");
    EXPECT_EQ(Run("add " + pack + " " + m_dir.File("a.txt")).m_nStatus, 1);  // absolute: needs --as

    ASSERT_EQ(Run("rm " + pack + " b.txt").m_nStatus, 0);
    EXPECT_EQ(Run("rm " + pack + " b.txt").m_nStatus, 1);
    EXPECT_EQ(Run("cat " + pack + " b.txt").m_nStatus, 1);
    const CRun info = Run("info " + pack);
    EXPECT_NE(info.m_strOut.find("entries          1"), std::string::npos) << info.m_strOut;
    EXPECT_EQ(Run("verify " + pack).m_nStatus, 0);
    EXPECT_EQ(Run("rm " + m_dir.File("absent") + " x").m_nStatus, 1);
    EXPECT_FALSE(fs::exists(m_dir.File("absent.opk")));
}

TEST_F(Orupack, ExitsWithTwoOnBadUsageAndHelpsEveryCommand)
{
    EXPECT_EQ(Run("").m_nStatus, 2);
    EXPECT_EQ(Run("frobnicate").m_nStatus, 2);
    EXPECT_EQ(Run("create " + Base()).m_nStatus, 2);
    EXPECT_EQ(Run("create " + Base() + " . --sector-size 0").m_nStatus, 2);
    EXPECT_EQ(Run("create " + Base() + " . --sector-size 2147483640").m_nStatus, 2);
    for (const char* size : {"63", "65537"}) {
        const CRun refused = Run("create " + Base() + " . --sector-size " + size);
        EXPECT_EQ(refused.m_nStatus, 2) << size;
        EXPECT_NE(refused.m_strErr.find("64 to 65536 bytes"), std::string::npos) << refused.m_strErr;
    }
    EXPECT_EQ(Run("list " + Base() + " --bogus").m_nStatus, 2);
    EXPECT_EQ(Run("add " + Base() + " a b --as c").m_nStatus, 2);
    for (const char* command : {"create", "list", "info", "cat", "extract", "add", "rm", "verify"}) {
        const CRun help = Run(std::string(command) + " --help");
        EXPECT_EQ(help.m_nStatus, 0) << command;
        EXPECT_EQ(help.m_strOut.rfind("usage: orupack " + std::string(command), 0), 0u) << command;
    }
    EXPECT_EQ(Run("list " + m_dir.File("absent")).m_nStatus, 1);
}

// Files that begin like compressed data (a .gz file, the wrapper's magic, the
// two gzip bytes alone) come back exactly as they went in, whether or not
// the pack was made with --compress, and whether created or added.
TEST_F(Orupack, GivesBackFilesThatLookCompressedByteForByte)
{
    const std::vector<std::pair<std::string, std::string>> tree = {
        {"logs/old.gz", Gzip(std::string(5000, 'z') + "end")},
        {"fake.bin", "ORUGZIP1" + Noise(300, 7)},
        {"magic.bin", "\x1F\x8B"},
        {"plain.txt", "just text"},
    };
    for (const auto& [name, content] : tree)
        Spit(m_dir.Path() / "tree" / name, content);
    for (const char* option : {"", " --compress"}) {
        ASSERT_EQ(Run("create " + Base() + " " + m_dir.File("tree") + option).m_nStatus, 0) << option;
        EXPECT_EQ(Run("verify " + Base()).m_nStatus, 0) << option;
        fs::remove_all(m_dir.Path() / "out");
        ASSERT_EQ(Run("extract " + Base() + " " + m_dir.File("out")).m_nStatus, 0) << option;
        for (const auto& [name, content] : tree) {
            EXPECT_EQ(Slurp(m_dir.File("out/" + name)), content) << name << option;
            EXPECT_EQ(Run("cat " + Base() + " " + name).m_strOut, content) << name << option;
        }
    }
    ASSERT_EQ(Run("add " + Base() + " " + m_dir.File("tree/logs/old.gz") + " --as again.gz").m_nStatus, 0);
    EXPECT_EQ(Run("cat " + Base() + " again.gz").m_strOut, tree[0].second);
    EXPECT_EQ(Run("verify " + Base()).m_nStatus, 0);
}

// A folder that cannot be read is named and skipped, the rest is packed, and
// the exit status says something was left out. Root reads every folder, so
// the tool runs as an ordinary user.
TEST_F(Orupack, CreateNamesTheFoldersItCannotReadAndPacksTheRest)
{
    Spit(m_dir.Path() / "tree" / "open" / "a.txt", "a");
    Spit(m_dir.Path() / "tree" / "shut" / "b.txt", "b");
    Spit(m_dir.Path() / "tree" / "c.txt", "c");
    ORU_TEST_REQUIRES(eTestFeature::POSIX_MODES);
    fs::permissions(m_dir.Path() / "tree" / "shut", fs::perms::none);
    fs::permissions(m_dir.Path(), fs::perms::all);
    std::vector<std::string> asUser;
    if (oru::test::IgnoresFileModes())
        asUser = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    const CRun create = RunOrupack("create " + Base() + " " + m_dir.File("tree"), {}, asUser);
    fs::permissions(m_dir.Path() / "tree" / "shut", fs::perms::owner_all);
    EXPECT_EQ(create.m_nStatus, 1) << create.m_strErr;
    EXPECT_NE(create.m_strErr.find("shut: cannot read the folder"), std::string::npos) << create.m_strErr;
    EXPECT_NE(create.m_strOut.find("2 files packed; skipped: 1 unreadable folders"), std::string::npos)
        << create.m_strOut;
    EXPECT_EQ(Run("cat " + Base() + " open/a.txt").m_strOut, "a");
    EXPECT_EQ(Run("cat " + Base() + " c.txt").m_strOut, "c");
}

// An entry that reads short of its size (here a cut data file) fails cat and
// extract by name; extract leaves no file, whole or partial, for it.
TEST_F(Orupack, CatAndExtractFailOnEntriesThatReadShort)
{
    Spit(m_dir.Path() / "tree" / "first.bin", Noise(600, 1));
    Spit(m_dir.Path() / "tree" / "second.bin", Noise(1200, 2));
    ASSERT_EQ(Run("create " + Base() + " " + m_dir.File("tree")).m_nStatus, 0);
    fs::resize_file(Base() + ".opk", fs::file_size(Base() + ".opk") - 600);

    const CRun cat = Run("cat " + Base() + " second.bin");
    EXPECT_EQ(cat.m_nStatus, 1);
    EXPECT_NE(cat.m_strErr.find("second.bin: the stored data is damaged"), std::string::npos) << cat.m_strErr;
    const CRun extract = Run("extract " + Base() + " " + m_dir.File("out"));
    EXPECT_EQ(extract.m_nStatus, 1);
    EXPECT_NE(extract.m_strErr.find("second.bin"), std::string::npos) << extract.m_strErr;
    std::vector<std::string> written;
    for (const auto& entry : fs::directory_iterator(m_dir.Path() / "out"))
        written.push_back(entry.path().filename().string());
    EXPECT_EQ(written, std::vector<std::string>{"first.bin"});
    if (!MissingFeature(eTestFeature::POSIX_SHELL)) {
        EXPECT_EQ(RunOrupack("cat " + Base() + " first.bin", {}, oru::test::FullOutputWords()).m_nStatus, 1);
    }
}

// Each argument reaches the tool as it stands, whatever spaces, quotes and
// backslashes it holds: the missing entry's name comes back in the message.
TEST_F(Orupack, TakesEachArgumentAsItStands)
{
    Spit(m_dir.Path() / "tree" / "a.txt", "a");
    ASSERT_EQ(Run("create " + Base() + " " + m_dir.File("tree")).m_nStatus, 0);
    for (const std::string name : {"two words", "say \"hi\"", "ends with \\", "\\\"quoted\\\"", "tab\there"}) {
        const oru::test::CProgramRun cat = oru::test::RunProgram({ORUPACK_PATH, "cat", Base(), name});
        EXPECT_TRUE(cat.ExitedWith(1)) << name;
        EXPECT_NE(cat.m_strErr.find(name + ": no such entry in "), std::string::npos)
            << name << ": " << cat.m_strErr;
    }
}

// Over an earlier extraction, a file is replaced only by a whole entry: a
// damaged entry leaves the old file as it was, and a symbolic link in a
// file's place is replaced, never written through.
TEST_F(Orupack, ExtractReplacesExistingFilesOnlyWithWholeEntries)
{
    Spit(m_dir.Path() / "tree" / "a.bin", "a");
    Spit(m_dir.Path() / "tree" / "b.bin", Noise(600, 1));
    Spit(m_dir.Path() / "tree" / "c.bin", Noise(1200, 2));
    ASSERT_EQ(Run("create " + Base() + " " + m_dir.File("tree")).m_nStatus, 0);
    const fs::path out = m_dir.Path() / "out";
    Spit(out / "b.bin", "old b");
    Spit(out / "c.bin", "old c");
    Spit(m_dir.Path() / "target.txt", "not to be touched");
    if (MissingFeature(eTestFeature::SYMBOLIC_LINKS))
        Spit(out / "a.bin", "old a");
    else
        fs::create_symlink(m_dir.Path() / "target.txt", out / "a.bin");
    // Sectors 0, 1-2 and 3-5: cutting the last 600 bytes leaves c.bin short.
    fs::resize_file(Base() + ".opk", fs::file_size(Base() + ".opk") - 600);

    const CRun extract = Run("extract " + Base() + " " + out.string());
    EXPECT_EQ(extract.m_nStatus, 1);
    EXPECT_NE(extract.m_strErr.find("c.bin"), std::string::npos) << extract.m_strErr;
    EXPECT_FALSE(fs::is_symlink(out / "a.bin"));
    EXPECT_EQ(Slurp(out / "a.bin"), "a");
    EXPECT_EQ(Slurp(m_dir.Path() / "target.txt"), "not to be touched");
    EXPECT_EQ(Slurp(out / "b.bin"), Noise(600, 1));
    EXPECT_EQ(Slurp(out / "c.bin"), "old c");
    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(out))
        files += entry.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, 3u);  // no temporary file left behind
}

// Names that differ only in case make one entry: the later file in the sorted
// tree keeps it, and both are named, whether the names differ in the file's
// own component or in a folder above it.
TEST_F(Orupack, CreateNamesFilesThatWouldShareAnEntry)
{
    ORU_TEST_REQUIRES(eTestFeature::CASE_SENSITIVE_NAMES);
    Spit(m_dir.Path() / "tree" / "Maps" / "town.xml", "upper");
    Spit(m_dir.Path() / "tree" / "maps" / "Town.xml", "lower");
    Spit(m_dir.Path() / "tree" / "maps" / "harbour.xml", "alone");
    Spit(m_dir.Path() / "tree" / "ui" / "Icon.png", "upper icon");
    Spit(m_dir.Path() / "tree" / "ui" / "icon.png", "lower icon");
    const CRun create = Run("create " + Base() + " " + m_dir.File("tree"));
    EXPECT_EQ(create.m_nStatus, 1);
    EXPECT_NE(create.m_strErr.find("maps/Town.xml: has the same entry name as Maps/town.xml"),
              std::string::npos) << create.m_strErr;
    EXPECT_NE(create.m_strErr.find("ui/icon.png: has the same entry name as ui/Icon.png"),
              std::string::npos) << create.m_strErr;
    EXPECT_EQ(create.m_strErr.find("harbour"), std::string::npos) << create.m_strErr;
    // Five files, three entries: the count is what the pack holds.
    EXPECT_NE(create.m_strOut.find("3 files packed; skipped:"), std::string::npos) << create.m_strOut;
    EXPECT_NE(create.m_strOut.find("2 files whose entry name a later file took"), std::string::npos)
        << create.m_strOut;
    EXPECT_NE(Run("info " + Base()).m_strOut.find("entries          3"), std::string::npos);
    EXPECT_EQ(Run("cat " + Base() + " maps/town.xml").m_strOut, "lower");
    EXPECT_EQ(Run("cat " + Base() + " ui/icon.png").m_strOut, "lower icon");
    EXPECT_EQ(Run("cat " + Base() + " maps/harbour.xml").m_strOut, "alone");
}

// A FIFO in place of the data file is refused at once: reading commands
// never wait for a writer that may not come.
TEST_F(Orupack, CatAndExtractRefuseAFifoAsTheDataFile)
{
    Spit(m_dir.Path() / "tree" / "a.txt", "a");
    ASSERT_EQ(Run("create " + Base() + " " + m_dir.File("tree")).m_nStatus, 0);
    ORU_TEST_REQUIRES(eTestFeature::FIFOS);
    fs::remove(Base() + ".opk");
    ASSERT_TRUE(oru::test::MakeFifo(Base() + ".opk"));
    for (const std::string& args : {"cat " + Base() + " a.txt", "extract " + Base() + " " + m_dir.File("out")}) {
        const CRun run = RunOrupack(args, {}, {"timeout", "20"});
        EXPECT_EQ(run.m_nStatus, 1) << args;
        EXPECT_NE(run.m_strErr.find("cannot open the data file"), std::string::npos) << args << ": " << run.m_strErr;
    }
}

// A second editor is refused while the first holds the pack; a data file
// whose index is missing is never emptied.
TEST_F(Orupack, RefusesToEditAPackInUseOrWithoutItsIndex)
{
    Spit(m_dir.Path() / "a.txt", "a");
    ASSERT_EQ(Run("add " + Base() + " " + m_dir.File("a.txt") + " --as a.txt").m_nStatus, 0);
    {
        COruPack editor;
        ASSERT_TRUE(editor.OpenOruPack(Wide(Base()), ORU_PACK_MODE_WRITE, 512));
        for (const std::string& command : {"add " + Base() + " " + m_dir.File("a.txt") + " --as b.txt",
                                          "rm " + Base() + " a.txt",
                                          "create " + Base() + " " + m_dir.Path().string()}) {
            const CRun refused = Run(command);
            EXPECT_EQ(refused.m_nStatus, 1) << command;
            EXPECT_NE(refused.m_strErr.find("being edited elsewhere"), std::string::npos)
                << command << ": " << refused.m_strErr;
        }
        EXPECT_EQ(Run("cat " + Base() + " a.txt").m_strOut, "a");  // readers go on
    }
    const std::string data = Slurp(Base() + ".opk");
    fs::remove(Base() + ".odx");
    const CRun add = Run("add " + Base() + " " + m_dir.File("a.txt") + " --as b.txt");
    EXPECT_EQ(add.m_nStatus, 1);
    EXPECT_NE(add.m_strErr.find("the index is missing"), std::string::npos) << add.m_strErr;
    EXPECT_EQ(Slurp(Base() + ".opk"), data);
}

// The small promises of add: '/' in --as becomes '\', a missing source says
// so, a failure says why, and a failed add to a new pack leaves nothing.
TEST_F(Orupack, AddStoresLookupNamesAndExplainsItsFailures)
{
    Spit(m_dir.Path() / "icon.png", "png");
    ASSERT_EQ(Run("add " + Base() + " " + m_dir.File("icon.png") + " --as ui/icon.png").m_nStatus, 0);
    COruPack pack;
    ASSERT_TRUE(pack.OpenOruPack(Wide(Base()), ORU_PACK_MODE_READ, 512));
    EXPECT_EQ(pack.GetFileList()->count(L"ui\\icon.png"), 1u);
    // A file too large to hold goes in from disk, through a staging folder
    // beside the pack that is gone afterwards.
    const std::string large = Noise(4 * 1024 * 1024 + 1, 9);
    Spit(m_dir.Path() / "large.bin", large);
    ASSERT_EQ(Run("add " + Base() + " " + m_dir.File("large.bin") + " --as maps/large.bin").m_nStatus, 0);
    EXPECT_EQ(Run("cat " + Base() + " maps/large.bin").m_strOut, large);
    for (const auto& entry : fs::directory_iterator(m_dir.Path()))
        EXPECT_EQ(entry.path().filename().string().find(".staging-"), std::string::npos);

    const CRun missing = Run("add " + Base() + " " + m_dir.File("absent") + " --as x");
    EXPECT_EQ(missing.m_nStatus, 1);
    EXPECT_NE(missing.m_strErr.find("no such file"), std::string::npos) << missing.m_strErr;
    if (!MissingFeature(eTestFeature::FIFOS)) {
        ASSERT_TRUE(oru::test::MakeFifo(m_dir.File("fifo")));
        const CRun fifo = Run("add " + Base() + " " + m_dir.File("fifo") + " --as x");  // never waits
        EXPECT_EQ(fifo.m_nStatus, 1);
        EXPECT_NE(fifo.m_strErr.find("not a regular file"), std::string::npos) << fifo.m_strErr;
    }

    Spit(m_dir.Path() / "big.bin", Noise(200000, 3));
    if (!MissingFeature(eTestFeature::FILE_SIZE_LIMIT)) {
        const CRun big = RunOrupack("add " + Base() + " " + m_dir.File("big.bin") + " --as big.bin", {},
                                    oru::test::FileSizeLimitWords(100));
        EXPECT_EQ(big.m_nStatus, 1);
        EXPECT_NE(big.m_strErr.find("big.bin: cannot store the file: File too large"), std::string::npos)
            << big.m_strErr;
        EXPECT_EQ(Run("verify " + Base()).m_nStatus, 0);
    }

    EXPECT_EQ(Run("add " + m_dir.File("new") + " " + m_dir.File("absent") + " --as x").m_nStatus, 1);
    EXPECT_FALSE(fs::exists(m_dir.File("new.odx")));
    EXPECT_FALSE(fs::exists(m_dir.File("new.opk")));
}

// A create that stops part-way, here killed by the file-size limit while it
// writes the new data file, leaves the pack that was there whole; what it
// had built stays beside it under a name of its own, for nothing reads it.
TEST_F(Orupack, ACreateThatStopsPartWayKeepsThePreviousPack)
{
    Spit(m_dir.Path() / "old" / "keep.txt", "kept");
    ASSERT_EQ(Run("create " + Base() + " " + m_dir.File("old")).m_nStatus, 0);
    Spit(m_dir.Path() / "new" / "big.bin", Noise(4u << 20, 7));
    ORU_TEST_REQUIRES(eTestFeature::FILE_SIZE_LIMIT);
    const CRun stopped = RunOrupack("create " + Base() + " " + m_dir.File("new"), {},
                                    oru::test::FileSizeLimitWords(1024, true));
    EXPECT_NE(stopped.m_nStatus, 0);
    EXPECT_EQ(Run("verify " + Base()).m_nStatus, 0);
    EXPECT_EQ(Run("cat " + Base() + " keep.txt").m_strOut, "kept");

    ASSERT_EQ(Run("create " + Base() + " " + m_dir.File("new")).m_nStatus, 0);
    EXPECT_EQ(Run("cat " + Base() + " big.bin").m_strOut, Noise(4u << 20, 7));
    EXPECT_NE(Run("cat " + Base() + " keep.txt").m_nStatus, 0);
}

// add --compress stores a file compressed, as create does: a re-added asset
// keeps its compression.
TEST_F(Orupack, AddCompressesWhenAsked)
{
    const std::string text = std::string(300000, 'a') + "the end\n";
    Spit(m_dir.Path() / "text.txt", text);
    for (const bool compress : {false, true}) {
        ASSERT_EQ(Run("add " + Base() + " " + m_dir.File("text.txt") + " --as text.txt" +
                      (compress ? " --compress" : ""))
                      .m_nStatus,
                  0);
        COruPack pack;
        ASSERT_TRUE(pack.OpenOruPack(Wide(Base()), ORU_PACK_MODE_READ, 512));
        EXPECT_EQ(pack.GetFileList()->at(L"text.txt").size < 10000, compress);
        EXPECT_EQ(Run("cat " + Base() + " text.txt").m_strOut, text);
    }
}

// Folders are added with every file under them; -C DIR names each path
// relative to DIR, so that adding a whole tree gives what create gives.
TEST_F(Orupack, AddTakesFoldersNamedFromABaseFolder)
{
    MakeTree(m_dir.Path() / "tree");
    const std::string tree = m_dir.File("tree");
    ASSERT_EQ(Run("create " + m_dir.File("made") + " " + tree).m_nStatus, 0);
    const CRun added = Run("add " + Base() + " -C " + tree + " .");
    ASSERT_EQ(added.m_nStatus, 0) << added.m_strErr;
    EXPECT_EQ(Run("list " + Base()).m_strOut, Run("list " + m_dir.File("made")).m_strOut);
    for (const auto& [name, content] : m_tree)
        EXPECT_EQ(Run("cat " + Base() + " '" + name + "'").m_strOut, content) << name;
    EXPECT_EQ(Run("verify " + Base()).m_nStatus, 0);

    // A folder and a file below the base folder keep their paths from it.
    const std::string part = m_dir.File("part");
    ASSERT_EQ(Run("add " + part + " -C " + tree + " text/deep map/town.xml").m_nStatus, 0);
    COruPack pack;
    ASSERT_TRUE(pack.OpenOruPack(Wide(part), ORU_PACK_MODE_READ, 512));
    std::vector<std::wstring> names;
    for (const auto& entry : *pack.GetFileList())
        names.push_back(entry.first);
    EXPECT_EQ(names, (std::vector<std::wstring>{L"map\\town.xml", L"text\\deep\\er\\noise.dat"}));

    EXPECT_EQ(Run("add " + part + " -C " + tree + " text --as t").m_nStatus, 2);  // --as: one file
    EXPECT_EQ(Run("add " + part + " -C " + tree + " ../tree/map").m_nStatus, 1);  // leaves the base
    EXPECT_EQ(Run("add " + part + " -C " + m_dir.File("absent") + " map").m_nStatus, 1);
}

// Links are skipped and counted without failing the run; --follow-links
// stores what they lead to and skips a link to a folder that holds it.
TEST_F(Orupack, CreateSkipsOrFollowsSymbolicLinks)
{
    ORU_TEST_REQUIRES(eTestFeature::SYMBOLIC_LINKS);
    const fs::path tree = m_dir.Path() / "tree";
    Spit(tree / "real" / "a.txt", "a");
    fs::create_symlink("real/a.txt", tree / "file-link");
    fs::create_symlink("real", tree / "folder-link");
    fs::create_symlink("..", tree / "real" / "up");
    fs::create_symlink("nowhere", tree / "broken");
    const CRun skipped = Run("create " + Base() + " " + tree.string());
    EXPECT_EQ(skipped.m_nStatus, 0) << skipped.m_strErr;
    EXPECT_NE(skipped.m_strOut.find("1 files packed; skipped:"), std::string::npos) << skipped.m_strOut;
    EXPECT_NE(skipped.m_strOut.find("4 not regular files"), std::string::npos) << skipped.m_strOut;

    const CRun followed = Run("create " + Base() + " " + tree.string() + " --follow-links");
    EXPECT_EQ(followed.m_nStatus, 0) << followed.m_strErr;
    EXPECT_NE(followed.m_strOut.find("3 files packed; skipped:"), std::string::npos) << followed.m_strOut;
    EXPECT_NE(followed.m_strErr.find("real/up: skipped, a symbolic link to a folder it lies in"),
              std::string::npos) << followed.m_strErr;
    EXPECT_NE(followed.m_strErr.find("folder-link/up: skipped, a symbolic link"), std::string::npos)
        << followed.m_strErr;
    for (const char* name : {"file-link", "folder-link/a.txt", "real/a.txt"})
        EXPECT_EQ(Run("cat " + Base() + " " + name).m_strOut, "a") << name;
}

// Output that cannot be written fails the command; --version says the
// library's version.
TEST_F(Orupack, FailsWhenItsOutputCannotBeWrittenAndSaysItsVersion)
{
    fs::create_directories(m_dir.Path() / "tree");
    Spit(m_dir.Path() / "tree" / "a.txt", "a");
    ASSERT_EQ(Run("create " + Base() + " " + m_dir.File("tree")).m_nStatus, 0);
    for (const std::string& args : {"info " + Base(), "list " + Base(), "cat " + Base() + " a.txt",
                                   std::string("--version"), std::string("list --help")}) {
        if (!MissingFeature(eTestFeature::POSIX_SHELL)) {
            EXPECT_EQ(RunOrupack(args, {}, oru::test::FullOutputWords()).m_nStatus, 1) << args;
        }
    }
    EXPECT_EQ(Run("--version").m_strOut,
              "orupack " + std::to_string(ORU_CORE_VERSION_MAJOR) + "." +
                  std::to_string(ORU_CORE_VERSION_MINOR) + "." + std::to_string(ORU_CORE_VERSION_PATCH) + "\n");
    EXPECT_STREQ(OruCoreVersionString(), ("" + std::to_string(ORU_CORE_VERSION_MAJOR) + "." +
                                          std::to_string(ORU_CORE_VERSION_MINOR) + "." +
                                          std::to_string(ORU_CORE_VERSION_PATCH)).c_str());
    EXPECT_EQ(OruCoreVersion(), ORU_CORE_VERSION);
}

// A warning printed while a progress bar is drawn starts on a line of its
// own: the bar is drawn only on a terminal, so the tool runs under one.
TEST_F(Orupack, WarningsStartOnALineOfTheirOwnUnderTheProgressBar)
{
    ORU_TEST_REQUIRES(eTestFeature::POSIX_SHELL);
    ORU_TEST_REQUIRES(eTestFeature::SYMBOLIC_LINKS);
    const fs::path tree = m_dir.Path() / "tree";
    Spit(tree / "a.txt", "a");
    fs::create_symlink("a.txt", tree / "b-link");
    const std::string out = m_dir.File("typescript");
    const std::string command = std::string(ORUPACK_PATH) + " create " + Base() + " " + tree.string();
    ASSERT_TRUE(oru::test::RunProgram({"script", "-qec", command, out}).ExitedWith(0));
    const std::string screen = Slurp(out);
    EXPECT_NE(screen.find("create   1"), std::string::npos) << screen;
    EXPECT_NE(screen.find("\norupack: b-link: skipped"), std::string::npos) << screen;
}

// orupack mount, run as a program against a real FUSE mount: the mounted tree
// compared with the extracted one and with its source, reads at random
// offsets from two threads, names that cannot be shown, damage met by a
// read, and the ways a mount ends. Skipped, with the reason, where FUSE
// cannot be used.

#include <oru/pack/oru_pack.h>

#include "orupack/linux/orupack_shell.h"
#include "pack/gz_blocks.h"
#include "pack/pack_format.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

using oru::test::OrupackCommand;
using oru::test::Shell;

namespace {

constexpr int WAIT_STEPS = 1500;         // 20 ms each: a mount that takes 30 s is broken
constexpr useconds_t WAIT_STEP_US = 20000;

std::string Text(size_t lines)
{
    std::string out;
    for (size_t i = 0; i < lines; ++i)
        out += "line " + std::to_string(i) + " of the harbour town\n";
    return out;
}

std::string Quoted(const fs::path& path)
{
    return "'" + path.string() + "'";
}

// True when `dir` is a mount point: its device differs from its parent's.
bool Mounted(const fs::path& dir)
{
    struct stat self {}, parent {};
    return stat(dir.c_str(), &self) == 0 && stat((dir / "..").c_str(), &parent) == 0 &&
           self.st_dev != parent.st_dev;
}

bool WaitUntilMounted(const fs::path& dir, bool mounted)
{
    for (int i = 0; i < WAIT_STEPS; ++i) {
        if (Mounted(dir) == mounted)
            return true;
        usleep(WAIT_STEP_US);
    }
    return false;
}

// Every regular file under `root`, relative, '/'-separated.
std::set<std::string> FilesUnder(const fs::path& root)
{
    std::set<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file())
            files.insert(entry.path().lexically_relative(root).generic_string());
    return files;
}

class OrupackMount : public ::testing::Test {
protected:
    void SetUp() override
    {
        static const std::string s_why = WhyFuseCannotBeUsed();
        if (!s_why.empty())
            GTEST_SKIP() << "FUSE cannot be used here: " << s_why;
        fs::create_directories(Mnt());
    }

    void TearDown() override
    {
        if (Mounted(Mnt()))
            Shell("fusermount3 -u -z " + Quoted(Mnt()) + " 2>/dev/null");
        if (m_nServer > 0) {
            kill(m_nServer, SIGKILL);
            waitpid(m_nServer, nullptr, 0);
        }
    }

    static std::string WhyFuseCannotBeUsed()
    {
        const int fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
        if (fd < 0)
            return std::string("/dev/fuse: ") + std::strerror(errno);
        close(fd);
        if (Shell("command -v fusermount3 >/dev/null 2>&1") != 0)
            return "fusermount3 is not installed";
        // Mounting is what may still be refused (no privilege, a container).
        CTempDir probe;
        fs::create_directories(probe.Path() / "empty");
        fs::create_directories(probe.Path() / "mnt");
        const std::string pack = probe.File("pack");
        if (Shell(OrupackCommand("create " + pack + " " + probe.File("empty"))) != 0)
            return "cannot make an empty pack to try a mount";
        const std::string err = probe.File("stderr");
        // Only a refusal from the FUSE library counts; any other failure is
        // the tool's, and the tests that follow report it.
        if (Shell(OrupackCommand("mount --background " + pack + " " + probe.File("mnt")) + " 2>" + err) != 0 &&
            Slurp(err).find("fuse: ") != std::string::npos)
            return Slurp(err);
        Shell("fusermount3 -u " + probe.File("mnt"));
        return {};
    }

    fs::path Mnt() const { return m_dir.Path() / "mnt"; }
    std::string Base() const { return m_dir.File("pack"); }

    int Orupack(const std::string& args)
    {
        return Shell(OrupackCommand(args) + " 2>" + m_dir.File("stderr"));
    }
    std::string Stderr() const { return Slurp(m_dir.File("stderr")); }

    void MountInBackground()
    {
        ASSERT_EQ(Orupack("mount --background " + Base() + " " + Quoted(Mnt())), 0) << Stderr();
        ASSERT_TRUE(Mounted(Mnt()));
    }

    void Unmount()
    {
        ASSERT_EQ(Shell("fusermount3 -u " + Quoted(Mnt())), 0);
        EXPECT_FALSE(Mounted(Mnt()));
    }

    // A tree with gzip-wrapped text, incompressible noise at sizes around a
    // sector, an empty file, Korean names and nested folders; in lower case,
    // as a pack keeps its names.
    void MakeTree()
    {
        m_vecTree = oru::test::SectorEdgeFiles();
        m_vecTree.insert(m_vecTree.end(), {
            {"지도/마을.xml", "<town name=\"harbour\"/>\n" + Text(300)},
            {"텍스트/깊은/폴더/읽어보기.txt", Text(20000)},
            {"text/deep/er/noise.dat", Noise(300000, 4)},
            {"text/deep/readme.txt", Text(3)},
        });
        for (const auto& [name, content] : m_vecTree)
            Spit(m_dir.Path() / "tree" / name, content);
        ASSERT_EQ(Orupack("create " + Base() + " " + m_dir.File("tree") + " --compress"), 0)
            << Stderr();
    }

    CTempDir m_dir;
    pid_t m_nServer = 0;
    std::vector<std::pair<std::string, std::string>> m_vecTree;
};

TEST(OrupackMountCommand, SaysAMissingPackIsMissing)
{
    const CTempDir m_dir;
    fs::create_directories(m_dir.Path() / "mnt");
    const oru::test::COrupackRun mount = oru::test::RunOrupack("mount " + m_dir.File("absent") + " " + m_dir.File("mnt"));
    EXPECT_EQ(mount.m_nStatus, 1);
    EXPECT_NE(mount.m_strErr.find("absent.odx: cannot read the pack (missing)"), std::string::npos)
        << mount.m_strErr;
}

}  // namespace

TEST_F(OrupackMount, ShowsTheSameTreeAsExtractAndTheSource)
{
    MakeTree();
    ASSERT_EQ(Orupack("extract " + Base() + " " + m_dir.File("out")), 0) << Stderr();
    MountInBackground();
    // A second mount over the first would hide it.
    EXPECT_EQ(Orupack("mount --background " + Base() + " " + Quoted(Mnt())), 1);
    EXPECT_NE(Stderr().find("already a mount point"), std::string::npos) << Stderr();

    EXPECT_EQ(Shell("diff -r " + Quoted(Mnt()) + " " + m_dir.File("out")), 0);
    EXPECT_EQ(Shell("diff -r " + Quoted(Mnt()) + " " + m_dir.File("tree")), 0);
    for (const auto& [name, content] : m_vecTree) {
        struct stat mounted {}, extracted {};
        ASSERT_EQ(stat((Mnt() / name).c_str(), &mounted), 0) << name;
        ASSERT_EQ(stat((m_dir.Path() / "out" / name).c_str(), &extracted), 0) << name;
        EXPECT_TRUE(S_ISREG(mounted.st_mode)) << name;
        EXPECT_EQ(mounted.st_size, static_cast<off_t>(content.size())) << name;
        EXPECT_EQ(mounted.st_mtim.tv_sec, extracted.st_mtim.tv_sec) << name;
        EXPECT_EQ(mounted.st_mtim.tv_nsec, extracted.st_mtim.tv_nsec) << name;
    }
    Unmount();
}

TEST_F(OrupackMount, ReadsAtRandomOffsetsFromTwoThreads)
{
    MakeTree();
    MountInBackground();
    for (const auto& [name, content] : m_vecTree) {
        const int fd = open((Mnt() / name).c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0) << name;
        int mismatches = 0;
        const auto readAtRandom = [&, &content = content](uint32_t seed) {
            std::mt19937 random(seed);
            std::vector<char> buffer(70000);
            for (int i = 0; i < 200; ++i) {
                const size_t offset = random() % (content.size() + 600);
                const size_t length = 1 + random() % buffer.size();
                const ssize_t got = pread(fd, buffer.data(), length, static_cast<off_t>(offset));
                const std::string expected =
                    offset < content.size() ? content.substr(offset, length) : std::string();
                if (got != static_cast<ssize_t>(expected.size()) ||
                    std::memcmp(buffer.data(), expected.data(), expected.size()) != 0)
                    ++mismatches;  // only read after both threads are joined
            }
        };
        std::thread other(readAtRandom, 1);
        readAtRandom(2);
        other.join();
        close(fd);
        EXPECT_EQ(mismatches, 0) << name;
    }
    Unmount();
}

// Every file is read in pieces, taking turns through two descriptors each
// and across more files than the mount keeps readers for, with the cached
// pages dropped before each piece so that every piece is read through the
// mount: readers are shared between opens, dropped and made again mid-file.
TEST_F(OrupackMount, ReadsFilesInTurnsThroughTwoOpensEach)
{
    MakeTree();
    MountInBackground();
    constexpr size_t pieceBytes = 7000;  // not a page multiple: pieces straddle pages
    struct COpen {
        const std::string* m_pContent;
        int m_fd;
        size_t m_nAt;
    };
    std::vector<COpen> opens;
    for (const auto& [name, content] : m_vecTree) {
        for (int i = 0; i < 2; ++i) {
            const int fd = open((Mnt() / name).c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_GE(fd, 0) << name;
            // The second open starts half a piece later, so the two never
            // read the same bytes at once.
            opens.push_back({&content, fd, i * pieceBytes / 2});
        }
    }
    std::vector<char> buffer(pieceBytes);
    int mismatches = 0;
    for (bool reading = true; reading;) {
        reading = false;
        for (COpen& o : opens) {
            if (o.m_nAt > o.m_pContent->size())
                continue;
            posix_fadvise(o.m_fd, 0, 0, POSIX_FADV_DONTNEED);
            const ssize_t got = pread(o.m_fd, buffer.data(), pieceBytes, static_cast<off_t>(o.m_nAt));
            const std::string expected = o.m_pContent->substr(o.m_nAt, pieceBytes);
            if (got != static_cast<ssize_t>(expected.size()) ||
                std::memcmp(buffer.data(), expected.data(), expected.size()) != 0)
                ++mismatches;
            o.m_nAt += pieceBytes;
            reading = true;
        }
    }
    for (const COpen& o : opens)
        close(o.m_fd);
    EXPECT_EQ(mismatches, 0);
    Unmount();
}

// A folder too long for one listing reply is listed whole, once each, with
// the sizes its files read back at, whether listed once or twice.
TEST_F(OrupackMount, ListsAFolderLongerThanOneReply)
{
    std::map<std::string, size_t> expected;
    for (size_t i = 0; i < 300; ++i) {
        const std::string name = "many/a-file-name-long-enough-to-fill-replies-" + std::to_string(i) + ".txt";
        expected[name] = i;
        Spit(m_dir.Path() / "tree" / name, std::string(i, 'x'));
    }
    ASSERT_EQ(Orupack("create " + Base() + " " + m_dir.File("tree")), 0) << Stderr();
    MountInBackground();
    for (int listing = 0; listing < 2; ++listing) {
        std::map<std::string, size_t> listed;
        for (const auto& entry : fs::directory_iterator(Mnt() / "many"))
            listed["many/" + entry.path().filename().string()] = entry.file_size();
        EXPECT_EQ(listed, expected) << "listing " << listing;
    }
    Unmount();
}

// The mount is read-only whoever asks, root included, and whatever is asked.
TEST_F(OrupackMount, RefusesEveryChangeWithErofs)
{
    MakeTree();
    MountInBackground();
    const fs::path file = Mnt() / "text/deep/readme.txt";
    const fs::path folder = Mnt() / "text/deep";
    struct CCase {
        const char* m_pWhat;
        int (*m_pTry)(const fs::path& file, const fs::path& folder);
    };
    const CCase cases[] = {
        {"open for writing", [](const fs::path& f, const fs::path&) { return open(f.c_str(), O_WRONLY | O_CLOEXEC); }},
        {"open for both", [](const fs::path& f, const fs::path&) { return open(f.c_str(), O_RDWR | O_CLOEXEC); }},
        {"truncate on open", [](const fs::path& f, const fs::path&) { return open(f.c_str(), O_RDONLY | O_TRUNC | O_CLOEXEC); }},
        {"create", [](const fs::path&, const fs::path& d) { return open((d / "new").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644); }},
        {"mkdir", [](const fs::path&, const fs::path& d) { return mkdir((d / "new").c_str(), 0755); }},
        {"unlink", [](const fs::path& f, const fs::path&) { return unlink(f.c_str()); }},
        {"rename", [](const fs::path& f, const fs::path& d) { return rename(f.c_str(), (d / "moved").c_str()); }},
        {"chmod", [](const fs::path& f, const fs::path&) { return chmod(f.c_str(), 0644); }},
        {"truncate", [](const fs::path& f, const fs::path&) { return truncate(f.c_str(), 0); }},
    };
    for (const CCase& c : cases) {
        errno = 0;
        const int result = c.m_pTry(file, folder);
        const int error = errno;
        if (result > 0)
            close(result);  // an open that should have failed
        EXPECT_EQ(result, -1) << c.m_pWhat;
        EXPECT_EQ(error, EROFS) << c.m_pWhat;
    }
    EXPECT_EQ(Slurp(file), Text(3));
    Unmount();
}

TEST_F(OrupackMount, LeavesOutNamesThatCannotBeShownAndListsThem)
{
    struct CCase {
        const wchar_t* m_pName;
        bool m_bShown;
    };
    const CCase cases[] = {
        {L"ok\\file.txt", true},        {L"ok\\deeper\\file.txt", true},
        {L"a\\\\b", false},             {L"\\lead", false},
        {L"trail\\", false},            {L".\\dot", false},
        {L"up\\..\\x", false},          {L"sl/ash", false},
        {L"ok\\file.txt\\under", false},
    };
    // The pack is written from the layout, one one-sector entry per name,
    // since the library's writer refuses some of these names.
    constexpr uint32_t sectorSize = 512;
    const uint32_t count = static_cast<uint32_t>(std::size(cases));
    const _oru_pack_header header{1, sectorSize, count, count * (sectorSize + 8), count, count};
    std::string index(reinterpret_cast<const char*>(&header), sizeof header);
    std::string data;
    for (uint32_t i = 0; i < count; ++i) {
        ASSERT_TRUE(oru::detail::EncodeName(cases[i].m_pName, index));
        const _oru_pack_file_info info{1, i, 1, 0, 0, 0};
        index.append(reinterpret_cast<const char*>(&info), sizeof info);
        const oru::detail::_oru_pack_sector_links links{i, i};
        data.append(reinterpret_cast<const char*>(&links), sizeof links);
        data += std::string(1, static_cast<char>('a' + i)) + std::string(sectorSize - 1, '\0');
    }
    oru::detail::PackUsageTable(std::vector<uint8_t>(count, 1), index);
    Spit(Base() + ".odx", index);
    Spit(Base() + ".opk", data);

    MountInBackground();
    const std::string err = Stderr();
    std::set<std::string> expected;
    for (uint32_t i = 0; i < count; ++i) {
        std::wstring wide = cases[i].m_pName;
        std::string name(wide.begin(), wide.end());
        if (!cases[i].m_bShown) {
            EXPECT_NE(err.find(name + ": not shown"), std::string::npos) << name << "\n" << err;
            continue;
        }
        std::replace(name.begin(), name.end(), '\\', '/');
        expected.insert(name);
        EXPECT_EQ(Slurp(Mnt() / name), std::string(1, static_cast<char>('a' + i))) << name;
    }
    EXPECT_EQ(FilesUnder(Mnt()), expected);
    Unmount();
}

// Each case spoils one entry's stored bytes in the data file. Reads before
// the damage still deliver the right bytes; the read that meets it fails
// with EIO, and no read ever delivers a wrong byte. Decoded content is checked
// whole before any of it is given out, so there the first read fails.
TEST_F(OrupackMount, ReadsThatMeetDamageFailWithEio)
{
    constexpr uint32_t sectorSize = 4096;  // a page: damage maps onto whole pages
    const std::string plain = Noise(20 * sectorSize, 5);
    const std::string text = Text(40000);
    enum eSpoil { BREAK_LINK, FLIP, DECLARE };
    struct CCase {
        const char* m_pWhat;
        const char* m_pEntry;
        eSpoil m_eSpoil;
        int64_t m_nStored;    // stored offset (from the end when negative), or the length declared
        size_t m_nBytes;      // bytes flipped
        size_t m_nGoodPrefix;  // content bytes that still read back
    };
    const CCase cases[] = {
        {"a broken link at the 11th sector", "plain.bin", BREAK_LINK, 10, 0, 10 * sectorSize},
        {"flipped deflate data", "text.txt", FLIP, 3000, 16, 0},
        // Blocked members are checked one at a time: those before the last read.
        {"a wrong checksum in the last member", "text.txt", FLIP, -8, 1,
         (text.size() - 1) / oru::detail::BLOCK_BYTES * oru::detail::BLOCK_BYTES},
        {"a declared length too short", "text.txt", DECLARE, 1, 0, 0},
        {"a declared length too long", "text.txt", DECLARE, static_cast<int64_t>(text.size()) + 1, 0, 0},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.m_pWhat);
        fs::remove_all(m_dir.Path() / "tree");
        Spit(m_dir.Path() / "tree" / "plain.bin", plain);
        Spit(m_dir.Path() / "tree" / "text.txt", text);
        ASSERT_EQ(Orupack("create " + Base() + " " + m_dir.File("tree") + " --compress --sector-size " +
                          std::to_string(sectorSize)),
                  0);
        const std::string base = Base();
        COruPack pack;
        ASSERT_TRUE(pack.OpenOruPack(std::wstring(base.begin(), base.end()), ORU_PACK_MODE_READ, 0));
        const _oru_pack_file_info info =
            pack.GetFileList()->at(std::wstring(c.m_pEntry, c.m_pEntry + std::strlen(c.m_pEntry)));
        // A fresh pack lays each chain out in order: stored byte n of an
        // entry is in sector first + n / sectorSize.
        const auto dataOffset = [&](uint64_t stored) {
            return oru::detail::PayloadOffset(info.first_sector + static_cast<uint32_t>(stored / sectorSize),
                                              sectorSize, static_cast<uint32_t>(stored % sectorSize));
        };
        std::fstream data(Base() + ".opk", std::ios::binary | std::ios::in | std::ios::out);
        std::string bytes;
        uint64_t at = 0;
        if (c.m_eSpoil == BREAK_LINK) {
            const uint32_t sector = info.first_sector + static_cast<uint32_t>(c.m_nStored);
            const oru::detail::_oru_pack_sector_links links{sector + 1, 0xFFFFFF00u};
            bytes.assign(reinterpret_cast<const char*>(&links), sizeof links);
            at = oru::detail::SectorOffset(sector, sectorSize);
        } else if (c.m_eSpoil == FLIP) {
            at = dataOffset(c.m_nStored >= 0 ? static_cast<uint64_t>(c.m_nStored) : info.size + c.m_nStored);
            bytes.resize(c.m_nBytes);
            data.seekg(static_cast<std::streamoff>(at));
            data.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
            for (char& ch : bytes)
                ch = static_cast<char>(~ch);
        } else {
            const uint32_t declared = static_cast<uint32_t>(c.m_nStored);
            bytes.assign(reinterpret_cast<const char*>(&declared), sizeof declared);
            at = dataOffset(sizeof oru::detail::WRAPPER_MAGIC);
        }
        data.seekp(static_cast<std::streamoff>(at));
        data.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        ASSERT_TRUE(data.good());
        data.close();

        MountInBackground();
        const std::string& content = c.m_pEntry == std::string("plain.bin") ? plain : text;
        const int fd = open((Mnt() / c.m_pEntry).c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        std::string got;
        char buffer[sectorSize];
        ssize_t n = 0;
        while ((n = read(fd, buffer, sizeof buffer)) > 0)
            got.append(buffer, static_cast<size_t>(n));
        const int error = errno;
        close(fd);
        EXPECT_EQ(n, -1);
        EXPECT_EQ(error, EIO);
        EXPECT_EQ(got.size(), c.m_nGoodPrefix);
        EXPECT_TRUE(got == content.substr(0, got.size())) << "a read delivered wrong bytes";
        Unmount();
    }
}

TEST_F(OrupackMount, EndsWithStatusZeroWhenUnmountedOrInterrupted)
{
    fs::create_directories(m_dir.Path() / "tree");
    ASSERT_EQ(Orupack("create " + Base() + " " + m_dir.File("tree")), 0);
    for (const int signal : {0, SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal);
        const std::string orupack = ORUPACK_PATH, base = Base(), mnt = Mnt().string();
        const char* argv[] = {orupack.c_str(), "mount", base.c_str(), mnt.c_str(), nullptr};
        ASSERT_EQ(posix_spawn(&m_nServer, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ), 0);
        ASSERT_TRUE(WaitUntilMounted(Mnt(), true));
        if (signal == 0)
            Shell("fusermount3 -u " + Quoted(Mnt()));
        else
            kill(m_nServer, signal);
        int status = 0;
        ASSERT_EQ(waitpid(m_nServer, &status, 0), m_nServer);
        m_nServer = 0;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_FALSE(Mounted(Mnt()));
    }
}

// The mount follows the pack: after each save, new opens and listings show
// the new tree (changed, added, removed files, a file of the same size and
// time), while a file opened before the saves reads its old bytes to the end.
TEST_F(OrupackMount, FollowsThePackWhileAFileOpenedBeforeKeepsItsBytes)
{
    const std::string big = Noise(600000, 11), same = Noise(5000, 12);
    Spit(m_dir.Path() / "tree" / "a.txt", "first a\n");
    Spit(m_dir.Path() / "tree" / "big.bin", big);
    Spit(m_dir.Path() / "tree" / "gone.txt", "soon gone\n");
    ASSERT_EQ(Orupack("create " + Base() + " " + m_dir.File("tree") + " --compress"), 0) << Stderr();
    MountInBackground();
    EXPECT_EQ(Slurp(Mnt() / "a.txt"), "first a\n");
    std::ifstream before(Mnt() / "big.bin", std::ios::binary);
    std::string head(1000, '\0');
    ASSERT_TRUE(before.read(head.data(), 1000));

    // The shell's "until" waits for the follower, which looks every few
    // milliseconds; 5 s means it never noticed.
    const auto eventually = [&](const std::string& check) {
        return Shell("for i in $(seq 500); do " + check + " && exit 0; sleep 0.01; done; exit 1") == 0;
    };
    Spit(m_dir.Path() / "src" / "a.txt", "second a, longer\n");
    Spit(m_dir.Path() / "src" / "new.txt", "new\n");
    Spit(m_dir.Path() / "src" / "big.bin", Noise(600000, 13));
    ASSERT_EQ(Orupack("add " + Base() + " " + m_dir.File("src/a.txt") + " --as a.txt"), 0) << Stderr();
    ASSERT_EQ(Orupack("add " + Base() + " " + m_dir.File("src/new.txt") + " --as new.txt"), 0) << Stderr();
    ASSERT_EQ(Orupack("add " + Base() + " " + m_dir.File("src/big.bin") + " --as big.bin"), 0) << Stderr();
    ASSERT_EQ(Orupack("rm " + Base() + " gone.txt"), 0) << Stderr();
    // The removal was saved last: once it shows, every save before it does.
    EXPECT_TRUE(eventually("test ! -e " + Quoted(Mnt() / "gone.txt")));
    EXPECT_EQ(Slurp(Mnt() / "a.txt"), "second a, longer\n");
    EXPECT_EQ(Slurp(Mnt() / "new.txt"), "new\n");
    EXPECT_EQ(FilesUnder(Mnt()), (std::set<std::string>{"a.txt", "big.bin", "new.txt"}));
    EXPECT_TRUE(Slurp(Mnt() / "big.bin") == Noise(600000, 13));
    std::string rest(big.size() - 1000, '\0');
    ASSERT_TRUE(before.read(rest.data(), static_cast<std::streamsize>(rest.size())));
    EXPECT_TRUE(head + rest == big) << "a file open across the saves read other bytes";

    // Same size and same time, other bytes: still seen.
    Spit(m_dir.Path() / "src" / "same.bin", same);
    ASSERT_EQ(Orupack("add " + Base() + " " + m_dir.File("src/same.bin") + " --as same.bin"), 0);
    EXPECT_TRUE(eventually("test -e " + Quoted(Mnt() / "same.bin")));
    EXPECT_TRUE(Slurp(Mnt() / "same.bin") == same);
    std::string other = same;
    other[10] ^= 1;
    Spit(m_dir.Path() / "src" / "same.bin", other);
    const timespec times[2] = {{1500000000, 0}, {1500000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, m_dir.File("src/same.bin").c_str(), times, 0), 0);
    ASSERT_EQ(Orupack("add " + Base() + " " + m_dir.File("src/same.bin") + " --as same.bin"), 0);
    const std::string path = (Mnt() / "same.bin").string();
    EXPECT_TRUE(eventually("test \"$(stat -c %Y " + Quoted(Mnt() / "same.bin") + ")\" = 1500000000"));
    EXPECT_TRUE(Slurp(Mnt() / "same.bin") == other);
    before.close();
    Unmount();
}

// The mount as the reader of a pack that the tool edits: every file read
// through it while two dozen sessions run is a version of that very entry,
// or the read fails; a file held open across sessions too.
TEST_F(OrupackMount, NeverShowsAnotherEntrysBytesWhileTheToolEdits)
{
    const std::vector<std::string> names = {"a.bin", "b.bin", "c.bin", "d.bin", "e.bin", "f.bin"};
    std::map<std::string, int> versions;
    for (const std::string name : {"a.bin", "b.bin", "c.bin"}) {
        versions[name] = 0;
        Spit(m_dir.Path() / "tree" / name, oru::test::Version(name, 0));
    }
    ASSERT_EQ(Orupack("create " + Base() + " " + m_dir.File("tree")), 0) << Stderr();
    MountInBackground();

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> good{0}, wrong{0};
    std::thread reader([&] {
        std::unique_ptr<std::ifstream> pHeld;
        std::string heldName;
        for (uint64_t round = 0; !stop.load(); ++round) {
            for (const std::string& name : names) {
                std::ifstream in(Mnt() / name, std::ios::binary);
                const std::string bytes = oru::test::ReadRest(in);
                if (in.bad() || bytes.empty())
                    continue;  // gone, or failed: both clean
                ++(oru::test::IsSomeVersionOf(name, bytes) ? good : wrong);
            }
            if (round % 20 == 0) {  // opened now, read after some sessions
                heldName = names[round % names.size()];
                pHeld = std::make_unique<std::ifstream>(Mnt() / heldName, std::ios::binary);
            } else if (round % 20 == 10 && pHeld && *pHeld) {
                const std::string bytes = oru::test::ReadRest(*pHeld);
                if (!pHeld->bad() && !bytes.empty())
                    ++(oru::test::IsSomeVersionOf(heldName, bytes) ? good : wrong);
                pHeld.reset();
            }
        }
    });
    oru::test::RunEditingSessions(m_dir, Base(), names, versions);
    stop = true;
    reader.join();
    EXPECT_EQ(wrong.load(), 0u) << good.load() << " good";
    EXPECT_GT(good.load(), 0u);
    Unmount();
}

// Several packs mount as their merged view, which follows a patch made anew
// while mounted: what it changes, adds and removes shows, and what it no
// longer removes comes back from the pack below.
TEST_F(OrupackMount, ShowsTheMergedViewOfLayersAndFollowsThem)
{
    Spit(m_dir.Path() / "old" / "a.txt", "old a\n");
    Spit(m_dir.Path() / "old" / "maps" / "b.txt", "old b\n");
    Spit(m_dir.Path() / "new" / "a.txt", "new a\n");
    Spit(m_dir.Path() / "new" / "c.txt", "new c\n");
    const std::string patch = m_dir.File("patch");
    ASSERT_EQ(Orupack("create " + Base() + " " + m_dir.File("old")), 0) << Stderr();
    ASSERT_EQ(Orupack("create " + m_dir.File("newpack") + " " + m_dir.File("new")), 0) << Stderr();
    ASSERT_EQ(Orupack("diff " + Base() + " " + m_dir.File("newpack") + " --out " + patch + " >/dev/null"), 0);
    ASSERT_EQ(Orupack("mount --background " + Base() + " " + Quoted(Mnt()) + " --layer " + patch), 0) << Stderr();
    EXPECT_EQ(Shell("diff -r " + Quoted(Mnt()) + " " + m_dir.File("new")), 0);

    ASSERT_EQ(Orupack("create " + patch + " " + m_dir.File("new")), 0) << Stderr();  // no removals now
    EXPECT_EQ(Shell("for i in $(seq 500); do test -e " + Quoted(Mnt() / "maps/b.txt") +
                    " && exit 0; sleep 0.01; done; exit 1"),
              0);
    EXPECT_EQ(FilesUnder(Mnt()), (std::set<std::string>{"a.txt", "c.txt", "maps/b.txt"}));
    EXPECT_EQ(Slurp(Mnt() / "maps/b.txt"), "old b\n");
    EXPECT_EQ(Slurp(Mnt() / "a.txt"), "new a\n");
    Unmount();
}

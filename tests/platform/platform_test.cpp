#include "platform/clock.h"
#include "platform/debug_channel.h"
#include "platform/fault_points.h"
#include "platform/file.h"
#include "platform/file_time.h"
#include "platform/files.h"
#include "platform/ui.h"

#include "support/file_bytes.h"
#include "support/scoped_env.h"
#include "support/system.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace {

using namespace oru::platform;
using oru::test::CScopedEnv;

// The setting is read once; a later change of the variable counts only once
// the channel is told to read it again.
TEST(DebugChannel, AppendsToTheFileItsSettingNamesUntilTheSettingIsReadAgain)
{
    oru::test::CTempDir dir;
    const std::string first = dir.File("first.txt");
    const std::string second = dir.File("second.txt");
    CScopedEnv env("ORU_DEBUG_OUTPUT", first.c_str());
    WriteDebugChannel("one\n");
    WriteDebugChannel("\xED\x95\x9C\n");
    oru::test::SetEnvironmentValue("ORU_DEBUG_OUTPUT", second.c_str());
    WriteDebugChannel("two\n");
    ReloadDebugChannelSetting();
    WriteDebugChannel("three\n");
    EXPECT_EQ(oru::test::Slurp(first), "one\n\xED\x95\x9C\ntwo\n");
    EXPECT_EQ(oru::test::Slurp(second), "three\n");
}

// A FIFO nobody reads, named as the channel, must not hold up the writer:
// the line is lost, and the channel works again once the path is a file.
TEST(DebugChannel, NeverWaitsOnAFifoWithoutAReader)
{
    oru::test::CTempDir dir;
    const std::string path = dir.File("channel");
    ORU_TEST_REQUIRES(oru::test::eTestFeature::FIFOS);
    ASSERT_TRUE(oru::test::MakeFifo(path));
    CScopedEnv env("ORU_DEBUG_OUTPUT", path.c_str());
    WriteDebugChannel("lost\n");
    ASSERT_TRUE(std::filesystem::remove(path));
    WriteDebugChannel("kept\n");
    EXPECT_EQ(oru::test::Slurp(path), "kept\n");
}

TEST(DebugChannel, GoesToStandardErrorWhenAsked)
{
    CScopedEnv env("ORU_DEBUG_OUTPUT", "stderr");
    testing::internal::CaptureStderr();
    WriteDebugChannel("to stderr\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "to stderr\n");
}

TEST(MessageBox, IsOneLineOnStandardErrorWithoutWindows)
{
    CScopedEnv ui("ORU_UI", "stderr");
    EXPECT_FALSE(UiHasWindows());
    testing::internal::CaptureStderr();
    ShowMessageBox(L"CLogSystem::Init()", L"log-system setting level is invalid.");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "CLogSystem::Init(): log-system setting level is invalid.\n");
}

TEST(Files, MakeDirectoryCreatesOneLevelAndAcceptsAnExistingFolder)
{
    oru::test::CTempDir dir;
    EXPECT_TRUE(MakeDirectory(dir.File("logs")));
    EXPECT_TRUE(MakeDirectory(dir.File("logs")));
    EXPECT_FALSE(MakeDirectory(dir.File("a/b")));
    std::ofstream(dir.File("plain")) << "x";
    EXPECT_FALSE(MakeDirectory(dir.File("plain")));
}

TEST(Files, TimesAreFileTimeCounts)
{
    EXPECT_EQ(ToFileTime(0, 0), 116444736000000000ULL);
    EXPECT_EQ(ToFileTime(1, 500), 116444736000000000ULL + 10000000ULL + 5);
    const CUnixTime back = FromFileTime(116444736000000000ULL + 10000000ULL + 5);
    EXPECT_EQ(back.m_nSeconds, 1);
    EXPECT_EQ(back.m_nNanoseconds, 500u);
    EXPECT_EQ(FromFileTime(116444736000000000ULL - 1).m_nSeconds, 0);  // before 1970: the epoch

    oru::test::CTempDir dir;
    std::ofstream(dir.File("f"), std::ios::binary) << "12345";
    uint64_t size = 0;
    CFileTimes times{};
    ASSERT_TRUE(FileSizeAndTimes(dir.File("f"), size, times));
    EXPECT_EQ(size, 5u);
    const uint64_t now = ToFileTime(time(nullptr), 0);
    EXPECT_LE(times.m_nWrite, now + 10000000ULL);
    EXPECT_GE(times.m_nWrite + 600ULL * 10000000ULL, now);
    EXPECT_FALSE(FileSizeAndTimes(dir.File("missing"), size, times));
}

// One of each kind of entry a tree walk meets, as far as the system has
// them: a link, and a FIFO, which no call may wait on.
class FolderEntries : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::ofstream(m_dir.File("file"), std::ios::binary) << "12345";
        ASSERT_TRUE(MakeDirectory(m_dir.File("folder")));
        m_mapKinds = {{"file", eEntryKind::FILE}, {"folder", eEntryKind::FOLDER}};
        if (!oru::test::MissingFeature(oru::test::eTestFeature::SYMBOLIC_LINKS)) {
            ASSERT_TRUE(MakeSymbolicLink("folder", m_dir.File("link")));
            m_mapKinds["link"] = eEntryKind::LINK;
        }
        if (!oru::test::MissingFeature(oru::test::eTestFeature::FIFOS)) {
            ASSERT_TRUE(oru::test::MakeFifo(m_dir.File("fifo")));
            m_mapKinds["fifo"] = eEntryKind::OTHER;
        }
    }
    bool Has(const char* name) const { return m_mapKinds.count(name) != 0; }

    oru::test::CTempDir m_dir;
    std::map<std::string, eEntryKind> m_mapKinds;  // what SetUp made
};

TEST_F(FolderEntries, AreListedWithTheirKindsAndLinksAreNotFollowed)
{
    std::vector<CFolderEntry> entries;
    ASSERT_TRUE(ListFolder(m_dir.Path().string(), entries));
    std::map<std::string, eEntryKind> listed;
    for (const CFolderEntry& entry : entries)
        listed[entry.m_strName] = entry.m_eKind;
    EXPECT_EQ(listed, m_mapKinds);
    for (const auto& [name, kind] : m_mapKinds) {
        eEntryKind found = eEntryKind::OTHER;
        ASSERT_TRUE(EntryKind(m_dir.File(name), found)) << name;
        EXPECT_EQ(found, kind) << name;
    }
    if (Has("link")) {
        EXPECT_TRUE(IsFolder(m_dir.File("link")));  // followed where a folder is asked for
    }
    EXPECT_FALSE(IsFolder(m_dir.File("file")));

    eEntryKind kind = eEntryKind::OTHER;
    EXPECT_FALSE(EntryKind(m_dir.File("missing"), kind));
    entries.clear();
    EXPECT_FALSE(ListFolder(m_dir.File("missing"), entries));
    EXPECT_EQ(LastFileError(), ENOENT);
    EXPECT_FALSE(ListFolder(m_dir.File("file"), entries));
}

// Size and times come with the open; anything but a regular file is refused,
// with the reason a message needs.
TEST_F(FolderEntries, OpenReadMeasuredTakesOnlyRegularFiles)
{
    uint64_t size = 0;
    CFileTimes times{};
    const CFile file = CFile::OpenReadMeasured(m_dir.File("file"), size, times);
    ASSERT_TRUE(file.IsOpen());
    EXPECT_EQ(size, 5u);
    uint64_t checkSize = 0;
    CFileTimes check{};
    ASSERT_TRUE(FileSizeAndTimes(m_dir.File("file"), checkSize, check));
    EXPECT_EQ(times.m_nWrite, check.m_nWrite);
    const std::pair<const char*, int> refused[] = {
        {"folder", EISDIR}, {"fifo", EINVAL}, {"missing", ENOENT}};
    for (const auto& [name, error] : refused) {
        if (std::string(name) == "fifo" && !Has("fifo"))
            continue;
        EXPECT_FALSE(CFile::OpenReadMeasured(m_dir.File(name), size, times).IsOpen()) << name;
        EXPECT_EQ(LastFileError(), error) << name;
    }
}

TEST_F(FolderEntries, RemoveAndRenameActOnLinksNotOnWhatTheyLeadTo)
{
    ORU_TEST_REQUIRES(oru::test::eTestFeature::SYMBOLIC_LINKS);
    EXPECT_TRUE(RenameFile(m_dir.File("file"), m_dir.File("link")));
    eEntryKind kind = eEntryKind::OTHER;
    ASSERT_TRUE(EntryKind(m_dir.File("link"), kind));
    EXPECT_EQ(kind, eEntryKind::FILE);
    EXPECT_TRUE(IsFolder(m_dir.File("folder")));
    EXPECT_TRUE(RemoveFile(m_dir.File("link")));
    EXPECT_TRUE(RemoveFile(m_dir.File("link")));  // already gone
    EXPECT_FALSE(RemoveFile(m_dir.File("folder")));
    EXPECT_FALSE(RenameFile(m_dir.File("missing"), m_dir.File("elsewhere")));
    EXPECT_EQ(LastFileError(), ENOENT);
}

// A tree is removed to its root without following a link out of it; the
// link's target stays.
TEST_F(FolderEntries, RemoveTreeRemovesEverythingBelowButNothingALinkLeadsTo)
{
    ORU_TEST_REQUIRES(oru::test::eTestFeature::SYMBOLIC_LINKS);
    std::string pattern = m_dir.File("scratch-XXXXXX");
    ASSERT_TRUE(MakeUniqueFolder(pattern));
    EXPECT_NE(pattern, m_dir.File("scratch-XXXXXX"));
    EXPECT_TRUE(IsFolder(pattern));
    ASSERT_TRUE(MakeDirectory(pattern + "/deep"));
    std::ofstream(pattern + "/deep/file") << "x";
    ASSERT_TRUE(MakeSymbolicLink(ResolvedPath(m_dir.File("folder")), pattern + "/deep/out"));
    EXPECT_FALSE(MakeSymbolicLink("anything", pattern + "/deep/out"));
    EXPECT_EQ(LastFileError(), EEXIST);
    std::ofstream(m_dir.File("folder/kept")) << "y";

    EXPECT_TRUE(RemoveTree(pattern));
    eEntryKind kind = eEntryKind::OTHER;
    EXPECT_FALSE(EntryKind(pattern, kind));
    EXPECT_TRUE(EntryKind(m_dir.File("folder/kept"), kind));
    EXPECT_TRUE(RemoveTree(pattern));  // already gone
    EXPECT_EQ(ResolvedPath(m_dir.File("link")), ResolvedPath(m_dir.File("folder")));
    EXPECT_EQ(ResolvedPath(m_dir.File("missing")), "");
}

TEST(Clock, MillisecondClockIsTheNanosecondClockTruncated)
{
    const uint64_t before = MonotonicNanoseconds() / 1000000u;
    const uint32_t ms = MonotonicMilliseconds();
    const uint64_t after = MonotonicNanoseconds() / 1000000u;
    EXPECT_GE(ms, static_cast<uint32_t>(before));
    EXPECT_LE(ms, static_cast<uint32_t>(after));
}

}  // namespace

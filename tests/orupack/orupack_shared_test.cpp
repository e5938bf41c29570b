// A pack shared by a running game and the tool: a reader that keeps its
// index while create, add and rm run beside it; create stopped at every file
// change, killed, interrupted, refused by a full disk or by another editor;
// what stopped commands leave behind; packs reached through symbolic links.

#include <oru/pack/oru_pack.h>

#include "orupack_shared.h"
#include "support/system.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>

using oru::test::IsSomeVersionOf;
using oru::test::OrupackShared;
using oru::test::ReadEntry;
using oru::test::RunEditingSessions;
using oru::test::RunOrupack;
using oru::test::Version;
using oru::test::Wide;
using CRun = oru::test::COrupackRun;

// A reader on another thread keeps opening every name it knows, in both
// modes, holds some streams across the sessions and refreshes now and then,
// while two dozen sessions add, replace, remove and create. Every read gives
// a version of that very entry, or fails cleanly.
TEST_F(OrupackShared, AReaderNeverGetsAnotherEntrysBytesWhileTheToolEdits)
{
    const std::vector<std::string> names = {"a.bin", "b.bin", "c.bin", "d.bin", "e.bin", "f.bin"};
    std::map<std::string, int> versions = {{"a.bin", 0}, {"b.bin", 0}, {"c.bin", 0}};
    ASSERT_EQ(Run("create " + Base() + " " + Tree("tree", versions)).m_nStatus, 0);

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> good{0}, failed{0}, wrong{0};
    std::thread reader([&] {
        COruPack pack;
        pack.OpenOruPack(Wide(Base()), ORU_PACK_MODE_READ, 512);
        std::vector<std::pair<std::string, std::unique_ptr<COruFile, int (*)(COruFile*)>>> held;
        // Refreshed seldom, so that the index it reads by is often several
        // sessions old.
        auto refreshed = std::chrono::steady_clock::now();
        for (uint64_t round = 0; !stop.load(); ++round) {
            if (std::chrono::steady_clock::now() - refreshed > std::chrono::milliseconds(50)) {
                pack.RefreshOruPack();
                refreshed = std::chrono::steady_clock::now();
            }
            for (const std::string& name : names) {
                const std::optional<std::string> bytes = ReadEntry(pack, Wide(name), round % 2 == 1);
                if (!bytes)
                    ++failed;
                else
                    ++(IsSomeVersionOf(name, *bytes) ? good : wrong);
            }
            // Streams opened now are read a few rounds later, after more sessions.
            if (round % 5 == 0 && held.size() < 4) {
                const std::string& name = names[round % names.size()];
                held.emplace_back(name, std::unique_ptr<COruFile, int (*)(COruFile*)>(
                                            pack.OpenFile(Wide(name), false), oru_fclose));
            } else if (round % 5 == 3 && !held.empty()) {
                auto& [name, pFile] = held.front();
                if (pFile) {
                    std::string bytes(pFile->GetFileSize(), '\0');
                    const bool whole = pFile->Fread(bytes.data(), 1, static_cast<unsigned int>(bytes.size())) ==
                                       bytes.size();
                    ++(!whole ? failed : IsSomeVersionOf(name, bytes) ? good : wrong);
                }
                held.erase(held.begin());
            }
        }
    });

    RunEditingSessions(m_dir, Base(), names, versions);
    stop = true;
    reader.join();
    EXPECT_EQ(wrong.load(), 0u) << good.load() << " good, " << failed.load() << " failed";
    EXPECT_GT(good.load(), 0u);
    EXPECT_EQ(Contents(), Expected(versions));
    EXPECT_EQ(Problems(), 0u);
}

// A create over a pack, failing (as on a full disk) or killed at each of
// its file changes in turn: afterwards the pack verifies and holds the old
// tree or the new one, entry for entry, never neither and never a mix.
TEST_F(OrupackShared, ACreateStoppedAtAnyFileChangeLeavesTheOldPackOrTheNew)
{
    const std::map<std::string, int> oldTree = {{"a.bin", 1}, {"b.bin", 1}, {"c.bin", 1}};
    const std::map<std::string, int> newTree = {{"a.bin", 2}, {"c.bin", 1}, {"d.bin", 2}};
    ASSERT_EQ(Run("create " + Base() + " " + Tree("old", oldTree)).m_nStatus, 0);
    const std::string index = Slurp(Base() + ".odx"), data = Slurp(Base() + ".opk");
    const std::string newDir = Tree("new", newTree);

    const CRun counted = Run("create " + Base() + " " + newDir, {{"ORUPACK_FAULT_POINT", "0"}});
    ASSERT_EQ(counted.m_nStatus, 0) << counted.m_strErr;
    const size_t at = counted.m_strErr.find("fault points: ");
    ASSERT_NE(at, std::string::npos) << counted.m_strErr;
    const int calls = std::atoi(counted.m_strErr.c_str() + at + 14);
    ASSERT_GE(calls, 4);
    for (const char* pAction : {"fail", "kill"}) {
        for (int n = 1; n <= calls; ++n) {
            Spit(Base() + ".odx", index);
            Spit(Base() + ".opk", data);
            const CRun run = Run("create " + Base() + " " + newDir,
                                 {{"ORUPACK_FAULT_POINT", std::to_string(n) + ":" + pAction}});
            const std::string where = std::string(pAction) + " at change " + std::to_string(n);
            EXPECT_EQ(Problems(), 0u) << where;
            const auto contents = Contents();
            EXPECT_TRUE(contents == Expected(oldTree) || contents == Expected(newTree)) << where;
            // Past the new index's rename only tidying is left, which may fail.
            if (run.m_nStatus == 0) {
                EXPECT_EQ(contents, Expected(newTree)) << where;
            }
            if (std::string(pAction) == "fail" && contents == Expected(oldTree)) {
                EXPECT_EQ(Slurp(Base() + ".odx"), index) << where;
            }
        }
    }
}

// With room for the data but not for the new index, add, rm and create say
// so, exit 1 and leave the pack as it was.
TEST_F(OrupackShared, AnIndexThatCannotBeSavedLeavesThePackAsItWas)
{
    ORU_TEST_REQUIRES(oru::test::eTestFeature::FILE_SIZE_LIMIT);
    // Long names and one-byte files: the index outgrows the data file.
    for (int i = 0; i < 200; ++i)
        Spit(m_dir.Path() / "tree" / (std::string(90, 'n') + std::to_string(i)), "x");
    ASSERT_EQ(Run("create " + Base() + " " + m_dir.File("tree") + " --sector-size 64").m_nStatus, 0);
    const std::string index = Slurp(Base() + ".odx");
    const uint64_t dataBytes = fs::file_size(Base() + ".opk");
    ASSERT_GT(index.size(), 40000u);
    ASSERT_LT(dataBytes, 16000u);
    Spit(m_dir.Path() / "x", "x");
    const std::vector<std::string> limit = oru::test::FileSizeLimitWords(64);  // 32 KiB for any one file
    for (const std::string& command : {"add " + Base() + " " + m_dir.File("x") + " --as x",
                                       "rm " + Base() + " " + std::string(90, 'n') + "7",
                                       "create " + Base() + " " + m_dir.File("tree")}) {
        const CRun run = RunOrupack(command, {}, limit);
        EXPECT_EQ(run.m_nStatus, 1) << command;
        EXPECT_NE(run.m_strErr.find("cannot save the index"), std::string::npos) << run.m_strErr;
        EXPECT_EQ(Slurp(Base() + ".odx"), index) << command;
        EXPECT_EQ(fs::file_size(Base() + ".opk"), dataBytes) << command;
        EXPECT_EQ(Problems(), 0u) << command;
    }
}

// What stopped commands left is named by verify and taken away by the next
// command that edits; a source whose name cannot be stored fails the run
// and the rest is packed; links to a shared pack are written through.
TEST_F(OrupackShared, LeftoversNamesThatCannotBeStoredAndLinkedPacks)
{
    ASSERT_EQ(Run("create " + Base() + " " + Tree("tree", {{"a", 1}})).m_nStatus, 0);
    Spit(Base() + ".orupack-new-99999.opk", "old");
    Spit(Base() + ".odx.tmp4.2", "half");
    fs::create_directories(Base() + ".staging-Ab12Cd/x");
    const CRun verify = Run("verify " + Base());
    EXPECT_EQ(verify.m_nStatus, 0);
    for (const char* pLeft : {".orupack-new-99999.opk", ".odx.tmp4.2", ".staging-Ab12Cd"})
        EXPECT_NE(verify.m_strOut.find(pLeft), std::string::npos) << verify.m_strOut;

    // A file whose name holds '\' (where a name can) is left out, not packed
    // as a folder and a file.
    if (!oru::test::MissingFeature(oru::test::eTestFeature::BACKSLASH_IN_NAMES)) {
        const std::string tree = Tree("tree", {{"a", 2}, {"b", 2}});
        Spit(m_dir.Path() / "tree" / "a\\b", "backslash");
        const CRun create = Run("create " + Base() + " " + tree);
        EXPECT_EQ(create.m_nStatus, 1);
        EXPECT_NE(create.m_strErr.find("a\\b: skipped, the name cannot be stored"), std::string::npos)
            << create.m_strErr;
        EXPECT_EQ(Contents(), Expected({{"a", 2}, {"b", 2}}));
        EXPECT_EQ(Run("verify " + Base()).m_strOut.find("note"), std::string::npos);
    }

    // pack.odx and pack.opk as links to a pack kept elsewhere.
    if (oru::test::MissingFeature(oru::test::eTestFeature::SYMBOLIC_LINKS))
        return;
    fs::create_directories(m_dir.Path() / "shared");
    for (const char* pExtension : {".odx", ".opk"}) {
        fs::rename(Base() + pExtension, m_dir.File("shared/real") + pExtension);
        fs::create_symlink(m_dir.File("shared/real") + pExtension, Base() + pExtension);
    }
    ASSERT_EQ(Run("create " + Base() + " " + Tree("tree", {{"c", 3}})).m_nStatus, 0);
    Spit(m_dir.Path() / "d", Version("d", 4));
    ASSERT_EQ(Run("add " + Base() + " " + m_dir.File("d") + " --as d").m_nStatus, 0);
    for (const char* pExtension : {".odx", ".opk"})
        EXPECT_TRUE(fs::is_symlink(Base() + pExtension)) << pExtension;
    COruPack real;
    ASSERT_TRUE(real.OpenOruPack(Wide(m_dir.File("shared/real")), ORU_PACK_MODE_READ, 512));
    EXPECT_EQ(ReadEntry(real, L"c", false), Version("c", 3));
    EXPECT_EQ(ReadEntry(real, L"d", true), Version("d", 4));
}

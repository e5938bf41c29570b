// orupack diff and the commands over several packs: a patch made by diff,
// laid over its old pack, reads as the new pack entry for entry, through
// the library's pack set and through the tool.

#include <oru/pack/oru_pack_set.h>

#include "orupack_run.h"
#include "support/entry_read.h"
#include "support/system.h"
#include "support/wide_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <random>
#include <set>
#include <sstream>

using oru::test::RunOrupack;

namespace {

using CTree = std::map<std::string, std::string>;  // path below the tree -> content

// The entry name a pack stores a path under.
std::string EntryName(std::string path)
{
    std::replace(path.begin(), path.end(), '/', '\\');
    std::transform(path.begin(), path.end(), path.begin(), [](char ch) {
        return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch;
    });
    return path;
}

// A random OLD tree, and NEW made from it: each file kept, removed, changed
// at the same size, changed in size, or renamed in case only; then files
// added. Content by entry name, as a reader of the packs sees them.
void MakeTrees(uint32_t seed, CTree& oldTree, CTree& newTree)
{
    std::mt19937 random(seed);
    const char* const folders[] = {"", "maps/", "Maps/Deep/", "text/"};
    for (uint32_t i = 0; i < 80; ++i)
        oldTree[folders[random() % 4] + std::string("file") + std::to_string(i) + (i % 3 ? ".bin" : ".TXT")] =
            Noise(random() % 1500, seed * 1000 + i);
    for (const auto& [path, content] : oldTree) {
        switch (random() % 6) {
        case 0:
            break;
        case 1:
            newTree[path] = Noise(content.size(), random());
            break;
        case 2:
            newTree[path] = content + "more";
            break;
        case 3: {
            std::string upper = path;
            std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
            newTree[upper] = content;
            break;
        }
        default:
            newTree[path] = content;
        }
    }
    for (uint32_t i = 0; i < 10; ++i)
        newTree["new/added" + std::to_string(i)] = Noise(random() % 700, random());
}

CTree ByEntryName(const CTree& tree)
{
    CTree entries;
    for (const auto& [path, content] : tree)
        entries[EntryName(path)] = content;
    return entries;
}


class OrupackLayers : public ::testing::TestWithParam<uint32_t> {
protected:
    void Create(const std::string& name, const CTree& tree)
    {
        for (const auto& [path, content] : tree)
            Spit(m_dir.Path() / (name + "-tree") / path, content);
        ASSERT_EQ(RunOrupack("create " + m_dir.File(name) + " " + m_dir.File(name + "-tree")).m_nStatus, 0);
    }

    CTempDir m_dir;
};

}  // namespace

// OLD under the patch reads as NEW for every name, streamed and preloaded;
// the merged list is NEW's; the patch holds exactly what changed.
TEST_P(OrupackLayers, OldUnderItsDiffReadsAsNew)
{
    CTree oldTree, newTree;
    MakeTrees(GetParam(), oldTree, newTree);
    Create("old", oldTree);
    Create("new", newTree);
    const auto run = RunOrupack("diff " + m_dir.File("old") + " " + m_dir.File("new") + " --out " +
                                           m_dir.File("patch"));
    ASSERT_EQ(run.m_nStatus, 0) << run.m_strErr;

    const CTree olds = ByEntryName(oldTree), news = ByEntryName(newTree);
    size_t changed = 0, removed = 0;
    for (const auto& [name, content] : news)
        changed += olds.count(name) == 0 || olds.at(name) != content;
    for (const auto& [name, content] : olds)
        removed += news.count(name) == 0;
    EXPECT_EQ(run.m_strOut, m_dir.File("patch") + ": " + std::to_string(changed) + " entries added or changed, " +
                                std::to_string(removed) + " removed\n");

    COruPackSet set;
    ASSERT_TRUE(set.AddPack(oru::test::Wide(m_dir.File("old"))));
    ASSERT_TRUE(set.AddPack(oru::test::Wide(m_dir.File("patch"))));
    std::set<std::string> listed, expected;
    for (const auto& [name, entry] : *set.GetFileList())
        listed.insert(std::string(name.begin(), name.end()));
    for (const auto& [name, content] : news) {
        expected.insert(name);
        EXPECT_EQ(oru::test::ReadEntry(set, oru::test::Wide(name), false), content) << name;
        EXPECT_EQ(oru::test::ReadEntry(set, oru::test::Wide(name), true), content) << name;
    }
    EXPECT_EQ(listed, expected);

    // The tool shows the same view, in search order given either way.
    for (const std::string& packs : {"old --layer " + m_dir.File("patch"), "old " + m_dir.File("patch")}) {
        const auto list = RunOrupack("list " + m_dir.File(packs));
        ASSERT_EQ(list.m_nStatus, 0) << list.m_strErr;
        std::set<std::string> names;
        std::istringstream lines(list.m_strOut);
        for (std::string line; std::getline(lines, line);)
            names.insert(line.substr(line.rfind("  ") + 2));
        EXPECT_EQ(names, expected);
    }
    const std::string some = news.begin()->first;
    EXPECT_EQ(RunOrupack("cat " + m_dir.File("old") + " '" + some + "' --layer " + m_dir.File("patch")).m_strOut,
              news.begin()->second);
    EXPECT_EQ(RunOrupack("verify " + m_dir.File("old") + " " + m_dir.File("patch")).m_nStatus, 0);
}

INSTANTIATE_TEST_SUITE_P(RandomTrees, OrupackLayers, ::testing::Values(1u, 2u, 3u));

// An entry whose size and times agree is taken as unchanged without being
// read; --check-content reads it, and finds bytes rewritten under old times.
TEST(OrupackDiff, TrustsSizeAndTimesUnlessAskedToCheckContent)
{
    CTempDir dir;
    const fs::path file = dir.Path() / "tree" / "a.bin";
    Spit(file, "first");
    Spit(dir.Path() / "tree" / "b.bin", "kept");
    ASSERT_EQ(RunOrupack("create " + dir.File("old") + " " + dir.File("tree")).m_nStatus, 0);
    const oru::platform::CFileTimes times = oru::test::SystemFileTimes(file.string());
    std::fstream(file, std::ios::binary | std::ios::in | std::ios::out) << "FIRST";  // in place: same birth
    ASSERT_TRUE(oru::test::SetSystemFileTimes(file.string(), times.m_nAccess, times.m_nWrite));
    ASSERT_EQ(RunOrupack("create " + dir.File("new") + " " + dir.File("tree")).m_nStatus, 0);
    const std::string diff = "diff " + dir.File("old") + " " + dir.File("new") + " --out " + dir.File("patch");
    EXPECT_EQ(RunOrupack(diff).m_strOut, dir.File("patch") + ": 0 entries added or changed, 0 removed\n");
    EXPECT_EQ(RunOrupack(diff + " --check-content").m_strOut,
              dir.File("patch") + ": 1 entries added or changed, 0 removed\n");
    EXPECT_EQ(RunOrupack("cat " + dir.File("old") + " a.bin --layer " + dir.File("patch")).m_strOut, "FIRST");
}

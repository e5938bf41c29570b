// Pack sets: layers merged top first, removal lists, the development folder
// followed by the kernel's reports, and OruPack() left alone.

#include <oru/pack/oru_pack_set.h>

#include "pack_builder.h"
#include "support/entry_read.h"
#include "support/system.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>
#include <utility>

using namespace oru::test;

namespace {

using CChanges = std::vector<std::pair<std::wstring, ORU_PACK_CHANGE>>;
using CContents = std::map<std::wstring, std::string>;

class PackSet : public ::testing::Test {
protected:
    void TearDown() override { COruPack::DeleteInstance(); }

    // Writes (or rewrites) the pack `name` with exactly `contents`.
    std::wstring Pack(const std::string& name, const CContents& contents)
    {
        const std::string base = m_dir.File(name);
        std::filesystem::remove(base + ".odx");
        std::filesystem::remove(base + ".opk");
        COruPack pack;
        pack.OpenOruPack(Wide(base), ORU_PACK_MODE_WRITE, 32);
        for (const auto& [entry, text] : contents)
            EXPECT_TRUE(pack.AddFileData(entry, text.data(), static_cast<uint32_t>(text.size()), 1, 2, 3));
        pack.CloseOruPack();
        return Wide(base);
    }
    // Replaces entries of the pack `name` in place, in one editing session.
    void Edit(const std::string& name, const CContents& contents)
    {
        COruPack pack;
        ASSERT_TRUE(pack.OpenOruPack(Wide(m_dir.File(name)), ORU_PACK_MODE_WRITE, 32));
        for (const auto& [entry, text] : contents)
            EXPECT_TRUE(pack.AddFileData(entry, text.data(), static_cast<uint32_t>(text.size()), 1, 2, 3));
        EXPECT_TRUE(pack.CloseOruPack());
    }
    void Save(const std::string& relative, const std::string& text)
    {
        const auto path = m_dir.Path() / "dev" / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << text;
    }
    std::wstring Folder()
    {
        std::filesystem::create_directories(m_dir.Path() / "dev");
        return Wide(m_dir.File("dev"));
    }

    CTempDir m_dir;
    CChanges m_changes;
    const OruPackChangeCallback m_note = [this](const std::wstring& name, ORU_PACK_CHANGE change) {
        m_changes.emplace_back(name, change);
    };
};


// Every name of the view with its content, read in both modes alike.
CContents View(COruPackSet& set)
{
    CContents view;
    for (const auto& [name, entry] : *set.GetFileList()) {
        const std::optional<std::string> streamed = oru::test::ReadEntry(set, name, false);
        EXPECT_EQ(streamed, oru::test::ReadEntry(set, name, true));
        view[name] = streamed.value_or("(unreadable)");
    }
    return view;
}

}  // namespace

// A name is served by the highest layer that holds it; a removal list hides
// names of the layers below it only, capitals in it included; the list
// itself is not part of the view.
TEST_F(PackSet, ServesEachNameFromTheHighestLayerThatHoldsItUnlessRemovedBelow)
{
    COruPackSet set;
    ASSERT_TRUE(set.AddPack(Pack("base", {{L"a", "base a"}, {L"b", "base b"}, {L"c", "base c"}, {L"d\\x", "x"}})));
    ASSERT_TRUE(set.AddPack(Pack("patch", {{L"b", "patch b"}, {L".oru\\removed", "c\r\nD\\X\nb\n\xff\n"}})));
    ASSERT_TRUE(set.AddPack(Pack("mod", {{L"a", "mod a"}, {L"e", "mod e"}})));
    EXPECT_FALSE(set.AddPack(Wide(m_dir.File("mod"))));     // already a layer
    EXPECT_FALSE(set.AddPack(Wide(m_dir.File("missing"))));
    EXPECT_EQ(View(set), (CContents{{L"a", "mod a"}, {L"b", "patch b"}, {L"e", "mod e"}}));
    EXPECT_EQ(set.GetFileList()->at(L"b").m_nLayer, 1u);
    EXPECT_EQ(oru::test::ReadEntry(set, L"A", false), "mod a");
    EXPECT_FALSE(oru::test::ReadEntry(set, L".oru\\removed", false));

    m_changes.clear();
    ASSERT_TRUE(set.RemoveLayer(Wide(m_dir.File("patch")), m_note));
    EXPECT_EQ(View(set), (CContents{{L"a", "mod a"}, {L"b", "base b"}, {L"c", "base c"}, {L"d\\x", "x"}, {L"e", "mod e"}}));
    EXPECT_EQ(m_changes, (CChanges{{L"b", ORU_PACK_ENTRY_CHANGED}, {L"c", ORU_PACK_ENTRY_ADDED},
                                   {L"d\\x", ORU_PACK_ENTRY_ADDED}}));
    EXPECT_FALSE(set.RemoveLayer(Wide(m_dir.File("patch"))));
    EXPECT_EQ(set.GetLayerCount(), 2u);
}

// Layers are packs of their own: making, using and dropping a set neither
// replaces the process's pack nor creates one.
TEST_F(PackSet, LeavesOruPackAsItWas)
{
    const std::wstring base = Pack("base", {{L"a", "a"}});
    const std::wstring patch = Pack("patch", {{L"b", "b"}});  // a COruPack made here would register
    for (const bool instanceBefore : {false, true}) {
        COruPack* pBefore = instanceBefore ? &OruPack() : nullptr;
        if (instanceBefore) {
            ASSERT_TRUE(InitOruPack(base));
        }
        {
            COruPackSet set;
            ASSERT_TRUE(set.AddPack(base));
            ASSERT_TRUE(set.AddPack(patch));
            EXPECT_EQ(CSingleton<COruPack>::m_pSingleton, pBefore);
        }
        EXPECT_EQ(CSingleton<COruPack>::m_pSingleton, pBefore);
        if (instanceBefore) {
            EXPECT_EQ(OruPack().GetFileList()->size(), 1u);
        }
    }
}

// A refresh reports changes of the merged view: a change under a higher
// layer's entry is none; a save into the development folder is seen at the
// next refresh, in a folder made after the set was, and so is its removal.
TEST_F(PackSet, RefreshReportsWhatChangedInTheMergedView)
{
    COruPackSet set;
    ASSERT_TRUE(set.AddPack(Pack("base", {{L"a", "a"}, {L"hidden", "old"}, {L"maps\\town.xml", "packed"}})));
    ASSERT_TRUE(set.AddPack(Pack("patch", {{L"hidden", "patched"}})));
    ASSERT_TRUE(set.AddFolder(Folder()));
    EXPECT_FALSE(set.RefreshOruPackSet(m_note));

    // A pack made again from nothing (new files under the old names), or,
    // where a removed file's name stays taken while the set holds it open,
    // edited in place.
    if (!oru::test::MissingFeature(oru::test::eTestFeature::REMOVE_OPEN_FILES))
        Pack("base", {{L"a", "a2"}, {L"hidden", "new"}, {L"maps\\town.xml", "packed"}});
    else
        Edit("base", {{L"a", "a2"}, {L"hidden", "new"}});
    EXPECT_TRUE(set.RefreshOruPackSet(m_note));
    EXPECT_EQ(m_changes, (CChanges{{L"a", ORU_PACK_ENTRY_CHANGED}}));
    EXPECT_EQ(oru::test::ReadEntry(set, L"a", true), "a2");
    EXPECT_EQ(oru::test::ReadEntry(set, L"hidden", false), "patched");

    m_changes.clear();
    Save("Maps/Town.xml", "saved by the artist");
    Save("new/deep/tree.png", "added");
    EXPECT_TRUE(set.RefreshOruPackSet(m_note));
    EXPECT_EQ(m_changes, (CChanges{{L"maps\\town.xml", ORU_PACK_ENTRY_CHANGED},
                                   {L"new\\deep\\tree.png", ORU_PACK_ENTRY_ADDED}}));
    EXPECT_EQ(oru::test::ReadEntry(set, L"Maps\\Town.xml", false), "saved by the artist");
    Save("new/deep/tree.png", "saved again");
    m_changes.clear();
    EXPECT_TRUE(set.RefreshOruPackSet(m_note));
    EXPECT_EQ(m_changes, (CChanges{{L"new\\deep\\tree.png", ORU_PACK_ENTRY_CHANGED}}));
    EXPECT_EQ(oru::test::ReadEntry(set, L"new\\deep\\tree.png", true), "saved again");
    EXPECT_FALSE(set.RefreshOruPackSet(m_note));

    m_changes.clear();
    std::filesystem::remove(m_dir.Path() / "dev" / "Maps" / "Town.xml");
    EXPECT_TRUE(set.RefreshOruPackSet(m_note));
    EXPECT_EQ(m_changes, (CChanges{{L"maps\\town.xml", ORU_PACK_ENTRY_CHANGED}}));
    EXPECT_EQ(oru::test::ReadEntry(set, L"maps\\town.xml", false), "packed");
}

// Streams open on other threads while the layers change between them.
TEST_F(PackSet, OpensOnOtherThreadsWhileLayersChange)
{
    COruPackSet set;
    ASSERT_TRUE(set.AddPack(Pack("base", {{L"a", "base"}})));
    const std::wstring patch = Pack("patch", {{L"a", "patch"}});
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            const std::optional<std::string> text = oru::test::ReadEntry(set, L"a", false);
            EXPECT_TRUE(text == "base" || text == "patch");
        }
    });
    for (int i = 0; i < 50; ++i) {
        EXPECT_TRUE(set.AddPack(patch));
        EXPECT_TRUE(set.RemoveLayer(patch));
    }
    stop = true;
    reader.join();
}

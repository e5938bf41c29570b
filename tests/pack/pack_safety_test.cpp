// What editing must survive: a failure or a kill at every write, flush,
// rename and truncation; a second editor; files that are not regular files;
// an index that repeats a name.

#include <oru/pack/oru_pack.h>

#include "pack/pack_check.h"
#include "pack_builder.h"
#include "platform/fault_points.h"
#include "support/process.h"
#include "support/system.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>

using namespace oru::test;
using oru::platform::eFaultAction;
using oru::platform::eFaultKind;

namespace {

constexpr uint32_t SECTOR = 64;

class CSafetyProbe : public COruPack {
public:
    using COruPack::m_pDataFile;
};

// The entry's content, or nothing when it is absent or reads short.
std::optional<Bytes> ReadWholeEntry(COruPack& pack, const std::wstring& name, bool inMemory = false)
{
    COruFile* pFile = pack.OpenFile(name, inMemory);
    if (!pFile)
        return std::nullopt;
    Bytes out(pFile->GetFileSize() + 1);
    const unsigned int got = pFile->Fread(out.data(), 1, static_cast<unsigned int>(out.size()));
    oru_fclose(pFile);
    if (got == 0xFFFFFFFFu)
        return Bytes{0xBA, 0xD0};
    out.resize(got);
    return out;
}

uint64_t CheckProblems(const std::string& base)
{
    oru::detail::CPackCheckHooks hooks;
    hooks.m_fnProblem = [](const std::string& line) { ADD_FAILURE() << line; };
    return oru::detail::CheckPack(base, hooks).m_nProblems;
}

class PackSafety : public ::testing::Test {
protected:
    PackSafety()
    {
        std::filesystem::create_directories(m_dir.Path() / "src");
        m_base = m_dir.File("pack");
    }
    ~PackSafety() override { oru::platform::ArmFaultPoint(0, eFaultAction::FAIL); }

    void Source(const std::string& name, const Bytes& content)
    {
        Spit(m_dir.File("src/" + name), content);
    }
    bool OpenForWriting(COruPack& pack)
    {
        const bool opened = pack.OpenOruPack(Wide(m_base), ORU_PACK_MODE_WRITE, SECTOR);
        pack.SetWorkDir(Wide(m_dir.File("src/")));
        return opened;
    }
    // One editing session, saved.
    void Edit(const std::function<void(COruPack&)>& edit)
    {
        CSafetyProbe editor;
        OpenForWriting(editor);
        ASSERT_TRUE(editor.m_pDataFile);
        edit(editor);
        editor.CloseOruPack();
    }
    _oru_pack_file_info Record(const std::wstring& name)
    {
        COruPack pack;
        EXPECT_TRUE(pack.OpenOruPack(Wide(m_base), ORU_PACK_MODE_READ, SECTOR));
        const auto it = pack.GetFileList()->find(name);
        return it == pack.GetFileList()->end() ? _oru_pack_file_info{} : it->second;
    }

    CTempDir m_dir;
    std::string m_base;
};

// Each edit is run once for every fault point it passes, failing there or
// killed there. Afterwards the pack checks clean and every entry holds its
// old or its new content, nothing else.
struct CEditCase {
    const char* m_pName;
    std::function<void(COruPack&)> m_fnEdit;
    std::map<std::wstring, std::set<std::optional<Bytes>>> m_mapAllowed;
};

TEST_F(PackSafety, EveryEntryReadsOldOrNewContentWhereverAnEditStops)
{
    const Bytes keep = Pattern(150, 1), oldContent = Pattern(200, 2), newContent = Pattern(170, 3),
                added = Pattern(90, 4);
    Source("keep", keep);
    Source("old", oldContent);
    {
        COruPack pack;
        OpenForWriting(pack);
        ASSERT_TRUE(pack.AddFile(L"keep"));
        ASSERT_TRUE(pack.AddFile(L"old"));
        ASSERT_TRUE(pack.DelFile(L"keep"));  // sectors 0-2 free at the save
        ASSERT_TRUE(pack.AddFile(L"keep"));
    }
    const Bytes index = Slurp<Bytes>(m_base + ".odx"), data = Slurp<Bytes>(m_base + ".opk");
    Source("old", newContent);
    Source("new", added);
    const std::optional<Bytes> none;
    const std::vector<CEditCase> cases = {
        {"replacement", [](COruPack& p) { p.AddFile(L"old"); },
         {{L"old", {oldContent, newContent}}, {L"new", {none}}}},
        {"addition", [](COruPack& p) { p.AddFile(L"new"); },
         {{L"old", {oldContent}}, {L"new", {none, added}}}},
        {"deletion", [](COruPack& p) { p.DelFile(L"old"); },
         {{L"old", {oldContent, none}}, {L"new", {none}}}},
        {"save of several edits",
         [](COruPack& p) {
             p.DelFile(L"keep");
             p.AddFile(L"new");
             p.AddFile(L"old");
         },
         {{L"old", {oldContent, newContent}}, {L"new", {none, added}}}},
    };
    const auto run = [&](const CEditCase& edit) {
        COruPack pack;
        if (OpenForWriting(pack))
            edit.m_fnEdit(pack);
    };
    for (const CEditCase& edit : cases) {
        Spit(m_base + ".odx", index);
        Spit(m_base + ".opk", data);
        oru::platform::ArmFaultPoint(0, eFaultAction::FAIL);
        run(edit);
        const uint64_t calls = oru::platform::FaultPointsReached();
        ASSERT_GT(calls, 3u) << edit.m_pName;
        for (const eFaultAction action : {eFaultAction::FAIL, eFaultAction::KILL}) {
            // A kill at call n needs a child that has the test's state.
            if (action == eFaultAction::KILL && MissingFeature(eTestFeature::FORKED_CHILD))
                continue;
            for (uint64_t n = 1; n <= calls; ++n) {
                Spit(m_base + ".odx", index);
                Spit(m_base + ".opk", data);
                if (action == eFaultAction::FAIL) {
                    oru::platform::ArmFaultPoint(n, action);
                    run(edit);
                    oru::platform::ArmFaultPoint(0, action);
                } else {
                    CChild child = StartChild([&] {
                        oru::platform::ArmFaultPoint(n, action);
                        run(edit);
                    });
                    ASSERT_TRUE(WaitForChildEnd(child).EndedByKill()) << n;
                }
                const std::string where = std::string(edit.m_pName) + " stopped at call " +
                                          std::to_string(n) + (action == eFaultAction::KILL ? " (kill)" : "");
                EXPECT_EQ(CheckProblems(m_base), 0u) << where;
                COruPack reader;
                ASSERT_TRUE(reader.OpenOruPack(Wide(m_base), ORU_PACK_MODE_READ, SECTOR)) << where;
                if (edit.m_mapAllowed.count(L"keep") == 0) {
                    const std::optional<Bytes> kept = ReadWholeEntry(reader, L"keep");
                    EXPECT_TRUE(!kept || *kept == keep) << where;
                }
                for (const auto& [name, allowed] : edit.m_mapAllowed)
                    EXPECT_EQ(allowed.count(ReadWholeEntry(reader, name)), 1u) << where;
                COruPack editor;  // the editing lock went with the process or the close
                EXPECT_TRUE(OpenForWriting(editor)) << where;
            }
        }
    }
}

// The data file reaches the disk before the index that points into it
// replaces the old one.
TEST_F(PackSafety, FlushesTheDataFileBeforeTheIndexIsReplaced)
{
    Source("a", Pattern(100));
    COruPack pack;
    OpenForWriting(pack);
    ASSERT_TRUE(pack.AddFile(L"a"));
    std::vector<eFaultKind> trace;
    oru::platform::TraceFaultPoints(&trace);
    pack.CloseOruPack();
    oru::platform::TraceFaultPoints(nullptr);
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace.front(), eFaultKind::SYNC);  // the data file
    const auto rename = std::find(trace.begin(), trace.end(), eFaultKind::RENAME);
    ASSERT_NE(rename, trace.end());
    EXPECT_EQ(*(rename - 1), eFaultKind::SYNC);  // the new index itself
}

// One editor at a time, in one process or two; readers are never held up,
// and the refused editor changes nothing.
TEST_F(PackSafety, ASecondEditorIsRefusedUntilTheFirstCloses)
{
    Source("a", Pattern(100, 1));
    Source("b", Pattern(100, 2));
    CSafetyProbe first;
    EXPECT_FALSE(OpenForWriting(first));  // a new pack
    ASSERT_TRUE(first.AddFile(L"a"));

    CSafetyProbe second;
    EXPECT_FALSE(OpenForWriting(second));
    EXPECT_EQ(second.GetLastOpenResult(), ORU_PACK_OPEN_BUSY);
    EXPECT_FALSE(second.m_pDataFile);
    EXPECT_FALSE(second.AddFile(L"b"));
    second.CloseOruPack();
    EXPECT_FALSE(std::filesystem::exists(m_base + ".odx"));

    if (!MissingFeature(eTestFeature::FORKED_CHILD)) {  // another process, holding nothing itself
        CChild child = StartChild([&] {
            COruPack other;
            const bool refused = !other.OpenOruPack(Wide(m_base), ORU_PACK_MODE_WRITE, SECTOR) &&
                                 !other.AddFile(L"b");
            std::_Exit(refused ? 0 : 1);
        });
        EXPECT_TRUE(WaitForChildEnd(child).ExitedWith(0));
    }

    first.CloseOruPack();
    COruPack reader;
    ASSERT_TRUE(reader.OpenOruPack(Wide(m_base), ORU_PACK_MODE_READ, SECTOR));
    ASSERT_TRUE(OpenForWriting(second));
    EXPECT_EQ(ReadWholeEntry(reader, L"a"), Pattern(100, 1));
    ASSERT_TRUE(second.AddFile(L"b"));
    second.CloseOruPack();
    ASSERT_TRUE(reader.OpenOruPack(Wide(m_base), ORU_PACK_MODE_READ, SECTOR));
    EXPECT_EQ(ReadWholeEntry(reader, L"a"), Pattern(100, 1));
    EXPECT_EQ(ReadWholeEntry(reader, L"b"), Pattern(100, 2));
}

// A FIFO (which no one writes), a device or a folder where a pack file or a
// source should be is refused at once, never waited on.
TEST_F(PackSafety, RefusesFilesThatAreNotRegularWithoutWaiting)
{
    ORU_TEST_REQUIRES(eTestFeature::FIFOS);
    ORU_TEST_REQUIRES(eTestFeature::SYMBOLIC_LINKS);
    Source("a", Pattern(10));
    {
        COruPack pack;
        OpenForWriting(pack);
        ASSERT_TRUE(pack.AddFile(L"a"));
    }
    const std::string fifo = m_dir.File("fifo");
    ASSERT_TRUE(MakeFifo(fifo));
    std::filesystem::create_directory(m_dir.File("folder"));
    const std::string index = m_base + ".odx", data = m_base + ".opk";
    const std::string moved = m_dir.File("moved");
    for (const std::string& odd : {fifo, m_dir.File("folder"), std::string("/dev/zero")}) {
        for (const std::string& target : {index, data}) {
            std::filesystem::rename(target, moved);
            std::filesystem::create_symlink(odd, target);
            CSafetyProbe pack;
            EXPECT_FALSE(pack.OpenOruPack(Wide(m_base), ORU_PACK_MODE_READ, SECTOR) &&
                         pack.OpenFile(L"a", false) != nullptr)
                << odd << " as " << target;
            pack.OpenOruPack(Wide(m_base), ORU_PACK_MODE_WRITE, SECTOR);
            EXPECT_FALSE(pack.m_pDataFile) << odd << " as " << target;
            pack.CloseOruPack();
            std::filesystem::remove(target);
            std::filesystem::rename(moved, target);
        }
        std::filesystem::create_symlink(odd, m_dir.File("src/odd"));
        COruPack pack;
        ASSERT_TRUE(OpenForWriting(pack));
        EXPECT_FALSE(pack.AddFile(L"odd")) << odd;
        std::filesystem::remove(m_dir.File("src/odd"));
    }
    EXPECT_EQ(CheckProblems(m_base), 0u);
}

// An index written elsewhere may repeat a name; after an edit the saved
// header counts the records really written, and the pack still reads.
TEST_F(PackSafety, SavesTheRealRecordCountOfAnIndexThatRepeatsAName)
{
    CPackImage image(SECTOR);
    image.Store(u"same", ToBytes("first"), {0});
    image.Store(u"same", ToBytes("second"), {1});
    image.Store(u"other", ToBytes("other"), {2});
    image.Write(m_base);
    Source("third", Pattern(5));
    {
        COruPack pack;
        ASSERT_TRUE(OpenForWriting(pack));
        ASSERT_TRUE(pack.AddFile(L"third"));
    }
    COruPack reader;
    ASSERT_TRUE(reader.OpenOruPack(Wide(m_base), ORU_PACK_MODE_READ, SECTOR));
    EXPECT_EQ(reader.GetPackInfo()->file_count, 3u);
    EXPECT_EQ(ReadWholeEntry(reader, L"same"), ToBytes("second"));
    EXPECT_EQ(ReadWholeEntry(reader, L"third"), Pattern(5));
}

// A reader keeps the index it loaded while other sessions edit the pack:
// every entry it knows reads as it was, in both modes and through a stream
// opened before, however many sessions ran; a refresh then takes the new
// index and names what changed.
TEST_F(PackSafety, AReaderOfAnOlderIndexNeverGetsAnotherEntrysBytes)
{
    const Bytes a = Pattern(300, 1), b = Pattern(200, 2), b2 = Pattern(250, 3), added = Pattern(300, 4);
    Source("a.bin", a);
    Source("b.bin", b);
    Edit([](COruPack& p) {
        p.AddFile(L"a.bin");
        p.AddFile(L"b.bin");
    });
    COruPack reader;
    ASSERT_TRUE(reader.OpenOruPack(Wide(m_base), ORU_PACK_MODE_READ, SECTOR));
    COruFile* pBefore = reader.OpenFile(L"b.bin", false);
    ASSERT_TRUE(pBefore);
    Source("new1.bin", added);
    Source("b.bin", b2);
    Edit([](COruPack& p) { p.DelFile(L"a.bin"); });    // a's sectors free at this save
    Edit([](COruPack& p) { p.AddFile(L"new1.bin"); });  // which the next session may take
    Edit([](COruPack& p) { p.AddFile(L"b.bin"); });
    for (const bool inMemory : {false, true}) {
        EXPECT_EQ(ReadWholeEntry(reader, L"a.bin", inMemory), a) << inMemory;
        EXPECT_EQ(ReadWholeEntry(reader, L"b.bin", inMemory), b) << inMemory;
    }
    Bytes old(b.size() + 1);
    EXPECT_EQ(pBefore->Fread(old.data(), 1, static_cast<unsigned int>(old.size())), b.size());
    old.resize(b.size());
    EXPECT_EQ(old, b);
    oru_fclose(pBefore);

    std::vector<std::pair<std::wstring, ORU_PACK_CHANGE>> changes;
    EXPECT_TRUE(reader.RefreshOruPack(
        [&](const std::wstring& name, ORU_PACK_CHANGE change) { changes.emplace_back(name, change); }));
    const std::vector<std::pair<std::wstring, ORU_PACK_CHANGE>> expected = {
        {L"a.bin", ORU_PACK_ENTRY_REMOVED}, {L"b.bin", ORU_PACK_ENTRY_CHANGED}, {L"new1.bin", ORU_PACK_ENTRY_ADDED}};
    EXPECT_EQ(changes, expected);
    EXPECT_EQ(ReadWholeEntry(reader, L"b.bin", true), b2);
    EXPECT_EQ(ReadWholeEntry(reader, L"new1.bin"), added);
    EXPECT_FALSE(ReadWholeEntry(reader, L"a.bin"));
    EXPECT_FALSE(reader.RefreshOruPack());  // nothing saved since
    EXPECT_EQ(CheckProblems(m_base), 0u);
}

// Free sectors take new data only while no reader holds the pack: the
// manager, or any stream it opened, even once the manager is gone. A save
// that leaves a free stretch at the end cuts it off, but only then.
TEST_F(PackSafety, EditorsReuseFreeSectorsOnlyWhenNoReaderHoldsThePack)
{
    for (const char* pName : {"a", "b", "c", "d"})
        Source(pName, Pattern(100, 7));
    Edit([](COruPack& p) {
        p.AddFile(L"a");
        p.AddFile(L"b");
    });
    const uint32_t freed = Record(L"a").first_sector;
    Edit([](COruPack& p) { p.DelFile(L"a"); });
    const uint32_t sectors = [&] {
        COruPack pack;
        pack.OpenOruPack(Wide(m_base), ORU_PACK_MODE_READ, SECTOR);
        return pack.GetPackInfo()->sector_count;
    }();
    {
        COruFile* pStream = nullptr;
        {
            COruPack reader;
            ASSERT_TRUE(reader.OpenOruPack(Wide(m_base), ORU_PACK_MODE_READ, SECTOR));
            pStream = reader.OpenFile(L"b", false);
            Edit([](COruPack& p) { p.AddFile(L"c"); });
            EXPECT_GE(Record(L"c").first_sector, sectors) << "appended while the pack is held";
        }
        Edit([](COruPack& p) { p.AddFile(L"d"); });
        EXPECT_GE(Record(L"d").first_sector, sectors) << "appended while a stream is open";
        oru_fclose(pStream);
    }
    Edit([](COruPack& p) { p.AddFile(L"a"); });
    EXPECT_EQ(Record(L"a").first_sector, freed) << "reused once no reader is left";

    const uint64_t before = std::filesystem::file_size(m_base + ".opk");
    {
        COruPack reader;
        ASSERT_TRUE(reader.OpenOruPack(Wide(m_base), ORU_PACK_MODE_READ, SECTOR));
        Edit([](COruPack& p) { p.DelFile(L"d"); });  // the last entry in the file
        EXPECT_EQ(std::filesystem::file_size(m_base + ".opk"), before);
    }
    Edit([](COruPack& p) { p.DelFile(L"c"); });
    EXPECT_LT(std::filesystem::file_size(m_base + ".opk"), before);
    EXPECT_EQ(CheckProblems(m_base), 0u);
    COruPack reader;
    ASSERT_TRUE(reader.OpenOruPack(Wide(m_base), ORU_PACK_MODE_READ, SECTOR));
    EXPECT_EQ(std::filesystem::file_size(m_base + ".opk"),
              uint64_t{reader.GetPackInfo()->sector_count} * (SECTOR + 8));
    EXPECT_EQ(ReadWholeEntry(reader, L"b"), Pattern(100, 7));
}

}  // namespace

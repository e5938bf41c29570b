// The Windows file layer where it differs from other systems: byte-range
// locks that must not block readers, error numbers translated from the
// system's codes, UTF-16 names, folder change reports.

#include "platform/fault_points.h"
#include "platform/file.h"
#include "platform/file_watch.h"
#include "platform/files.h"
#include "platform/output_file.h"
#include "platform/stdio_file.h"
#include "platform/user_folders.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

using namespace oru::platform;
using oru::test::CTempDir;

namespace {

std::string ReadAll(const std::string& path)
{
    std::string bytes;
    ReadWholeFile(path, 1 << 20, bytes);
    return bytes;
}

// `name` under the folder, kept as UTF-8 bytes: a std::filesystem::path
// would read a narrow name in the system's code page instead.
std::string Under(const CTempDir& dir, const std::string& name)
{
    return dir.Path().string() + "/" + name;
}

void WriteFile(const std::string& path, const std::string& text)
{
    COutputFile out;
    ASSERT_TRUE(out.OpenTruncate(path) && out.Write(text.data(), text.size()));
}

}  // namespace

// A reader's mark lasts while any duplicate of its handle is open; the
// editing lock refuses every other handle, read-only ones included, and
// neither lock keeps another handle from reading the data.
TEST(WindowsFileLocks, MarksAndTheEditLockFollowTheirHandles)
{
    CTempDir dir;
    const std::string path = dir.File("p.opk");
    CFile editor = CFile::OpenOrCreateReadWrite(path);
    ASSERT_TRUE(editor.IsOpen());
    EXPECT_FALSE(editor.OthersReading());
    CFile reader = CFile::OpenRead(path);
    ASSERT_TRUE(reader.MarkReader());
    EXPECT_TRUE(editor.OthersReading());
    CFile copy = reader.Duplicate();
    reader.Close();
    EXPECT_TRUE(editor.OthersReading());
    copy.Close();
    EXPECT_FALSE(editor.OthersReading());

    ASSERT_EQ(editor.TryLockExclusive(), CFile::eLock::TAKEN);
    CFile second = CFile::OpenReadWrite(path);
    EXPECT_EQ(second.TryLockExclusive(), CFile::eLock::HELD_ELSEWHERE);
    EXPECT_EQ(CFile::OpenRead(path).TryLockExclusive(), CFile::eLock::HELD_ELSEWHERE);
    const CWritePiece piece{"data", 4};
    ASSERT_TRUE(editor.WriteGatheredAt(0, &piece, 1));
    char got[4] = {};
    EXPECT_TRUE(second.ReadExactAt(0, got, 4) && std::memcmp(got, "data", 4) == 0);
    editor.Close();
    EXPECT_EQ(second.TryLockExclusive(), CFile::eLock::TAKEN);
}

// Callers compare these numbers, so each must come out as on other systems.
TEST(WindowsFileErrors, ReadAsTheErrorNumbersCallersCompare)
{
    CTempDir dir;
    WriteFile(dir.File("file"), "x");
    const struct {
        std::string m_strPath;
        int m_nError;
    } cases[] = {
        {dir.File("missing"), ENOENT},
        {dir.File("none/missing"), ENOENT},
        {dir.Path().string(), EISDIR},
        {"NUL", EINVAL},
        {Under(dir, "bad\xff"), EILSEQ},
    };
    for (const auto& c : cases) {
        ClearLastFileError();
        EXPECT_FALSE(CFile::OpenRead(c.m_strPath).IsOpen()) << c.m_strPath;
        EXPECT_EQ(LastFileError(), c.m_nError) << c.m_strPath;
    }
    COutputFile out;
    EXPECT_FALSE(out.OpenNew(dir.File("file")));
    EXPECT_EQ(errno, EEXIST);
    std::vector<CFolderEntry> entries;
    EXPECT_FALSE(ListFolder(dir.File("file"), entries));
    EXPECT_EQ(LastFileError(), ENOTDIR);
    EXPECT_TRUE(PathMissing(dir.File("none/missing")));
    EXPECT_FALSE(PathMissing(dir.File("file")));
}

// A name above U+FFFF is a surrogate pair to the system and four UTF-8 bytes
// to the library, both ways.
TEST(WindowsFolders, ListNamesAboveTheBasicPlaneAsUtf8)
{
    CTempDir dir;
    const std::string name = "\xF0\x9F\x98\x80.txt";  // U+1F600
    WriteFile(Under(dir, name), "smile");
    ASSERT_TRUE(MakeDirectory(dir.File("sub")));
    std::vector<CFolderEntry> entries;
    ASSERT_TRUE(ListFolder(dir.Path().string(), entries));
    ASSERT_EQ(entries.size(), 2u);
    const bool fileFirst = entries[0].m_strName == name;
    EXPECT_EQ(entries[fileFirst ? 0 : 1].m_strName, name);
    EXPECT_EQ(entries[fileFirst ? 0 : 1].m_eKind, eEntryKind::FILE);
    EXPECT_EQ(entries[fileFirst ? 1 : 0].m_strName, "sub");
    EXPECT_EQ(entries[fileFirst ? 1 : 0].m_eKind, eEntryKind::FOLDER);
    EXPECT_EQ(ReadAll(Under(dir, name)), "smile");
}

// Resolved paths are whole, with '/' separators and no "\\?\" prefix, so
// two names of one folder compare equal as strings.
TEST(WindowsFolders, ResolvedPathsAreWholeWithForwardSlashes)
{
    CTempDir dir;
    ASSERT_TRUE(MakeDirectory(dir.File("a")));
    const std::string resolved = ResolvedPath(dir.File("a"));
    ASSERT_GT(resolved.size(), 3u);
    EXPECT_EQ(resolved[1], ':');
    EXPECT_EQ(resolved.find('\\'), std::string::npos);
    EXPECT_EQ(ResolvedPath(dir.File("a") + "/../a/."), resolved);
    EXPECT_EQ(ResolvedPath(dir.File("missing")), "");
}

// A path that names a drive or starts at a root does not lead from the
// current folder, whichever separator it uses.
TEST(WindowsFolders, AbsolutePathsNameADriveOrARoot)
{
    for (const char* pPath : {"C:\\x\\a.txt", "z:/x", "C:", "c:x", "\\\\server\\share\\a", "\\x", "/x"})
        EXPECT_TRUE(IsAbsolutePath(pPath)) << pPath;
    for (const char* pPath : {"", "a.txt", "x\\y", "x/y", "ab:c", "1:x", ".\\C:"})
        EXPECT_FALSE(IsAbsolutePath(pPath)) << pPath;
}

// A durable save by rename is seen by the watch of that file; another file
// in the folder is not.
TEST(WindowsFileWatch, SeesARenamedSaveButNotItsNeighbours)
{
    CTempDir dir;
    const std::string path = dir.File("index.odx");
    WriteFile(path, "one");
    CFileWatch watch;
    watch.Start(path);
    EXPECT_TRUE(watch.MayHaveChanged());
    EXPECT_FALSE(watch.MayHaveChanged());
    WriteFile(dir.File("other"), "x");
    EXPECT_FALSE(watch.MayHaveChanged());
    WriteFile(dir.File("index.odx.new"), "two");
    ASSERT_TRUE(RenameFile(dir.File("index.odx.new"), path));
    EXPECT_TRUE(watch.MayHaveChanged());
    EXPECT_FALSE(watch.MayHaveChanged());
}

// Memory streams go through a scratch file the system removes on close.
TEST(WindowsStreams, WriteToMemoryCollectsWhatWasWritten)
{
    std::string bytes;
    ASSERT_TRUE(WriteToMemory([](std::FILE* pStream) { return std::fputs("a\nb\0c", pStream) >= 0; }, bytes));
    EXPECT_EQ(bytes, "a\nb");
    EXPECT_FALSE(WriteToMemory([](std::FILE*) { return false; }, bytes));
    EXPECT_EQ(bytes, "");
}

// Values come out as UTF-8 and stay where they were handed out.
TEST(WindowsEnvironment, ValuesAreUtf8AndStayValid)
{
    ASSERT_EQ(_wputenv(L"ORU_FILE_LAYER_TEST=\u00e9t\u00e9"), 0);
    const char* pFirst = EnvironmentValue("ORU_FILE_LAYER_TEST");
    ASSERT_NE(pFirst, nullptr);
    EXPECT_STREQ(pFirst, "\xC3\xA9t\xC3\xA9");
    ASSERT_EQ(_wputenv(L"ORU_FILE_LAYER_TEST=other"), 0);
    EXPECT_STREQ(EnvironmentValue("ORU_FILE_LAYER_TEST"), "other");
    EXPECT_STREQ(pFirst, "\xC3\xA9t\xC3\xA9");
    const std::string state = UserStateFolder();
    EXPECT_EQ(state.find('\\'), std::string::npos);
    EXPECT_EQ(state.substr(state.rfind('/') + 1), "oru_test_platform");
}

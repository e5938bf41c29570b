// What saving a document does with what only Linux file systems have: FIFOs,
// symbolic links any user may make, permission bits and owners.

#include <oru/xml/xml_document.h>

#include "xml/xml_test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

using xmltest::Slurp;
using xmltest::Spit;
using Lines = std::vector<std::wstring>;

namespace {

class LinuxXmlDocument : public ::testing::Test {
protected:
    void SetUp() override { m_doc.SetLogSystem(m_log.Get()); }

    xmltest::CScratchFolder m_folder;
    xmltest::CHistoryLog m_log;
    CXmlDocument m_doc;
};

// A link is followed and kept; a FIFO or a folder is refused without
// blocking and stays what it was.
TEST_F(LinuxXmlDocument, SaveReplacesOnlyRegularFiles)
{
    Spit("target.xml", "old");
    ASSERT_EQ(::symlink("target.xml", "linked.xml"), 0);
    ASSERT_EQ(::mkfifo("save_fifo", 0600), 0);
    ::mkdir("save_folder", 0700);
    m_doc.New(L"doc", L"UTF-8");
    m_doc.InsertChildElement(L"r");

    ASSERT_TRUE(m_doc.Save(L"linked.xml"));
    struct stat st {};
    ASSERT_EQ(::lstat("linked.xml", &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(Slurp("target.xml"), "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\n<r />\n");

    EXPECT_FALSE(m_doc.Save(L"save_fifo"));
    EXPECT_FALSE(m_doc.Save(L"save_folder"));
    ASSERT_EQ(::lstat("save_fifo", &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    ASSERT_EQ(::lstat("save_folder", &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(m_log.Take().size(), 2U);
}

// Players make a settings file read-only to keep a game from rewriting it:
// Save refuses it, as writing in place would be refused. A file it does
// replace keeps its mode, and its owner and group.
TEST_F(LinuxXmlDocument, SaveRefusesAReadOnlyFileAndKeepsTheModeAndOwnerOfOthers)
{
    m_doc.New(L"doc", L"UTF-8");
    m_doc.InsertChildElement(L"settings");
    const std::string locked = "<settings volume=\"3\" />\n";
    Spit("locked.xml", locked);
    ASSERT_EQ(::chmod("locked.xml", 0444), 0);
    EXPECT_FALSE(m_doc.Save(L"locked.xml"));
    EXPECT_EQ(m_log.Take(), Lines{L"3 [Error] xml 파일 저장 실패. (doc : )"});
    struct stat st {};
    ASSERT_EQ(::stat("locked.xml", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0444U);
    EXPECT_EQ(Slurp("locked.xml"), locked);

    Spit("shared.xml", "old");
    ASSERT_EQ(::chmod("shared.xml", 0640), 0);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown("shared.xml", 4321, 4322), 0);
    }
    ASSERT_TRUE(m_doc.Save(L"shared.xml"));
    ASSERT_EQ(::stat("shared.xml", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640U);
    if (root) {
        EXPECT_EQ(st.st_uid, 4321U);
        EXPECT_EQ(st.st_gid, 4322U);
    }
    EXPECT_NE(Slurp("shared.xml"), "old");
}

}  // namespace

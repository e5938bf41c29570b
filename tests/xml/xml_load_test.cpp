// Every way of loading reads a document as Load(path) reads it: from a
// memory buffer, from a stream over a loose file or a pack entry (streaming
// or preloaded, plain or in the compressed wrapper), and from a pack entry by
// name. And a failed load says what went wrong, and where.

#include <oru/pack/oru_file.h>
#include <oru/pack/oru_pack.h>
#include <oru/xml/xml_document.h>

#include "xml/xml_test_support.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

using xmltest::Slurp;
using xmltest::Spit;
using xmltest::Wide;

namespace {

// The compressed wrapper: "ORUGZIP1", the length (32-bit little endian),
// one gzip member. Built here with zlib, independently of the library.
std::string Wrap(const std::string& content)
{
    z_stream zs{};
    deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    std::string gz(deflateBound(&zs, static_cast<uLong>(content.size())) + 32, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.data()));
    zs.avail_in = static_cast<uInt>(content.size());
    zs.next_out = reinterpret_cast<Bytef*>(gz.data());
    zs.avail_out = static_cast<uInt>(gz.size());
    deflate(&zs, Z_FINISH);
    gz.resize(zs.total_out);
    deflateEnd(&zs);
    std::string wrapped = "ORUGZIP1";
    for (int shift = 0; shift < 32; shift += 8)
        wrapped += static_cast<char>((content.size() >> shift) & 0xFF);
    return wrapped + gz;
}

// What a load gave: the saved text of the document, or the error and its place.
std::string Outcome(CXmlDocument& doc, bool loaded)
{
    std::wstring message;
    int line = -1;
    int column = -1;
    if (!loaded) {
        doc.GetLastError(message, line, column);
        return "error " + std::to_string(line) + ":" + std::to_string(column) + " " +
               xmltest::Narrow(message);
    }
    EXPECT_FALSE(doc.GetLastError(message, line, column));
    if (!doc.Save(L"outcome.xml"))
        return "not saved";
    return Slurp("outcome.xml");
}

struct CDocumentCase {
    const char* what;
    std::string bytes;
    const wchar_t* path;  // where to read a value; null for a document that fails
    std::wstring value;   // the value there, or the error "line:column reason"
};

// A document as a Windows editor saves it: CRLF line ends, a CDATA section
// and an attribute value across lines, a condensed text.
const std::string WINDOWS_DOCUMENT =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<level>\r\n  <script><![CDATA[if a < b\r\n"
    "  go()\rend]]></script>\r\n  <sign text=\"one\r\ntwo\">  Welcome\r\n  home  </sign>\r\n</level>\r\n";

const std::vector<CDocumentCase>& DocumentCases()
{
    static const std::vector<CDocumentCase> cases = {
        {"UTF-8 without declaration", "<r>caf\xC3\xA9 &amp; &#xAC00;&#44032;</r>", L"r", L"café & 가가"},
        {"byte-order mark", "\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<r>\xEA\xB0\x80</r>", L"r", L"가"},
        {"EUC-KR", "<?xml version=\"1.0\" encoding=\"EUC-KR\"?><r n=\"1\">\xB0\xA1</r>", L"r", L""},
        {"entities", "<r>&lt;&gt;&quot;&apos;&#65;&#x42; </r>", L"r", L"<>\"'AB"},
        {"Windows CDATA", WINDOWS_DOCUMENT, L"level/script", L"if a < b\n  go()\nend"},
        {"Windows text", WINDOWS_DOCUMENT, L"level/sign", L"Welcome home"},
        {"Windows error", "<?xml version=\"1.0\"?>\r\n<level>\r\n  <a>\r\n  <b/>\r\n</level>\r\n", nullptr,
         L"3:3 <a> is not closed; found </level> at line 5, column 1"},
        {"error after a mark", "\xEF\xBB\xBF<r>\xEA\xB0\x80 &x;</r>", nullptr, L"1:6 Unknown entity &x;"},
    };
    return cases;
}

// Each loader takes the document's bytes, already written to "doc.xml" and
// stored in the pack "assets" as "Doc\\plain.xml" and "Doc\\wrapped.xml".
using Loader = std::function<bool(CXmlDocument&, const std::string&)>;

bool FromStream(CXmlDocument& doc, COruFile* pFile)
{
    const bool loaded = doc.LoadFromFile(pFile, L"stream");
    oru_fclose(pFile);
    return loaded;
}

COruFile* LooseFile(bool inMemory)
{
    return new COruFile(std::fopen("doc.xml", "rb"), inMemory);
}

const std::vector<std::pair<const char*, Loader>>& Loaders()
{
    static const std::vector<std::pair<const char*, Loader>> loaders = {
        {"memory", [](CXmlDocument& doc, const std::string& bytes) {
             return doc.LoadFromMemory(bytes.data(), bytes.size(), L"memory");
         }},
        {"loose stream", [](CXmlDocument& doc, const std::string&) { return FromStream(doc, LooseFile(false)); }},
        {"loose preloaded", [](CXmlDocument& doc, const std::string&) { return FromStream(doc, LooseFile(true)); }},
        {"pack entry by name", [](CXmlDocument& doc, const std::string&) { return doc.LoadFromPack(L"doc\\PLAIN.xml"); }},
        {"wrapped entry by name", [](CXmlDocument& doc, const std::string&) {
             return doc.LoadFromPack(OruPack(), L"Doc\\wrapped.xml");
         }},
        {"wrapped entry preloaded", [](CXmlDocument& doc, const std::string&) {
             return FromStream(doc, OruPack().OpenFile(L"Doc\\wrapped.xml", true));
         }},
    };
    return loaders;
}

void BuildPack(const std::string& bytes)
{
    std::remove("assets.odx");
    std::remove("assets.opk");
    COruPack builder;
    builder.OpenOruPack(L"assets", ORU_PACK_MODE_WRITE, 512);
    const std::string wrapped = Wrap(bytes);
    ASSERT_TRUE(builder.AddFileData(L"Doc\\plain.xml", bytes.data(), static_cast<uint32_t>(bytes.size()), 0, 0, 0));
    ASSERT_TRUE(builder.AddFileData(L"Doc\\wrapped.xml", wrapped.data(), static_cast<uint32_t>(wrapped.size()), 0, 0, 0));
    builder.CloseOruPack();
}

class XmlLoad : public ::testing::Test {
protected:
    void TearDown() override { COruPack::DeleteInstance(); }
    xmltest::CScratchFolder m_folder;
};

TEST_F(XmlLoad, EveryWayOfLoadingReadsAsLoadFromAPath)
{
    for (const CDocumentCase& c : DocumentCases()) {
        SCOPED_TRACE(c.what);
        Spit("doc.xml", c.bytes);
        BuildPack(c.bytes);
        ASSERT_TRUE(InitOruPack(L"assets"));

        CXmlDocument doc;
        const bool loaded = doc.Load(L"doc.xml");
        ASSERT_EQ(loaded, c.path != nullptr);
        if (loaded) {
            std::wstring value;
            ASSERT_TRUE(doc.FindElementGlobal(c.path));
            doc.GetValueString(value);
            EXPECT_EQ(value, c.value);
        } else {
            std::wstring message;
            int line = 0;
            int column = 0;
            ASSERT_TRUE(doc.GetLastError(message, line, column));
            EXPECT_EQ(std::to_wstring(line) + L":" + std::to_wstring(column) + L" " + message, c.value);
        }
        const std::string expected = Outcome(doc, loaded);
        for (const auto& [name, load] : Loaders()) {
            SCOPED_TRACE(name);
            CXmlDocument other;
            EXPECT_EQ(Outcome(other, load(other, c.bytes)), expected);
        }
        COruPack::DeleteInstance();
    }
}

TEST_F(XmlLoad, FailedLoadsSayWhatAndWhere)
{
    std::string list = "<list>\n";
    for (int line = 2; line < 40; ++line)
        list += "  <ok/>\n";
    list += "  <item name=\"sword\">\n  <ok/>\n</list>\n";  // <item> on line 40 is never closed
    struct Case {
        std::string text;
        int line;
        int column;
        const char* reason;
    } cases[] = {
        {list, 40, 3, "<item> is not closed; found </list> at line 42, column 1"},
        {"<r>\n  <a>", 2, 3, "<a> is not closed"},
        {"<r>\n  a &nbsp; b\n</r>", 2, 5, "Unknown entity &nbsp;"},
        {"<r>\n  Tom & Jerry\n</r>", 2, 7, "Unknown entity &"},
        {"<r>&#xZZ;</r>", 1, 4, "Bad character reference &#xZZ;"},
        {"<r>&#0;</r>", 1, 4, "Bad character reference &#0;"},
        {"<a/>\n<b/>", 2, 1, "Second root element <b>"},
        {"<a/>\ntail", 2, 1, "Text after the root element"},
        {"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<r>\n caf\xE9\n</r>", 3, 5, "Bytes invalid in UTF-8"},
        {"<r>\xEA\xB0\x80\xEB\x82\x98 &bad;</r>", 1, 7, "Unknown entity &bad;"},  // columns count characters
        {"<r a=\"1\" a=\"2\"/>", 1, 10, "Attribute a is given twice"},
        {"<r><!-- open </r>", 1, 4, "Comment is not closed"},
        {"<r><![CDATA[x</r>", 1, 4, "CDATA section is not closed"},
        {"<r b=\"1/>", 1, 6, "Attribute value is not closed"},
        {"<?xml version=\"1.0\"", 1, 1, "Declaration is not closed"},
        {"<!DOCTYPE r [<!ENTITY a \"x\">]><r/>", 1, 29, "Root element could not be read"},
        {"\xFF\xFE<\0r\0/\0>\0", 1, 1, "UTF-16 text is not supported; save the file as UTF-8"},
        {"  \n ", 0, 0, "Error document empty."},
        {"", 0, 0, ""},
    };
    xmltest::CHistoryLog log;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        CXmlDocument doc;
        doc.SetLogSystem(log.Get());
        ASSERT_FALSE(doc.LoadFromMemory(c.text.data(), c.text.size(), L"level.xml"));
        std::wstring message;
        int line = -1;
        int column = -1;
        ASSERT_TRUE(doc.GetLastError(message, line, column));
        EXPECT_EQ(xmltest::Narrow(message), c.reason);
        EXPECT_EQ(line, c.line);
        EXPECT_EQ(column, c.column);
        const std::wstring place =
            c.line ? L"line " + std::to_wstring(c.line) + L", column " + std::to_wstring(c.column) + L": " : L"";
        EXPECT_EQ(log.Take(), std::vector<std::wstring>{L"3 [Error] xml 파일 로드 실패. (level.xml : " + place +
                                                        Wide(c.reason) + L")"});
        EXPECT_FALSE(doc.IsCurElement(L"r"));
    }
}

TEST_F(XmlLoad, ErrorsWithoutAPlaceAndSuccessesLeaveTheirOwnState)
{
    CXmlDocument doc;
    std::wstring message = L"kept";
    int line = 7;
    int column = 7;
    EXPECT_FALSE(doc.GetLastError(message, line, column));
    EXPECT_FALSE(doc.LoadFromPack(L"Missing\\entry.xml"));
    EXPECT_FALSE(doc.LoadFromFile(nullptr, L"none"));
    ASSERT_TRUE(doc.GetLastError(message, line, column));
    EXPECT_EQ(message, L"Failed to open file");
    EXPECT_EQ(line, 0);
    EXPECT_EQ(column, 0);
    ASSERT_TRUE(doc.LoadFromMemory("<r/>", 4, L"fine"));
    EXPECT_FALSE(doc.GetLastError(message, line, column));
    EXPECT_EQ(message, L"Failed to open file");
}

}  // namespace

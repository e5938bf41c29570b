#include "xml/xml_input_check.h"

#include <oru/xml/xml_document.h>

#include "xml/xml_test_support.h"

#include <gtest/gtest.h>

#include <string>

using oru::detail::CheckXmlInput;
using oru::detail::XML_INPUT_OK;
using oru::detail::XML_INPUT_TOO_DEEP;
using oru::detail::XML_INPUT_UNSAFE;
using oru::detail::XML_MAX_DEPTH;

namespace {

std::string Repeat(const std::string& piece, int count)
{
    std::string out;
    for (int i = 0; i < count; ++i)
        out += piece;
    return out;
}

std::string Nested(int depth)
{
    return Repeat("<a>", depth) + Repeat("</a>", depth);
}

class XmlInputCheck : public ::testing::Test {
    xmltest::CScratchFolder m_folder;
};

oru::detail::eXmlInputCheck Check(const std::string& text)
{
    return CheckXmlInput(text.data(), text.size());
}

TEST_F(XmlInputCheck, BoundsTheNestingDepthAndNothingElse)
{
    EXPECT_EQ(Check(Nested(XML_MAX_DEPTH)), XML_INPUT_OK);
    EXPECT_EQ(Check(Nested(XML_MAX_DEPTH + 1)), XML_INPUT_TOO_DEEP);
    EXPECT_EQ(Check("<?xml version='1.0' encoding='EUC-KR'?>" + Nested(XML_MAX_DEPTH + 1)),
              XML_INPUT_TOO_DEEP);
    // Siblings, empty elements and markup that is not an element never add up.
    EXPECT_EQ(Check("<r>" + Repeat("<a x='1'/>", 5000) + Repeat("<b></b>", 5000) + "</r>"), XML_INPUT_OK);
    EXPECT_EQ(Check("<r>" + Repeat("<!-- <a> --><![CDATA[<a>]]><?p <a> ?><!X <a>>", 2000) + "</r>"),
              XML_INPUT_OK);
    EXPECT_EQ(Check("<r a='<b><b><b>'>" + Repeat("<a/>", 3000) + "</r>"), XML_INPUT_OK);
}

// Closing tags that the parser does not read as closing tags must not hide
// the nesting that follows them.
TEST_F(XmlInputCheck, ClosingTagsInsideOtherMarkupDoNotLowerTheCount)
{
    const std::string deep = Repeat("<a>", XML_MAX_DEPTH / 2 + 10);
    const std::string closes = Repeat("</a>", XML_MAX_DEPTH);
    for (const std::string& hiding : {"<!--" + closes + "-->", "<![CDATA[" + closes + "]]>",
                                      "<b x=\"" + closes + "\"/>", "<b x='" + closes + "'>"}) {
        EXPECT_EQ(Check(deep + hiding + deep), XML_INPUT_TOO_DEEP) << hiding.substr(0, 12);
    }
    // Closing tags at the top level cannot bank depth either.
    EXPECT_EQ(Check(closes + Nested(XML_MAX_DEPTH + 1)), XML_INPUT_TOO_DEEP);
}

// The UTF-8 rule holds where the parser reads UTF-8: after a byte-order mark,
// or after a declaration that names UTF-8 or no encoding. Before the first
// declaration, and after one naming another encoding, it reads byte by byte.
// Every text the check passes is also loaded, so that a sanitizer build sees
// the parser stay inside its buffer.
TEST_F(XmlInputCheck, RefusesBytesTheParserWouldReadDifferently)
{
    const std::string utf8 = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
    const std::string eucKr = "<?xml version=\"1.0\" encoding=\"EUC-KR\"?>";
    const std::string bom = "\xEF\xBB\xBF";
    struct Case {
        std::string text;
        oru::detail::eXmlInputCheck expected;
    } cases[] = {
        {utf8 + "<r>\xEA\xB0\x80\xEB\x82\x98</r>", XML_INPUT_OK},    // Korean in UTF-8
        {utf8 + "<r>\xB0\xA1\xB3\xAA</r>", XML_INPUT_OK},            // lead bytes before text
        {utf8 + "<r>\xC8\xA1\xC3\x41</r>", XML_INPUT_OK},            // ... or a letter
        {utf8 + "<r>\xE0</a></r>", XML_INPUT_UNSAFE},                // a lead byte swallowing '<'
        {utf8 + "<r a=\"\xC3\"/>", XML_INPUT_UNSAFE},                // ... or a quote
        {utf8 + "<r>\xF0\x9F", XML_INPUT_UNSAFE},                    // ... or the terminator
        {utf8 + std::string("<r>\xE0\0</r>", 9), XML_INPUT_UNSAFE},  // ... or an early zero byte
        {std::string("<r/>\0\xE0<", 7), XML_INPUT_OK},              // bytes after a zero are never read
        {"<?xml version=\"1.0\"?><r>\xE0</r>", XML_INPUT_UNSAFE},    // no encoding named: UTF-8
        {"<?xml encoding='utf8x'?><r>\xE0</r>", XML_INPUT_UNSAFE},    // read as a prefix, any case
        {bom + "<r>\xE0</r>", XML_INPUT_UNSAFE},
        {bom + eucKr + "<r>\xE0</r>", XML_INPUT_UNSAFE},             // the mark wins
        {"<r>\xE0</a></r>", XML_INPUT_OK},                           // no declaration: bytes
        {"<r a=\"\xC3\"/>", XML_INPUT_OK},
        {"<r>\xF0\x9F", XML_INPUT_OK},
        {eucKr + "<N>\xBE\xC8\xB3\xE7</N>", XML_INPUT_OK},
        {" \n<?XML version='1.0' encoding='ISO-8859-1'?><N a='caf\xE9'>caf\xE9</N>", XML_INPUT_OK},
        {"<?xml\xE9 encoding='EUC-KR'?><r>\xE7</r>", XML_INPUT_OK},
        // A declaration further in may switch to UTF-8: from the first one
        // on, the UTF-8 rule holds whatever it names.
        {"<!-- \xE7 --><?xml version='1.0' encoding='EUC-KR'?><r>\xE7</r>", XML_INPUT_UNSAFE},
        {"<!-- \xE7 --><r>\xE7</r>", XML_INPUT_OK},
        {utf8 + "<?xml version=\"a>" + Nested(5) + "\"?><r/>", XML_INPUT_UNSAFE},
        {eucKr + "<?xml version=\"a>" + Nested(5) + "\"?><r/>", XML_INPUT_UNSAFE},
        {"<!DOCTYPE r SYSTEM \"a>b\"><r/>", XML_INPUT_OK},      // quotes there are not honoured
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        EXPECT_EQ(Check(c.text), c.expected);
        if (c.expected == XML_INPUT_OK) {
            xmltest::Spit("passed.xml", c.text);
            CXmlDocument doc;
            doc.Load(L"passed.xml");
        }
    }
}

TEST_F(XmlInputCheck, LoadRefusesTooDeepFilesWithAnErrorLine)
{
    xmltest::CHistoryLog log;
    CXmlDocument doc;
    doc.SetLogSystem(log.Get());
    xmltest::Spit("deep_ok.xml", Nested(XML_MAX_DEPTH));
    EXPECT_TRUE(doc.Load(L"deep_ok.xml"));
    xmltest::Spit("too_deep.xml", Nested(100000));
    EXPECT_FALSE(doc.Load(L"too_deep.xml"));
    EXPECT_EQ(log.Take(), std::vector<std::wstring>{
                              L"3 [Error] xml 파일 로드 실패. (too_deep.xml : line 1, column 3001: Elements nested too deeply)"});
}

}  // namespace

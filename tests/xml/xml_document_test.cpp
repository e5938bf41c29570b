#include <oru/xml/xml_document.h>

#include "support/file_size_limit.h"
#include "support/system.h"
#include "xml/xml_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <charconv>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using xmltest::DataPath;
using xmltest::Slurp;
using xmltest::Spit;
using Lines = std::vector<std::wstring>;

namespace {

class XmlDocument : public ::testing::Test {
protected:
    void SetUp() override { m_doc.SetLogSystem(m_log.Get()); }

    std::wstring Name()
    {
        std::wstring name = L"<none>";
        m_doc.GetElementName(name);
        return name;
    }
    std::wstring Value()
    {
        std::wstring value = L"<none>";
        m_doc.GetValueString(value);
        return value;
    }
    void LoadData(const char* name)
    {
        ASSERT_TRUE(m_doc.Load(DataPath(name)));
        ASSERT_TRUE(m_log.Take().empty());
    }

    xmltest::CScratchFolder m_folder;
    xmltest::CHistoryLog m_log;
    CXmlDocument m_doc;
};

// ---- lifetime: New, Load, Save, Clear --------------------------------------

TEST_F(XmlDocument, NewThenSaveWritesOnlyTheDeclaration)
{
    ASSERT_TRUE(m_doc.New(L"아무 이름", L"UTF-8"));
    ASSERT_TRUE(m_doc.Save(L"new_only.xml"));
    EXPECT_EQ(Slurp("new_only.xml"),
              "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\n");
    EXPECT_TRUE(m_log.Take().empty());
}

TEST_F(XmlDocument, InsertChildElementBuildsDownwardsFromTheDocumentNode)
{
    m_doc.New(L"doc", L"UTF-8");
    EXPECT_EQ(m_doc.GetNumChildElement(), 1);  // the declaration
    ASSERT_TRUE(m_doc.InsertChildElement(L"root"));
    ASSERT_TRUE(m_doc.InsertChildElement(L"child"));
    EXPECT_EQ(Name(), L"child");
    ASSERT_TRUE(m_doc.ParentElement());
    EXPECT_EQ(Name(), L"root");
    ASSERT_TRUE(m_doc.ParentElement());  // the document node
    EXPECT_FALSE(m_doc.ParentElement());
    EXPECT_EQ(m_doc.GetNumChildElement(), 2);
    EXPECT_FALSE(m_doc.InsertChildElement(L""));
    EXPECT_TRUE(m_log.Take().empty());
}

TEST_F(XmlDocument, LoadOfAMissingFileFailsWithOneErrorLine)
{
    EXPECT_FALSE(m_doc.Load(L"no_such_file.xml"));
    EXPECT_EQ(m_log.Take(),
              Lines{L"3 [Error] xml 파일 로드 실패. (no_such_file.xml : Failed to open file)"});
    std::wstring name;
    EXPECT_FALSE(m_doc.IsCurElement(L"root"));
    EXPECT_FALSE(m_doc.GetElementName(name));
    // The failed document remains, under an empty document name.
    EXPECT_FALSE(m_doc.FindElementGlobal(L"root"));
    EXPECT_EQ(m_log.Take(), Lines{L"4 [Skip]  xml 문서에서 root 를 찾던중 root 노드를 찾지 못함."});
}

TEST_F(XmlDocument, LoadFailuresNameTheFileAndTheParserError)
{
    const std::string dir = ORU_TEST_DATA_DIR;
    struct Case {
        const char* file;
        std::wstring errorText;
    } cases[] = {
        {"empty.xml", L""},  // the parser records no error for an empty file
        {"broken.xml", L"line 3, column 5: <open> is not closed; found </close> at line 4, column 5"},
        // The reading stops at the "]>" of the internal subset.
        {"doctype_subset.xml", L"line 1, column 29: Root element could not be read"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        EXPECT_FALSE(m_doc.Load(DataPath(c.file)));
        EXPECT_EQ(m_log.Take(), Lines{L"3 [Error] xml 파일 로드 실패. (" + xmltest::Wide(dir) + L"/" +
                                      xmltest::Wide(c.file) + L" : " + c.errorText + L")"});
        EXPECT_FALSE(m_doc.NextElement());
    }
    // A folder and a FIFO fail as files that cannot be opened, without blocking.
    EXPECT_FALSE(m_doc.Load(L"."));
    EXPECT_EQ(m_log.Take(), Lines{L"3 [Error] xml 파일 로드 실패. (. : Failed to open file)"});
    if (oru::test::MissingFeature(oru::test::eTestFeature::FIFOS))
        return;
    ASSERT_TRUE(oru::test::MakeFifo("load_fifo"));
    EXPECT_FALSE(m_doc.Load(L"load_fifo"));
    EXPECT_EQ(m_log.Take(), Lines{L"3 [Error] xml 파일 로드 실패. (load_fifo : Failed to open file)"});
}

TEST_F(XmlDocument, LoadOfADocumentWithoutElementsLeavesNoCursor)
{
    std::wstring name;
    EXPECT_TRUE(m_doc.Load(DataPath("no_element.xml")));
    EXPECT_FALSE(m_doc.GetElementName(name));
    EXPECT_TRUE(m_doc.FindElementGlobal(L" only a comment, no element "));
    EXPECT_TRUE(m_log.Take().empty());
}

TEST_F(XmlDocument, SaveToAnUnwritablePathFailsAndKeepsTheDocumentName)
{
    LoadData("mixed.xml");
    EXPECT_FALSE(m_doc.Save(L"no_such_folder/out.xml"));
    ASSERT_EQ(m_log.Take().size(), 1U);
    // The name used in "[Skip]" lines is still the loaded path.
    EXPECT_FALSE(m_doc.FindElementGlobal(L"root/zz"));
    EXPECT_EQ(m_log.Take(), Lines{L"4 [Skip] " + DataPath("mixed.xml") +
                                  L" xml 문서에서 root/zz 를 찾던중 zz 노드를 찾지 못함."});
}

TEST_F(XmlDocument, SaveAndLoadKeepTheTreeNamesValuesAndAttributes)
{
    m_doc.New(L"doc", L"UTF-8");
    m_doc.InsertChildElement(L"설정");
    m_doc.SetAttrValueString(L"이름", L"용사 <\"&'>");
    m_doc.SetAttrValueInt(L"n", -7);
    m_doc.InsertChildElement(L"대사");
    m_doc.SetValueString(L"안녕 & <잘 가>");
    m_doc.ParentElement();
    m_doc.InsertChildElement(L"수치");
    m_doc.SetValueDouble(0.1, 17);
    ASSERT_TRUE(m_doc.Save(L"round_trip.xml"));

    CXmlDocument loaded;
    ASSERT_TRUE(loaded.Load(L"round_trip.xml"));
    std::wstring text;
    int n = 0;
    EXPECT_TRUE(loaded.IsCurElement(L"설정"));
    EXPECT_TRUE(loaded.GetAttrValueString(L"이름", text));
    EXPECT_EQ(text, L"용사 <\"&'>");
    EXPECT_TRUE(loaded.GetAttrValueInt(L"n", n));
    EXPECT_EQ(n, -7);
    ASSERT_TRUE(loaded.FindElement(L"대사"));
    EXPECT_TRUE(loaded.GetValueString(text));
    EXPECT_EQ(text, L"안녕 & <잘 가>");
    double number = 0;
    ASSERT_TRUE(loaded.FindElementGlobal(L"설정/수치"));
    EXPECT_TRUE(loaded.GetValueDouble(number));
    EXPECT_EQ(number, 0.1);

    // Saving again gives the same bytes.
    ASSERT_TRUE(loaded.Save(L"round_trip_2.xml"));
    EXPECT_EQ(Slurp("round_trip.xml"), Slurp("round_trip_2.xml"));
}

// With no document, or no current node, nothing dereferences a null pointer:
// every operation fails, and only FindElement and Save say so.
TEST_F(XmlDocument, EveryOperationFailsQuietlyWithoutADocument)
{
    std::wstring text = L"kept";
    int n = 5;
    float f = 2.5F;
    double d = 3.5;
    EXPECT_FALSE(m_doc.ParentElement());
    EXPECT_FALSE(m_doc.PrevElement());
    EXPECT_FALSE(m_doc.NextElement());
    EXPECT_FALSE(m_doc.ChildElement(0));
    EXPECT_FALSE(m_doc.FindElementGlobal(L"a"));
    EXPECT_FALSE(m_doc.InsertChildElement(L"a"));
    EXPECT_FALSE(m_doc.IsCurElement(L"a"));
    EXPECT_FALSE(m_doc.GetElementName(text));
    EXPECT_EQ(m_doc.GetNumChildElement(), 0);
    EXPECT_EQ(m_doc.GetNumElement(), 0);
    EXPECT_FALSE(m_doc.GetValueString(text));
    EXPECT_FALSE(m_doc.GetValueStringEx(text));
    EXPECT_FALSE(m_doc.GetValueInt(n));
    EXPECT_FALSE(m_doc.GetValueFloat(f));
    EXPECT_FALSE(m_doc.GetValueDouble(d));
    EXPECT_FALSE(m_doc.SetValueString(L"x"));
    EXPECT_FALSE(m_doc.SetValueStringEx(L"x"));
    EXPECT_FALSE(m_doc.SetValueInt(1));
    EXPECT_FALSE(m_doc.SetValueFloat(1, 3));
    EXPECT_FALSE(m_doc.SetValueDouble(1, 3));
    EXPECT_FALSE(m_doc.GetAttrValueInt(L"a", n));
    EXPECT_FALSE(m_doc.GetAttrValueFloat(L"a", f));
    EXPECT_FALSE(m_doc.GetAttrValueDouble(L"a", d));
    EXPECT_FALSE(m_doc.SetAttrValueString(L"a", L"b"));
    EXPECT_FALSE(m_doc.SetAttrValueInt(L"a", 1));
    EXPECT_FALSE(m_doc.SetAttrValueFloat(L"a", 1));
    EXPECT_FALSE(m_doc.SetAttrValueDouble(L"a", 1));
    EXPECT_EQ(text, L"kept");
    EXPECT_EQ(n, 5);
    EXPECT_EQ(f, 2.5F);
    EXPECT_EQ(d, 3.5);
    EXPECT_FALSE(m_doc.GetAttrValueString(L"a", text));
    EXPECT_EQ(text, L"");
    m_doc.Print();
    EXPECT_TRUE(m_log.Take().empty());

    EXPECT_FALSE(m_doc.FindElement(L""));
    EXPECT_TRUE(m_log.Take().empty());
    EXPECT_FALSE(m_doc.FindElement(L"a"));
    EXPECT_FALSE(m_doc.Save(L"nothing.xml"));
    EXPECT_EQ(m_log.Take(),
              (Lines{L"4 [Skip] CXmlDocument::FindElement() 호출되었으나 현재 노드가 정해져 있지 않아서 스킵.",
                     L"3 [Error] xml 파일 저장 실패. ( : )"}));
}

// ---- navigation and paths --------------------------------------------------

TEST_F(XmlDocument, StepsStopOnTextAndCommentNodes)
{
    LoadData("mixed.xml");
    EXPECT_EQ(Name(), L"root");
    EXPECT_EQ(m_doc.GetNumChildElement(), 7);  // text, comment, a, c, comment, d, text
    ASSERT_TRUE(m_doc.ChildElement(-1));
    EXPECT_EQ(Name(), L"lead text");  // white space condensed
    EXPECT_FALSE(m_doc.PrevElement());
    ASSERT_TRUE(m_doc.NextElement());
    EXPECT_EQ(Name(), L" first comment ");
    EXPECT_FALSE(m_doc.ChildElement(-1));  // a comment has no children
    ASSERT_TRUE(m_doc.NextElement());
    EXPECT_TRUE(m_doc.IsCurElement(L"a"));
    ASSERT_TRUE(m_doc.ParentElement());
    EXPECT_FALSE(m_doc.ChildElement(7));
    EXPECT_EQ(Name(), L"root");
    ASSERT_TRUE(m_doc.ChildElement(6));
    EXPECT_EQ(Name(), L"tail text");
    EXPECT_FALSE(m_doc.NextElement());
}

TEST_F(XmlDocument, RelativeAndAbsolutePathsReachTheFirstMatch)
{
    LoadData("mixed.xml");
    ASSERT_TRUE(m_doc.FindElement(L"a/b"));
    EXPECT_EQ(Value(), L"first b");
    EXPECT_FALSE(m_doc.FindElementGlobal(L"a/b"));  // the root's own name comes first
    EXPECT_EQ(Value(), L"first b");
    ASSERT_TRUE(m_doc.FindElementGlobal(L"root/a/b"));
    ASSERT_TRUE(m_doc.NextElement());
    EXPECT_EQ(Value(), L"second b");
    EXPECT_EQ(m_doc.GetNumElement(), 2);
    EXPECT_EQ(m_log.Take(), Lines{L"4 [Skip] " + DataPath("mixed.xml") +
                                  L" xml 문서에서 a/b 를 찾던중 a 노드를 찾지 못함."});
    // A relative miss is silent and leaves the cursor.
    EXPECT_FALSE(m_doc.FindElement(L"b"));
    EXPECT_EQ(Value(), L"second b");
    EXPECT_TRUE(m_log.Take().empty());
}

TEST_F(XmlDocument, PathsMatchNodesOfEveryKindAndKeepEmptyPieces)
{
    LoadData("mixed.xml");
    // <c> holds the text "a" and no element a: the text node is reached.
    ASSERT_TRUE(m_doc.FindElement(L"c/a"));
    EXPECT_EQ(m_doc.GetNumChildElement(), 0);
    ASSERT_TRUE(m_doc.FindElementGlobal(L"root/ first comment "));

    m_doc.FindElementGlobal(L"root");
    for (const wchar_t* path : {L"a/", L"a//b", L"/a", L"/"}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(path)));
        EXPECT_FALSE(m_doc.FindElement(path));
        EXPECT_EQ(Name(), L"root");
    }
    // An empty text node is a child with an empty name.
    ASSERT_TRUE(m_doc.FindElement(L"d"));
    ASSERT_TRUE(m_doc.SetValueString(L""));
    m_doc.ParentElement();
    ASSERT_TRUE(m_doc.FindElement(L"d/"));
    EXPECT_EQ(Name(), L"");
}

TEST_F(XmlDocument, CountsSameNamedSiblingsAndMatchesNamesExactly)
{
    LoadData("inventory.xml");
    EXPECT_EQ(m_doc.GetNumElement(), 1);
    EXPECT_TRUE(m_doc.IsCurElement(L"inventory"));
    EXPECT_FALSE(m_doc.IsCurElement(L"Inventory"));
    EXPECT_FALSE(m_doc.IsCurElement(L""));
    ASSERT_TRUE(m_doc.ChildElement(1));
    EXPECT_EQ(m_doc.GetNumElement(), 3);
    ASSERT_TRUE(m_doc.FindElementGlobal(L"inventory/group/group/group/slot"));
    EXPECT_EQ(Value(), L"deep");
    EXPECT_EQ(m_doc.GetNumElement(), 1);
    ASSERT_TRUE(m_doc.ParentElement());
    EXPECT_EQ(m_doc.GetNumElement(), 1);  // nested groups are not siblings
}

TEST_F(XmlDocument, KoreanNamesAndTextsCrossTheInterface)
{
    LoadData("korean.xml");
    ASSERT_TRUE(m_doc.FindElementGlobal(L"설정/캐릭터/대사"));
    EXPECT_EQ(Value(), L"안녕하세요, 모험가님!");
    ASSERT_TRUE(m_doc.FindElementGlobal(L"설정/캐릭터/능력치"));
    float agility = 0;
    EXPECT_TRUE(m_doc.GetAttrValueFloat(L"민첩", agility));
    EXPECT_EQ(agility, 7.5F);
    ASSERT_TRUE(m_doc.FindElementGlobal(L"설정/캐릭터"));
    ASSERT_TRUE(m_doc.NextElement());
    std::wstring name;
    EXPECT_TRUE(m_doc.GetAttrValueString(L"이름", name));
    EXPECT_EQ(name, L"마법사");
    EXPECT_EQ(m_doc.GetNumElement(), 2);
}

// ---- text values -------------------------------------------------------------

TEST_F(XmlDocument, SetValueStringAppendsThenReplacesAndRefusesElementChildren)
{
    m_doc.New(L"doc", L"UTF-8");
    m_doc.InsertChildElement(L"root");
    m_doc.InsertChildElement(L"leaf");
    ASSERT_TRUE(m_doc.SetValueString(L"one"));
    ASSERT_TRUE(m_doc.SetValueString(L"two"));
    EXPECT_EQ(m_doc.GetNumChildElement(), 1);
    EXPECT_EQ(Value(), L"two");

    m_doc.ParentElement();
    EXPECT_FALSE(m_doc.SetValueString(L"값"));
    EXPECT_EQ(Name(), L"root");
    EXPECT_EQ(m_doc.GetNumChildElement(), 1);
    // A text node cannot hold a child: the value would vanish from the file.
    ASSERT_TRUE(m_doc.FindElement(L"leaf/two"));
    EXPECT_FALSE(m_doc.SetValueString(L"x"));
    EXPECT_FALSE(m_doc.InsertChildElement(L"x"));
    EXPECT_EQ(m_log.Take(),
              (Lines{L"4 [Skip]  xml 문서에서 root 노드의 값을 값 로 설정하는데 실패.",
                     L"4 [Skip]  xml 문서에서 two 노드의 값을 x 로 설정하는데 실패.",
                     L"4 [Skip]  xml 문서에서 two 노드의 자식으로 x 를 추가하는데 실패."}));
}

TEST_F(XmlDocument, NumbersAreReadLikeAtoiAndAtof)
{
    LoadData("inventory.xml");
    struct Case {
        const wchar_t* path;
        int asInt;
        double asDouble;
    } cases[] = {
        {L"inventory/gold", 1250, 1250.0},
        {L"inventory/ratio", 2, 2.5e-3},
        {L"inventory/bad", 0, 0.0},
        {L"inventory/huge", 2147483647, 99999999999.0},  // clamped, not wrapped
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.path)));
        ASSERT_TRUE(m_doc.FindElementGlobal(c.path));
        int n = -1;
        double d = -1;
        float f = -1;
        EXPECT_TRUE(m_doc.GetValueInt(n));
        EXPECT_TRUE(m_doc.GetValueDouble(d));
        EXPECT_TRUE(m_doc.GetValueFloat(f));
        EXPECT_EQ(n, c.asInt);
        EXPECT_EQ(d, c.asDouble);
        EXPECT_EQ(f, static_cast<float>(c.asDouble));
    }
    // An element without a text child leaves the outputs alone.
    ASSERT_TRUE(m_doc.FindElementGlobal(L"inventory/group"));
    int n = 9;
    EXPECT_FALSE(m_doc.GetValueInt(n));
    EXPECT_EQ(n, 9);
}

TEST_F(XmlDocument, NumericValuesAreWrittenInTheirFixedForms)
{
    m_doc.New(L"doc", L"UTF-8");
    m_doc.InsertChildElement(L"v");
    struct Case {
        std::function<bool()> set;
        std::wstring text;
    } cases[] = {
        {[&] { return m_doc.SetValueInt(-42); }, L"-42"},
        {[&] { return m_doc.SetValueFloat(1.5F, 3); }, L"1.5"},
        {[&] { return m_doc.SetValueDouble(1234567.0, 3); }, L"1.23e+06"},
        {[&] { return m_doc.SetValueDouble(2.0, 5); }, L"2"},
        {[&] { return m_doc.SetValueDouble(0.1, 0); }, L"0.1"},
        {[&] { return m_doc.SetValueDouble(1.0 / 3.0, -1); }, L"0.333333"},
        // More digits than the 50-character buffer holds are clamped.
        {[&] { return m_doc.SetValueDouble(0.1, 1000); }, L"0.10000000000000001"},
        {[&] { return m_doc.SetValueFloat(-1e30F, 42); }, L"-1.0000000150474662e+30"},
        {[&] { return m_doc.SetValueDouble(-1.7976931348623157e308, 1 << 30); },
         L"-1.7976931348623157e+308"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        ASSERT_TRUE(c.set());
        EXPECT_EQ(Value(), c.text);
    }
}

TEST_F(XmlDocument, LongValuesMoveOnlyThroughTheExForms)
{
    std::wstring longText;
    for (int i = 0; i < 4000; ++i)
        longText += static_cast<wchar_t>(L'가' + (i * 7) % 11172);
    m_doc.New(L"doc", L"UTF-8");
    m_doc.InsertChildElement(L"long");
    EXPECT_FALSE(m_doc.SetValueString(longText));
    EXPECT_EQ(m_log.Take().size(), 1U);
    ASSERT_TRUE(m_doc.SetValueStringEx(longText));
    ASSERT_TRUE(m_doc.Save(L"long.xml"));

    ASSERT_TRUE(m_doc.Load(L"long.xml"));
    std::wstring text = L"kept";
    EXPECT_FALSE(m_doc.GetValueString(text));
    EXPECT_EQ(text, L"kept");
    ASSERT_TRUE(m_doc.GetValueStringEx(text));
    EXPECT_EQ(text, longText);
    EXPECT_TRUE(m_log.Take().empty());
}

// ---- attributes --------------------------------------------------------------

TEST_F(XmlDocument, MissingAttributesLeaveTheirDocumentedOutputs)
{
    LoadData("inventory.xml");
    int n = 9;
    float f = 9;
    double d = 9;
    std::wstring s = L"kept";
    EXPECT_FALSE(m_doc.GetAttrValueInt(L"missing", n));
    EXPECT_FALSE(m_doc.GetAttrValueFloat(L"missing", f));
    EXPECT_FALSE(m_doc.GetAttrValueDouble(L"missing", d));
    EXPECT_FALSE(m_doc.GetAttrValueString(L"missing", s));
    EXPECT_EQ(n, 0);
    EXPECT_EQ(f, 9.0F);
    EXPECT_EQ(d, 0.0);
    EXPECT_EQ(s, L"");

    // Not an element: everything fails at once, and only the string is emptied.
    // The text node under <gold>, its white space condensed by the parser.
    ASSERT_TRUE(m_doc.FindElementGlobal(L"inventory/gold/1250 coins"));
    n = 9;
    d = 9;
    s = L"kept";
    EXPECT_FALSE(m_doc.GetAttrValueInt(L"id", n));
    EXPECT_FALSE(m_doc.GetAttrValueDouble(L"id", d));
    EXPECT_FALSE(m_doc.GetAttrValueString(L"id", s));
    EXPECT_FALSE(m_doc.SetAttrValueInt(L"id", 1));
    EXPECT_EQ(n, 9);
    EXPECT_EQ(d, 9.0);
    EXPECT_EQ(s, L"");
}

TEST_F(XmlDocument, AttributesAreReadAndWrittenInTheirFixedForms)
{
    LoadData("inventory.xml");
    int n = 0;
    double d = 0;
    float f = 0;
    EXPECT_TRUE(m_doc.GetAttrValueInt(L"slots", n));
    EXPECT_EQ(n, 24);
    EXPECT_TRUE(m_doc.GetAttrValueDouble(L"weight", d));
    EXPECT_EQ(d, 12.75);
    EXPECT_TRUE(m_doc.GetAttrValueFloat(L"scale", f));
    EXPECT_EQ(f, -5.0F);
    EXPECT_TRUE(m_doc.GetAttrValueInt(L"owner", n));
    EXPECT_EQ(n, 0);
    ASSERT_TRUE(m_doc.ChildElement(0));
    EXPECT_TRUE(m_doc.GetAttrValueInt(L"damage", n));
    EXPECT_EQ(n, 17);

    ASSERT_TRUE(m_doc.SetAttrValueFloat(L"f", 1.5F));
    ASSERT_TRUE(m_doc.SetAttrValueDouble(L"d", 1.5F));
    ASSERT_TRUE(m_doc.SetAttrValueInt(L"id", -7));
    ASSERT_TRUE(m_doc.SetAttrValueString(L"name", L"큰 검"));
    EXPECT_FALSE(m_doc.SetAttrValueString(L"", L"nameless"));
    EXPECT_TRUE(m_log.Take().empty());
    ASSERT_TRUE(m_doc.Save(L"attributes.xml"));
    const std::string saved = Slurp("attributes.xml");
    EXPECT_NE(saved.find("<item id=\"-7\" name=\"\xED\x81\xB0 \xEA\xB2\x80\" damage=\" 17 points\" "
                         "f=\"1.500000\" d=\"1.500000\" />"),
              std::string::npos)
        << saved;

    // A double kept as text by std::to_chars (the shortest form that reads
    // back exactly) reads back exactly; through SetAttrValueDouble it keeps
    // six decimals of a float.
    const double pi = 3.14159265358979311600;
    char text[32];
    char* end = std::to_chars(text, text + sizeof text, pi).ptr;
    ASSERT_TRUE(m_doc.SetAttrValueString(L"exact", std::wstring(text, end)));
    ASSERT_TRUE(m_doc.SetAttrValueDouble(L"rounded", static_cast<float>(pi)));
    double read = 0;
    EXPECT_TRUE(m_doc.GetAttrValueDouble(L"exact", read));
    EXPECT_EQ(read, pi);
    EXPECT_TRUE(m_doc.GetAttrValueDouble(L"rounded", read));
    EXPECT_EQ(read, 3.141593);
}

// ---- what is saved loads again -------------------------------------------

// A name the parser cannot read back would make the saved file unloadable:
// it is refused with a "[Skip]" line and the document stays as it was.
TEST_F(XmlDocument, RefusesElementAndAttributeNamesThatAreNotXmlNames)
{
    m_doc.New(L"doc", L"UTF-8");
    m_doc.InsertChildElement(L"root");
    ASSERT_TRUE(m_doc.Save(L"names.xml"));
    const std::string before = Slurp("names.xml");
    const std::wstring badNames[] = {L"a b", L"1x", L"-x", L".x", L":x", L"x\"y", L"x'y", L"x<y",
                                     L"x=y", L"x&y", L"x/y", L"x\ty", std::wstring(L"\0x", 2),
                                     L"x\x7F", L"a\u00D7b", L"\u00B7x", L"x\uFFFF"};
    for (const std::wstring& name : badNames) {
        SCOPED_TRACE(testing::PrintToString(name));
        EXPECT_FALSE(m_doc.InsertChildElement(name));
        EXPECT_FALSE(m_doc.SetAttrValueString(name, L"v"));
        const std::wstring shown = name.c_str();  // a log line ends at a zero character
        EXPECT_EQ(m_log.Take(), (Lines{L"4 [Skip] names.xml xml 문서에서 root 노드의 자식으로 " + shown +
                                           L" 를 추가하는데 실패.",
                                       L"4 [Skip] names.xml xml 문서에서 root 노드의 속성 " + shown +
                                           L" 를 설정하는데 실패."}));
        EXPECT_EQ(Name(), L"root");
    }
    ASSERT_TRUE(m_doc.Save(L"names.xml"));
    EXPECT_EQ(Slurp("names.xml"), before);

    for (const wchar_t* name : {L"a-b.c:d", L"_x1", L"설정", L"\u00E9t\u00E9", L"x\u00B7y", L"x\u0301"}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(name)));
        EXPECT_TRUE(m_doc.SetAttrValueString(name, L"v"));
        EXPECT_TRUE(m_doc.InsertChildElement(name));
        m_doc.ParentElement();
    }
    ASSERT_TRUE(m_doc.Save(L"names.xml"));
    ASSERT_TRUE(m_doc.Load(L"names.xml"));
    EXPECT_EQ(m_doc.GetNumChildElement(), 6);
    EXPECT_TRUE(m_log.Take().empty());
}

// A document that would not load again is not saved: the save fails and the
// file stays as it was. Two ways to build one: a "]]>" in a top-level CDATA
// section (printed as it is, it ends the section early and hides the root),
// and elements nested deeper than Load accepts.
TEST_F(XmlDocument, SaveRefusesADocumentThatWouldNotLoadAgain)
{
    const std::string original = "<![CDATA[kept]]><r/>";
    Spit("unsafe.xml", original);
    ASSERT_TRUE(m_doc.Load(L"unsafe.xml"));
    ASSERT_TRUE(m_doc.ParentElement());
    ASSERT_TRUE(m_doc.SetValueString(L"a]]>b"));
    EXPECT_FALSE(m_doc.Save(L"unsafe.xml"));

    CXmlDocument deep;
    deep.SetLogSystem(m_log.Get());
    deep.New(L"deep", L"UTF-8");
    for (int i = 0; i <= 1000; ++i)
        ASSERT_TRUE(deep.InsertChildElement(L"a"));
    EXPECT_FALSE(deep.Save(L"unsafe.xml"));

    EXPECT_EQ(m_log.Take(),
              (Lines{L"3 [Error] xml 파일 저장 실패. (unsafe.xml : The saved text would not load again)",
                     L"3 [Error] xml 파일 저장 실패. (deep : The saved text would not load again)"}));
    EXPECT_EQ(Slurp("unsafe.xml"), original);
}

TEST_F(XmlDocument, AFailedSaveKeepsThePreviousFile)
{
    const std::string path = "save.xml";
    const std::string previous = "<?xml version=\"1.0\" ?>\n<save level=\"1\" />\n";
    Spit(path, previous);
    m_doc.New(L"doc", L"UTF-8");
    m_doc.InsertChildElement(L"save");
    ASSERT_TRUE(m_doc.SetValueStringEx(std::wstring(10000, L'x')));

    const bool childOk = oru::test::InChildWithFileSizeLimit(4096, [&] {
        oru::test::DiskFullFromHere();
        return !m_doc.Save(xmltest::Wide(path)) &&
               m_log.Take() == Lines{L"3 [Error] xml 파일 저장 실패. (doc : )"};
    });
    EXPECT_TRUE(childOk);
    EXPECT_EQ(Slurp(path), previous);
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator("."))
        left.push_back(entry.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"save.xml"});

    ASSERT_TRUE(m_doc.Save(xmltest::Wide(path)));
    EXPECT_EQ(Slurp(path), "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\n<save>" +
                                  std::string(10000, 'x') + "</save>\n");
}

// Two documents saved to one path at the same time: both saves succeed and
// the file holds one of them whole, never a mixture. (The bounded value
// functions only: the unbounded ones share one buffer across threads.)
TEST_F(XmlDocument, TwoThreadsSavingOneFileLeaveOneWholeDocument)
{
    const std::wstring texts[] = {std::wstring(1000, L'a'), std::wstring(500, L'b')};
    for (int round = 0; round < 20; ++round) {
        bool saved[2] = {false, false};
        auto save = [&](int i) {
            CXmlDocument doc;
            doc.New(L"doc", L"UTF-8");
            doc.InsertChildElement(L"r");
            doc.SetValueString(texts[i]);
            saved[i] = doc.Save(L"shared.xml");
        };
        std::thread first(save, 0);
        std::thread second(save, 1);
        first.join();
        second.join();
        EXPECT_TRUE(saved[0] && saved[1]);
        CXmlDocument loaded;
        std::wstring text;
        ASSERT_TRUE(loaded.Load(L"shared.xml"));
        ASSERT_TRUE(loaded.GetValueString(text));
        EXPECT_TRUE(text == texts[0] || text == texts[1]) << "round " << round;
    }
}


// Built through the interface, a document deeper than a load accepts is
// refused before it is printed, and a document of any depth is destroyed
// without one call per level.
TEST_F(XmlDocument, DeepBuiltDocumentsAreRefusedBeforePrintingAndFreedWithoutRecursion)
{
    auto deep = std::make_unique<CXmlDocument>();
    deep->SetLogSystem(m_log.Get());
    deep->New(L"deep", L"UTF-8");
    bool built = true;
    for (int i = 0; i < 300000; ++i)
        built = deep->InsertChildElement(L"a") && built;
    ASSERT_TRUE(built);
    EXPECT_FALSE(deep->Save(L"deep.xml"));
    EXPECT_EQ(m_log.Take(),
              Lines{L"3 [Error] xml 파일 저장 실패. (deep : The saved text would not load again)"});
    EXPECT_FALSE(std::filesystem::exists("deep.xml"));
    deep.reset();
}

// Each thread loads a document of its own and reads its attributes, as a
// game's worker thread loads a level while the main thread reads settings:
// neither ever reads the other document's text.
TEST_F(XmlDocument, DocumentsOnTwoThreadsKeepTheirOwnText)
{
    for (const char* tag : {"a", "b"}) {
        std::string text = "<levels>";
        for (int i = 0; i < 200; ++i)
            text += "<level name=\"" + std::string(tag) + "-level-" + std::to_string(i) + "\" />";
        Spit(std::string(tag) + ".xml", text + "</levels>");
    }
    std::atomic<int> wrong{0};
    auto reader = [&wrong](const std::wstring& tag) {
        for (int round = 0; round < 20; ++round) {
            CXmlDocument doc;
            if (!doc.Load(tag + L".xml") || !doc.ChildElement(0)) {
                ++wrong;
                return;
            }
            int i = 0;
            do {
                std::wstring name;
                doc.GetAttrValueString(L"name", name);
                wrong += name != tag + L"-level-" + std::to_wstring(i++);
            } while (doc.NextElement());
        }
    };
    std::thread first(reader, L"a");
    std::thread second(reader, L"b");
    first.join();
    second.join();
    EXPECT_EQ(wrong, 0);
}

// ---- files in legacy encodings ---------------------------------------------

// The parser reads a file byte by byte when its declaration names an encoding
// other than UTF-8; such files load, and save back byte for byte. Their text
// stays in its own encoding inside the document.
TEST_F(XmlDocument, FilesInLegacyEncodingsLoadAndSaveUnchanged)
{
    for (const char* file : {"euc_kr.xml", "cp949.xml", "latin1.xml"}) {
        SCOPED_TRACE(file);
        ASSERT_TRUE(m_doc.Load(DataPath(file)));
        EXPECT_EQ(Name(), L"N");
        EXPECT_EQ(m_doc.GetNumChildElement(), 1);
        ASSERT_TRUE(m_doc.Save(L"legacy.xml"));
        EXPECT_EQ(Slurp("legacy.xml"), Slurp(std::string(ORU_TEST_DATA_DIR) + "/" + file));
    }
    EXPECT_TRUE(m_log.Take().empty());
}

}  // namespace

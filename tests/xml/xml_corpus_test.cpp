// The cursor reads documents as it did when TinyXML read them for it. For
// the XML files the system's packages installed, the tree our parser builds
// prints exactly as TinyXML's own tree prints (which covers every node kind,
// name, text, attribute and its order), and a walk through the cursor meets
// the names, texts and attributes TinyXML's tree holds. A file TinyXML read
// must load, unless it holds one of the faults that loading now refuses.

#include <oru/xml/xml_document.h>

#include "core/utf8.h"
#include "support/file_bytes.h"
#include "xml/xml_input_check.h"
#include "xml/xml_parser.h"
#include "xml/xml_printer.h"

#include <gtest/gtest.h>
#include <tinyxml.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr uintmax_t CORPUS_BYTE_BUDGET = 16 * 1000 * 1000;

// Every *.xml under /usr/share, sorted; a stride through them when they hold
// more bytes than the budget, so the test stays within seconds.
std::vector<fs::path> CorpusFiles()
{
    std::vector<std::pair<fs::path, uintmax_t>> all;
    std::error_code ec;
    fs::recursive_directory_iterator it("/usr/share", fs::directory_options::skip_permission_denied, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code sizeError;
        if (it->path().extension() == ".xml" && it->is_regular_file(sizeError)) {
            const uintmax_t size = it->file_size(sizeError);
            if (!sizeError)
                all.emplace_back(it->path(), size);
        }
    }
    std::sort(all.begin(), all.end());
    uintmax_t total = 0;
    for (const auto& file : all)
        total += file.second;
    const size_t stride = std::max<uintmax_t>(1, (total + CORPUS_BYTE_BUDGET - 1) / CORPUS_BYTE_BUDGET);
    std::vector<fs::path> chosen;
    for (size_t i = 0; i < all.size(); i += stride)
        chosen.push_back(all[i].first);
    return chosen;
}

std::string NormaliseLineEnds(std::string text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        out += text[i] == '\r' ? '\n' : text[i];
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            ++i;
    }
    return out;
}

// The cursor's reading before this parser: TinyXML on the normalised bytes,
// after the input check, and refused when it stopped before a root element.
bool ReadWithTinyXml(const std::string& bytes, TiXmlDocument& doc)
{
    const std::string text = NormaliseLineEnds(bytes);
    if (text.empty() ||
        oru::detail::CheckXmlInput(text.data(), text.size()) != oru::detail::XML_INPUT_OK)
        return false;
    const char* stop = doc.Parse(text.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
    return !doc.Error() && !(stop && *stop && !doc.RootElement());
}

// TinyXML prints to a FILE only; a scratch file of the test's working
// folder holds the text.
std::string PrintWithTinyXml(const TiXmlDocument& doc)
{
    const char* path = "tinyxml_print.xml";
    std::FILE* stream = std::fopen(path, "wb");
    if (!stream)
        return {};
    doc.SaveFile(stream);
    std::fclose(stream);
    const std::string text = oru::test::Slurp(path);
    std::remove(path);
    return text;
}

// What the cursor's bounded conversion gives for a text of the document.
std::optional<std::wstring> Bounded(const char* utf8)
{
    auto wide = oru::detail::FromUtf8(utf8);
    if (!wide || wide->size() > 1023)
        return std::nullopt;
    return wide;
}

std::optional<std::wstring> NameOf(CXmlDocument& cursor)
{
    std::wstring name;
    return cursor.GetElementName(name) ? std::optional<std::wstring>(name) : std::nullopt;
}

// The first difference between the node under the cursor and `node`, or "".
std::string CompareNode(CXmlDocument& cursor, const TiXmlNode& node)
{
    int children = 0;
    for (const TiXmlNode* pChild = node.FirstChild(); pChild; pChild = pChild->NextSibling())
        ++children;
    if (cursor.GetNumChildElement() != children)
        return std::string("child count at ") + node.Value();
    if (!node.ToDocument() && NameOf(cursor) != Bounded(node.Value()))
        return std::string("name or text at ") + node.Value();
    const TiXmlElement* pElement = node.ToElement();
    for (const TiXmlAttribute* pAttr = pElement ? pElement->FirstAttribute() : nullptr; pAttr; pAttr = pAttr->Next()) {
        const auto name = Bounded(pAttr->Name());
        std::wstring value;
        const bool found = name && cursor.GetAttrValueString(*name, value);
        if (name && (found ? std::optional<std::wstring>(value) : std::nullopt) != Bounded(pAttr->Value()))
            return std::string("attribute ") + pAttr->Name() + " at " + node.Value();
    }
    return "";
}

// Walks the cursor and TinyXML's tree side by side from the document node,
// depth first; the first difference, or "".
std::string CompareWalk(CXmlDocument& cursor, const TiXmlDocument& reference)
{
    if (!cursor.ParentElement())
        return "no way to the document node";
    const TiXmlNode* pNode = &reference;
    while (true) {
        const std::string difference = CompareNode(cursor, *pNode);
        if (!difference.empty())
            return difference;
        if (pNode->FirstChild()) {
            if (!cursor.ChildElement(0))
                return "cannot step down";
            pNode = pNode->FirstChild();
            continue;
        }
        while (pNode != &reference && !pNode->NextSibling()) {
            if (!cursor.ParentElement())
                return "cannot step up";
            pNode = pNode->Parent();
        }
        if (pNode == &reference)
            return "";
        if (!cursor.NextElement())
            return "cannot step to the next sibling";
        pNode = pNode->NextSibling();
    }
}

// The faults a load now refuses though TinyXML read on.
bool IsStricterRefusal(const std::string& reason)
{
    for (const char* prefix : {"Unknown entity", "Bad character reference", "Second root element",
                               "Text after the root element", "Bytes invalid in UTF-8", "Attribute "}) {
        if (reason.rfind(prefix, 0) == 0)
            return true;
    }
    return false;
}

TEST(XmlCorpus, SystemFilesReadAsTinyXmlReadThem)
{
    const std::vector<fs::path> files = CorpusFiles();
    if (files.empty())
        GTEST_SKIP() << "no XML files under /usr/share";
    int compared = 0;
    int bothRefused = 0;
    std::map<std::string, int> stricter;
    for (const fs::path& path : files) {
        const std::string bytes = oru::test::Slurp(path);
        if (bytes.empty())
            continue;  // unreadable
        SCOPED_TRACE(path.string());
        TiXmlDocument reference;
        const bool referenceRead = ReadWithTinyXml(bytes, reference);

        std::string ours = bytes;
        oru::detail::CXmlTree tree;
        oru::detail::CXmlError error;
        const bool read = oru::detail::ParseXml(ours, tree, error);
        if (!read && !referenceRead) {
            ++bothRefused;
            continue;
        }
        if (!read) {
            EXPECT_TRUE(IsStricterRefusal(error.m_strReason)) << error.m_strReason;
            ++stricter[error.m_strReason.substr(0, error.m_strReason.find(' ', 10))];
            continue;
        }
        ASSERT_TRUE(referenceRead) << "loads though TinyXML refused it";
        std::string printed;
        oru::detail::PrintXml(tree, printed);
        ASSERT_EQ(printed, PrintWithTinyXml(reference));

        CXmlDocument cursor;
        ASSERT_TRUE(cursor.LoadFromMemory(bytes.data(), bytes.size(), path.wstring()));
        if (reference.RootElement()) {
            EXPECT_EQ(CompareWalk(cursor, reference), "");
        }
        ++compared;
    }
    std::string summary;
    for (const auto& [reason, count] : stricter)
        summary += " " + reason + ": " + std::to_string(count) + ";";
    std::printf("XML corpus: %zu files, %d compared, %d refused by both, refused now:%s\n", files.size(),
                compared, bothRefused, summary.c_str());
    RecordProperty("compared", compared);
    EXPECT_GT(compared, 0);
}

}  // namespace

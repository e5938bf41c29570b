// The printed form is the one the cursor's files have always had, byte for
// byte, so that saving a loaded file changes nothing that was not edited.
// Texts and attribute values are escaped (the five markup characters as
// entities, control characters as "&#xNN;"); names, comments, CDATA,
// declarations and unknown markup are written as stored, up to a zero byte.

#include "xml/xml_printer.h"

#include <cstdio>
#include <cstring>

namespace oru::detail {
namespace {

void Indent(std::string& out, int depth)
{
    out.append(static_cast<size_t>(depth) * 4, ' ');
}

// As stored, up to the first zero byte.
void AppendRaw(std::string& out, const CXmlText& text)
{
    out.append(text.m_szData, std::strlen(text.m_szData));
}

void AppendEscaped(std::string& out, const CXmlText& text)
{
    const char* p = text.m_szData;
    const char* end = p + text.m_nLength;
    while (p < end) {
        const char* run = p;
        while (run < end) {
            const auto c = static_cast<unsigned char>(*run);
            if (c < 32 || c == '&' || c == '<' || c == '>' || c == '"' || c == '\'')
                break;
            ++run;
        }
        out.append(p, static_cast<size_t>(run - p));
        if (run == end)
            return;
        switch (*run) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default: {
            char code[8];
            std::snprintf(code, sizeof(code), "&#x%02X;", static_cast<unsigned>(static_cast<unsigned char>(*run)));
            out += code;
        }
        }
        p = run + 1;
    }
}

// A value holding '"' is written between single quotes.
void AppendAttribute(std::string& out, const CXmlAttribute& attr)
{
    const bool hasDoubleQuote = attr.m_value.View().find('"') != std::string_view::npos;
    const char quote = hasDoubleQuote ? '\'' : '"';
    AppendEscaped(out, attr.m_name);
    out += '=';
    out += quote;
    AppendEscaped(out, attr.m_value);
    out += quote;
}

void AppendDeclaration(std::string& out, const CXmlNode& node)
{
    out += "<?xml ";
    for (const CXmlAttribute* pAttr = node.m_pFirstAttr; pAttr; pAttr = pAttr->m_pNext) {
        if (!*pAttr->m_value.m_szData)
            continue;
        AppendRaw(out, pAttr->m_name);
        out += "=\"";
        AppendRaw(out, pAttr->m_value);
        out += "\" ";
    }
    out += "?>";
}

void AppendText(std::string& out, const CXmlNode& node, int depth)
{
    if (!node.m_bCdata) {
        AppendEscaped(out, node.m_value);
        return;
    }
    out += '\n';
    Indent(out, depth);
    out += "<![CDATA[";
    AppendRaw(out, node.m_value);
    out += "]]>\n";
}

void AppendEndTag(std::string& out, const CXmlNode& element)
{
    out += "</";
    AppendRaw(out, element.m_value);
    out += '>';
}

// Writes `node` at `depth`. For an element with several children, or one
// that is not text, writes only the start tag and returns true: its
// children follow, then its end tag.
bool AppendNodeStart(std::string& out, const CXmlNode& node, int depth)
{
    switch (node.m_eKind) {
    case XML_NODE_TEXT:
        AppendText(out, node, depth);
        return false;
    case XML_NODE_COMMENT:
        Indent(out, depth);
        out += "<!--";
        AppendRaw(out, node.m_value);
        out += "-->";
        return false;
    case XML_NODE_UNKNOWN:
        Indent(out, depth);
        out += '<';
        AppendRaw(out, node.m_value);
        out += '>';
        return false;
    case XML_NODE_DECLARATION:
        AppendDeclaration(out, node);
        return false;
    case XML_NODE_DOCUMENT:
        return false;
    case XML_NODE_ELEMENT:
        break;
    }
    Indent(out, depth);
    out += '<';
    AppendRaw(out, node.m_value);
    for (const CXmlAttribute* pAttr = node.m_pFirstAttr; pAttr; pAttr = pAttr->m_pNext) {
        out += ' ';
        AppendAttribute(out, *pAttr);
    }
    const CXmlNode* pFirst = node.m_pFirstChild;
    if (!pFirst) {
        out += " />";
        return false;
    }
    out += '>';
    if (pFirst == node.m_pLastChild && pFirst->IsText()) {
        AppendText(out, *pFirst, depth + 1);
        AppendEndTag(out, node);
        return false;
    }
    return true;
}

// One top-level node and everything below it.
void AppendTree(std::string& out, const CXmlNode& top)
{
    const CXmlNode* pNode = &top;
    int depth = 0;
    while (true) {
        if (AppendNodeStart(out, *pNode, depth)) {
            pNode = pNode->m_pFirstChild;
            ++depth;
            if (!pNode->IsText())
                out += '\n';
            continue;
        }
        // Done with pNode: on to its next sibling, closing the elements
        // whose last child it was.
        while (pNode != &top && !pNode->m_pNext) {
            pNode = pNode->m_pParent;
            --depth;
            out += '\n';
            Indent(out, depth);
            AppendEndTag(out, *pNode);
        }
        if (pNode == &top)
            return;
        pNode = pNode->m_pNext;
        if (!pNode->IsText())
            out += '\n';
    }
}

}  // namespace

void PrintXml(const CXmlTree& tree, std::string& out)
{
    if (tree.m_bUtf8Bom)
        out += "\xEF\xBB\xBF";
    for (const CXmlNode* pNode = tree.Document()->m_pFirstChild; pNode; pNode = pNode->m_pNext) {
        AppendTree(out, *pNode);
        out += '\n';
    }
}

int ElementDepth(const CXmlNode* pNode, int limit)
{
    const CXmlNode* pTop = pNode;
    int depth = pNode->IsElement() ? 1 : 0;
    int deepest = depth;
    while (deepest <= limit) {
        if (pNode->m_pFirstChild) {
            pNode = pNode->m_pFirstChild;
            depth += pNode->IsElement() ? 1 : 0;
            deepest = depth > deepest ? depth : deepest;
            continue;
        }
        while (pNode != pTop && !pNode->m_pNext) {
            depth -= pNode->IsElement() ? 1 : 0;
            pNode = pNode->m_pParent;
        }
        if (pNode == pTop)
            break;
        depth -= pNode->IsElement() ? 1 : 0;
        pNode = pNode->m_pNext;
        depth += pNode->IsElement() ? 1 : 0;
        deepest = depth > deepest ? depth : deepest;
    }
    return deepest;
}

}  // namespace oru::detail

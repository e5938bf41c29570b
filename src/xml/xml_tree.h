#pragma once

// The tree behind CXmlDocument: nodes and attributes linked by pointers, all
// of them carved from blocks the tree owns, and every text copied into the
// tree's own character blocks with a terminator after it. Nothing in a node
// owns anything, so destroying a document of any depth frees a handful of
// blocks and never walks the nodes.
//
// The node kinds are those the document's readers see: the document itself,
// elements, text (plain or CDATA), comments, declarations and "unknown"
// markup (a document type, a processing instruction), whose value is the
// markup between '<' and '>'.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace oru::detail {

// Far deeper than any game data; a document nested deeper is refused, and so
// is a built one that would print deeper than this.
constexpr int XML_MAX_DEPTH = 1000;

enum eXmlNodeKind : uint8_t {
    XML_NODE_DOCUMENT,
    XML_NODE_ELEMENT,
    XML_NODE_TEXT,
    XML_NODE_COMMENT,
    XML_NODE_UNKNOWN,
    XML_NODE_DECLARATION,
};

// A text stored in the tree: `m_nLength` bytes at `m_szData`, followed by a
// terminator. The text itself may hold a zero byte (from "&#0;"); the cursor
// reads texts as C strings, as the interface always has.
struct CXmlText {
    const char* m_szData = "";
    size_t m_nLength = 0;

    std::string_view View() const { return {m_szData, m_nLength}; }
};

struct CXmlAttribute {
    CXmlText m_name;
    CXmlText m_value;
    CXmlAttribute* m_pNext = nullptr;
};

struct CXmlNode {
    eXmlNodeKind m_eKind = XML_NODE_DOCUMENT;
    bool m_bCdata = false;  // text only: printed as a CDATA section
    CXmlText m_value;       // tag name, text, comment, unknown markup; empty for a declaration
    CXmlNode* m_pParent = nullptr;
    CXmlNode* m_pFirstChild = nullptr;
    CXmlNode* m_pLastChild = nullptr;
    CXmlNode* m_pPrev = nullptr;
    CXmlNode* m_pNext = nullptr;
    // An element's attributes in document order. A declaration keeps its
    // version, encoding and standalone values here, in that order.
    CXmlAttribute* m_pFirstAttr = nullptr;
    CXmlAttribute* m_pLastAttr = nullptr;

    bool IsElement() const { return m_eKind == XML_NODE_ELEMENT; }
    bool IsText() const { return m_eKind == XML_NODE_TEXT; }
    bool CanHoldChildren() const { return m_eKind == XML_NODE_ELEMENT || m_eKind == XML_NODE_DOCUMENT; }
    const CXmlAttribute* FindAttribute(std::string_view name) const;
};

// Allocation failures throw std::bad_alloc; CXmlDocument catches it at its
// edge, so nothing escapes the library.
class CXmlTree {
public:
    CXmlTree();
    CXmlTree(const CXmlTree&) = delete;
    CXmlTree& operator=(const CXmlTree&) = delete;

    CXmlNode* Document() { return m_pDocument; }
    const CXmlNode* Document() const { return m_pDocument; }

    // A new node or attribute, linked nowhere yet.
    CXmlNode* NewNode(eXmlNodeKind kind);
    CXmlAttribute* NewAttribute();
    // Room for a text of up to `maxLength` bytes and its terminator; the
    // caller writes it and then calls CommitText with the length it used.
    char* ReserveText(size_t maxLength);
    CXmlText CommitText(size_t length);
    CXmlText StoreText(std::string_view text);
    // Stores `text` over `target`, in place when it fits the old one.
    void ReplaceText(CXmlText& target, std::string_view text);

    void AppendChild(CXmlNode* pParent, CXmlNode* pChild);
    void AppendAttribute(CXmlNode* pNode, CXmlAttribute* pAttr);
    // Creates or replaces the attribute `name` of `pNode`.
    void SetAttribute(CXmlNode* pNode, std::string_view name, std::string_view value);

    // A byte-order mark before the text that was loaded; Save writes it back.
    bool m_bUtf8Bom = false;

private:
    void* Allocate(size_t size);
    void NewBlock(size_t size);

    std::vector<std::unique_ptr<char[]>> m_vecBlocks;
    char* m_pFree = nullptr;  // the unused end of the last block
    size_t m_nFree = 0;       // bytes there
    char* m_pReserved = nullptr;
    size_t m_nNextBlock = 0;  // bytes of the last block made; the next is twice that, up to a limit
    CXmlNode* m_pDocument = nullptr;
};

}  // namespace oru::detail

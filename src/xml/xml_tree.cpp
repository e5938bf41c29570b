#include "xml/xml_tree.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <new>

namespace oru::detail {
namespace {

// Blocks start small, for the many small documents, and double up to a
// size that makes their cost vanish for large ones.
constexpr size_t FIRST_BLOCK_BYTES = 4 * 1024;
constexpr size_t LARGEST_BLOCK_BYTES = 256 * 1024;
constexpr size_t ALIGN = alignof(std::max_align_t);

size_t AlignUp(size_t size)
{
    return (size + ALIGN - 1) & ~(ALIGN - 1);
}

}  // namespace

const CXmlAttribute* CXmlNode::FindAttribute(std::string_view name) const
{
    for (const CXmlAttribute* pAttr = m_pFirstAttr; pAttr; pAttr = pAttr->m_pNext) {
        if (pAttr->m_name.View() == name)
            return pAttr;
    }
    return nullptr;
}

CXmlTree::CXmlTree()
{
    m_pDocument = NewNode(XML_NODE_DOCUMENT);
}

// Blocks are handed out from their start; every piece keeps the alignment
// of the next, so nodes may follow texts.
void* CXmlTree::Allocate(size_t size)
{
    size = AlignUp(size);
    if (size > m_nFree)
        NewBlock(size);
    void* pPiece = m_pFree;
    m_pFree += size;
    m_nFree -= size;
    return pPiece;
}

// A block of at least `size` bytes becomes the one pieces come from; what
// was left of the previous one is given up.
void CXmlTree::NewBlock(size_t size)
{
    m_nNextBlock = m_nNextBlock == 0 ? FIRST_BLOCK_BYTES : std::min(m_nNextBlock * 2, LARGEST_BLOCK_BYTES);
    const size_t blockSize = std::max(AlignUp(size), m_nNextBlock);
    m_vecBlocks.push_back(std::make_unique_for_overwrite<char[]>(blockSize));
    m_pFree = m_vecBlocks.back().get();
    m_nFree = blockSize;
}

CXmlNode* CXmlTree::NewNode(eXmlNodeKind kind)
{
    auto* pNode = new (Allocate(sizeof(CXmlNode))) CXmlNode();
    pNode->m_eKind = kind;
    return pNode;
}

CXmlAttribute* CXmlTree::NewAttribute()
{
    return new (Allocate(sizeof(CXmlAttribute))) CXmlAttribute();
}

char* CXmlTree::ReserveText(size_t maxLength)
{
    if (maxLength + 1 > m_nFree)
        NewBlock(maxLength + 1);
    m_pReserved = m_pFree;
    return m_pReserved;
}

CXmlText CXmlTree::CommitText(size_t length)
{
    assert(m_pReserved && length + 1 <= m_nFree);
    char* pText = m_pReserved;
    m_pReserved = nullptr;
    pText[length] = '\0';
    const size_t used = AlignUp(length + 1);  // blocks are multiples of ALIGN, so this fits
    m_pFree += used;
    m_nFree -= used;
    return {pText, length};
}

CXmlText CXmlTree::StoreText(std::string_view text)
{
    if (text.empty())
        return {};
    char* pText = ReserveText(text.size());
    std::memcpy(pText, text.data(), text.size());
    return CommitText(text.size());
}

void CXmlTree::ReplaceText(CXmlText& target, std::string_view text)
{
    if (text.size() <= target.m_nLength && target.m_nLength > 0) {
        char* pText = const_cast<char*>(target.m_szData);  // always a copy in one of our blocks
        std::memmove(pText, text.data(), text.size());
        pText[text.size()] = '\0';
        target.m_nLength = text.size();
        return;
    }
    target = StoreText(text);
}

void CXmlTree::AppendChild(CXmlNode* pParent, CXmlNode* pChild)
{
    pChild->m_pParent = pParent;
    pChild->m_pPrev = pParent->m_pLastChild;
    if (pParent->m_pLastChild)
        pParent->m_pLastChild->m_pNext = pChild;
    else
        pParent->m_pFirstChild = pChild;
    pParent->m_pLastChild = pChild;
}

void CXmlTree::AppendAttribute(CXmlNode* pNode, CXmlAttribute* pAttr)
{
    if (pNode->m_pLastAttr)
        pNode->m_pLastAttr->m_pNext = pAttr;
    else
        pNode->m_pFirstAttr = pAttr;
    pNode->m_pLastAttr = pAttr;
}

void CXmlTree::SetAttribute(CXmlNode* pNode, std::string_view name, std::string_view value)
{
    if (auto* pAttr = const_cast<CXmlAttribute*>(pNode->FindAttribute(name))) {
        ReplaceText(pAttr->m_value, value);
        return;
    }
    CXmlAttribute* pAttr = NewAttribute();
    pAttr->m_name = StoreText(name);
    pAttr->m_value = StoreText(value);
    AppendAttribute(pNode, pAttr);
}

}  // namespace oru::detail

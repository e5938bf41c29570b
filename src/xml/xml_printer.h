#pragma once

// The text form of a tree, as Save and Print write it: four spaces of
// indentation a level, an element without children as "<a />", one with a
// single text child on one line, CDATA on a line of its own.

#include "xml/xml_tree.h"

#include <string>

namespace oru::detail {

// Appends the whole document to `out`, without recursion.
void PrintXml(const CXmlTree& tree, std::string& out);

// How deeply elements nest below `pNode` (an element counts 1); stops
// counting once past `limit`, so a deep tree costs no more than it must.
int ElementDepth(const CXmlNode* pNode, int limit);

}  // namespace oru::detail

#pragma once

// Reads XML text into a CXmlTree, the way the cursor has always read its
// documents (see xml_parser.cpp for the rules), and says where a document
// that cannot be read went wrong.

#include "xml/xml_tree.h"

#include <string>

namespace oru::detail {

struct CXmlError {
    std::string m_strReason;  // English, UTF-8; empty for an empty file
    int m_nLine = 0;          // 1-based; 0 when the error has no place in the text
    int m_nColumn = 0;        // 1-based, in characters of the text
};

// Parses `bytes` (line ends are normalised in place first) into `tree`,
// which must be new. False, with `error` filled, when the text is not a
// document the cursor reads; the tree then holds what was read before the
// error. Throws only std::bad_alloc.
bool ParseXml(std::string& bytes, CXmlTree& tree, CXmlError& error);

}  // namespace oru::detail

#pragma once

// The pass over an XML file's bytes that the cursor made before it handed
// them to TinyXML, kept here to rebuild that reading as the reference the
// cursor's own parser is compared with (xml_corpus_test.cpp).
//
// TinyXML descends one C++ call per nested element, so a file of a few
// hundred kilobytes of "<a>" can overflow any thread's stack. The check
// bounds the nesting depth TinyXML can reach, and refuses the byte patterns
// that would make it read the text differently from this pass (or read past
// the end of its buffer).

#include "xml/xml_tree.h"

#include <cstddef>

namespace oru::detail {

enum eXmlInputCheck {
    XML_INPUT_OK = 0,
    XML_INPUT_TOO_DEEP = 1,        // elements nested deeper than XML_MAX_DEPTH
    XML_INPUT_UNSAFE = 2,          // bytes the parser could read two ways, or past the end
};

// Looks at `size` bytes (the parser stops at the first zero byte, and so
// does this pass). Never reads outside them.
eXmlInputCheck CheckXmlInput(const char* data, size_t size);

// A short English text for the load-failure message; empty for XML_INPUT_OK.
const char* DescribeXmlInputCheck(eXmlInputCheck check);

}  // namespace oru::detail

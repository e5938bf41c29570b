// The pass mirrors how the parser splits a document into markup, and errs on
// the safe side wherever the two could disagree: it may count an element the
// parser never opens (a false "too deep" on absurd input), but it never misses
// one the parser opens. Closing tags only lower the count, never below zero,
// so text that the parser reads as markup-free cannot hide nesting that
// follows it.
//
// Two places where a byte-level pass could be fooled are refused outright:
//  - In its UTF-8 mode the parser takes a lead byte (0xC0 and up) and the next
//    one to three bytes as one character, whatever they are. A lead byte
//    followed by markup ('<', '>', a quote...) would make the parser swallow
//    that markup; followed by the end of the text, it would read past the
//    terminator. Well-formed UTF-8 never does either. The parser reads UTF-8
//    only after a byte-order mark or a declaration naming UTF-8 (or no
//    encoding); before its first declaration, and after one naming any other
//    encoding, it reads byte by byte, so legacy text (EUC-KR, code page 949,
//    Latin-1), whose bytes may stand before any markup, is left alone there.
//  - In a declaration the parser honours quotes after '=' and so may read past
//    the first '>'. A quoted value there that runs past the first '>' is
//    refused.

#include "xml/xml_input_check.h"

#include <tinyxml.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace oru::detail {
namespace {

constexpr size_t NPOS = std::string_view::npos;

bool IsMarkupByte(unsigned char c)
{
    switch (c) {
    case '<': case '>': case '"': case '\'': case '/': case '-': case ']': case '=':
        return true;
    default:
        return false;
    }
}

// True when any of the eight bytes has its two top bits set (0xC0 and up).
bool WordHasLeadByte(const unsigned char* p)
{
    uint64_t word = 0;
    std::memcpy(&word, p, sizeof(word));
    return (word & (word << 1) & 0x8080808080808080ULL) != 0;
}

bool HasUnsafeLeadByte(std::string_view text)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n; ++i) {
        // Most of a document is ASCII markup: skip it eight bytes at a time.
        while (i + 8 <= n && !WordHasLeadByte(p + i))
            i += 8;
        if (i >= n)
            break;
        if (p[i] < 0xC0)
            continue;
        const size_t length = static_cast<size_t>(std::max(TiXmlBase::utf8ByteTable[p[i]], 1));
        for (size_t j = 1; j < length; ++j) {
            if (i + j >= n || IsMarkupByte(p[i + j]))
                return true;
        }
    }
    return false;
}

char LowerAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool StartsWithNoCase(std::string_view text, std::string_view lowerPrefix)
{
    return text.size() >= lowerPrefix.size() &&
           std::equal(lowerPrefix.begin(), lowerPrefix.end(), text.begin(),
                      [](char a, char b) { return a == LowerAscii(b); });
}

// The parser takes any markup that starts "<?xml", in any case, for a
// declaration.
size_t FindDeclaration(std::string_view text, size_t from)
{
    for (size_t i = text.find('<', from); i != NPOS; i = text.find('<', i + 1)) {
        if (StartsWithNoCase(text.substr(i), "<?xml"))
            return i;
    }
    return NPOS;
}

// Longer declarations are not worth a copy; they count as UTF-8, which at
// worst refuses a file the parser would have read.
constexpr size_t MAX_DECLARATION_BYTES = 4096;

// Whether the parser switches to UTF-8 after reading this declaration (from
// its '<' to its first '>'): when its encoding is missing or starts with
// "UTF-8" or "UTF8", in any case. The declaration is read by the parser
// itself, so that the encoding is the one the parser finds.
bool DeclaresUtf8(std::string_view declaration)
{
    if (declaration.size() > MAX_DECLARATION_BYTES)
        return true;
    const std::string copy(declaration);  // terminated, as the parser needs it
    TiXmlDocument document;
    document.Parse(copy.c_str(), nullptr, TIXML_ENCODING_UNKNOWN);
    const TiXmlNode* pFirst = document.FirstChild();
    const TiXmlDeclaration* pDeclaration = pFirst ? pFirst->ToDeclaration() : nullptr;
    if (!pDeclaration)
        return true;
    const std::string_view encoding = pDeclaration->Encoding();
    return encoding.empty() || StartsWithNoCase(encoding, "utf-8") || StartsWithNoCase(encoding, "utf8");
}

// Where the parser may start reading UTF-8; NPOS when it never does. With a
// leading declaration that is exact. Otherwise a declaration further in may
// still switch the parser, at the earliest at the first "<?xml" anywhere,
// and from there on the text is held to the UTF-8 rule.
size_t Utf8ModeStart(std::string_view text)
{
    if (text.starts_with("\xEF\xBB\xBF"))
        return 0;
    const size_t first = text.find_first_not_of(" \t\n\v\f\r");
    if (first == NPOS || !StartsWithNoCase(text.substr(first), "<?xml"))
        return FindDeclaration(text, 0);
    const size_t end = text.find('>', first);
    if (end == NPOS)
        return NPOS;  // the declaration runs to the end: nothing is read after it
    return DeclaresUtf8(text.substr(first, end + 1 - first)) ? end + 1 : NPOS;
}

// The parser opens an element for '<' followed by a letter, '_' or any byte
// from 127 up.
bool StartsElementName(unsigned char c)
{
    return c >= 127 || c == '_' || (c < 127 && std::isalpha(c));
}

bool IsSpaceOrHighByte(unsigned char c)
{
    return c >= 0x80 || std::isspace(c);
}

// A quote that follows '=' (white space between) may be honoured by the
// declaration parser; its value must close before the declaration's end.
bool HasQuoteRunningPast(std::string_view text, size_t begin, size_t end)
{
    for (size_t k = begin; k < end; ++k) {
        const char c = text[k];
        if (c != '"' && c != '\'')
            continue;
        size_t back = k;
        while (back > begin && IsSpaceOrHighByte(static_cast<unsigned char>(text[back - 1])))
            --back;
        if (back == begin || text[back - 1] != '=')
            continue;
        const size_t close = text.find(c, k + 1);
        if (close == NPOS || close > end)
            return true;
    }
    return false;
}

// The end of an element's start tag: the first '>' outside quoted values.
size_t FindTagEnd(std::string_view text, size_t from)
{
    for (size_t pos = from; pos < text.size(); ++pos) {
        const char c = text[pos];
        if (c == '>')
            return pos;
        if (c == '"' || c == '\'') {
            pos = text.find(c, pos + 1);
            if (pos == NPOS)
                return NPOS;
        }
    }
    return NPOS;
}

eXmlInputCheck CheckDepth(std::string_view text)
{
    int depth = 0;
    size_t i = 0;
    while ((i = text.find('<', i)) != NPOS) {
        const std::string_view rest = text.substr(i);
        size_t next = NPOS;
        if (rest.starts_with("<!--")) {
            next = text.find("-->", i + 4);
            next = next == NPOS ? NPOS : next + 3;
        } else if (rest.starts_with("<![CDATA[")) {
            next = text.find("]]>", i + 9);
            next = next == NPOS ? NPOS : next + 3;
        } else if (rest.starts_with("</")) {
            depth = std::max(depth - 1, 0);
            next = text.find('>', i + 2);
            next = next == NPOS ? NPOS : next + 1;
        } else if (rest.size() > 1 && StartsElementName(static_cast<unsigned char>(rest[1]))) {
            if (++depth > XML_MAX_DEPTH)
                return XML_INPUT_TOO_DEEP;
            const size_t end = FindTagEnd(text, i + 1);
            if (end != NPOS && text[end - 1] == '/')
                --depth;
            next = end == NPOS ? NPOS : end + 1;
        } else {
            // A declaration, a document type or other "<!"/"<?" markup: the
            // parser reads it to the first '>'.
            const size_t end = text.find('>', i + 1);
            if (HasQuoteRunningPast(text, i + 1, end == NPOS ? text.size() : end))
                return XML_INPUT_UNSAFE;
            next = end == NPOS ? NPOS : end + 1;
        }
        if (next == NPOS)
            break;
        i = next;
    }
    return XML_INPUT_OK;
}

}  // namespace

eXmlInputCheck CheckXmlInput(const char* data, size_t size)
{
    if (!data)
        return XML_INPUT_OK;
    const void* pZero = std::memchr(data, 0, size);
    const size_t length = pZero ? static_cast<size_t>(static_cast<const char*>(pZero) - data) : size;
    const std::string_view text(data, length);
    const size_t utf8Start = Utf8ModeStart(text);
    if (utf8Start != NPOS && HasUnsafeLeadByte(text.substr(utf8Start)))
        return XML_INPUT_UNSAFE;
    return CheckDepth(text);
}

const char* DescribeXmlInputCheck(eXmlInputCheck check)
{
    switch (check) {
    case XML_INPUT_TOO_DEEP:
        return "Elements nested too deeply";
    case XML_INPUT_UNSAFE:
        return "Unsafe byte sequence in markup";
    case XML_INPUT_OK:
        break;
    }
    return "";
}

}  // namespace oru::detail

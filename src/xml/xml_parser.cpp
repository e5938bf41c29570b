// The cursor's documents have always been read by TinyXML, and games have
// files that depend on how it reads them. This parser reads them the same
// way, node for node, into our own tree, but in one pass without recursion
// and without a string allocation per node, and it says where a document
// goes wrong. What it keeps from that reading:
//
//  - Text is condensed: leading and trailing white space is dropped and every
//    run inside becomes one space; a text left empty is no node at all.
//    White space is the C locale's (space, tab, the line breaks, \v, \f).
//    CDATA sections and attribute values are kept as written.
//  - Markup is recognised by its first characters: "<?xml" in any case is a
//    declaration (so a "<?xml-stylesheet ...?>" is one too), "<!--" a comment,
//    "<![CDATA[" a CDATA text, any other "<!" and a '<' not followed by a
//    letter or '_' an "unknown" node that runs to the first '>'. Names are
//    letters, digits, '_', '-', '.', ':' and any byte from 127 up.
//  - Attribute values may lack quotes; an end tag may have blanks before '>'.
//  - The text is read byte by byte until a declaration names UTF-8 (or no
//    encoding), or from the start after a byte-order mark. In UTF-8, the
//    characters U+FEFF, U+FFFE and U+FFFF count as white space where blanks
//    between pieces of markup are skipped. Character references come out as
//    UTF-8 there, as one byte in a legacy encoding.
//  - The text ends at its first zero byte; "\r\n" and a lone "\r" become
//    "\n" first.
//
// Where that reading silently lost or invented data, the document is now
// refused with the place of the fault: an entity other than the five
// predefined ones (it used to lose its '&'), a character reference that is
// malformed or names no character, a second root element or text after the
// root (they used to be kept or dropped without a word), a comment, CDATA
// section or declaration cut short, bytes that are not UTF-8 in a document
// read as UTF-8, and attributes given twice. Elements nested deeper than
// XML_MAX_DEPTH are refused, as they always were.

#include "xml/xml_parser.h"

#include <array>
#include <cstring>
#include <string_view>
#include <unordered_set>

namespace oru::detail {
namespace {

enum : uint8_t {
    CLASS_SPACE = 1,       // white space of the C locale
    CLASS_NAME_START = 2,  // may start a name
    CLASS_NAME = 4,        // may continue a name
};

constexpr std::array<uint8_t, 256> MakeClasses()
{
    std::array<uint8_t, 256> classes{};
    for (int c : {' ', '\t', '\n', '\v', '\f', '\r'})
        classes[c] = CLASS_SPACE;
    for (int c = 0; c < 256; ++c) {
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c >= 127;
        if (letter || c == '_')
            classes[c] |= CLASS_NAME_START | CLASS_NAME;
        if ((c >= '0' && c <= '9') || c == '-' || c == '.' || c == ':')
            classes[c] |= CLASS_NAME;
    }
    return classes;
}

constexpr std::array<uint8_t, 256> CLASSES = MakeClasses();

bool Is(char c, uint8_t cls)
{
    return (CLASSES[static_cast<unsigned char>(c)] & cls) != 0;
}

bool StartsWith(const char* p, std::string_view prefix)
{
    return std::strncmp(p, prefix.data(), prefix.size()) == 0;
}

char LowerAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// `lowerPrefix` is lower case.
bool StartsWithNoCase(const char* p, std::string_view lowerPrefix)
{
    for (char c : lowerPrefix) {
        if (LowerAscii(*p++) != c)
            return false;
    }
    return true;
}

constexpr size_t NO_PLACE = static_cast<size_t>(-1);

void NormaliseLineEnds(std::string& bytes)
{
    size_t out = bytes.find('\r');
    if (out == std::string::npos)
        return;
    for (size_t in = out; in < bytes.size(); ++in) {
        if (bytes[in] == '\r') {
            bytes[out++] = '\n';
            if (in + 1 < bytes.size() && bytes[in + 1] == '\n')
                ++in;
        } else {
            bytes[out++] = bytes[in];
        }
    }
    bytes.resize(out);
}

// The offset of the first byte that does not belong to a well-formed UTF-8
// sequence (no overlong forms, surrogates or values past U+10FFFF); NO_PLACE
// when there is none.
size_t FindInvalidUtf8(std::string_view text)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        if (i + 8 <= n) {
            uint64_t word = 0;
            std::memcpy(&word, p + i, 8);
            if ((word & 0x8080808080808080ULL) == 0) {
                i += 8;
                continue;
            }
        }
        const unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            low = c == 0xE0 ? 0xA0 : 0x80;
            high = c == 0xED ? 0x9F : 0xBF;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            low = c == 0xF0 ? 0x90 : 0x80;
            high = c == 0xF4 ? 0x8F : 0xBF;
        } else {
            return i;
        }
        if (i + length > n || p[i + 1] < low || p[i + 1] > high)
            return i;
        for (size_t k = 2; k < length; ++k) {
            if (p[i + k] < 0x80 || p[i + k] > 0xBF)
                return i;
        }
        i += length;
    }
    return NO_PLACE;
}

size_t PutUtf8(uint32_t c, char* out)
{
    if (c < 0x80) {
        out[0] = static_cast<char>(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<char>(0xC0 | (c >> 6));
        out[1] = static_cast<char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (c >> 12));
        out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (c >> 18));
    out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
}

enum eReading {
    READING_BYTES,  // before any declaration, or after one naming another encoding
    READING_UTF8,
};

class CParser {
public:
    CParser(const std::string& bytes, CXmlTree& tree)
        : m_pBase(bytes.c_str()), m_tree(tree)
    {
    }

    bool Parse();
    bool ReadsUtf8Throughout() const { return m_bUtf8Document; }
    // The error, once Parse returned false.
    const std::string& Reason() const { return m_strReason; }
    size_t Place() const { return m_nPlace; }
    // A second place that the reason names last ("... found </b> at "); NO_PLACE when none.
    size_t AlsoPlace() const { return m_nAlsoPlace; }

private:
    const char* SkipSpace(const char* p) const;
    bool Fail(const char* p, std::string reason);
    bool FailAt(size_t place, std::string reason);

    const char* ParseMarkup(const char* p, CXmlNode* pParent);
    const char* ParseElement(const char* p, CXmlNode* pParent);
    const char* OpenElement(const char* p, CXmlNode* pParent, bool& hasContent);
    const char* ReadAttribute(const char* p, CXmlNode* pElement);
    const char* ReadQuotedValue(const char* p, CXmlText& value);
    const char* ReadText(const char* p, CXmlNode* pParent);
    const char* ReadDeclaration(const char* p, CXmlNode* pParent);
    bool ReadDeclarationValue(const char*& p, CXmlText& value);
    const char* ReadDelimited(const char* p, CXmlNode* pParent, eXmlNodeKind kind, std::string_view open,
                              std::string_view close, const char* whatIsNotClosed);
    const char* ReadUnknown(const char* p, CXmlNode* pParent);
    bool AppendEntity(const char*& p, const char* pLimit, char*& out);
    std::string_view NameAt(const char* p) const;
    bool IsDuplicate(CXmlNode* pElement, std::string_view name);

    const char* m_pBase;
    CXmlTree& m_tree;
    eReading m_eReading = READING_BYTES;
    bool m_bEncodingKnown = false;
    bool m_bUtf8Document = true;
    std::vector<CXmlNode*> m_vecOpen;       // elements whose end tag is still to come
    std::vector<const char*> m_vecOpenAt;   // where each of them starts
    std::unordered_set<std::string_view> m_setNames;  // attribute names of a crowded element
    std::string m_strReason;
    size_t m_nPlace = NO_PLACE;
    size_t m_nAlsoPlace = NO_PLACE;
};

bool CParser::Fail(const char* p, std::string reason)
{
    return FailAt(p ? static_cast<size_t>(p - m_pBase) : NO_PLACE, std::move(reason));
}

bool CParser::FailAt(size_t place, std::string reason)
{
    m_strReason = std::move(reason);
    m_nPlace = place;
    return false;
}

const char* CParser::SkipSpace(const char* p) const
{
    if (m_eReading == READING_BYTES) {
        while (Is(*p, CLASS_SPACE))
            ++p;
        return p;
    }
    while (true) {
        const auto* u = reinterpret_cast<const unsigned char*>(p);
        if (u[0] == 0xEF && ((u[1] == 0xBB && u[2] == 0xBF) || (u[1] == 0xBF && (u[2] == 0xBE || u[2] == 0xBF))))
            p += 3;
        else if (Is(*p, CLASS_SPACE))
            ++p;
        else
            return p;
    }
}

std::string_view CParser::NameAt(const char* p) const
{
    const char* end = p;
    while (Is(*end, CLASS_NAME))
        ++end;
    return {p, static_cast<size_t>(end - p)};
}

bool CParser::Parse()
{
    const char* p = m_pBase;
    if (StartsWith(p, "\xEF\xBB\xBF")) {
        m_eReading = READING_UTF8;
        m_bEncodingKnown = true;
        m_tree.m_bUtf8Bom = true;
    }
    CXmlNode* pDocument = m_tree.Document();
    CXmlNode* pRoot = nullptr;
    p = SkipSpace(p);
    while (*p) {
        if (*p != '<') {
            return pRoot ? Fail(p, "Text after the root element")
                         : Fail(p, "Root element could not be read");
        }
        if (pRoot && Is(p[1], CLASS_NAME_START)) {
            return Fail(p, "Second root element <" + std::string(NameAt(p + 1)) + ">");
        }
        p = ParseMarkup(p, pDocument);
        if (!p)
            return false;
        CXmlNode* pLast = pDocument->m_pLastChild;
        if (pLast->IsElement())
            pRoot = pLast;
        if (!m_bEncodingKnown && pLast->m_eKind == XML_NODE_DECLARATION) {
            m_bEncodingKnown = true;
            const char* encoding = pLast->m_pFirstAttr->m_pNext->m_value.m_szData;
            const bool utf8 = !*encoding || StartsWithNoCase(encoding, "utf-8") || StartsWithNoCase(encoding, "utf8");
            m_eReading = utf8 ? READING_UTF8 : READING_BYTES;
            m_bUtf8Document = utf8;
        }
        p = SkipSpace(p);
    }
    if (!pDocument->m_pFirstChild)
        return Fail(nullptr, "Error document empty.");
    return true;
}

// At a '<' that is not an end tag: the node it starts, appended to
// `pParent`. Returns where reading goes on, or null after Fail.
const char* CParser::ParseMarkup(const char* p, CXmlNode* pParent)
{
    if (StartsWithNoCase(p, "<?xml"))
        return ReadDeclaration(p, pParent);
    if (StartsWith(p, "<!--"))
        return ReadDelimited(p, pParent, XML_NODE_COMMENT, "<!--", "-->", "Comment");
    if (StartsWith(p, "<![CDATA["))
        return ReadDelimited(p, pParent, XML_NODE_TEXT, "<![CDATA[", "]]>", "CDATA section");
    if (p[1] != '!' && Is(p[1], CLASS_NAME_START))
        return ParseElement(p, pParent);
    return ReadUnknown(p, pParent);
}

// An element and everything inside it, with an explicit stack of the open
// elements instead of one call per level.
const char* CParser::ParseElement(const char* p, CXmlNode* pParent)
{
    const size_t base = m_vecOpen.size();
    bool hasContent = false;
    p = OpenElement(p, pParent, hasContent);
    if (!p || !hasContent)
        return p;
    while (m_vecOpen.size() > base) {
        CXmlNode* pElement = m_vecOpen.back();
        const char* q = SkipSpace(p);
        if (!*q) {
            Fail(m_vecOpenAt.back(), "<" + std::string(pElement->m_value.View()) + "> is not closed");
            return nullptr;
        }
        if (*q != '<') {
            p = ReadText(q, pElement);
        } else if (q[1] == '/') {
            const std::string_view name = pElement->m_value.View();
            const char* r = q + 2;
            if (std::strncmp(r, name.data(), name.size()) == 0) {
                r = SkipSpace(r + name.size());
                if (*r == '>') {
                    m_vecOpen.pop_back();
                    m_vecOpenAt.pop_back();
                    p = r + 1;
                    continue;
                }
            }
            Fail(m_vecOpenAt.back(), "<" + std::string(name) + "> is not closed; found </" +
                                         std::string(NameAt(q + 2)) + "> at ");
            m_nAlsoPlace = static_cast<size_t>(q - m_pBase);
            return nullptr;
        } else if (q[1] != '!' && Is(q[1], CLASS_NAME_START)) {
            p = OpenElement(q, pElement, hasContent);
        } else {
            p = ParseMarkup(q, pElement);
        }
        if (!p)
            return nullptr;
    }
    return p;
}

// Reads a start tag: the name and the attributes, up to "/>" (an element
// without content) or '>', after which the element is open.
const char* CParser::OpenElement(const char* p, CXmlNode* pParent, bool& hasContent)
{
    const char* start = p;
    if (m_vecOpen.size() >= static_cast<size_t>(XML_MAX_DEPTH)) {
        Fail(start, "Elements nested too deeply");
        return nullptr;
    }
    p = SkipSpace(p + 1);
    const std::string_view name = Is(*p, CLASS_NAME_START) ? NameAt(p) : std::string_view();
    if (name.empty()) {
        Fail(p, "Failed to read Element name");
        return nullptr;
    }
    CXmlNode* pElement = m_tree.NewNode(XML_NODE_ELEMENT);
    pElement->m_value = m_tree.StoreText(name);
    m_tree.AppendChild(pParent, pElement);
    p += name.size();
    if (!m_setNames.empty())
        std::unordered_set<std::string_view>().swap(m_setNames);  // frees the buckets too
    while (true) {
        p = SkipSpace(p);
        if (!*p) {
            Fail(start, "<" + std::string(name) + "> tag is not closed");
            return nullptr;
        }
        if (*p == '/') {
            if (p[1] != '>') {
                Fail(p + 1, "Error: empty tag.");
                return nullptr;
            }
            hasContent = false;
            return p + 2;
        }
        if (*p == '>') {
            m_vecOpen.push_back(pElement);
            m_vecOpenAt.push_back(start);
            hasContent = true;
            return p + 1;
        }
        p = ReadAttribute(p, pElement);
        if (!p)
            return nullptr;
    }
}

bool CParser::IsDuplicate(CXmlNode* pElement, std::string_view name)
{
    // A linear look while the element is small; a set once it is crowded,
    // so that a hostile tag of many attributes costs no quadratic time.
    constexpr size_t LINEAR_LIMIT = 16;
    if (m_setNames.empty()) {
        size_t count = 0;
        for (const CXmlAttribute* pAttr = pElement->m_pFirstAttr; pAttr; pAttr = pAttr->m_pNext, ++count) {
            if (pAttr->m_name.View() == name)
                return true;
        }
        if (count < LINEAR_LIMIT)
            return false;
        for (const CXmlAttribute* pAttr = pElement->m_pFirstAttr; pAttr; pAttr = pAttr->m_pNext)
            m_setNames.insert(pAttr->m_name.View());
    }
    return !m_setNames.insert(name).second;
}

const char* CParser::ReadAttribute(const char* p, CXmlNode* pElement)
{
    const char* start = p;
    const std::string_view name = Is(*p, CLASS_NAME_START) ? NameAt(p) : std::string_view();
    if (name.empty()) {
        Fail(p, "Error reading Attributes.");
        return nullptr;
    }
    p = SkipSpace(p + name.size());
    if (*p != '=') {
        Fail(p, "Error reading Attributes.");
        return nullptr;
    }
    p = SkipSpace(p + 1);
    CXmlText value;
    if (*p == '"' || *p == '\'') {
        p = ReadQuotedValue(p, value);
        if (!p)
            return nullptr;
    } else {
        // Without quotes the value runs to a blank, '/' or '>', as written.
        const char* end = p;
        while (*end && !Is(*end, CLASS_SPACE) && *end != '/' && *end != '>') {
            if (*end == '"' || *end == '\'') {
                Fail(end, "Error reading Attributes.");
                return nullptr;
            }
            ++end;
        }
        value = m_tree.StoreText({p, static_cast<size_t>(end - p)});
        p = end;
    }
    if (!*p) {
        Fail(start, "Error parsing Element.");
        return nullptr;
    }
    if (IsDuplicate(pElement, name)) {
        Fail(start, "Attribute " + std::string(name) + " is given twice");
        return nullptr;
    }
    CXmlAttribute* pAttr = m_tree.NewAttribute();
    pAttr->m_name = m_tree.StoreText(name);
    pAttr->m_value = value;
    m_tree.AppendAttribute(pElement, pAttr);
    return p;
}

// At the opening quote. The value keeps its blanks; references are decoded.
const char* CParser::ReadQuotedValue(const char* p, CXmlText& value)
{
    const char quote = *p++;
    const char* end = std::strchr(p, quote);
    if (!end) {
        Fail(p - 1, "Attribute value is not closed");
        return nullptr;
    }
    char* out = m_tree.ReserveText(static_cast<size_t>(end - p));
    char* pOut = out;
    while (p < end) {
        const char* amp = static_cast<const char*>(std::memchr(p, '&', static_cast<size_t>(end - p)));
        const char* runEnd = amp ? amp : end;
        std::memcpy(pOut, p, static_cast<size_t>(runEnd - p));
        pOut += runEnd - p;
        p = runEnd;
        if (amp && !AppendEntity(p, end, pOut))
            return nullptr;
    }
    value = m_tree.CommitText(static_cast<size_t>(pOut - out));
    return end + 1;
}

// At '&', inside text that ends at `pLimit`: appends the character it stands
// for and moves past the reference, or fails.
bool CParser::AppendEntity(const char*& p, const char* pLimit, char*& out)
{
    static constexpr std::pair<std::string_view, char> PREDEFINED[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    if (p[1] != '#') {
        for (const auto& [entity, c] : PREDEFINED) {
            if (StartsWith(p, entity)) {
                *out++ = c;
                p += entity.size();
                return true;
            }
        }
        const char* semicolon = static_cast<const char*>(std::memchr(p, ';', static_cast<size_t>(pLimit - p)));
        const size_t shown = semicolon && semicolon - p < 32 ? static_cast<size_t>(semicolon + 1 - p) : 1;
        return Fail(p, "Unknown entity " + std::string(p, shown));
    }
    const bool hex = p[2] == 'x';
    const char* digits = p + (hex ? 3 : 2);
    const char* semicolon = static_cast<const char*>(std::memchr(digits, ';', static_cast<size_t>(pLimit - digits)));
    uint32_t code = 0;
    bool valid = semicolon && semicolon > digits;
    for (const char* d = digits; valid && d < semicolon; ++d) {
        int digit = -1;
        if (*d >= '0' && *d <= '9')
            digit = *d - '0';
        else if (hex && *d >= 'a' && *d <= 'f')
            digit = *d - 'a' + 10;
        else if (hex && *d >= 'A' && *d <= 'F')
            digit = *d - 'A' + 10;
        valid = digit >= 0 && code <= 0x10FFFF;
        code = code * (hex ? 16 : 10) + static_cast<uint32_t>(digit);
    }
    valid = valid && code != 0 && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
    // In a document that names a legacy encoding, a reference becomes one
    // byte; without a declaration the document is UTF-8, and so is the
    // reference.
    const bool utf8 = m_eReading == READING_UTF8 || !m_bEncodingKnown;
    valid = valid && (utf8 || code <= 0xFF);
    if (!valid) {
        const size_t shown = semicolon && semicolon - p < 32 ? static_cast<size_t>(semicolon + 1 - p) : 2;
        return Fail(p, "Bad character reference " + std::string(p, shown));
    }
    if (utf8)
        out += PutUtf8(code, out);
    else
        *out++ = static_cast<char>(code);
    p = semicolon + 1;
    return true;
}

// Text inside an element, from its first non-blank character to the next
// '<', condensed. Blank text makes no node.
const char* CParser::ReadText(const char* p, CXmlNode* pParent)
{
    const char* end = std::strchr(p, '<');
    if (!end) {
        Fail(m_vecOpenAt.back(), "<" + std::string(pParent->m_value.View()) + "> is not closed");
        return nullptr;
    }
    char* const out = m_tree.ReserveText(static_cast<size_t>(end - p));
    char* pOut = out;
    bool blank = false;  // blanks seen since the last character written
    while (p < end) {
        const char c = *p;
        if (Is(c, CLASS_SPACE)) {
            blank = true;
            ++p;
            continue;
        }
        if (blank) {
            *pOut++ = ' ';
            blank = false;
        }
        if (c == '&') {
            if (!AppendEntity(p, end, pOut))
                return nullptr;
            continue;
        }
        // A run of ordinary characters is copied at once.
        const char* run = p + 1;
        while (run < end && !Is(*run, CLASS_SPACE) && *run != '&')
            ++run;
        std::memcpy(pOut, p, static_cast<size_t>(run - p));
        pOut += run - p;
        p = run;
    }
    const size_t length = static_cast<size_t>(pOut - out);
    bool isBlank = true;
    for (size_t i = 0; i < length && isBlank; ++i)
        isBlank = Is(out[i], CLASS_SPACE);
    CXmlText text = m_tree.CommitText(length);
    if (!isBlank) {
        CXmlNode* pText = m_tree.NewNode(XML_NODE_TEXT);
        pText->m_value = text;
        m_tree.AppendChild(pParent, pText);
    }
    return end;
}

// "<?xml" then version, encoding and standalone in any order, up to '>'.
// Anything else inside is passed over.
const char* CParser::ReadDeclaration(const char* p, CXmlNode* pParent)
{
    const char* start = p;
    CXmlNode* pDeclaration = m_tree.NewNode(XML_NODE_DECLARATION);
    CXmlText values[3];
    static constexpr std::string_view KEYS[3] = {"version", "encoding", "standalone"};
    p += 5;
    while (*p != '>') {
        p = SkipSpace(p);
        if (!*p) {
            Fail(start, "Declaration is not closed");
            return nullptr;
        }
        int key = 0;
        while (key < 3 && !StartsWithNoCase(p, KEYS[key]))
            ++key;
        if (key == 3) {
            while (*p && *p != '>' && !Is(*p, CLASS_SPACE))
                ++p;
            continue;
        }
        // A value: name, '=', then quoted or bare.
        if (!ReadDeclarationValue(p, values[key])) {
            Fail(start, std::strchr(start, '>') ? "Error parsing Declaration." : "Declaration is not closed");
            return nullptr;
        }
    }
    for (int key = 0; key < 3; ++key) {
        CXmlAttribute* pAttr = m_tree.NewAttribute();
        pAttr->m_name = m_tree.StoreText(KEYS[key]);
        pAttr->m_value = values[key];
        m_tree.AppendAttribute(pDeclaration, pAttr);
    }
    m_tree.AppendChild(pParent, pDeclaration);
    return p + 1;
}

bool CParser::ReadDeclarationValue(const char*& p, CXmlText& value)
{
    p = SkipSpace(p + NameAt(p).size());
    if (*p != '=')
        return false;
    p = SkipSpace(p + 1);
    if (*p == '"' || *p == '\'') {
        p = ReadQuotedValue(p, value);
        return p && *p;
    }
    const char* end = p;
    while (*end && !Is(*end, CLASS_SPACE) && *end != '/' && *end != '>') {
        if (*end == '"' || *end == '\'')
            return false;
        ++end;
    }
    value = m_tree.StoreText({p, static_cast<size_t>(end - p)});
    p = end;
    return *p != '\0';
}

// Comments and CDATA sections: everything between `open` and `close`, as written.
const char* CParser::ReadDelimited(const char* p, CXmlNode* pParent, eXmlNodeKind kind,
                                   std::string_view open, std::string_view close, const char* whatIsNotClosed)
{
    const char* begin = p + open.size();
    const char* end = std::strstr(begin, close.data());
    if (!end) {
        Fail(p, std::string(whatIsNotClosed) + " is not closed");
        return nullptr;
    }
    CXmlNode* pNode = m_tree.NewNode(kind);
    pNode->m_bCdata = kind == XML_NODE_TEXT;
    pNode->m_value = m_tree.StoreText({begin, static_cast<size_t>(end - begin)});
    m_tree.AppendChild(pParent, pNode);
    return end + close.size();
}

// Any other markup, a document type or a processing instruction: kept
// whole, from after the '<' to the first '>'.
const char* CParser::ReadUnknown(const char* p, CXmlNode* pParent)
{
    const char* end = std::strchr(p, '>');
    if (!end) {
        Fail(p, "Markup is not closed");
        return nullptr;
    }
    CXmlNode* pNode = m_tree.NewNode(XML_NODE_UNKNOWN);
    pNode->m_value = m_tree.StoreText({p + 1, static_cast<size_t>(end - p - 1)});
    m_tree.AppendChild(pParent, pNode);
    return end + 1;
}

// 1-based line and column of `place`; columns count characters, in UTF-8
// when the document is read as UTF-8, else bytes.
void Locate(std::string_view text, size_t place, bool utf8, CXmlError& error)
{
    if (place == NO_PLACE || place > text.size())
        return;
    size_t lineStart = 0;
    int line = 1;
    for (size_t i = text.find('\n'); i != std::string_view::npos && i < place; i = text.find('\n', i + 1)) {
        ++line;
        lineStart = i + 1;
    }
    if (lineStart == 0 && text.starts_with("\xEF\xBB\xBF") && place >= 3)
        lineStart = 3;
    int column = 1;
    for (size_t i = lineStart; i < place; ++i) {
        if (!utf8 || (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80)
            ++column;
    }
    error.m_nLine = line;
    error.m_nColumn = column;
}

}  // namespace

bool ParseXml(std::string& bytes, CXmlTree& tree, CXmlError& error)
{
    error = CXmlError();
    if (bytes.empty())
        return false;  // an empty file, with an empty reason as it always had
    if (bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF")) {
        error.m_strReason = "UTF-16 text is not supported; save the file as UTF-8";
        error.m_nLine = 1;
        error.m_nColumn = 1;
        return false;
    }
    const size_t zero = bytes.find('\0');
    if (zero != std::string::npos)
        bytes.resize(zero);
    NormaliseLineEnds(bytes);

    CParser parser(bytes, tree);
    const bool parsed = parser.Parse();
    const bool utf8 = parser.ReadsUtf8Throughout();
    if (parsed && utf8) {
        const size_t invalid = FindInvalidUtf8(bytes);
        if (invalid == NO_PLACE)
            return true;
        error.m_strReason = "Bytes invalid in UTF-8";
        Locate(bytes, invalid, utf8, error);
        return false;
    }
    if (parsed)
        return true;
    error.m_strReason = parser.Reason();
    if (parser.AlsoPlace() != NO_PLACE) {
        CXmlError also;
        Locate(bytes, parser.AlsoPlace(), utf8, also);
        error.m_strReason += "line " + std::to_string(also.m_nLine) + ", column " + std::to_string(also.m_nColumn);
    }
    Locate(bytes, parser.Place(), utf8, error);
    return false;
}

}  // namespace oru::detail

// CXmlDocument keeps its tree in TinyXML and adds a cursor, path walks and
// typed values on top. Everything in the tree is UTF-8; the interface is wide
// text, so every name and value crosses the library's conversion functions
// on its way in or out.
//
// Loading does not hand the path straight to the parser. The file is read
// here first, so that a FIFO cannot block us and a huge file is refused
// before the parser allocates for it, and its bytes are checked (see
// xml_input_check.h) before the parser reads them from memory: the parser
// recurses once per nested element and a hostile file must not be able to
// overflow the stack. The parser still does all the parsing, including its
// own encoding detection and new-line handling.
//
// Saving goes the other way round: the document is printed to memory, the
// printed text is read back exactly as Load would read it, and only text that
// loads again replaces the file, through a temporary file beside it that is
// flushed and renamed. A full disk or a killed process leaves the previous
// file as it was, and a save that reported success always loads.

#include <oru/xml/xml_document.h>

#include <oru/core/convert.h>
#include <oru/log/log_system.h>

#include "core/convert_internal.h"
#include "platform/replace_file.h"
#include "platform/stdio_file.h"
#include "xml/xml_input_check.h"

#include <tinyxml.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <locale.h>
#include <string>
#include <utility>

namespace {

constexpr unsigned int CP_SYSTEM = 0;
constexpr unsigned int CP_UTF8 = 65001;
constexpr uint64_t MAX_FILE_BYTES = 1ULL << 30;
// glibc's gcvt never uses more significant digits than a double carries.
constexpr int MAX_VALUE_DIGITS = 17;
constexpr int DEFAULT_VALUE_DIGITS = 6;  // what "%.*g" does with a negative precision

constexpr const wchar_t* MSG_LOAD_FAILED = L"[Error] xml 파일 로드 실패. (%ls : %ls)";
constexpr const wchar_t* MSG_SAVE_FAILED = L"[Error] xml 파일 저장 실패. (%ls : %ls)";
constexpr const wchar_t* MSG_FIND_NO_NODE =
    L"[Skip] CXmlDocument::FindElement() 호출되었으나 현재 노드가 정해져 있지 않아서 스킵.";
constexpr const wchar_t* MSG_INSERT_FAILED =
    L"[Skip] %ls xml 문서에서 %ls 노드의 자식으로 %ls 를 추가하는데 실패.";
constexpr const wchar_t* MSG_SET_VALUE_FAILED =
    L"[Skip] %ls xml 문서에서 %ls 노드의 값을 %ls 로 설정하는데 실패.";
constexpr const wchar_t* MSG_PATH_MISSED = L"[Skip] %ls xml 문서에서 %ls 를 찾던중 %ls 노드를 찾지 못함.";
constexpr const wchar_t* MSG_ATTR_NAME_REFUSED =
    L"[Skip] %ls xml 문서에서 %ls 노드의 속성 %ls 를 설정하는데 실패.";

constexpr const char* ERROR_NO_ROOT = "Root element could not be read";
constexpr const char* ERROR_NOT_RELOADABLE = "The saved text would not load again";

const char* ToUtf8(const std::wstring& text)
{
    return OruWCharToChar(CP_UTF8, text.c_str());
}

// The characters of an XML name that the parser also reads back as one: it
// starts a name only with a letter, '_' or a character beyond ASCII, so a
// leading ':' (legal in XML, reserved by namespaces) is refused too.
bool IsNameStartChar(wchar_t wide)
{
    const auto c = static_cast<uint32_t>(wide);
    if (c < 0x80)
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    return (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
           (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) || c == 0x200C || c == 0x200D ||
           (c >= 0x2070 && c <= 0x218F) || (c >= 0x2C00 && c <= 0x2FEF) ||
           (c >= 0x3001 && c <= 0xD7FF) || (c >= 0xF900 && c <= 0xFDCF) ||
           (c >= 0xFDF0 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0xEFFFF);
}

bool IsNameChar(wchar_t wide)
{
    const auto c = static_cast<uint32_t>(wide);
    return IsNameStartChar(wide) || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == ':' ||
           c == 0xB7 || (c >= 0x300 && c <= 0x36F) || c == 0x203F || c == 0x2040;
}

// The UTF-8 form of a name for a new element or attribute, or null when it is
// not an XML name: a file holding it would not load again. (An attribute
// without a name would also trip the parser's own assertion on the next
// addition.)
const char* ToNameUtf8(const std::wstring& name)
{
    if (name.empty() || !IsNameStartChar(name.front()) ||
        !std::all_of(name.begin(), name.end(), IsNameChar))
        return nullptr;
    return ToUtf8(name);
}

// For messages only: a text that cannot be converted leaves its place empty
// rather than losing the whole line.
std::wstring WideForLog(const char* text)
{
    const wchar_t* wide = text ? OruCharToWChar(CP_UTF8, text) : nullptr;
    return wide ? std::wstring(wide) : std::wstring();
}

// Only elements and the document print their children; a child added to a
// text or comment node would silently vanish from the saved file.
bool CanHoldChildren(TiXmlNode* pNode)
{
    return pNode->ToElement() || pNode->ToDocument();
}

// Numbers in data files must not change with the host's LC_NUMERIC.
locale_t CLocale()
{
    static const locale_t s_locale = newlocale(LC_ALL_MASK, "C", locale_t{});
    return s_locale;
}

// atoi, without its undefined behaviour on overflow: out-of-range values clamp.
int ParseInt(const char* text)
{
    const long value = std::strtol(text, nullptr, 10);
    return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

double ParseDouble(const char* text)
{
    const locale_t locale = CLocale();
    return locale ? strtod_l(text, nullptr, locale) : std::strtod(text, nullptr);
}

bool ParseNumber(const char* text, int& value)
{
    value = ParseInt(text);
    return true;
}

bool ParseNumber(const char* text, double& value)
{
    value = ParseDouble(text);
    return true;
}

bool ParseNumber(const char* text, float& value)
{
    value = static_cast<float>(ParseDouble(text));
    return true;
}

// Stores a converted text; false, leaving `out` alone, when the conversion
// (or the lookup before it) gave nothing.
bool StoreWide(const wchar_t* wide, std::wstring& out)
{
    if (!wide)
        return false;
    out = wide;
    return true;
}

// A missing text (null) gives 0 and false.
template <class T>
bool ParseNumberOrZero(const char* text, T& value)
{
    if (!text) {
        value = T();
        return false;
    }
    return ParseNumber(text, value);
}

std::wstring AsciiToWide(const char* begin, const char* end)
{
    return std::wstring(begin, end);
}

// "%f" with six decimals, independent of the locale.
std::wstring FormatFixed(double value)
{
    char buffer[400];  // the longest double in fixed notation fits
    const auto result = std::to_chars(buffer, buffer + sizeof(buffer), value,
                                      std::chars_format::fixed, 6);
    return AsciiToWide(buffer, result.ptr);
}

// Line ends become "\n", as the parser's own file reader makes them.
void NormaliseLineEnds(std::string& bytes)
{
    size_t out = 0;
    for (size_t in = 0; in < bytes.size(); ++in) {
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

// Reads a file's bytes into `document` as the parser reads a file (its own
// encoding detection, white space condensed), after the input check. Null on
// success, otherwise the error text for the log (empty when the parser
// records none, as for an empty file).
//
// The parser ends a document quietly at the first top-level piece it cannot
// place (the "]>" closing a document type's internal subset, stray text) and
// keeps what it read before. When that leaves no root element, the document
// is refused: loading it "successfully" would hand over an empty tree.
const char* ParseDocument(TiXmlDocument& document, std::string bytes)
{
    if (bytes.empty())
        return "";
    const oru::detail::eXmlInputCheck check = oru::detail::CheckXmlInput(bytes.data(), bytes.size());
    if (check != oru::detail::XML_INPUT_OK)
        return oru::detail::DescribeXmlInputCheck(check);
    NormaliseLineEnds(bytes);
    const char* stop = nullptr;
    try {
        stop = document.Parse(bytes.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
    } catch (const std::exception&) {
        document.SetError(TiXmlBase::TIXML_ERROR, nullptr, nullptr, TIXML_ENCODING_UNKNOWN);
    }
    if (document.Error())
        return document.ErrorDesc();
    if (stop && *stop && !document.RootElement())
        return ERROR_NO_ROOT;
    return nullptr;
}

// Some text is printed as it is and cannot be read back: a "]]>" in a CDATA
// section ends the section early, and at the top level the parser then stops
// before the root. Names are checked as they are set; the rest shows here.
bool LoadsAgain(const std::string& bytes)
{
    TiXmlDocument reread;
    return ParseDocument(reread, bytes) == nullptr;
}

}  // namespace

CXmlDocument::CXmlDocument()
    : m_pDocument(nullptr),
      m_strDocName(L"Untitled Document"),
      m_pCurNode(nullptr),
      m_pLogSystem(nullptr)
{
}

CXmlDocument::~CXmlDocument()
{
    Clear();
}

bool CXmlDocument::New(const std::wstring& name, const std::wstring& encoding)
{
    Clear();
    const char* nameUtf8 = ToUtf8(name);
    m_pDocument = new TiXmlDocument(nameUtf8 ? nameUtf8 : "");
    const char* encodingUtf8 = ToUtf8(encoding);
    m_pDocument->LinkEndChild(new TiXmlDeclaration("1.0", encodingUtf8 ? encodingUtf8 : "", "no"));
    m_pCurNode = m_pDocument;
    return true;
}

bool CXmlDocument::Load(const std::wstring& path)
{
    using namespace oru::platform;
    Clear();
    m_pDocument = new TiXmlDocument();

    const char* narrowPath = OruWCharToChar(CP_SYSTEM, path.c_str());
    if (!narrowPath) {
        m_pDocument->SetError(TiXmlBase::TIXML_ERROR_OPENING_FILE, nullptr, nullptr, TIXML_ENCODING_UNKNOWN);
        LogFileError(MSG_LOAD_FAILED, m_pDocument->ErrorDesc());
        return false;
    }
    m_pDocument->SetValue(narrowPath);

    std::string bytes;
    const eReadFileResult read = ReadWholeFile(m_pDocument->ValueStr(), MAX_FILE_BYTES, bytes);
    if (read == READ_FILE_TOO_LARGE) {
        LogFileError(MSG_LOAD_FAILED, "File too large");
        return false;
    }
    if (read != READ_FILE_OK) {
        m_pDocument->SetError(TiXmlBase::TIXML_ERROR_OPENING_FILE, nullptr, nullptr, TIXML_ENCODING_UNKNOWN);
        LogFileError(MSG_LOAD_FAILED, m_pDocument->ErrorDesc());
        return false;
    }
    if (const char* error = ParseDocument(*m_pDocument, std::move(bytes))) {
        LogFileError(MSG_LOAD_FAILED, error);
        return false;
    }

    m_strDocName = path;
    m_pCurNode = m_pDocument->RootElement();
    return true;
}

bool CXmlDocument::Save(const std::wstring& path)
{
    if (!m_pDocument) {
        LogFileError(MSG_SAVE_FAILED, "");
        return false;
    }
    const char* narrowPath = OruWCharToChar(CP_SYSTEM, path.c_str());
    std::string bytes;
    const bool printed = narrowPath && oru::platform::WriteToMemory(
                                           [this](std::FILE* stream) { return m_pDocument->SaveFile(stream); },
                                           bytes);
    if (printed && !LoadsAgain(bytes)) {
        LogFileError(MSG_SAVE_FAILED, ERROR_NOT_RELOADABLE);
        return false;
    }
    if (!printed || !oru::platform::ReplaceFileDurably(narrowPath, bytes)) {
        LogFileError(MSG_SAVE_FAILED, m_pDocument->Error() ? m_pDocument->ErrorDesc() : "");
        return false;
    }
    m_strDocName = path;
    return true;
}

void CXmlDocument::Clear()
{
    m_pCurNode = nullptr;
    delete m_pDocument;
    m_pDocument = nullptr;
    m_strDocName.clear();
    OruReleaseExBuffers();
}

void CXmlDocument::Print()
{
    if (m_pDocument)
        m_pDocument->Print();
}

void CXmlDocument::SetLogSystem(CLogSystem* pLogSystem)
{
    m_pLogSystem = pLogSystem;
}

bool CXmlDocument::MoveTo(TiXmlNode* pNode)
{
    if (!pNode)
        return false;
    m_pCurNode = pNode;
    return true;
}

bool CXmlDocument::ParentElement()
{
    return m_pCurNode && MoveTo(m_pCurNode->Parent());
}

bool CXmlDocument::PrevElement()
{
    return m_pCurNode && MoveTo(m_pCurNode->PreviousSibling());
}

bool CXmlDocument::NextElement()
{
    return m_pCurNode && MoveTo(m_pCurNode->NextSibling());
}

bool CXmlDocument::ChildElement(int index)
{
    if (!m_pCurNode)
        return false;
    TiXmlNode* pNode = m_pCurNode->FirstChild();
    for (int i = 0; pNode && i < index; ++i)
        pNode = pNode->NextSibling();
    return MoveTo(pNode);
}

bool CXmlDocument::FindElement(const std::wstring& path)
{
    if (path.empty())
        return false;
    if (!m_pCurNode) {
        OruSafeLog(m_pLogSystem, 4, MSG_FIND_NO_NODE);
        return false;
    }
    return WalkPath(m_pCurNode, path, false);
}

bool CXmlDocument::FindElementGlobal(const std::wstring& path)
{
    if (path.empty() || !m_pDocument)
        return false;
    return WalkPath(m_pDocument, path, true);
}

// Each piece steps to the first child, of any kind, whose value matches it
// byte for byte; the cursor moves only when the whole path is found.
bool CXmlDocument::WalkPath(TiXmlNode* pStart, const std::wstring& path, bool reportMiss)
{
    std::list<std::wstring> parts;
    SplitElementString(parts, path);
    TiXmlNode* pNode = pStart;
    for (const std::wstring& part : parts) {
        const char* partUtf8 = ToUtf8(part);
        TiXmlNode* pNext = partUtf8 ? pNode->FirstChild(partUtf8) : nullptr;
        if (!pNext) {
            if (reportMiss)
                OruSafeLog(m_pLogSystem, 4, MSG_PATH_MISSED, m_strDocName.c_str(), path.c_str(),
                           part.c_str());
            return false;
        }
        pNode = pNext;
    }
    m_pCurNode = pNode;
    return true;
}

void CXmlDocument::SplitElementString(std::list<std::wstring>& parts, const std::wstring& path)
{
    size_t start = 0;
    while (true) {
        const size_t slash = path.find(L'/', start);
        if (slash == std::wstring::npos) {
            parts.push_back(path.substr(start));
            return;
        }
        parts.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
}

bool CXmlDocument::InsertChildElement(const std::wstring& name)
{
    if (name.empty() || !m_pCurNode)
        return false;
    const char* nameUtf8 = ToNameUtf8(name);
    if (nameUtf8 && CanHoldChildren(m_pCurNode)) {
        if (TiXmlNode* pAdded = m_pCurNode->LinkEndChild(new TiXmlElement(nameUtf8)))
            return MoveTo(pAdded);
    }
    OruSafeLog(m_pLogSystem, 4, MSG_INSERT_FAILED, m_strDocName.c_str(), CurrentName().c_str(),
               name.c_str());
    return false;
}

bool CXmlDocument::IsCurElement(const std::wstring& name)
{
    if (name.empty() || !m_pCurNode)
        return false;
    const wchar_t* current = OruCharToWChar(CP_UTF8, m_pCurNode->Value());
    return current && name == current;
}

bool CXmlDocument::GetElementName(std::wstring& name)
{
    return StoreWide(m_pCurNode ? OruCharToWChar(CP_UTF8, m_pCurNode->Value()) : nullptr, name);
}

int CXmlDocument::GetNumChildElement()
{
    if (!m_pCurNode)
        return 0;
    int count = 0;
    for (TiXmlNode* pNode = m_pCurNode->FirstChild(); pNode; pNode = pNode->NextSibling())
        ++count;
    return count;
}

int CXmlDocument::GetNumElement()
{
    if (!m_pCurNode)
        return 0;
    TiXmlNode* pParent = m_pCurNode->Parent();
    if (!pParent)
        return 1;
    const char* value = m_pCurNode->Value();
    int count = 0;
    for (TiXmlNode* pNode = pParent->FirstChild(value); pNode; pNode = pNode->NextSibling(value))
        ++count;
    return count;
}

bool CXmlDocument::GetValueText(const char*& text)
{
    TiXmlNode* pFirst = m_pCurNode ? m_pCurNode->FirstChild() : nullptr;
    if (!pFirst || !pFirst->ToText())
        return false;
    text = pFirst->Value();
    return true;
}

bool CXmlDocument::GetValueString(std::wstring& value)
{
    const char* text = nullptr;
    return StoreWide(GetValueText(text) ? OruCharToWChar(CP_UTF8, text) : nullptr, value);
}

bool CXmlDocument::GetValueStringEx(std::wstring& value)
{
    const char* text = nullptr;
    return StoreWide(GetValueText(text) ? OruCharToWCharEx(CP_UTF8, text) : nullptr, value);
}

bool CXmlDocument::GetValueInt(int& value)
{
    const char* text = nullptr;
    return GetValueText(text) && ParseNumber(text, value);
}

bool CXmlDocument::GetValueFloat(float& value)
{
    const char* text = nullptr;
    return GetValueText(text) && ParseNumber(text, value);
}

bool CXmlDocument::GetValueDouble(double& value)
{
    const char* text = nullptr;
    return GetValueText(text) && ParseNumber(text, value);
}

bool CXmlDocument::SetValueString(const std::wstring& value)
{
    return SetValueText(value, ToUtf8(value));
}

bool CXmlDocument::SetValueStringEx(const std::wstring& value)
{
    return SetValueText(value, OruWCharToCharEx(CP_UTF8, value.c_str()));
}

bool CXmlDocument::SetValueText(const std::wstring& value, const char* utf8)
{
    if (!m_pCurNode)
        return false;
    if (utf8 && CanHoldChildren(m_pCurNode)) {
        TiXmlNode* pFirst = m_pCurNode->FirstChild();
        if (!pFirst) {
            if (m_pCurNode->LinkEndChild(new TiXmlText(utf8)))
                return true;
        } else if (pFirst->ToText()) {
            pFirst->SetValue(utf8);
            return true;
        }
    }
    OruSafeLog(m_pLogSystem, 4, MSG_SET_VALUE_FAILED, m_strDocName.c_str(), CurrentName().c_str(),
               value.c_str());
    return false;
}

bool CXmlDocument::SetValueInt(int value)
{
    return SetValueString(std::to_wstring(value));
}

bool CXmlDocument::SetValueFloat(float value, int digits)
{
    return SetFloatingValue(value, digits);
}

bool CXmlDocument::SetValueDouble(double value, int digits)
{
    return SetFloatingValue(value, digits);
}

// gcvt's text: "%.*g" with the digits clamped to what a double carries, so
// the 50-character buffer can never overflow, and no locale in play.
bool CXmlDocument::SetFloatingValue(double value, int digits)
{
    const int precision = digits < 0 ? DEFAULT_VALUE_DIGITS : std::min(digits, MAX_VALUE_DIGITS);
    char buffer[50];
    const auto result = std::to_chars(buffer, buffer + sizeof(buffer), value,
                                      std::chars_format::general, precision);
    if (result.ec != std::errc())
        return false;
    return SetValueString(AsciiToWide(buffer, result.ptr));
}

TiXmlElement* CXmlDocument::CurrentElement() const
{
    return m_pCurNode ? m_pCurNode->ToElement() : nullptr;
}

const char* CXmlDocument::FindAttr(TiXmlElement* pElement, const std::wstring& name) const
{
    const char* nameUtf8 = ToUtf8(name);
    return nameUtf8 ? pElement->Attribute(nameUtf8) : nullptr;
}

bool CXmlDocument::GetAttrValueString(const std::wstring& name, std::wstring& value)
{
    TiXmlElement* pElement = CurrentElement();
    const char* text = pElement ? FindAttr(pElement, name) : nullptr;
    if (StoreWide(text ? OruCharToWChar(CP_UTF8, text) : nullptr, value))
        return true;
    value.clear();
    return false;
}

bool CXmlDocument::GetAttrValueInt(const std::wstring& name, int& value)
{
    TiXmlElement* pElement = CurrentElement();
    return pElement && ParseNumberOrZero(FindAttr(pElement, name), value);
}

bool CXmlDocument::GetAttrValueDouble(const std::wstring& name, double& value)
{
    TiXmlElement* pElement = CurrentElement();
    return pElement && ParseNumberOrZero(FindAttr(pElement, name), value);
}

bool CXmlDocument::GetAttrValueFloat(const std::wstring& name, float& value)
{
    TiXmlElement* pElement = CurrentElement();
    const char* text = pElement ? FindAttr(pElement, name) : nullptr;
    return text && ParseNumber(text, value);
}

bool CXmlDocument::SetAttrText(const std::wstring& name, const char* utf8)
{
    TiXmlElement* pElement = CurrentElement();
    if (!pElement || name.empty() || !utf8)
        return false;
    const char* nameUtf8 = ToNameUtf8(name);
    if (!nameUtf8) {
        OruSafeLog(m_pLogSystem, 4, MSG_ATTR_NAME_REFUSED, m_strDocName.c_str(), CurrentName().c_str(),
                   name.c_str());
        return false;
    }
    pElement->SetAttribute(nameUtf8, utf8);
    return true;
}

bool CXmlDocument::SetAttrValueString(const std::wstring& name, const std::wstring& value)
{
    return SetAttrText(name, ToUtf8(value));
}

bool CXmlDocument::SetAttrValueInt(const std::wstring& name, int value)
{
    return SetAttrValueString(name, std::to_wstring(value));
}

bool CXmlDocument::SetAttrValueFloat(const std::wstring& name, float value)
{
    return SetAttrValueString(name, FormatFixed(value));
}

bool CXmlDocument::SetAttrValueDouble(const std::wstring& name, float value)
{
    return SetAttrValueString(name, FormatFixed(value));
}

void CXmlDocument::LogFileError(const wchar_t* format, const char* errorText)
{
    const char* parserName = m_pDocument ? m_pDocument->Value() : "";
    OruSafeLog(m_pLogSystem, 3, format, WideForLog(parserName).c_str(), WideForLog(errorText).c_str());
}

std::wstring CXmlDocument::CurrentName() const
{
    return m_pCurNode ? WideForLog(m_pCurNode->Value()) : std::wstring();
}

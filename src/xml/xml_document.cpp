// CXmlDocument keeps its document in our own tree (xml_tree.h) and adds a
// cursor, path walks and typed values on top. Everything in the tree is
// UTF-8; the interface is wide text, so every name and value is converted on
// its way in or out. Those conversions happen in strings of the call, never
// in the library's shared conversion buffers: two documents used on two
// threads must not see each other's text.
//
// Every way of loading ends in LoadBytes: the bytes of a file, of a pack
// entry or of a caller's buffer go through the same parser (xml_parser.cpp),
// which reads documents the way the cursor always has and says where one goes
// wrong. A file is read here first, so that a FIFO cannot block us and a huge
// file is refused before anything is allocated for it.
//
// Saving goes the other way round: the document is printed to memory, the
// printed text is read back exactly as a load would read it, and only text
// that loads again replaces the file, through a temporary file beside it that
// is flushed and renamed. A full disk or a killed process leaves the previous
// file as it was, and a save that reported success always loads.

#include <oru/xml/xml_document.h>

#include <oru/core/convert.h>
#include <oru/log/log_system.h>
#include <oru/pack/oru_file.h>
#include <oru/pack/oru_pack.h>

#include "core/convert_internal.h"
#include "core/utf8.h"
#include "platform/c_numbers.h"
#include "platform/replace_file.h"
#include "platform/stdio_file.h"
#include "xml/xml_parser.h"
#include "xml/xml_printer.h"
#include "xml/xml_tree.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>

using oru::detail::CXmlNode;
using oru::detail::CXmlTree;

namespace {

constexpr uint64_t MAX_FILE_BYTES = 1ULL << 30;
// The plain operations take and give what the library's bounded conversion
// functions hold: 1023 bytes of UTF-8, or 1023 wide characters.
constexpr size_t BOUNDED_CHARS = 1023;
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

constexpr const char* ERROR_OPENING_FILE = "Failed to open file";
constexpr const char* ERROR_TOO_LARGE = "File too large";
constexpr const char* ERROR_DAMAGED = "The stream's data is damaged";
constexpr const char* ERROR_NO_MEMORY = "Out of memory";
constexpr const char* ERROR_NOT_RELOADABLE = "The saved text would not load again";

// UTF-8 of the text up to its first zero character, as the conversion
// functions read a C string; false when it is not valid Unicode or, when
// `bounded`, longer than the plain operations take.
bool ToUtf8(const std::wstring& text, std::string& out, bool bounded = true)
{
    auto utf8 = oru::detail::ToUtf8(std::wstring_view(text.c_str()));
    if (!utf8 || (bounded && utf8->size() > BOUNDED_CHARS))
        return false;
    out = std::move(*utf8);
    return true;
}

// A document's name as the parser knows it; empty when it cannot be converted.
std::string NameUtf8(const std::wstring& name)
{
    std::string utf8;
    ToUtf8(name, utf8, false);
    return utf8;
}

bool ToWide(const char* text, std::wstring& out, bool bounded = true)
{
    auto wide = oru::detail::FromUtf8(text);
    if (!wide || (bounded && wide->size() > BOUNDED_CHARS))
        return false;
    out = std::move(*wide);
    return true;
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

// The UTF-8 form of a name for a new element or attribute; false when it is
// not an XML name: a file holding it would not load again.
bool ToNameUtf8(const std::wstring& name, std::string& out)
{
    if (name.empty() || !IsNameStartChar(name.front()) ||
        !std::all_of(name.begin(), name.end(), IsNameChar))
        return false;
    return ToUtf8(name, out);
}

// For messages only: a text that cannot be converted leaves its place empty
// rather than losing the whole line.
std::wstring WideForLog(const char* text)
{
    std::wstring wide;
    return text && ToWide(text, wide, false) ? wide : std::wstring();
}

// atoi, without its undefined behaviour on overflow: out-of-range values clamp.
int ParseInt(const char* text)
{
    const long value = std::strtol(text, nullptr, 10);
    return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

// Numbers in data files must not change with the host's LC_NUMERIC.
double ParseDouble(const char* text)
{
    return oru::platform::ParseDoubleInCLocale(text);
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

// The first child with this value, of any kind, compared as C strings.
CXmlNode* FirstChildNamed(const CXmlNode* pParent, const char* value)
{
    for (CXmlNode* pNode = pParent->m_pFirstChild; pNode; pNode = pNode->m_pNext) {
        if (std::strcmp(pNode->m_value.m_szData, value) == 0)
            return pNode;
    }
    return nullptr;
}

// Whether the printed text reads back: a "]]>" inside a CDATA section ends it
// early, and two root elements built through the interface are refused by a
// load. Names are checked as they are set; the rest shows here.
// The parser normalises line ends in place; printed text holds no zero
// byte and, but for a declaration given one, no "\r", so it is read as it
// stands without a copy.
bool LoadsAgain(std::string& bytes)
{
    CXmlTree reread;
    oru::detail::CXmlError error;
    if (bytes.find('\r') == std::string::npos)
        return oru::detail::ParseXml(bytes, reread, error);
    std::string copy = bytes;
    return oru::detail::ParseXml(copy, reread, error);
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
    m_pDocument = new CXmlTree();
    std::string nameUtf8;
    std::string encodingUtf8;
    ToUtf8(name, nameUtf8);
    ToUtf8(encoding, encodingUtf8);
    CXmlNode* pDocumentNode = m_pDocument->Document();
    pDocumentNode->m_value = m_pDocument->StoreText(nameUtf8);
    CXmlNode* pDeclaration = m_pDocument->NewNode(oru::detail::XML_NODE_DECLARATION);
    m_pDocument->SetAttribute(pDeclaration, "version", "1.0");
    m_pDocument->SetAttribute(pDeclaration, "encoding", encodingUtf8);
    m_pDocument->SetAttribute(pDeclaration, "standalone", "no");
    m_pDocument->AppendChild(pDocumentNode, pDeclaration);
    m_pCurNode = pDocumentNode;
    return true;
}

bool CXmlDocument::FailLoad(const char* reason, int line, int column)
{
    m_bLoadFailed = true;
    m_strLoadError = WideForLog(reason);
    m_nErrorLine = line;
    m_nErrorColumn = column;
    std::string text = reason;
    if (line > 0)
        text = "line " + std::to_string(line) + ", column " + std::to_string(column) + ": " + text;
    LogFileError(MSG_LOAD_FAILED, text);
    return false;
}

// Every load starts here: the previous document goes, and a new empty one
// takes the name the parser knows it by (a path, or the caller's name).
void CXmlDocument::BeginLoad(const std::string& parserName)
{
    Clear();
    m_bLoadFailed = false;
    m_pDocument = new CXmlTree();
    m_pDocument->Document()->m_value = m_pDocument->StoreText(parserName);
}

// Every load ends here: `bytes` are parsed into the new, empty document.
bool CXmlDocument::LoadBytes(std::string& bytes, const std::wstring& name)
{
    oru::detail::CXmlError error;
    bool parsed = false;
    try {
        parsed = oru::detail::ParseXml(bytes, *m_pDocument, error);
    } catch (const std::bad_alloc&) {
        error = {ERROR_NO_MEMORY, 0, 0};
    }
    if (!parsed)
        return FailLoad(error.m_strReason.c_str(), error.m_nLine, error.m_nColumn);
    m_strDocName = name;
    m_pCurNode = nullptr;
    for (CXmlNode* pNode = m_pDocument->Document()->m_pFirstChild; pNode && !m_pCurNode; pNode = pNode->m_pNext) {
        if (pNode->IsElement())
            m_pCurNode = pNode;
    }
    return true;
}

bool CXmlDocument::Load(const std::wstring& path)
{
    std::string narrowPath;
    const bool converted = ToUtf8(path, narrowPath);
    BeginLoad(narrowPath);
    if (!converted)
        return FailLoad(ERROR_OPENING_FILE);
    std::string bytes;
    const oru::platform::eReadFileResult read = oru::platform::ReadWholeFile(narrowPath, MAX_FILE_BYTES, bytes);
    if (read == oru::platform::READ_FILE_TOO_LARGE)
        return FailLoad(ERROR_TOO_LARGE);
    if (read != oru::platform::READ_FILE_OK)
        return FailLoad(ERROR_OPENING_FILE);
    return LoadBytes(bytes, path);
}

bool CXmlDocument::LoadFromMemory(const void* pData, size_t size, const std::wstring& name)
{
    BeginLoad(NameUtf8(name));
    if (!pData && size > 0)
        return FailLoad(ERROR_OPENING_FILE);
    if (size > MAX_FILE_BYTES)
        return FailLoad(ERROR_TOO_LARGE);
    std::string bytes;
    try {
        bytes.assign(static_cast<const char*>(pData), size);
    } catch (const std::bad_alloc&) {
        return FailLoad(ERROR_NO_MEMORY);
    }
    return LoadBytes(bytes, name);
}

// The whole content of `pFile`, from its start.
bool CXmlDocument::ReadStream(COruFile* pFile, std::string& bytes)
{
    constexpr unsigned int CHUNK_BYTES = 64 * 1024;
    constexpr unsigned int DAMAGED = 0xFFFFFFFF;
    // A stream at its start is not sought: an empty one refuses every seek.
    if (pFile->Ftell() != 0 && !pFile->Fseek(0, SEEK_SET))
        return FailLoad(ERROR_OPENING_FILE);
    try {
        bytes.reserve(std::min<uint64_t>(pFile->GetFileSize(), MAX_FILE_BYTES));
        while (true) {
            const size_t have = bytes.size();
            if (have > MAX_FILE_BYTES)
                return FailLoad(ERROR_TOO_LARGE);
            bytes.resize(have + CHUNK_BYTES);
            // Size-one items: whole items are bytes, in memory mode too.
            const unsigned int got = pFile->Fread(bytes.data() + have, 1, CHUNK_BYTES);
            if (got == DAMAGED)
                return FailLoad(ERROR_DAMAGED);
            bytes.resize(have + got);
            if (got == 0)
                return true;
        }
    } catch (const std::bad_alloc&) {
        return FailLoad(ERROR_NO_MEMORY);
    }
}

bool CXmlDocument::LoadFromFile(COruFile* pFile, const std::wstring& name)
{
    BeginLoad(NameUtf8(name));
    if (!pFile)
        return FailLoad(ERROR_OPENING_FILE);
    std::string bytes;
    return ReadStream(pFile, bytes) && LoadBytes(bytes, name);
}

bool CXmlDocument::LoadFromPack(const std::wstring& entryName)
{
    return LoadFromPack(OruPack(), entryName);
}

bool CXmlDocument::LoadFromPack(COruPack& pack, const std::wstring& entryName)
{
    std::unique_ptr<COruFile> pFile(pack.OpenFile(entryName, false));
    if (pFile)
        return LoadFromFile(pFile.get(), entryName);
    BeginLoad(NameUtf8(entryName));
    return FailLoad(ERROR_OPENING_FILE);
}

bool CXmlDocument::GetLastError(std::wstring& message, int& line, int& column) const
{
    if (!m_bLoadFailed)
        return false;
    message = m_strLoadError;
    line = m_nErrorLine;
    column = m_nErrorColumn;
    return true;
}

bool CXmlDocument::Save(const std::wstring& path)
{
    if (!m_pDocument) {
        LogFileError(MSG_SAVE_FAILED, "");
        return false;
    }
    std::string narrowPath;
    std::string bytes;
    bool printed = ToUtf8(path, narrowPath);
    try {
        // What a load would refuse is refused before it is printed: printing
        // a tree nested thousands deep costs far more than counting it.
        if (printed && oru::detail::ElementDepth(m_pDocument->Document(), oru::detail::XML_MAX_DEPTH) >
                           oru::detail::XML_MAX_DEPTH) {
            LogFileError(MSG_SAVE_FAILED, ERROR_NOT_RELOADABLE);
            return false;
        }
        if (printed)
            oru::detail::PrintXml(*m_pDocument, bytes);
        if (printed && !LoadsAgain(bytes)) {
            LogFileError(MSG_SAVE_FAILED, ERROR_NOT_RELOADABLE);
            return false;
        }
    } catch (const std::bad_alloc&) {
        printed = false;
    }
    if (!printed || !oru::platform::ReplaceFileKeepingAccess(narrowPath, bytes)) {
        LogFileError(MSG_SAVE_FAILED, "");
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
    if (!m_pDocument)
        return;
    std::string text;
    oru::detail::PrintXml(*m_pDocument, text);
    std::fwrite(text.data(), 1, text.size(), stdout);
}

void CXmlDocument::SetLogSystem(CLogSystem* pLogSystem)
{
    m_pLogSystem = pLogSystem;
}

bool CXmlDocument::MoveTo(CXmlNode* pNode)
{
    if (!pNode)
        return false;
    m_pCurNode = pNode;
    return true;
}

bool CXmlDocument::ParentElement()
{
    return m_pCurNode && MoveTo(m_pCurNode->m_pParent);
}

bool CXmlDocument::PrevElement()
{
    return m_pCurNode && MoveTo(m_pCurNode->m_pPrev);
}

bool CXmlDocument::NextElement()
{
    return m_pCurNode && MoveTo(m_pCurNode->m_pNext);
}

bool CXmlDocument::ChildElement(int index)
{
    if (!m_pCurNode)
        return false;
    CXmlNode* pNode = m_pCurNode->m_pFirstChild;
    for (int i = 0; pNode && i < index; ++i)
        pNode = pNode->m_pNext;
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
    return WalkPath(m_pDocument->Document(), path, true);
}

// Each piece steps to the first child, of any kind, whose value matches it
// byte for byte; the cursor moves only when the whole path is found.
bool CXmlDocument::WalkPath(CXmlNode* pStart, const std::wstring& path, bool reportMiss)
{
    std::list<std::wstring> parts;
    SplitElementString(parts, path);
    CXmlNode* pNode = pStart;
    std::string partUtf8;
    for (const std::wstring& part : parts) {
        CXmlNode* pNext = ToUtf8(part, partUtf8) ? FirstChildNamed(pNode, partUtf8.c_str()) : nullptr;
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
    std::string nameUtf8;
    if (ToNameUtf8(name, nameUtf8) && m_pCurNode->CanHoldChildren()) {
        CXmlNode* pAdded = m_pDocument->NewNode(oru::detail::XML_NODE_ELEMENT);
        pAdded->m_value = m_pDocument->StoreText(nameUtf8);
        m_pDocument->AppendChild(m_pCurNode, pAdded);
        return MoveTo(pAdded);
    }
    OruSafeLog(m_pLogSystem, 4, MSG_INSERT_FAILED, m_strDocName.c_str(), CurrentName().c_str(),
               name.c_str());
    return false;
}

bool CXmlDocument::IsCurElement(const std::wstring& name)
{
    std::wstring current;
    return !name.empty() && m_pCurNode && ToWide(m_pCurNode->m_value.m_szData, current) && name == current;
}

bool CXmlDocument::GetElementName(std::wstring& name)
{
    return m_pCurNode && ToWide(m_pCurNode->m_value.m_szData, name);
}

int CXmlDocument::GetNumChildElement()
{
    if (!m_pCurNode)
        return 0;
    int count = 0;
    for (CXmlNode* pNode = m_pCurNode->m_pFirstChild; pNode; pNode = pNode->m_pNext)
        ++count;
    return count;
}

int CXmlDocument::GetNumElement()
{
    if (!m_pCurNode)
        return 0;
    CXmlNode* pParent = m_pCurNode->m_pParent;
    if (!pParent)
        return 1;
    const char* value = m_pCurNode->m_value.m_szData;
    int count = 0;
    for (CXmlNode* pNode = FirstChildNamed(pParent, value); pNode; pNode = pNode->m_pNext) {
        if (std::strcmp(pNode->m_value.m_szData, value) == 0)
            ++count;
    }
    return count;
}

bool CXmlDocument::GetValueText(const char*& text)
{
    CXmlNode* pFirst = m_pCurNode ? m_pCurNode->m_pFirstChild : nullptr;
    if (!pFirst || !pFirst->IsText())
        return false;
    text = pFirst->m_value.m_szData;
    return true;
}

bool CXmlDocument::GetValueString(std::wstring& value)
{
    const char* text = nullptr;
    return GetValueText(text) && ToWide(text, value);
}

bool CXmlDocument::GetValueStringEx(std::wstring& value)
{
    const char* text = nullptr;
    return GetValueText(text) && ToWide(text, value, false);
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
    return SetValueText(value, true);
}

bool CXmlDocument::SetValueStringEx(const std::wstring& value)
{
    return SetValueText(value, false);
}

bool CXmlDocument::SetValueText(const std::wstring& value, bool bounded)
{
    if (!m_pCurNode)
        return false;
    std::string utf8;
    if (ToUtf8(value, utf8, bounded) && m_pCurNode->CanHoldChildren()) {
        CXmlNode* pFirst = m_pCurNode->m_pFirstChild;
        if (!pFirst) {
            CXmlNode* pText = m_pDocument->NewNode(oru::detail::XML_NODE_TEXT);
            pText->m_value = m_pDocument->StoreText(utf8);
            m_pDocument->AppendChild(m_pCurNode, pText);
            return true;
        }
        if (pFirst->IsText()) {
            m_pDocument->ReplaceText(pFirst->m_value, utf8);
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

CXmlNode* CXmlDocument::CurrentElement() const
{
    return m_pCurNode && m_pCurNode->IsElement() ? m_pCurNode : nullptr;
}

const char* CXmlDocument::FindAttr(const CXmlNode* pElement, const std::wstring& name) const
{
    std::string nameUtf8;
    if (!ToUtf8(name, nameUtf8))
        return nullptr;
    const oru::detail::CXmlAttribute* pAttr = pElement->FindAttribute(nameUtf8);
    return pAttr ? pAttr->m_value.m_szData : nullptr;
}

bool CXmlDocument::GetAttrValueString(const std::wstring& name, std::wstring& value)
{
    CXmlNode* pElement = CurrentElement();
    const char* text = pElement ? FindAttr(pElement, name) : nullptr;
    if (text && ToWide(text, value))
        return true;
    value.clear();
    return false;
}

bool CXmlDocument::GetAttrValueInt(const std::wstring& name, int& value)
{
    CXmlNode* pElement = CurrentElement();
    return pElement && ParseNumberOrZero(FindAttr(pElement, name), value);
}

bool CXmlDocument::GetAttrValueDouble(const std::wstring& name, double& value)
{
    CXmlNode* pElement = CurrentElement();
    return pElement && ParseNumberOrZero(FindAttr(pElement, name), value);
}

bool CXmlDocument::GetAttrValueFloat(const std::wstring& name, float& value)
{
    CXmlNode* pElement = CurrentElement();
    const char* text = pElement ? FindAttr(pElement, name) : nullptr;
    return text && ParseNumber(text, value);
}

bool CXmlDocument::SetAttrText(const std::wstring& name, const std::wstring& value)
{
    CXmlNode* pElement = CurrentElement();
    std::string valueUtf8;
    if (!pElement || name.empty() || !ToUtf8(value, valueUtf8))
        return false;
    std::string nameUtf8;
    if (!ToNameUtf8(name, nameUtf8)) {
        OruSafeLog(m_pLogSystem, 4, MSG_ATTR_NAME_REFUSED, m_strDocName.c_str(), CurrentName().c_str(),
                   name.c_str());
        return false;
    }
    m_pDocument->SetAttribute(pElement, nameUtf8, valueUtf8);
    return true;
}

bool CXmlDocument::SetAttrValueString(const std::wstring& name, const std::wstring& value)
{
    return SetAttrText(name, value);
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

void CXmlDocument::LogFileError(const wchar_t* format, const std::string& errorText)
{
    const char* parserName = m_pDocument ? m_pDocument->Document()->m_value.m_szData : "";
    OruSafeLog(m_pLogSystem, 3, format, WideForLog(parserName).c_str(), WideForLog(errorText.c_str()).c_str());
}

std::wstring CXmlDocument::CurrentName() const
{
    return m_pCurNode ? WideForLog(m_pCurNode->m_value.m_szData) : std::wstring();
}

#pragma once

#include <oru/core/export.h>
#include <oru/core/non_copyable.h>

#include <cstddef>
#include <list>
#include <string>

class CLogSystem;
class COruFile;
class COruPack;

namespace oru::detail {
class CXmlTree;
struct CXmlNode;
}

// One XML document and a cursor over it. Every read and write goes through
// the current node: load or create a document, move the cursor by
// slash-separated paths or step by step, read and write the text value and
// the attributes of the node under it, and save.
//
// Names and values are wide text at the interface and UTF-8 in the document.
// The plain operations take and give texts up to what the library's bounded
// conversion functions hold (1023 bytes of UTF-8, 1023 characters);
// GetValueStringEx and SetValueStringEx move text values of any length. A text that cannot be converted makes the operation
// fail.
//
// Failures are returned as false (or 0); the load and save errors and the
// skipped operations listed with each function are also written, when a log
// system is set, as "[Error]" (level 3) and "[Skip]" (level 4) lines. Nothing
// throws. Every operation that needs a document or a current node fails when
// there is none.
//
// Not thread-safe: one document is used by one thread at a time. Documents
// on different threads are independent: the cursor converts text in buffers
// of its own. Clear (and so every load, New and the destructor) still
// releases the process-wide buffers of the unbounded conversion functions
// (OruWCharToCharEx, OruCharToWCharEx), so no other thread may be inside
// one of those, or still use its result, then.
//
// Not copyable: a copy would have to duplicate the tree and re-find its
// cursor, and the library never needs one.
class ORU_API CXmlDocument : private COruNonCopyable {
public:
    CXmlDocument();
    ~CXmlDocument();

    // Clears, then creates an empty document holding only the declaration
    // <?xml version="1.0" encoding="`encoding`" standalone="no" ?>; the cursor
    // is on the document node. The document name stays empty until Save.
    bool New(const std::wstring& name, const std::wstring& encoding);
    // Clears, then parses the file. On success the document name is `path`
    // and the cursor is on the root element (no cursor when the document has
    // no element). On failure logs "[Error]" with the place of the fault,
    // keeps it for GetLastError and leaves no cursor. Files that nest
    // elements more than 1000 deep are refused, and so are files whose root
    // element cannot be read. A file may be UTF-8 (with or without a
    // byte-order mark) or in the legacy encoding its declaration names.
    bool Load(const std::wstring& path);
    // The same, for `size` bytes at `pData` (copied), which give a whole
    // document; `name` becomes the document name.
    bool LoadFromMemory(const void* pData, size_t size, const std::wstring& name);
    // The same, for the whole content of an open stream (a pack entry or a
    // loose file, streaming or preloaded), read from its start; the stream
    // stays open and its position is left at the end. `name` becomes the
    // document name. A stream that reports damaged data fails the load.
    bool LoadFromFile(COruFile* pFile, const std::wstring& name);
    // The same, for the entry `entryName` of the pack manager (OruPack()) or
    // of `pack`; the entry name becomes the document name. Fails, logged, when
    // there is no such entry.
    bool LoadFromPack(const std::wstring& entryName);
    bool LoadFromPack(COruPack& pack, const std::wstring& entryName);
    // After a failed load: true, with the reason (English), and the 1-based
    // line and column of the fault counted in characters of the text (both 0
    // when the fault has no place, such as a file that cannot be opened; the
    // reason is empty for an empty file). False when the last load succeeded
    // or there was none; the outputs are then left alone.
    bool GetLastError(std::wstring& message, int& line, int& column) const;
    // Writes the whole document to a temporary file beside `path`, flushed,
    // then renamed over `path`, which keeps its mode, owner and group; on
    // success the document name becomes `path`. On failure (a full disk, a
    // folder or FIFO at `path`, a file there that nobody may write, a
    // document whose printed form would not load again, such as one nested
    // more than 1000 deep) logs "[Error]" and leaves the file at `path` as it
    // was.
    bool Save(const std::wstring& path);
    // Forgets the cursor, destroys the document, empties the document name.
    // Frees the nodes without walking them, whatever the depth.
    void Clear();
    // Writes the document to standard output as Save would write it.
    void Print();
    // The log for the messages; null (the default) silences them. Not owned.
    void SetLogSystem(CLogSystem* pLogSystem);

    // Steps over nodes of every kind (text and comments are stops of their
    // own). Each returns false and leaves the cursor when there is no node there.
    bool ParentElement();
    bool PrevElement();
    bool NextElement();
    // The child at `index`, counting every child node from 0; a negative
    // index means the first child.
    bool ChildElement(int index);
    // Walks `path` from the current node, one child per piece, each the first
    // child node whose name (for text, its text) equals the piece. Empty
    // pieces (from "a//b" or a trailing "/") match only empty names. Without a
    // current node logs "[Skip]".
    bool FindElement(const std::wstring& path);
    // The same walk from the document node, so the first piece names the root
    // element; a piece that is not found is logged as "[Skip]".
    bool FindElementGlobal(const std::wstring& path);
    // Appends an element as the last child of the current node (an element or
    // the document) and moves into it. A failure, and a name that is not an
    // XML name, is logged as "[Skip]".
    bool InsertChildElement(const std::wstring& name);

    // True when the current node's name equals `name` exactly (case matters).
    bool IsCurElement(const std::wstring& name);
    // The current node's name: the tag of an element, the text of a text node.
    bool GetElementName(std::wstring& name);
    // Child nodes of every kind of the current node.
    int GetNumChildElement();
    // How many children of the current node's parent share its name, itself
    // included; 1 for a node without a parent.
    int GetNumElement();

    // The text of the current node's first child, which must be a text node;
    // otherwise false and the output is unchanged. Numbers are read as C's
    // atoi and atof read them, whatever the process locale.
    bool GetValueString(std::wstring& value);
    bool GetValueStringEx(std::wstring& value);
    bool GetValueInt(int& value);
    bool GetValueFloat(float& value);
    bool GetValueDouble(double& value);
    // Sets the text of the current node: appends a text child to an empty
    // element, or replaces the text of its first child. Fails, logging
    // "[Skip]", when the first child is not text or the node cannot hold text.
    bool SetValueString(const std::wstring& value);
    bool SetValueStringEx(const std::wstring& value);
    // Base 10, a sign when negative.
    bool SetValueInt(int value);
    // `digits` significant digits as "%.*g" writes them (fixed notation where
    // the exponent allows, else exponent notation); at most 17 are used, as
    // many as a double carries.
    bool SetValueFloat(float value, int digits);
    bool SetValueDouble(double value, int digits);

    // Attributes of the current element; every one fails when the cursor is
    // not on an element. A missing attribute: GetAttrValueString empties
    // `value`, the Int and Double forms set it to 0, the Float form leaves it.
    bool GetAttrValueString(const std::wstring& name, std::wstring& value);
    bool GetAttrValueInt(const std::wstring& name, int& value);
    bool GetAttrValueDouble(const std::wstring& name, double& value);
    bool GetAttrValueFloat(const std::wstring& name, float& value);
    // Create or replace. Ints as "%d"; both float forms take a float and write
    // it as "%f" (six decimals), whatever the process locale. A name that is
    // not an XML name is refused and logged as "[Skip]".
    bool SetAttrValueString(const std::wstring& name, const std::wstring& value);
    bool SetAttrValueInt(const std::wstring& name, int value);
    bool SetAttrValueFloat(const std::wstring& name, float value);
    bool SetAttrValueDouble(const std::wstring& name, float value);

private:
    // Splits at every '/', keeping empty pieces: "/a//b/" gives "", "a", "",
    // "b", "".
    void SplitElementString(std::list<std::wstring>& parts, const std::wstring& path);
    void BeginLoad(const std::string& parserName);
    bool LoadBytes(std::string& bytes, const std::wstring& name);
    bool FailLoad(const char* reason, int line = 0, int column = 0);
    bool ReadStream(COruFile* pFile, std::string& bytes);
    bool MoveTo(oru::detail::CXmlNode* pNode);
    bool WalkPath(oru::detail::CXmlNode* pStart, const std::wstring& path, bool reportMiss);
    bool GetValueText(const char*& text);
    bool SetValueText(const std::wstring& value, bool bounded);
    bool SetFloatingValue(double value, int digits);
    oru::detail::CXmlNode* CurrentElement() const;
    const char* FindAttr(const oru::detail::CXmlNode* pElement, const std::wstring& name) const;
    bool SetAttrText(const std::wstring& name, const std::wstring& value);
    void LogFileError(const wchar_t* format, const std::string& errorText);
    std::wstring CurrentName() const;

    oru::detail::CXmlTree* m_pDocument;
    std::wstring m_strDocName;
    oru::detail::CXmlNode* m_pCurNode;
    CLogSystem* m_pLogSystem;
    // The last load's failure, for GetLastError.
    bool m_bLoadFailed = false;
    std::wstring m_strLoadError;
    int m_nErrorLine = 0;
    int m_nErrorColumn = 0;
};

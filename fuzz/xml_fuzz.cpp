// Loads arbitrary bytes as an XML file and drives the cursor over whatever
// tree comes out: every node is visited step by step, read as text, number
// and attributes, found again by its absolute path, written to, and the
// document is saved and loaded again. Text after a final "\n#" serves as a
// name, path and value of its own.
//
// Invariants checked besides "no crash, no leak": a node whose name path has
// no '/' in it is found again by FindElementGlobal, and every document that
// Save accepts loads again.

#include <oru/xml/xml_document.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int MAX_VISITS = 2000;

std::string TempPath(const char* suffix)
{
    return "/tmp/oru_xml_fuzz_" + std::to_string(getpid()) + suffix;
}

void WriteAll(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::wstring Widen(const std::string& bytes)
{
    std::wstring out;
    for (unsigned char c : bytes)
        out += static_cast<wchar_t>(c < 0x80 ? c : 0xAC00 + c);  // Korean for high bytes
    return out;
}

void Inspect(CXmlDocument& doc, const std::wstring& probe)
{
    std::wstring text;
    int n = 0;
    float f = 0;
    double d = 0;
    doc.GetValueString(text);
    doc.GetValueStringEx(text);
    doc.GetValueInt(n);
    doc.GetValueFloat(f);
    doc.GetValueDouble(d);
    doc.GetNumElement();
    doc.GetNumChildElement();
    for (const std::wstring& name : {probe, std::wstring(L"id"), std::wstring(L"이름")}) {
        doc.GetAttrValueString(name, text);
        doc.GetAttrValueInt(name, n);
        doc.GetAttrValueFloat(name, f);
        doc.GetAttrValueDouble(name, d);
    }
    doc.IsCurElement(probe);
}

// Paths find the first sibling of a name: true when no earlier sibling of
// the current node has its name. The cursor ends where it started.
bool IsFirstOfItsName(CXmlDocument& doc, const std::wstring& name)
{
    int steps = 0;
    bool first = true;
    while (doc.PrevElement()) {
        ++steps;
        std::wstring other;
        first = first && !(doc.GetElementName(other) && other == name);
    }
    while (steps-- > 0)
        doc.NextElement();
    return first;
}

// Depth-first over every node, by the cursor's own steps; returns the name
// paths that must lead back to the node they were taken at: every piece
// readable, without '/', and the first sibling of its name.
std::vector<std::wstring> VisitAll(CXmlDocument& doc, const std::wstring& probe)
{
    std::vector<std::wstring> findable;
    std::vector<std::wstring> path;
    std::vector<bool> usable;
    for (int visits = 0; visits < MAX_VISITS; ++visits) {
        std::wstring name;
        const bool named = doc.GetElementName(name);
        path.push_back(name);
        usable.push_back(named && name.find(L'/') == std::wstring::npos &&
                         IsFirstOfItsName(doc, name) && (usable.empty() || usable.back()));
        Inspect(doc, probe);

        if (usable.back()) {
            std::wstring joined;
            for (const std::wstring& piece : path)
                joined += (joined.empty() ? L"" : L"/") + piece;
            if (!joined.empty())
                findable.push_back(joined);
        }

        if (doc.ChildElement(0))
            continue;
        path.pop_back();
        usable.pop_back();
        while (!doc.NextElement()) {
            if (path.empty() || !doc.ParentElement())
                return findable;
            path.pop_back();
            usable.pop_back();
        }
    }
    return findable;
}

void VisitAndFindAgain(CXmlDocument& doc, const std::wstring& probe)
{
    for (const std::wstring& path : VisitAll(doc, probe)) {
        if (!doc.FindElementGlobal(path))
            std::abort();
        doc.FindElement(probe);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Text after the last "\n#" is the probe, the rest the document.
    std::string bytes(reinterpret_cast<const char*>(data), size);
    std::wstring probe = L"item";
    const size_t mark = bytes.rfind("\n#");
    if (mark != std::string::npos) {
        probe = Widen(bytes.substr(mark + 2, 64));
        bytes.resize(mark);
    }

    const std::string inPath = TempPath(".xml");
    const std::string outPath = TempPath("_out.xml");
    WriteAll(inPath, bytes);

    CXmlDocument doc;
    const std::wstring wideIn(inPath.begin(), inPath.end());
    const std::wstring wideOut(outPath.begin(), outPath.end());
    if (doc.Load(wideIn)) {
        VisitAndFindAgain(doc, probe);
        doc.FindElementGlobal(probe);
        doc.SetValueString(probe);
        doc.SetValueStringEx(probe + probe);
        doc.SetAttrValueString(probe, probe);
        doc.SetAttrValueFloat(L"f", 1.5F);
        doc.InsertChildElement(probe);
        doc.SetValueDouble(0.1, static_cast<int>(size));
        if (doc.Save(wideOut)) {
            if (!doc.Load(wideOut))
                std::abort();
            VisitAndFindAgain(doc, probe);
        }
    } else {
        doc.New(probe, probe);
        doc.InsertChildElement(probe);
        doc.SetValueStringEx(probe);
        doc.SetAttrValueString(probe, probe);
        if (doc.Save(wideOut) && !doc.Load(wideOut))
            std::abort();
    }
    std::remove(inPath.c_str());
    std::remove(outPath.c_str());
    return 0;
}

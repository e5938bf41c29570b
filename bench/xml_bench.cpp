// The XML cursor against the parser it is built on. A 20 MB document shaped
// like game data (zones, areas, entities with attributes, Korean texts and
// comments) is generated once; each run loads it from the file and visits
// every node: ours through CXmlDocument's steps, the peer walking TinyXML's
// nodes directly. Both count the nodes, and the counts must agree.
//
// FindElementGlobal is measured on a path five levels deep whose every piece
// is the last of its siblings, so each step scans a full sibling list; the
// peer makes the same first-match walk with TinyXML's FirstChild(name).

#include <oru/xml/xml_document.h>

#include "xml/xml_input_check.h"

#include <benchmark/benchmark.h>
#include <tinyxml.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

namespace {

constexpr const char* DOC_PATH = "xml_bench_20mb.xml";
constexpr const wchar_t* DOC_PATH_W = L"xml_bench_20mb.xml";
constexpr const char* DEEP_PATH = "world/frontier/camp/tent/lamp";
constexpr const wchar_t* DEEP_PATH_W = L"world/frontier/camp/tent/lamp";

void AppendEntity(std::string& out, int id)
{
    out += "      <entity id=\"" + std::to_string(id) + "\" kind=\"npc\" name=\"\xEC\x83\x81\xEC\x9D\xB8 " +
           std::to_string(id) + "\" scale=\"1.250000\">\n"
           "        <prop key=\"hp\">" + std::to_string(100 + id % 50) + "</prop>\n"
           "        <prop key=\"mp\">" + std::to_string(20 + id % 7) + "</prop>\n"
           "        <prop key=\"speed\">3.75</prop>\n"
           "        <!-- spawn rules follow -->\n"
           "        <note>\xEC\x96\xB4\xEC\x84\x9C \xEC\x98\xA4\xEC\x84\xB8\xEC\x9A\x94, \xEB\xAA\xA8\xED\x97\x98\xEA\xB0\x80\xEB\x8B\x98. "
           "Welcome, traveller.</note>\n"
           "      </entity>\n";
}

// Written once per process; about 20 MB.
const std::string& DocumentFile()
{
    static const std::string path = [] {
        std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\n<world version=\"3\">\n"
                          "  <!-- generated for the benchmark -->\n";
        int id = 0;
        while (out.size() < 20 * 1000 * 1000) {
            out += "  <zone id=\"" + std::to_string(id) + "\">\n";
            for (int area = 0; area < 20; ++area) {
                out += "    <area x=\"" + std::to_string(area) + ".5\" y=\"-2.25\">\n";
                for (int entity = 0; entity < 20; ++entity)
                    AppendEntity(out, id++);
                out += "    </area>\n";
            }
            out += "  </zone>\n";
        }
        out += "  <frontier>\n";
        for (int area = 0; area < 20; ++area)
            out += "    <area/>\n";
        out += "    <camp>\n";
        for (int entity = 0; entity < 20; ++entity)
            out += "      <entity/>\n";
        out += "      <tent><prop/><prop/><prop/><prop/><prop/><lamp>lit</lamp></tent>\n"
               "    </camp>\n  </frontier>\n</world>\n";
        std::ofstream(DOC_PATH, std::ios::binary | std::ios::trunc) << out;
        return std::string(DOC_PATH);
    }();
    return path;
}

int64_t FileSize()
{
    std::ifstream in(DocumentFile(), std::ios::binary | std::ios::ate);
    return static_cast<int64_t>(in.tellg());
}

// Every node below the document node, depth first, by the cursor's steps.
int64_t VisitWithCursor(CXmlDocument& doc)
{
    int64_t nodes = 1;  // the root element, where Load leaves the cursor
    int depth = 0;       // below the root
    while (true) {
        if (doc.ChildElement(0)) {
            ++nodes;
            ++depth;
            continue;
        }
        while (depth == 0 || !doc.NextElement()) {
            if (depth == 0 || !doc.ParentElement())
                return nodes;
            --depth;
        }
        ++nodes;
    }
}

int64_t VisitTinyXml(TiXmlNode* pRoot)
{
    int64_t nodes = 1;
    TiXmlNode* pNode = pRoot;
    while (true) {
        if (TiXmlNode* pChild = pNode->FirstChild()) {
            pNode = pChild;
            ++nodes;
            continue;
        }
        while (!pNode->NextSibling()) {
            pNode = pNode->Parent();
            if (!pNode || pNode == pRoot)
                return nodes;
        }
        pNode = pNode->NextSibling();
        ++nodes;
    }
}

int64_t ExpectedNodes()
{
    static const int64_t nodes = [] {
        TiXmlDocument doc;
        doc.LoadFile(DocumentFile().c_str());
        return VisitTinyXml(doc.RootElement());
    }();
    return nodes;
}

bool LoadDocument(CXmlDocument& doc)
{
    DocumentFile();  // written on first use, also when this run is the first
    return doc.Load(DOC_PATH_W);
}

bool LoadDocument(TiXmlDocument& doc)
{
    return doc.LoadFile(DocumentFile().c_str());
}

// Loads the generated document, ours or the peer's, once, then times `step`
// on it. False, with the run marked failed, when the document does not load.
template <class Document, class Step>
bool TimeOnLoadedDocument(benchmark::State& state, Step step)
{
    Document doc;
    if (!LoadDocument(doc)) {
        state.SkipWithError("load failed");
        return false;
    }
    for (auto _ : state)
        step(doc);
    return true;
}

void LoadAndVisit_Cursor(benchmark::State& state)
{
    const int64_t expected = ExpectedNodes();
    for (auto _ : state) {
        CXmlDocument doc;
        if (!doc.Load(DOC_PATH_W) || VisitWithCursor(doc) != expected)
            state.SkipWithError("wrong result");
    }
    state.SetBytesProcessed(state.iterations() * FileSize());
    state.SetItemsProcessed(state.iterations() * expected);
    // Both run at least two seconds; the name of the peer carries that.
    state.SetLabel("peer=LoadAndVisit_TinyXml/min_time:2.000 goal=0.87");
}

void LoadAndVisit_TinyXml(benchmark::State& state)
{
    const int64_t expected = ExpectedNodes();
    for (auto _ : state) {
        TiXmlDocument doc;
        if (!doc.LoadFile(DocumentFile().c_str()) || VisitTinyXml(doc.RootElement()) != expected)
            state.SkipWithError("wrong result");
    }
    state.SetBytesProcessed(state.iterations() * FileSize());
    state.SetItemsProcessed(state.iterations() * expected);
}

void FindGlobalFiveDeep_Cursor(benchmark::State& state)
{
    TimeOnLoadedDocument<CXmlDocument>(state, [&](CXmlDocument& doc) {
        if (!doc.FindElementGlobal(DEEP_PATH_W) || !doc.IsCurElement(L"lamp"))
            state.SkipWithError("wrong result");
    });
    state.SetLabel("peer=FindGlobalFiveDeep_TinyXml");
}

void FindGlobalFiveDeep_TinyXml(benchmark::State& state)
{
    TimeOnLoadedDocument<TiXmlDocument>(state, [&](TiXmlDocument& doc) {
        TiXmlNode* pNode = &doc;
        std::string path = DEEP_PATH;
        size_t start = 0;
        while (pNode && start <= path.size()) {
            const size_t slash = std::min(path.find('/', start), path.size());
            pNode = pNode->FirstChild(path.substr(start, slash - start).c_str());
            start = slash + 1;
        }
        if (!pNode || pNode->ValueStr() != "lamp")
            state.SkipWithError("wrong result");
        benchmark::DoNotOptimize(pNode);
    });
}

// Saving the whole document. Ours prints it to memory, reads the text back
// to be sure it loads again, writes a temporary file, flushes it to disk and
// renames it over the target; the peer prints straight into the target. Both
// files must come out the same size.
constexpr const char* SAVED_PATH = "xml_bench_saved.xml";
constexpr const wchar_t* SAVED_PATH_W = L"xml_bench_saved.xml";
constexpr const char* PEER_SAVED_PATH = "xml_bench_saved_peer.xml";

int64_t SizeOf(const char* path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    return static_cast<int64_t>(in.tellg());
}

void Save_Cursor(benchmark::State& state)
{
    TiXmlDocument peer;
    if (!LoadDocument(peer) || !peer.SaveFile(PEER_SAVED_PATH)) {
        state.SkipWithError("load failed");
        return;
    }
    const bool loaded = TimeOnLoadedDocument<CXmlDocument>(state, [&](CXmlDocument& doc) {
        if (!doc.Save(SAVED_PATH_W))
            state.SkipWithError("save failed");
    });
    if (loaded && SizeOf(SAVED_PATH) != SizeOf(PEER_SAVED_PATH))
        state.SkipWithError("wrong result");
    state.SetBytesProcessed(state.iterations() * SizeOf(SAVED_PATH));
    state.SetLabel("peer=Save_TinyXml");
}

void Save_TinyXml(benchmark::State& state)
{
    TimeOnLoadedDocument<TiXmlDocument>(state, [&](TiXmlDocument& doc) {
        if (!doc.SaveFile(PEER_SAVED_PATH))
            state.SkipWithError("save failed");
    });
    state.SetBytesProcessed(state.iterations() * SizeOf(PEER_SAVED_PATH));
}

// The pass over the bytes that Load makes before the parser sees them.
void InputCheck(benchmark::State& state)
{
    std::ifstream in(DocumentFile(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (auto _ : state) {
        if (oru::detail::CheckXmlInput(bytes.data(), bytes.size()) != oru::detail::XML_INPUT_OK)
            state.SkipWithError("wrong result");
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}

BENCHMARK(InputCheck)->Unit(benchmark::kMillisecond);
BENCHMARK(LoadAndVisit_Cursor)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(LoadAndVisit_TinyXml)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(FindGlobalFiveDeep_Cursor);
BENCHMARK(FindGlobalFiveDeep_TinyXml);
BENCHMARK(Save_Cursor)->Unit(benchmark::kMillisecond);
BENCHMARK(Save_TinyXml)->Unit(benchmark::kMillisecond);

}  // namespace

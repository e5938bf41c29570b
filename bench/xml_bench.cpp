// The XML cursor against TinyXML, the parser it was built on and whose
// reading it keeps. A 20 MB document shaped like game data (zones, areas,
// entities with attributes, Korean texts and comments) is generated once;
// each run loads it from the file and visits every node: ours through
// CXmlDocument's steps, the peer walking TinyXML's nodes directly. Both count
// the nodes, and the counts must agree. The same is done over the XML files
// the system's packages installed under /usr/share, one after the other.
//
// FindElementGlobal is measured on a path five levels deep whose every piece
// is the last of its siblings, so each step scans a full sibling list; the
// peer makes the same first-match walk with TinyXML's FirstChild(name).

#include <oru/xml/xml_document.h>

#include <benchmark/benchmark.h>
#include <tinyxml.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

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
    state.SetLabel("peer=LoadAndVisit_TinyXml/min_time:2.000 goal=3.0");
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
    state.SetLabel("peer=Save_TinyXml goal=0.5");
}

void Save_TinyXml(benchmark::State& state)
{
    TimeOnLoadedDocument<TiXmlDocument>(state, [&](TiXmlDocument& doc) {
        if (!doc.SaveFile(PEER_SAVED_PATH))
            state.SkipWithError("save failed");
    });
    state.SetBytesProcessed(state.iterations() * SizeOf(PEER_SAVED_PATH));
}

// The system's XML files that both read, with the nodes TinyXML finds in
// each; at most 64 MB of them, taken in the order of their paths.
struct CSystemFile {
    std::string m_strPath;
    std::wstring m_strWidePath;
    int64_t m_nNodes = 0;
    int64_t m_nBytes = 0;
};

const std::vector<CSystemFile>& SystemFiles()
{
    static const std::vector<CSystemFile> files = [] {
        namespace fs = std::filesystem;
        std::vector<std::string> paths;
        std::error_code ec;
        fs::recursive_directory_iterator it("/usr/share", fs::directory_options::skip_permission_denied, ec);
        for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            std::error_code typeError;
            if (it->path().extension() == ".xml" && it->is_regular_file(typeError))
                paths.push_back(it->path().string());
        }
        std::sort(paths.begin(), paths.end());
        std::vector<CSystemFile> chosen;
        int64_t total = 0;
        for (const std::string& path : paths) {
            TiXmlDocument peer;
            CXmlDocument ours;
            const std::wstring wide(path.begin(), path.end());
            if (!peer.LoadFile(path.c_str()) || !peer.RootElement() || !ours.Load(wide) ||
                total > 64 * 1000 * 1000)
                continue;
            chosen.push_back({path, wide, VisitTinyXml(peer.RootElement()), SizeOf(path.c_str())});
            total += chosen.back().m_nBytes;
        }
        return chosen;
    }();
    return files;
}

template <class LoadAndVisit>
void OverSystemFiles(benchmark::State& state, LoadAndVisit loadAndVisit)
{
    const std::vector<CSystemFile>& files = SystemFiles();
    if (files.empty()) {
        state.SkipWithError("no XML files under /usr/share");
        return;
    }
    int64_t bytes = 0;
    int64_t nodes = 0;
    for (auto _ : state) {
        for (const CSystemFile& file : files) {
            if (loadAndVisit(file) != file.m_nNodes)
                state.SkipWithError("wrong result");
            bytes += file.m_nBytes;
            nodes += file.m_nNodes;
        }
    }
    state.SetBytesProcessed(bytes);
    state.SetItemsProcessed(nodes);
    state.counters["files"] = static_cast<double>(files.size());
}

void SystemFiles_Cursor(benchmark::State& state)
{
    OverSystemFiles(state, [](const CSystemFile& file) {
        CXmlDocument doc;
        return doc.Load(file.m_strWidePath) ? VisitWithCursor(doc) : -1;
    });
    state.SetLabel("peer=SystemFiles_TinyXml/min_time:2.000 goal=3.0");
}

void SystemFiles_TinyXml(benchmark::State& state)
{
    OverSystemFiles(state, [](const CSystemFile& file) {
        TiXmlDocument doc;
        return doc.LoadFile(file.m_strPath.c_str()) ? VisitTinyXml(doc.RootElement()) : -1;
    });
}

BENCHMARK(SystemFiles_Cursor)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(SystemFiles_TinyXml)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(LoadAndVisit_Cursor)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(LoadAndVisit_TinyXml)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(FindGlobalFiveDeep_Cursor);
BENCHMARK(FindGlobalFiveDeep_TinyXml);
BENCHMARK(Save_Cursor)->Unit(benchmark::kMillisecond);
BENCHMARK(Save_TinyXml)->Unit(benchmark::kMillisecond);

}  // namespace

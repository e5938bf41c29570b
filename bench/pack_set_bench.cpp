// A pack set of four packs against the one pack it is built on: opening and
// reading 10 000 small entries that all lie in the lowest pack, and looking
// up 10 000 names that no pack holds. The set keeps one merged view, so a
// look-up is one map search however many layers there are; these figures
// keep that true.
//
// Each pack holds 10 000 entries of 100 to 600 bytes; the three upper ones
// hold other names, as a patch, downloadable content and a mod would.

#include <oru/pack/oru_pack.h>
#include <oru/pack/oru_pack_set.h>

#include <benchmark/benchmark.h>

#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr int ENTRIES = 10000;
constexpr int LAYERS = 4;

std::wstring Wide(const std::string& ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

std::string EntryName(int layer, int i)
{
    return "layer" + std::to_string(layer) + "\\dir" + std::to_string(i % 100) + "\\file" + std::to_string(i) + ".dat";
}

struct CFixture {
    fs::path m_root = fs::current_path() / "pack_set_bench_work";
    std::vector<std::wstring> m_vecBases;
    std::vector<std::wstring> m_vecLowest;   // the names of the lowest pack
    std::vector<std::wstring> m_vecMissing;  // names no pack holds
    std::vector<size_t> m_vecSizes;          // of the lowest pack's entries

    CFixture()
    {
        fs::remove_all(m_root);
        fs::create_directories(m_root);
        std::mt19937 random(7);
        std::string content(600, 'x');
        for (int layer = 0; layer < LAYERS; ++layer) {
            const std::wstring base = Wide((m_root / ("pack" + std::to_string(layer))).string());
            COruPack pack;
            pack.OpenOruPack(base, ORU_PACK_MODE_WRITE, 512);
            for (int i = 0; i < ENTRIES; ++i) {
                const size_t size = 100 + random() % 501;
                for (size_t b = 0; b < size; ++b)
                    content[b] = static_cast<char>(random());
                if (!pack.AddFileData(Wide(EntryName(layer, i)), content.data(), static_cast<uint32_t>(size), 0, 0, 0))
                    throw std::runtime_error("cannot build the packs");
                if (layer == 0)
                    m_vecSizes.push_back(size);
            }
            pack.CloseOruPack();
            m_vecBases.push_back(base);
        }
        for (int i = 0; i < ENTRIES; ++i) {
            m_vecLowest.push_back(Wide(EntryName(0, i)));
            m_vecMissing.push_back(Wide(EntryName(LAYERS, i)));
        }
    }
    ~CFixture() { fs::remove_all(m_root); }
};

const CFixture& Fixture()
{
    static const CFixture s_fixture;
    return s_fixture;
}

template <class TSource>
void OpenRead(benchmark::State& state, TSource& source)
{
    const CFixture& fixture = Fixture();
    std::vector<char> buffer(1024);
    for (auto _ : state) {
        bool ok = true;
        for (int i = 0; i < ENTRIES; ++i) {
            COruFile* pFile = source.OpenFile(fixture.m_vecLowest[static_cast<size_t>(i)], false);
            ok = ok && pFile &&
                 pFile->Fread(buffer.data(), 1, static_cast<unsigned int>(buffer.size())) == fixture.m_vecSizes[static_cast<size_t>(i)];
            oru_fclose(pFile);
        }
        if (!ok)
            state.SkipWithError("read the wrong bytes");
    }
    state.SetItemsProcessed(state.iterations() * ENTRIES);
}

template <class TSource>
void Miss(benchmark::State& state, TSource& source)
{
    const CFixture& fixture = Fixture();
    for (auto _ : state) {
        for (const std::wstring& name : fixture.m_vecMissing) {
            COruFile* pFile = source.OpenFile(name, false);
            benchmark::DoNotOptimize(pFile);
            if (pFile)
                state.SkipWithError("found a name no pack holds");
        }
    }
    state.SetItemsProcessed(state.iterations() * ENTRIES);
}

// The set of all four packs; the single pack is the lowest of them.
struct CSources {
    COruPack m_pack;
    COruPackSet m_set;

    CSources()
    {
        m_pack.OpenOruPack(Fixture().m_vecBases[0], ORU_PACK_MODE_READ, 512);
        for (const std::wstring& base : Fixture().m_vecBases)
            m_set.AddPack(base);
        if (m_set.GetFileList()->size() != static_cast<size_t>(ENTRIES * LAYERS))
            throw std::runtime_error("the set does not show every entry");
    }
};

CSources& Sources()
{
    static CSources s_sources;
    return s_sources;
}

void PackSet4_OpenRead10k(benchmark::State& state)
{
    OpenRead(state, Sources().m_set);
    state.SetLabel("peer=Pack1_OpenRead10k goal=0.77");
}

void Pack1_OpenRead10k(benchmark::State& state)
{
    OpenRead(state, Sources().m_pack);
}

void PackSet4_Miss10k(benchmark::State& state)
{
    Miss(state, Sources().m_set);
    state.SetLabel("peer=Pack1_Miss10k goal=0.25");
}

void Pack1_Miss10k(benchmark::State& state)
{
    Miss(state, Sources().m_pack);
}

BENCHMARK(PackSet4_OpenRead10k)->Unit(benchmark::kMillisecond);
BENCHMARK(Pack1_OpenRead10k)->Unit(benchmark::kMillisecond);
BENCHMARK(PackSet4_Miss10k)->Unit(benchmark::kMicrosecond);
BENCHMARK(Pack1_Miss10k)->Unit(benchmark::kMicrosecond);

}  // namespace

// Following a pack that another process saves: what a game's call once a
// frame costs when nothing changed (against an empty call, the floor of any
// per-frame hook), and how long after a save ends the game hears of it.

#include <oru/pack/oru_pack.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace {

namespace fs = std::filesystem;

void Require(bool ok, const char* what)
{
    if (!ok)
        throw std::runtime_error(what);
}

// A pack of a hundred small entries, made afresh, and a source to add.
struct CSharedPack {
    fs::path m_dir = fs::current_path() / "pack_share_bench_work";
    std::wstring m_base;

    CSharedPack()
    {
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
        std::ofstream(m_dir / "source") << std::string(3000, 'x');
        m_base = (m_dir / "pack").wstring();
        COruPack editor;
        editor.OpenOruPack(m_base, ORU_PACK_MODE_WRITE, 512);
        editor.SetWorkDir((m_dir / "").wstring());
        for (int i = 0; i < 100; ++i)
            Require(editor.AddFile(L"source") || true, "add");
        editor.CloseOruPack();
    }
    ~CSharedPack()
    {
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }
    // One editing session that stores the source under `name` and saves.
    void Save(const std::wstring& name) const
    {
        COruPack editor;
        editor.OpenOruPack(m_base, ORU_PACK_MODE_WRITE, 512);
        editor.SetWorkDir((m_dir / "").wstring());
        fs::copy_file(m_dir / "source", m_dir / name, fs::copy_options::overwrite_existing);
        Require(editor.AddFile(name), "add");
        editor.CloseOruPack();
    }
};

__attribute__((noinline)) bool EmptyCall(COruPack& pack)
{
    benchmark::DoNotOptimize(&pack);
    return false;
}

void EmptyFrameCall(benchmark::State& state)
{
    COruPack pack;
    for (auto _ : state)
        benchmark::DoNotOptimize(EmptyCall(pack));
}

void PackRefresh_NothingChanged(benchmark::State& state)
{
    const CSharedPack shared;
    COruPack reader;
    Require(reader.OpenOruPack(shared.m_base, ORU_PACK_MODE_READ, 512), "open");
    reader.RefreshOruPack();  // starts the watch
    for (auto _ : state)
        benchmark::DoNotOptimize(reader.RefreshOruPack());
}

// The time from the end of a save (its CloseOruPack returned) to the
// callback that names the saved entry, with the game asking as often as it
// can; a game that asks once a frame adds up to one frame to this.
void PackRefresh_SaveToCallback(benchmark::State& state)
{
    const CSharedPack shared;
    COruPack reader;
    Require(reader.OpenOruPack(shared.m_base, ORU_PACK_MODE_READ, 512), "open");
    reader.RefreshOruPack();
    int saves = 0;
    for (auto _ : state) {
        const std::wstring name = L"saved" + std::to_wstring(saves++ % 8);
        shared.Save(name);
        const auto saved = std::chrono::steady_clock::now();
        bool heard = false;
        while (!heard)
            reader.RefreshOruPack([&](const std::wstring& changed, ORU_PACK_CHANGE) { heard = heard || changed == name; });
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - saved).count());
    }
}

}  // namespace

BENCHMARK(EmptyFrameCall);
BENCHMARK(PackRefresh_NothingChanged);
BENCHMARK(PackRefresh_SaveToCallback)->UseManualTime()->Iterations(200)->Unit(benchmark::kMicrosecond);

// orupack diff against a full create: the patch between two packs of
// 100 000 entries that differ in 1 % of them, against creating the newer
// pack from its tree, both run as programs into the page cache. A build
// script makes a patch instead of shipping the pack again; it should cost a
// small part of the build. The patch is checked afterwards: it holds exactly
// the changed entries, and the older pack opens under it.
//
// As a build does, the tree is packed, then 1 % of its files are rewritten
// in place, then it is packed again. The time compared is the processor
// time the program used (user and system, from the kernel's account of
// child processes): both programs end by waiting for their saves to reach
// the disk, a wait the same for both that on a shared machine's disk swamps
// everything else. The wall time is reported beside it as a counter.

#include <oru/pack/oru_pack.h>
#include <oru/pack/oru_pack_set.h>

#include "run_program.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using oru::bench::ORUPACK;
using oru::bench::Require;
using oru::bench::RunQuiet;

namespace fs = std::filesystem;

constexpr int ENTRIES = 100000;
constexpr int CHANGED_EVERY = 100;  // 1 %




std::string RelativeName(int i)
{
    return "dir" + std::to_string(i % 300) + "/file" + std::to_string(i) + ".dat";
}

// The tree, packed before and after each hundredth file was rewritten.
struct CFixture {
    fs::path m_root = fs::current_path() / "orupack_diff_bench_work";
    fs::path m_tree = m_root / "tree";
    std::string m_strOld = (m_root / "old").string();
    std::string m_strNew = (m_root / "new").string();

    CFixture()
    {
        Require(!ORUPACK.empty(), "orupack was not built");
        fs::remove_all(m_root);
        std::mt19937 random(3);
        std::string content(2000, 'x');
        for (int i = 0; i < ENTRIES; ++i) {
            const size_t size = 50 + random() % 1951;
            for (size_t b = 0; b < size; ++b)
                content[b] = static_cast<char>('a' + random() % 26);
            const fs::path path = m_tree / RelativeName(i);
            fs::create_directories(path.parent_path());
            std::ofstream(path, std::ios::binary).write(content.data(), static_cast<std::streamsize>(size));
        }
        Require(RunQuiet({ORUPACK, "create", m_strOld, m_tree.string()}) == 0, "create old");
        for (int i = 0; i < ENTRIES; i += CHANGED_EVERY)
            std::fstream(m_tree / RelativeName(i), std::ios::binary | std::ios::in | std::ios::out).put('#');
        Require(RunQuiet({ORUPACK, "create", m_strNew, m_tree.string()}) == 0, "create new");
    }
    ~CFixture()
    {
        std::error_code ec;
        fs::remove_all(m_root, ec);
    }
};

const CFixture& Fixture()
{
    static const CFixture s_fixture;
    return s_fixture;
}

double ChildProcessorSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Each run starts without the output of the one before and with nothing
// left to write back.
template <class F>
void TimedRuns(benchmark::State& state, const std::string& pack, F run)
{
    double wall = 0;
    for (auto _ : state) {
        fs::remove(pack + ".odx");
        fs::remove(pack + ".opk");
        sync();
        const double processorBefore = ChildProcessorSeconds();
        const auto start = std::chrono::steady_clock::now();
        run();
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(ChildProcessorSeconds() - processorBefore);
    }
    state.counters["wall_ms"] = wall * 1000 / static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations() * ENTRIES);
}

void OrupackDiff_100k(benchmark::State& state)
{
    const CFixture& fixture = Fixture();
    const std::string patch = (fixture.m_root / "patch").string();
    TimedRuns(state, patch, [&] {
        Require(RunQuiet({ORUPACK, "diff", fixture.m_strOld, fixture.m_strNew, "--out", patch}) == 0, "diff");
    });
    COruPackSet set;
    Require(set.AddPack(std::wstring(fixture.m_strOld.begin(), fixture.m_strOld.end())) &&
                set.AddPack(std::wstring(patch.begin(), patch.end())),
            "the patch opens over the old pack");
    COruPack patchPack;
    Require(patchPack.OpenOruPack(std::wstring(patch.begin(), patch.end()), ORU_PACK_MODE_READ, 512) &&
                patchPack.GetFileList()->size() == ENTRIES / CHANGED_EVERY,
            "the patch holds exactly the changed entries");
    state.SetLabel("peer=OrupackCreate_100k/iterations:5/manual_time goal=10");
}

void OrupackCreate_100k(benchmark::State& state)
{
    const CFixture& fixture = Fixture();
    const std::string pack = (fixture.m_root / "created").string();
    TimedRuns(state, pack, [&] {
        Require(RunQuiet({ORUPACK, "create", pack, fixture.m_tree.string()}) == 0, "create");
    });
}

BENCHMARK(OrupackDiff_100k)->Unit(benchmark::kMillisecond)->Iterations(5)->UseManualTime();
BENCHMARK(OrupackCreate_100k)->Unit(benchmark::kMillisecond)->Iterations(5)->UseManualTime();

}  // namespace

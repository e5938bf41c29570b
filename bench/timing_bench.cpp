// The cost of one profiled section on a steady frame: a begin/end pair of a
// section that already has its node, through the free functions a game
// calls, against two readings of the clock alone (what any profiler must pay
// at least). The pair must allocate nothing; the benchmark fails if it does.

// First, so that its replacement of operator new is seen by all that follows.
#include "alloc_counter.h"

#include <oru/timing/profiler.h>

#include "platform/clock.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

void ProFileSection_Ours(benchmark::State& state)
{
    const std::wstring root = L"Root";
    const std::wstring section = L"UpdateParticles";
    _ProFileExecute(true);
    _ProFileBegin(root);
    _ProFileBegin(section);  // the node exists before the timed loop
    _ProFileEnd(section);

    const int64_t allocationsBefore = oru::bench::Allocations();
    for (auto _ : state) {
        _ProFileBegin(section);
        _ProFileEnd(section);
    }
    const int64_t allocations = oru::bench::Allocations() - allocationsBefore;
    _ProFileEnd(root);

    // The section must have been timed: its line in the export has a count.
    const char* path = "timing_bench.folded";
    if (!_ProFileExport(L"timing_bench.folded")) {
        state.SkipWithError("no profile to export");
        return;
    }
    std::ifstream in(path);
    std::string line;
    bool found = false;
    while (std::getline(in, line))
        found = found || line.rfind("Root;UpdateParticles ", 0) == 0;
    std::filesystem::remove(path);
    _ProFileResult();
    CSingleton<CProFiler>::DeleteInstance();

    if (!found)
        state.SkipWithError("the section was not recorded");
    if (allocations != 0)
        state.SkipWithError("a steady begin/end pair allocated");
    state.counters["allocs"] = static_cast<double>(allocations);
    state.SetItemsProcessed(state.iterations());
    state.SetLabel("peer=ClockReadTwice_Peer goal=0.33");
}
BENCHMARK(ProFileSection_Ours);

void ClockReadTwice_Peer(benchmark::State& state)
{
    uint64_t sum = 0;
    for (auto _ : state) {
        const uint64_t start = oru::platform::MonotonicNanoseconds();
        const uint64_t end = oru::platform::MonotonicNanoseconds();
        sum += end - start;
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(ClockReadTwice_Peer);

}  // namespace

// The cost of one profiled section on a steady frame: a begin/end pair of a
// section that already has its node, through the free functions a game
// calls, against two readings of the clock alone (what any profiler must pay
// at least). The same pair with the timeline capture on is measured against
// the pair with it off. No pair may allocate; the benchmark fails if one does.
// The same pairs run again over 8 000 names of one shape ("Spawn #N"), as a
// game names the sections of its objects: the capture must cost no more for
// them than for one name.

// First, so that its replacement of operator new is seen by all that follows.
#include "alloc_counter.h"

#include <oru/timing/profiler.h>

#include "platform/clock.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

// True when the section shows up in what the profiler recorded: its line in
// the folded export, or its event in the timeline's.
bool SectionWasRecorded(bool timeline, const std::string& name)
{
    const char* path = "timing_bench.export";
    const bool exported = timeline ? _ProFileExportTimeline(L"timing_bench.export")
                                   : _ProFileExport(L"timing_bench.export");
    if (!exported)
        return false;
    const std::string mark = timeline ? "{\"name\":\"" + name + "\"" : "Root;" + name + " ";
    std::ifstream in(path);
    std::string line;
    bool found = false;
    while (std::getline(in, line))
        found = found || line.rfind(mark, 0) == 0;
    std::filesystem::remove(path);
    return found;
}

std::vector<std::wstring> SameShapedNames()
{
    std::vector<std::wstring> names;
    for (int i = 0; i < 8000; ++i)
        names.push_back(L"Spawn #" + std::to_wstring(i));
    return names;
}

void ProFileSectionPairs(benchmark::State& state, bool timeline, const std::vector<std::wstring>& sections)
{
    const std::wstring root = L"Root";
    _ProFileExecute(true);
    if (timeline && !_ProFileTimeline(120)) {
        state.SkipWithError("no timeline capture");
        return;
    }
    _ProFileBegin(root);
    for (const std::wstring& section : sections) {
        _ProFileBegin(section);  // the nodes and the names exist before the timed loop
        _ProFileEnd(section);
    }

    const int64_t allocationsBefore = oru::bench::Allocations();
    size_t next = 0;
    for (auto _ : state) {
        const std::wstring& section = sections[next];
        next = next + 1 == sections.size() ? 0 : next + 1;
        _ProFileBegin(section);
        _ProFileEnd(section);
    }
    const int64_t allocations = oru::bench::Allocations() - allocationsBefore;
    _ProFileEnd(root);

    // The timed frame overran the ring; one short frame shows what is kept.
    _ProFileBegin(root);
    _ProFileBegin(sections.back());
    _ProFileEnd(sections.back());
    _ProFileEnd(root);
    const std::string lastName(sections.back().begin(), sections.back().end());
    const bool recorded = SectionWasRecorded(timeline, lastName);
    _ProFileResult();
    CSingleton<CProFiler>::DeleteInstance();

    if (!recorded)
        state.SkipWithError("the section was not recorded");
    if (allocations != 0)
        state.SkipWithError("a steady begin/end pair allocated");
    state.counters["allocs"] = static_cast<double>(allocations);
    state.SetItemsProcessed(state.iterations());
}

void ProFileSectionPair(benchmark::State& state, bool timeline)
{
    ProFileSectionPairs(state, timeline, {L"UpdateParticles"});
}

void ProFileSection_Ours(benchmark::State& state)
{
    ProFileSectionPair(state, false);
    state.SetLabel("peer=ClockReadTwice_Peer goal=0.67");
}
BENCHMARK(ProFileSection_Ours);

// At most 1.5 times the pair without the capture: a ratio of 0.67 or more.
void ProFileSection_TimelineOn(benchmark::State& state)
{
    ProFileSectionPair(state, true);
    state.SetLabel("peer=ProFileSection_Ours goal=0.67");
}
BENCHMARK(ProFileSection_TimelineOn);

void ProFileSection_SameShapedNames(benchmark::State& state)
{
    static const std::vector<std::wstring> names = SameShapedNames();
    ProFileSectionPairs(state, false, names);
}
BENCHMARK(ProFileSection_SameShapedNames);

// The capture over same-shaped names, against the same names without it.
void ProFileSection_TimelineOn_SameShapedNames(benchmark::State& state)
{
    static const std::vector<std::wstring> names = SameShapedNames();
    ProFileSectionPairs(state, true, names);
    state.SetLabel("peer=ProFileSection_SameShapedNames goal=0.67");
}
BENCHMARK(ProFileSection_TimelineOn_SameShapedNames);

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

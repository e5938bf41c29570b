// The cost of one pool operation must not grow with the pool. Registering,
// looking up by name and releasing are timed on a batch of 1 000 resources
// in a pool that holds 1 000 or 100 000 in all, and each 100 000 case names
// the 1 000 case as its peer. The batch is the same size in both, so the
// comparison shows what the pool's size costs an operation, not what it
// costs to touch a hundred times more memory. A ratio of 0.5 means one
// operation costs twice as much in the big pool.
//
// Names look like asset paths; the batch is spread over the whole pool and
// visited in a shuffled order. Each run checks its results: every
// registration is accepted, every lookup finds its handle, every release
// destroys.
//
// PlainMap/LookUpByName does the same lookups in a bare open-addressing map
// from name to handle, with the same names entered in the same order and the
// same hash: no lock, no count, no resource. Its ratio is what the memory
// system alone charges a lookup for the bigger table; the pool cannot do
// better than that without its table fitting in the cache.

#include <oru/resource/resource_pool.h>

#include <benchmark/benchmark.h>
#include <boost/unordered/unordered_flat_map.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr size_t BATCH = 1000;

int64_t s_nDestroyed = 0;

class CBenchResource : public IResource {
public:
    ~CBenchResource() override { ++s_nDestroyed; }
    size_t GetMemorySize() override { return sizeof(*this); }
    bool OnDisable() override { return true; }
    bool OnRestore() override { return true; }
};

class CBenchPool : public IResourcePool {};

// A pool of `count` named resources; the batch is BATCH of them, spread
// evenly over the pool and shuffled.
class CWorkload {
public:
    explicit CWorkload(size_t count)
    {
        std::vector<size_t> order(count);
        for (size_t i = 0; i < count; ++i)
            order[i] = i;
        std::shuffle(order.begin(), order.end(), std::mt19937(42));
        for (size_t i : order) {
            wchar_t name[64];
            std::swprintf(name, 64, L"textures/world/tile_%06zu_diffuse.dds", i);
            const uint32_t handle = static_cast<uint32_t>(i * 7919 + 1);
            // Every count/BATCH-th resource of the shuffled order is in the batch.
            auto& names = (m_vecAllNames.size() % (count / BATCH) == 0) ? m_vecBatchNames : m_vecRestNames;
            auto& handles = (&names == &m_vecBatchNames) ? m_vecBatchHandles : m_vecRestHandles;
            names.push_back(name);
            handles.push_back(handle);
            m_vecAllNames.push_back(name);
        }
    }

    // The bare map: the resources outside the batch first, then the batch,
    // as the pool gets them.
    void Fill(boost::unordered_flat_map<std::wstring, uint32_t, std::hash<std::wstring>>& map) const
    {
        for (size_t i = 0; i < m_vecRestNames.size(); ++i)
            map.emplace(m_vecRestNames[i], m_vecRestHandles[i]);
        for (size_t i = 0; i < BATCH; ++i)
            map.emplace(m_vecBatchNames[i], m_vecBatchHandles[i]);
    }

    // Registers the resources outside the batch.
    void FillRest(IResourcePool& pool) const { Register(pool, m_vecRestNames, m_vecRestHandles); }
    void RegisterBatch(IResourcePool& pool) const { Register(pool, m_vecBatchNames, m_vecBatchHandles); }
    void ReleaseBatch(IResourcePool& pool) const
    {
        for (uint32_t handle : m_vecBatchHandles)
            if (!pool.ReleaseRes_Lock(handle))
                std::abort();
    }

    std::vector<std::wstring> m_vecBatchNames;
    std::vector<uint32_t> m_vecBatchHandles;

private:
    static void Register(IResourcePool& pool, const std::vector<std::wstring>& names,
                         const std::vector<uint32_t>& handles)
    {
        for (size_t i = 0; i < names.size(); ++i)
            if (!pool.RegisterRes(names[i], handles[i], new CBenchResource))
                std::abort();
    }

    std::vector<std::wstring> m_vecAllNames;
    std::vector<std::wstring> m_vecRestNames;
    std::vector<uint32_t> m_vecRestHandles;
};

const CWorkload& Workload(int64_t count)
{
    static const CWorkload s_Small(1000);
    static const CWorkload s_Big(100000);
    return count == 1000 ? s_Small : s_Big;
}

using CClock = std::chrono::steady_clock;

double Seconds(CClock::time_point start)
{
    return std::chrono::duration<double>(CClock::now() - start).count();
}

// The big case names the small one of the same family as its peer; the bare
// map is a reference without a goal.
void Finish(benchmark::State& state, const char* family, const char* goal = " goal=0.67")
{
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(BATCH));
    if (state.range(0) != 1000)
        state.SetLabel(std::string("peer=") + family + "/1000/manual_time" + goal);
}

void Register(benchmark::State& state)
{
    const CWorkload& work = Workload(state.range(0));
    CBenchPool pool;
    work.FillRest(pool);
    std::vector<CBenchResource*> batch(BATCH);
    for (auto _ : state) {
        for (auto& pResource : batch)
            pResource = new CBenchResource;

        const auto start = CClock::now();
        for (size_t i = 0; i < BATCH; ++i)
            if (!pool.RegisterRes(work.m_vecBatchNames[i], work.m_vecBatchHandles[i], batch[i]))
                std::abort();
        state.SetIterationTime(Seconds(start));
        work.ReleaseBatch(pool);
    }
    Finish(state, "ResourcePool/Register");
}

uint64_t ExpectedHandleSum(const CWorkload& work)
{
    uint64_t expected = 0;
    for (uint32_t handle : work.m_vecBatchHandles)
        expected += handle;
    return expected;
}

void LookUpByName(benchmark::State& state)
{
    const CWorkload& work = Workload(state.range(0));
    CBenchPool pool;
    work.FillRest(pool);
    work.RegisterBatch(pool);
    const uint64_t expected = ExpectedHandleSum(work);

    for (auto _ : state) {
        uint64_t sum = 0;
        const auto start = CClock::now();
        for (const std::wstring& name : work.m_vecBatchNames)
            sum += pool.GetResHandle(name);
        state.SetIterationTime(Seconds(start));
        if (sum != expected)
            std::abort();
        work.ReleaseBatch(pool);   // back to one reference each
    }
    Finish(state, "ResourcePool/LookUpByName");
}

void PlainMapLookUpByName(benchmark::State& state)
{
    const CWorkload& work = Workload(state.range(0));
    boost::unordered_flat_map<std::wstring, uint32_t, std::hash<std::wstring>> map;
    work.Fill(map);
    const uint64_t expected = ExpectedHandleSum(work);

    for (auto _ : state) {
        uint64_t sum = 0;
        const auto start = CClock::now();
        for (const std::wstring& name : work.m_vecBatchNames) {
            auto it = map.find(name);
            sum += it == map.end() ? 0 : it->second;
        }
        state.SetIterationTime(Seconds(start));
        if (sum != expected)
            std::abort();
    }
    Finish(state, "PlainMap/LookUpByName", "");
}

void Release(benchmark::State& state)
{
    const CWorkload& work = Workload(state.range(0));
    CBenchPool pool;
    work.FillRest(pool);
    for (auto _ : state) {
        work.RegisterBatch(pool);
        std::vector<uint32_t> handles = work.m_vecBatchHandles;
        const int64_t destroyedBefore = s_nDestroyed;

        const auto start = CClock::now();
        for (uint32_t& handle : handles)
            if (!pool.ReleaseRes_Lock(handle))
                std::abort();
        state.SetIterationTime(Seconds(start));
        if (s_nDestroyed - destroyedBefore != static_cast<int64_t>(BATCH))
            std::abort();
    }
    Finish(state, "ResourcePool/Release");
}

}  // namespace

BENCHMARK(Register)->Name("ResourcePool/Register")->Arg(1000)->Arg(100000)->UseManualTime();
BENCHMARK(LookUpByName)->Name("ResourcePool/LookUpByName")->Arg(1000)->Arg(100000)->UseManualTime();
BENCHMARK(PlainMapLookUpByName)->Name("PlainMap/LookUpByName")->Arg(1000)->Arg(100000)->UseManualTime();
BENCHMARK(Release)->Name("ResourcePool/Release")->Arg(1000)->Arg(100000)->UseManualTime();

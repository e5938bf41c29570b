// Throughput: 100 000 tiny tasks added from one thread while the worker
// runs, against the smallest queue of the usual kind: one persistent
// std::thread waiting on a std::condition_variable over a std::deque behind
// a std::mutex. Our worker ends shortly after it catches up with the
// producer and traces every add and removal, so the goal is half the peer's
// speed. The producer keeps fewer
// than 1 000 tasks waiting in both cases, since our queue refuses a task
// beyond 1 024; every run checks that each task ran once.
//
// Latency: from AddTask to the start of the callback, on a manager that has
// just drained its queue (its worker still waits for more, so this is a
// wake-up) and on an idle one (no worker thread alive: this includes
// creating it). The persistent thread's wake-up latency is printed beside
// them for scale.

#include <oru/tasks/thread_task_manager.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>

namespace {

constexpr int64_t TASKS = 100000;
constexpr int64_t MAX_WAITING = 1000;

using CClock = std::chrono::steady_clock;

// The peer: a worker that lives as long as the queue and sleeps when idle.
class CPersistentQueue {
public:
    CPersistentQueue() : m_Thread([this] { Run(); }) {}
    ~CPersistentQueue()
    {
        {
            std::lock_guard<std::mutex> lock(m_mtx);
            m_bStop = true;
        }
        m_cv.notify_one();
        m_Thread.join();
    }

    void Add(void* data, OruTaskCallback callback, void* param)
    {
        {
            std::lock_guard<std::mutex> lock(m_mtx);
            m_dqTasks.push_back(CThreadTask(data, callback, param));
        }
        m_cv.notify_one();
    }

private:
    void Run()
    {
        std::unique_lock<std::mutex> lock(m_mtx);
        for (;;) {
            m_cv.wait(lock, [this] { return m_bStop || !m_dqTasks.empty(); });
            if (m_dqTasks.empty())
                return;
            CThreadTask task = m_dqTasks.front();
            m_dqTasks.pop_front();
            lock.unlock();
            task.Run();
            lock.lock();
        }
    }

    std::mutex m_mtx;
    std::condition_variable m_cv;
    std::deque<CThreadTask> m_dqTasks;
    bool m_bStop = false;
    std::thread m_Thread;
};

std::atomic<int64_t> s_nDone{0};

void Tiny(void*, void*)
{
    s_nDone.fetch_add(1, std::memory_order_relaxed);
}

// Adds TASKS tasks through `add`, never letting MAX_WAITING or more wait,
// then waits until all have run.
template <class Add>
void Produce(Add add)
{
    const int64_t base = s_nDone.load();
    for (int64_t added = 0; added < TASKS; ++added) {
        while (added - (s_nDone.load(std::memory_order_relaxed) - base) >= MAX_WAITING)
            std::this_thread::yield();
        add();
    }
    while (s_nDone.load() - base < TASKS)
        std::this_thread::yield();
}

void Throughput_Ours(benchmark::State& state)
{
    CThreadTaskManager manager;
    for (auto _ : state) {
        const int64_t before = s_nDone.load();
        Produce([&] { manager.AddTask(nullptr, &Tiny, nullptr); });
        manager.WaitUntilFinished();
        if (s_nDone.load() - before != TASKS)
            std::abort();
    }
    state.SetItemsProcessed(state.iterations() * TASKS);
    state.SetLabel("peer=TaskQueue/Throughput/PersistentThread/real_time goal=0.5");
}

void Throughput_Peer(benchmark::State& state)
{
    CPersistentQueue queue;
    for (auto _ : state) {
        const int64_t before = s_nDone.load();
        Produce([&] { queue.Add(nullptr, &Tiny, nullptr); });
        if (s_nDone.load() - before != TASKS)
            std::abort();
    }
    state.SetItemsProcessed(state.iterations() * TASKS);
}

std::atomic<int64_t> s_nStartedAt{0};

void Stamp(void*, void*)
{
    s_nStartedAt.store(CClock::now().time_since_epoch().count());
}

double SecondsSince(CClock::time_point start)
{
    return std::chrono::duration<double>(CClock::duration(s_nStartedAt.load()) - start.time_since_epoch())
        .count();
}

// `settle` runs between the tasks, outside the timed part.
template <class Settle>
void MeasureLatency(benchmark::State& state, Settle settle)
{
    CThreadTaskManager manager;
    for (auto _ : state) {
        manager.WaitUntilFinished();
        settle();
        s_nStartedAt.store(0);
        const auto start = CClock::now();
        manager.AddTask(nullptr, &Stamp, nullptr);
        manager.WaitUntilFinished();
        if (s_nStartedAt.load() == 0)
            std::abort();
        state.SetIterationTime(SecondsSince(start));
    }
}

void Latency_Drained(benchmark::State& state)
{
    MeasureLatency(state, [] {});
}

// Far longer than a worker waits for more work, so its thread has ended.
void Latency_Idle(benchmark::State& state)
{
    MeasureLatency(state, [] { std::this_thread::sleep_for(std::chrono::milliseconds(2)); });
}

void Latency_Peer(benchmark::State& state)
{
    CPersistentQueue queue;
    for (auto _ : state) {
        s_nStartedAt.store(0);
        const auto start = CClock::now();
        queue.Add(nullptr, &Stamp, nullptr);
        while (s_nStartedAt.load() == 0)
            std::this_thread::yield();
        state.SetIterationTime(SecondsSince(start));
    }
}

}  // namespace

BENCHMARK(Throughput_Ours)->Name("TaskQueue/Throughput/Ours")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Throughput_Peer)->Name("TaskQueue/Throughput/PersistentThread")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Latency_Drained)->Name("TaskQueue/Latency/DrainedManager")->Unit(benchmark::kMicrosecond)->UseManualTime();
BENCHMARK(Latency_Idle)->Name("TaskQueue/Latency/IdleManager")->Unit(benchmark::kMicrosecond)->UseManualTime();
BENCHMARK(Latency_Peer)->Name("TaskQueue/Latency/PersistentThread")->Unit(benchmark::kMicrosecond)->UseManualTime();

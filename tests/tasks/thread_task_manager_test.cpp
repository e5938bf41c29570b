#include <oru/log/log_system.h>
#include <oru/tasks/thread_task_manager.h>

#include "support/debug_channel_tail.h"
#include "support/file_bytes.h"
#include "tasks/sync_objects.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// The worker, parked inside a callback: Hold() returns once the worker has
// taken the parking task, Release() lets it go on. No sleeping: the test
// always knows where the worker is.
struct CParkedWorker {
    CManualResetEvent m_Arrived;
    CManualResetEvent m_Leave;

    static void Park(void* data, void*)
    {
        auto* pSelf = static_cast<CParkedWorker*>(data);
        pSelf->m_Arrived.Set();
        pSelf->m_Leave.Wait();
    }
    void Hold(CThreadTaskManager& manager)
    {
        manager.AddTask(this, &Park, nullptr);
        m_Arrived.Wait();
    }
    void Release() { m_Leave.Set(); }
};

void CountRun(void* data, void*)
{
    static_cast<std::atomic<int>*>(data)->fetch_add(1);
}

// The core log's file of the day, as the queue's trace lines reach it.
class CCoreLogReader {
public:
    CCoreLogReader()
    {
        OruCoreLogInitialize(3);
        m_nStart = Size();
    }
    // What was written to the core log since this reader was made, with the
    // file's line ends folded to '\n'.
    std::string Appended() const
    {
        std::string text;
        for (const auto& entry : std::filesystem::directory_iterator("oru_log")) {
            if (entry.path().filename().string().rfind("OruCoreLog_", 0) != 0)
                continue;
            text = oru::test::Slurp(entry.path());
        }
        text = text.size() > m_nStart ? text.substr(m_nStart) : std::string();
        return std::regex_replace(text, std::regex("\r\n"), "\n");
    }

private:
    size_t Size() const
    {
        std::error_code error;
        size_t size = 0;
        for (const auto& entry : std::filesystem::directory_iterator("oru_log", error))
            if (entry.path().filename().string().rfind("OruCoreLog_", 0) == 0)
                size = static_cast<size_t>(entry.file_size());
        return size;
    }

    size_t m_nStart;
};

size_t CountMatches(const std::string& text, const std::string& pattern)
{
    const std::regex re(pattern);
    return static_cast<size_t>(std::distance(std::sregex_iterator(text.begin(), text.end(), re),
                                             std::sregex_iterator()));
}

}  // namespace

TEST(ThreadTaskManager, FreshManagerIsIdle)
{
    CThreadTaskManager manager;
    EXPECT_FALSE(manager.IsBusy());
    EXPECT_FALSE(manager.GetComplete());
    manager.WaitUntilFinished();
}

TEST(ThreadTaskManager, SingletonAccessorsReachOneManager)
{
    CThreadTaskManager& manager = OruThreadTaskManager();
    EXPECT_EQ(&manager, &CSingleton<CThreadTaskManager>::GetInstance());
    EXPECT_EQ(&manager, CSingleton<CThreadTaskManager>::GetInstancePtr());
    CSingleton<CThreadTaskManager>::DeleteInstance();
    EXPECT_EQ(CSingleton<CThreadTaskManager>::m_pSingleton, nullptr);
}

TEST(ThreadTaskManager, OneTaskRunsOnceWithItsArgumentsAndIsTraced)
{
    CCoreLogReader log;
    struct CCall {
        std::atomic<int> m_nRuns{0};
        void* m_pParam = nullptr;
        std::thread::id m_Thread;
    } call;
    int param = 0;
    {
        CThreadTaskManager manager;
        manager.AddTask(&call, [](void* data, void* p) {
            auto* pCall = static_cast<CCall*>(data);
            pCall->m_pParam = p;
            pCall->m_Thread = std::this_thread::get_id();
            pCall->m_nRuns.fetch_add(1);
        }, &param);
        manager.WaitUntilFinished();
        EXPECT_TRUE(manager.GetComplete());
        EXPECT_EQ(call.m_nRuns.load(), 1);
        EXPECT_EQ(call.m_pParam, &param);
        EXPECT_NE(call.m_Thread, std::this_thread::get_id());
    }
    const std::string text = log.Appended();
    EXPECT_EQ(CountMatches(text, "Lv3_\\[[0-9:]{8}\\] : \nCProducerConsumerQueue: Item \\[[0-9a-f]+\\] Added! Items in queue: 1\n"), 1u)
        << text;
    EXPECT_EQ(CountMatches(text, "Lv3_\\[[0-9:]{8}\\] : \nCProducerConsumerQueue: Item \\[[0-9a-f]+\\] Removed! Items in queue: 0\n"), 1u)
        << text;
}

TEST(ThreadTaskManager, NullDataAndParamArePassedThrough)
{
    static std::atomic<int> s_nNullCalls{0};
    CThreadTaskManager manager;
    manager.AddTask(nullptr, [](void* data, void* param) {
        if (!data && !param)
            s_nNullCalls.fetch_add(1);
    }, nullptr);
    manager.WaitUntilFinished();
    EXPECT_EQ(s_nNullCalls.load(), 1);
}

TEST(ThreadTaskManager, TasksRunInOrderOneAtATime)
{
    struct CRecord {
        std::mutex m_mtx;
        std::string m_strOrder;
        std::atomic<int> m_nInside{0};
        std::atomic<bool> m_bOverlap{false};
    } record;
    auto step = [](void* data, void* param) {
        auto* pRecord = static_cast<CRecord*>(data);
        if (pRecord->m_nInside.fetch_add(1) != 0)
            pRecord->m_bOverlap = true;
        std::this_thread::yield();
        {
            std::lock_guard<std::mutex> lock(pRecord->m_mtx);
            pRecord->m_strOrder += *static_cast<const char*>(param);
        }
        pRecord->m_nInside.fetch_sub(1);
    };
    static const char NAMES[] = "ABC";
    CThreadTaskManager manager;
    for (int round = 0; round < 50; ++round)
        for (const char& name : std::string_view(NAMES, 3))
            manager.AddTask(&record, step, const_cast<char*>(&name));
    manager.WaitUntilFinished();

    std::string expected;
    for (int round = 0; round < 50; ++round)
        expected += "ABC";
    EXPECT_EQ(record.m_strOrder, expected);
    EXPECT_FALSE(record.m_bOverlap.load());
}

TEST(ThreadTaskManager, FullQueueRefusesTheNextTaskAndRunsTheAcceptedOnes)
{
    oru::test::CDebugChannelTail debug;
    CCoreLogReader log;
    std::atomic<int> accepted{0};
    std::atomic<int> refused{0};
    {
        CThreadTaskManager manager;
        CParkedWorker parked;
        parked.Hold(manager);

        int acceptedCalls = 0;
        for (int i = 0; i < 1024; ++i)
            acceptedCalls += manager.AddTask(&accepted, &CountRun, nullptr);
        EXPECT_EQ(acceptedCalls, 1024);
        EXPECT_FALSE(manager.AddTask(&refused, &CountRun, nullptr));
        EXPECT_TRUE(manager.IsBusy());
        EXPECT_FALSE(manager.GetComplete());

        parked.Release();
        manager.WaitUntilFinished();
        EXPECT_EQ(accepted.load(), 1024);
        EXPECT_EQ(refused.load(), 0);
        EXPECT_TRUE(manager.AddTask(&accepted, &CountRun, nullptr));   // room again
    }

    const std::string text = log.Appended();
    EXPECT_EQ(CountMatches(text, "\nCProducerConsumerQueue: Queue is full! cannot add object! \\[[0-9a-f]+\\] size=1024\n"), 1u);
    EXPECT_EQ(CountMatches(text, "Added! Items in queue: 1024\n"), 1u);
    EXPECT_EQ(CountMatches(text, "Removed!"), 1026u);

    // The refusal names the task the caller knows: its callback and data,
    // as %p writes pointers on every system ("0x" and lower-case hex).
    std::ostringstream refusal;
    refusal << std::hex << "CThreadTaskManager::AddTask: task refused, the queue is full (callback 0x"
            << reinterpret_cast<uintptr_t>(&CountRun) << ", data 0x" << reinterpret_cast<uintptr_t>(&refused)
            << ", param (nil))\n";
    EXPECT_EQ(CountMatches(debug.Text(), "AddTask: task refused"), 1u) << debug.Text();
    EXPECT_NE(debug.Text().find(refusal.str()), std::string::npos) << debug.Text();
}

TEST(ThreadTaskManager, DrainedManagerStartsANewWorker)
{
    std::atomic<int> runs{0};
    CThreadTaskManager manager;
    manager.AddTask(&runs, &CountRun, nullptr);
    manager.WaitUntilFinished();
    ASSERT_TRUE(manager.GetComplete());

    CParkedWorker parked;
    parked.Hold(manager);
    EXPECT_FALSE(manager.GetComplete());
    EXPECT_TRUE(manager.IsBusy());
    manager.AddTask(&runs, &CountRun, nullptr);
    parked.Release();
    manager.WaitUntilFinished();
    EXPECT_TRUE(manager.GetComplete());
    EXPECT_EQ(runs.load(), 2);
}

// A worker that ran out of tasks waits a moment for more before its thread
// ends; meanwhile the manager must already report the queue done. Each round
// hands the next task to that waiting worker, or to a new one.
TEST(ThreadTaskManager, ReportsDoneTheMomentTheQueueIsEmptyWhileTheWorkerWaits)
{
    std::atomic<int> runs{0};
    CThreadTaskManager manager;
    for (int i = 0; i < 500; ++i) {
        ASSERT_TRUE(manager.AddTask(&runs, &CountRun, nullptr));
        manager.WaitUntilFinished();
        ASSERT_EQ(runs.load(), i + 1);
        ASSERT_FALSE(manager.IsBusy()) << i;
        ASSERT_TRUE(manager.GetComplete()) << i;
    }
}

TEST(ThreadTaskManager, DestructionWaitsForTheQueueToDrain)
{
    std::atomic<int> runs{0};
    {
        CThreadTaskManager manager;
        for (int i = 0; i < 200; ++i)
            manager.AddTask(&runs, &CountRun, nullptr);
    }
    EXPECT_EQ(runs.load(), 200);
}

TEST(ThreadTaskManager, CallbackMayQueueMoreWorkAndMayNotWaitForItself)
{
    struct CChain {
        CThreadTaskManager* m_pManager;
        std::atomic<int> m_nLinks{0};
    } chain;
    CThreadTaskManager manager;
    chain.m_pManager = &manager;
    manager.AddTask(&chain, [](void* data, void*) {
        auto* pChain = static_cast<CChain*>(data);
        pChain->m_pManager->WaitUntilFinished();   // returns at once on the worker
        pChain->m_pManager->AddTask(&pChain->m_nLinks, &CountRun, nullptr);
    }, nullptr);
    manager.WaitUntilFinished();
    EXPECT_EQ(chain.m_nLinks.load(), 1);
}

namespace {

// A manager that tells when its destruction has begun.
struct CObservedManager : CThreadTaskManager {
    ~CObservedManager() override { s_Deleting.Set(); }
    static inline CManualResetEvent s_Deleting;
};

}  // namespace

// A callback that reaches the manager through OruThreadTaskManager() while
// DeleteInstance drains the queue: it adds the next step and asks IsBusy.
// The manager tells when its destruction has begun, and only then does the
// parked worker go on. (Before the singleton released its lock for the
// drain, this deadlocked.)
TEST(ThreadTaskManager, DeleteInstanceDrainsCallbacksThatReachTheManager)
{
    static std::atomic<int> s_nSteps{0};
    static std::atomic<bool> s_bBusySeen{false};
    CSingleton<CThreadTaskManager>::DeleteInstance();
    new CObservedManager;  // registers itself as the instance
    CParkedWorker parked;
    parked.Hold(OruThreadTaskManager());
    OruThreadTaskManager().AddTask(nullptr, [](void*, void*) {
        s_bBusySeen = OruThreadTaskManager().IsBusy();
        ++s_nSteps;
        OruThreadTaskManager().AddTask(nullptr, [](void*, void*) { ++s_nSteps; }, nullptr);
    }, nullptr);

    std::thread deleter([] { CSingleton<CThreadTaskManager>::DeleteInstance(); });
    CObservedManager::s_Deleting.Wait();
    parked.Release();
    deleter.join();
    EXPECT_EQ(s_nSteps.load(), 2);
    EXPECT_TRUE(s_bBusySeen.load());
    EXPECT_EQ(CSingleton<CThreadTaskManager>::m_pSingleton, nullptr);
}

// BeginThread starts a second worker while a callback still runs on the
// first; that callback, too, is inside a worker and must not wait for itself.
// (Before this held, the test deadlocked.)
TEST(ThreadTaskManager, CallbackOnAnOlderWorkerMayNotWaitForItselfEither)
{
    struct COlder {
        CThreadTaskManager* m_pManager;
        CParkedWorker m_Parked;
        std::atomic<bool> m_bReturned{false};
    } older;
    CThreadTaskManager manager;
    older.m_pManager = &manager;
    manager.AddTask(&older, [](void* data, void*) {
        auto* pOlder = static_cast<COlder*>(data);
        CParkedWorker::Park(&pOlder->m_Parked, nullptr);
        pOlder->m_pManager->WaitUntilFinished();
        pOlder->m_bReturned = true;
    }, nullptr);
    older.m_Parked.m_Arrived.Wait();
    manager.BeginThread();   // the newest worker; the parked one is now the older
    older.m_Parked.Release();
    manager.WaitUntilFinished();
    EXPECT_TRUE(older.m_bReturned.load());
    EXPECT_TRUE(manager.GetComplete());
}

// WaitUntilFinished returns as the worker decides to end, while its thread
// is still finishing; a task added right then must get a worker of its own.
// Each task is checked before the next is added, so a stranded task cannot be
// rescued by a later AddTask.
TEST(ThreadTaskManager, TaskAddedAsTheWorkerEndsIsNotStranded)
{
    constexpr int TASKS = 3000;
    std::atomic<int> runs{0};
    std::minstd_rand random(7);
    CThreadTaskManager manager;
    int stranded = 0;
    for (int i = 0; i < TASKS; ++i) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::nanoseconds(random() % 3000);
        while (std::chrono::steady_clock::now() < until) {
        }
        manager.AddTask(&runs, &CountRun, nullptr);
        manager.WaitUntilFinished();
        stranded += runs.load() != i + 1;
        runs.store(i + 1);
    }
    EXPECT_EQ(stranded, 0);
}

// The same from several threads at once, at random moments around the
// worker's end: every task must have run exactly once.
TEST(ThreadTaskManager, TasksAddedWhileTheWorkerEndsAllRunExactlyOnce)
{
    constexpr int ADDERS = 3;
    constexpr int TASKS_PER_ADDER = 1000;
    std::vector<std::atomic<int>> runs(ADDERS * TASKS_PER_ADDER);
    auto mark = [](void* data, void*) { static_cast<std::atomic<int>*>(data)->fetch_add(1); };

    CThreadTaskManager manager;
    std::vector<std::thread> adders;
    for (int a = 0; a < ADDERS; ++a) {
        adders.emplace_back([&, a] {
            std::minstd_rand random(static_cast<unsigned>(a + 1));
            for (int i = 0; i < TASKS_PER_ADDER; ++i) {
                manager.AddTask(&runs[a * TASKS_PER_ADDER + i], mark, nullptr);
                // Pause for up to 400 us: often about what the worker needs
                // to run a task and stop taking, sometimes about as long as
                // an idle worker waits for more, so the next task lands as it
                // stops, while it waits, or as its thread ends.
                const auto until = std::chrono::steady_clock::now() + std::chrono::nanoseconds(random() % 400000);
                while (std::chrono::steady_clock::now() < until) {
                }
            }
        });
    }
    for (auto& adder : adders)
        adder.join();
    manager.WaitUntilFinished();

    int missing = 0, repeated = 0;
    for (auto& count : runs) {
        missing += count.load() == 0;
        repeated += count.load() > 1;
    }
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(repeated, 0);
}


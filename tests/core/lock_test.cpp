#include <oru/core/critical_section.h>
#include <oru/core/singleton.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace {

int TryEnterFromOtherThread(COruCriticalSection& cs)
{
    int result = -1;
    std::thread other([&] {
        result = cs.TryEnter();
        if (result)
            cs.Leave();
    });
    other.join();
    return result;
}

TEST(CriticalSection, IsRecursiveAndNeedsOneLeavePerEnter)
{
    COruCriticalSection cs;
    cs.Enter();
    EXPECT_NE(cs.TryEnter(), 0);  // the holder gets it again, one level deeper
    cs.Leave();
    EXPECT_EQ(TryEnterFromOtherThread(cs), 0);  // still held once
    cs.Leave();
    EXPECT_NE(TryEnterFromOtherThread(cs), 0);
}

TEST(CriticalSection, CopyGetsAFreshUnlockedLock)
{
    COruCriticalSection original;
    original.Enter();
    COruCriticalSection copy(original);
    EXPECT_NE(TryEnterFromOtherThread(copy), 0);
    COruCriticalSection assigned;
    assigned = original;
    EXPECT_NE(TryEnterFromOtherThread(assigned), 0);
    EXPECT_EQ(TryEnterFromOtherThread(original), 0);
    original.Leave();
}

TEST(CriticalSection, SerialisesIncrementsFromManyThreads)
{
    COruCriticalSection cs;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                COruLock lock(cs);
                ++counter;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 80000);
}

// A managed class that counts its constructions.
class CCountedManager : public CSingleton<CCountedManager> {
public:
    CCountedManager() { ++s_nConstructed; }
    static inline std::atomic<int> s_nConstructed{0};
};

class Singleton : public ::testing::Test {
protected:
    void SetUp() override
    {
        CCountedManager::DeleteInstance();
        CCountedManager::s_nConstructed = 0;
    }
    void TearDown() override { CCountedManager::DeleteInstance(); }
};

TEST_F(Singleton, CreatesOneInstanceOnFirstUse)
{
    CCountedManager& first = CCountedManager::GetInstance();
    EXPECT_EQ(&first, &CCountedManager::GetInstance());
    EXPECT_EQ(&first, CCountedManager::GetInstancePtr());
    EXPECT_EQ(CCountedManager::s_nConstructed, 1);
}

TEST_F(Singleton, ConcurrentFirstCallsConstructExactlyOneObject)
{
    std::vector<std::thread> threads;
    std::vector<CCountedManager*> seen(8);
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] { seen[t] = CCountedManager::GetInstancePtr(); });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(CCountedManager::s_nConstructed, 1);
    for (CCountedManager* p : seen)
        EXPECT_EQ(p, seen[0]);
}

TEST_F(Singleton, DeleteInstanceLetsTheNextCallCreateAFreshOne)
{
    CCountedManager::DeleteInstance();  // nothing to delete: no effect
    EXPECT_EQ(CCountedManager::m_pSingleton, nullptr);
    CCountedManager::GetInstance();
    CCountedManager::DeleteInstance();
    EXPECT_EQ(CCountedManager::m_pSingleton, nullptr);
    CCountedManager::GetInstance();
    EXPECT_EQ(CCountedManager::s_nConstructed, 2);
}

TEST_F(Singleton, AnObjectBuiltByTheHostBecomesTheInstanceUntilItDies)
{
    {
        CCountedManager own;
        EXPECT_EQ(CCountedManager::GetInstancePtr(), &own);
    }
    EXPECT_EQ(CCountedManager::m_pSingleton, nullptr);
    CCountedManager* fresh = CCountedManager::GetInstancePtr();
    EXPECT_NE(fresh, nullptr);
    EXPECT_EQ(CCountedManager::s_nConstructed, 2);
}

// Destroying a copy, or any object that is not the registered one, leaves
// the instance where it is.
TEST_F(Singleton, DestroyingAnotherObjectKeepsTheInstance)
{
    CCountedManager& instance = CCountedManager::GetInstance();
    { CCountedManager copy(instance); }
    EXPECT_EQ(CCountedManager::GetInstancePtr(), &instance);
    {
        CCountedManager later;  // registers itself, the last one built wins
        EXPECT_EQ(CCountedManager::m_pSingleton, &later);
        CCountedManager::m_pSingleton = &instance;
    }
    EXPECT_EQ(CCountedManager::GetInstancePtr(), &instance);
    EXPECT_EQ(CCountedManager::s_nConstructed, 2);
}

// A manager whose destructor waits for work that reaches the manager through
// GetInstance, as the task manager's does when a callback adds its next step.
class CDrainingManager : public CSingleton<CDrainingManager> {
public:
    ~CDrainingManager()
    {
        std::thread work([this] { m_seen.set_value(CDrainingManager::GetInstancePtr()); });
        std::future<CDrainingManager*> seen = m_seen.get_future();
        // Held under the singleton's lock, the work could never finish.
        if (seen.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            work.detach();
            s_pSeen = nullptr;
            return;
        }
        s_pSeen = seen.get();
        work.join();
    }
    static inline CDrainingManager* s_pSeen = nullptr;

private:
    std::promise<CDrainingManager*> m_seen;
};

TEST(SingletonDeletion, WorkTheDestructorWaitsForReachesTheDyingInstance)
{
    CDrainingManager* pInstance = CDrainingManager::GetInstancePtr();
    CDrainingManager::DeleteInstance();
    EXPECT_EQ(CDrainingManager::s_pSeen, pInstance);
    EXPECT_EQ(CDrainingManager::m_pSingleton, nullptr);
}

}  // namespace

#include <oru/log/log_system.h>
#include <oru/resource/resource_pool.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <list>
#include <string>
#include <thread>
#include <vector>

namespace {

// What happened to the resources of one test, in order: "delete 7",
// "disable 7", "restore 7".
using CJournal = std::vector<std::string>;

class CTestResource : public IResource {
public:
    explicit CTestResource(CJournal* pJournal = nullptr) : m_pJournal(pJournal) {}
    ~CTestResource() override { Note("delete"); }

    size_t GetMemorySize() override { return 64; }
    bool OnDisable() override
    {
        Note("disable");
        return true;
    }
    bool OnRestore() override
    {
        Note("restore");
        return false;   // the pool ignores the result
    }

private:
    void Note(const char* what)
    {
        if (m_pJournal)
            m_pJournal->push_back(std::string(what) + " " + std::to_string(GetHandle()));
    }

    CJournal* m_pJournal;
};

// Runs a piece of the test's code from its destructor: a resource that calls
// back into its pool while it is being destroyed.
class CCallbackResource : public CTestResource {
public:
    CCallbackResource(CJournal* pJournal, std::function<void()> onDelete)
        : CTestResource(pJournal), m_OnDelete(std::move(onDelete))
    {
    }
    ~CCallbackResource() override { m_OnDelete(); }

private:
    std::function<void()> m_OnDelete;
};

// A derived pool reaches the unlocked forms between Lock and Unlock.
class CTestPool : public IResourcePool {
public:
    bool ReleaseLocked(uint32_t& handle)
    {
        Lock();
        const bool released = ReleaseRes(handle);
        Unlock();
        return released;
    }
    IResource* FindLocked(uint32_t handle)
    {
        Lock();
        IResource* pResource = GetResourceFromHandle(handle);
        Unlock();
        return pResource;
    }
};

class ResourcePool : public ::testing::Test {
protected:
    void SetUp() override { m_Log.Init(LOG_MODE_DEBUG, 9, L"", L"", true, true); }

    // The messages logged since the last call, without the "LvN_[time] : "
    // prefix but with the level in front: "5 RegisterRes:: ...".
    std::vector<std::wstring> TakeLines()
    {
        std::list<std::wstring> history;
        m_Log.GetLogHistory(history);
        std::vector<std::wstring> lines;
        for (const std::wstring& line : history) {
            const size_t text = line.find(L" : ");
            lines.push_back(line.substr(2, 1) + L" " + (text == std::wstring::npos ? line : line.substr(text + 3)));
        }
        return lines;
    }

    // Registers a fresh resource, failing the test if the pool refuses it.
    CTestResource* Add(CTestPool& pool, const std::wstring& name, uint32_t handle)
    {
        auto* pResource = new CTestResource(&m_Journal);
        const bool registered = name.empty() ? pool.RegisterRes(handle, pResource)
                                             : pool.RegisterRes(name, handle, pResource);
        EXPECT_TRUE(registered);
        return pResource;
    }

    CLogSystem m_Log;
    CJournal m_Journal;
};

}  // namespace

TEST_F(ResourcePool, LookupByNameCountsUpAndLetterCaseMatters)
{
    CTestPool pool;
    CTestResource* pTexture = Add(pool, L"Texture", 7);
    EXPECT_EQ(pTexture->GetHandle(), 7u);
    EXPECT_EQ(pTexture->GetRefCnt(), 1);

    EXPECT_EQ(pool.GetResHandle(L"Texture"), 7u);
    EXPECT_EQ(pTexture->GetRefCnt(), 2);
    EXPECT_EQ(pool.GetResHandle(L"texture"), 0u);
    EXPECT_EQ(pool.GetResHandle(L"Textur"), 0u);
    EXPECT_EQ(pTexture->GetRefCnt(), 2);
    EXPECT_EQ(pool.GetResourceFromHandle_Lock(7), pTexture);
    EXPECT_EQ(pool.GetResourceFromHandle_Lock(8), nullptr);
    EXPECT_EQ(pTexture->GetRefCnt(), 2);

    // A copy of a registered resource carries its handle and count.
    CTestResource copy(*pTexture);
    EXPECT_EQ(copy.GetHandle(), 7u);
    EXPECT_EQ(copy.GetRefCnt(), 2);
}

TEST_F(ResourcePool, RefusedRegistrationChangesNothing)
{
    CTestPool pool;
    pool.SetLogSystem(&m_Log);
    CTestResource* pFirst = Add(pool, L"Mesh", 1);
    TakeLines();

    CTestResource sameName, sameHandle, sameHandleNoName;
    EXPECT_FALSE(pool.RegisterRes(L"Mesh", 2, &sameName));
    EXPECT_FALSE(pool.RegisterRes(L"Other", 1, &sameHandle));
    EXPECT_FALSE(pool.RegisterRes(1, &sameHandleNoName));
    EXPECT_FALSE(pool.RegisterRes(L"Null", 3, nullptr));
    for (CTestResource* pRefused : {&sameName, &sameHandle, &sameHandleNoName}) {
        EXPECT_EQ(pRefused->GetRefCnt(), 0);
        EXPECT_EQ(pRefused->GetHandle(), 0u);
    }
    EXPECT_TRUE(TakeLines().empty());

    // The refused name left no entry behind leading to the first resource.
    EXPECT_EQ(pool.GetResHandle(L"Other"), 0u);
    EXPECT_EQ(pool.GetResHandle(L"Null"), 0u);
    EXPECT_EQ(pool.GetResourceFromHandle_Lock(2), nullptr);
    EXPECT_EQ(pFirst->GetRefCnt(), 1);

    // Destroying the first resource leaves nothing for the destructor.
    uint32_t handle = 1;
    EXPECT_TRUE(pool.ReleaseRes_Lock(handle));
    EXPECT_EQ(m_Journal, CJournal{"delete 1"});
    pool.SetLogSystem(nullptr);
}

// Thousands of registrations make both maps grow many times while names
// come and go. Names that differ only late, in length, by an embedded null
// or not at all (the empty name) must each find their own resource, before
// and after the others are released and a released name is taken again.
TEST_F(ResourcePool, EveryNameAndHandleSurvivesGrowthAndRemovals)
{
    constexpr uint32_t COUNT = 5000;
    auto nameOf = [](uint32_t i) {
        switch (i % 4) {
        case 0: return L"textures/world/tile_" + std::to_wstring(i) + L".dds";
        case 1: return std::wstring(i % 97, L'a') + std::to_wstring(i);
        case 2: return std::wstring(L"n\0", 2) + std::to_wstring(i);
        default: return std::wstring();   // every fourth has no name
        }
    };
    CTestPool pool;
    std::vector<CTestResource*> resources;
    for (uint32_t i = 0; i < COUNT; ++i)
        resources.push_back(Add(pool, nameOf(i), i + 1));
    auto* pEmptyName = new CTestResource(&m_Journal);
    ASSERT_TRUE(pool.RegisterRes(L"", COUNT + 1, pEmptyName));
    CTestResource refused;
    EXPECT_FALSE(pool.RegisterRes(L"", COUNT + 2, &refused));
    EXPECT_EQ(pool.GetResHandle(std::wstring(L"n", 1) + L"2"), 0u);

    for (uint32_t i = 0; i < COUNT; i += 2) {
        uint32_t handle = i + 1;
        ASSERT_TRUE(pool.ReleaseRes_Lock(handle));
    }
    for (uint32_t i = 0; i < COUNT; ++i) {
        const std::wstring name = nameOf(i);
        const bool kept = i % 2 == 1;
        EXPECT_EQ(pool.GetResourceFromHandle_Lock(i + 1), kept ? resources[i] : nullptr) << i;
        if (!name.empty()) {
            EXPECT_EQ(pool.GetResHandle(name), kept ? i + 1 : 0u) << i;
        }
    }
    EXPECT_EQ(pool.GetResHandle(L""), COUNT + 1);

    // A released name may be registered again, under a new handle.
    CTestResource* pAgain = Add(pool, nameOf(0), COUNT + 10);
    EXPECT_EQ(pool.GetResHandle(nameOf(0)), COUNT + 10);
    EXPECT_EQ(pAgain->GetRefCnt(), 2);
}

TEST_F(ResourcePool, ReleaseDestroysAtZeroLoggingNameBeforeResource)
{
    CTestPool pool;
    pool.SetLogSystem(&m_Log);
    Add(pool, L"Sound", 5);
    Add(pool, L"", 6);

    uint32_t named = 5;
    EXPECT_TRUE(pool.ReleaseRes_Lock(named));
    EXPECT_EQ(named, 0u);
    uint32_t unnamed = 6;
    EXPECT_TRUE(pool.ReleaseLocked(unnamed));
    EXPECT_EQ(unnamed, 0u);

    EXPECT_EQ(m_Journal, (CJournal{"delete 5", "delete 6"}));
    EXPECT_EQ(pool.GetResHandle(L"Sound"), 0u);
    EXPECT_EQ(pool.FindLocked(5), nullptr);
    EXPECT_EQ(pool.FindLocked(6), nullptr);
    EXPECT_EQ(TakeLines(), (std::vector<std::wstring>{
        L"5 RegisterRes:: [Resource] Sound 리소스를 리소스풀의 이름맵과 리소스맵에 등록. (Handle : 5)",
        L"5 RegisterRes:: [Resource] 리소스를 리소스풀의 리소스맵에 등록. (Handle : 6)",
        L"5 ReleaseRes_Lock:: [Resource] Sound 리소스를 리소스 풀의 이름맵에서 해제. (Handle : 5)",
        L"5 ReleaseRes_Lock:: [Resource] 리소스를 리소스 풀의 리소스맵에서 해제. (Handle : 5)",
        L"5 ReleaseRes:: [Resource] 리소스를 리소스 풀의 리소스맵에서 해제. (Handle : 6)",
    }));
}

TEST_F(ResourcePool, ReleaseKeepsAReferencedResource)
{
    CTestPool pool;
    CTestResource* pResource = Add(pool, L"Font", 3);
    ASSERT_EQ(pool.GetResHandle(L"Font"), 3u);

    uint32_t handle = 3;
    EXPECT_TRUE(pool.ReleaseRes_Lock(handle));
    EXPECT_EQ(handle, 0u);
    EXPECT_TRUE(m_Journal.empty());
    EXPECT_EQ(pResource->GetRefCnt(), 1);
    EXPECT_EQ(pool.GetResHandle(L"Font"), 3u);
}

TEST_F(ResourcePool, GarbageCollectModeDefersDestructionToTheCollection)
{
    CTestPool pool;
    pool.SetLogSystem(&m_Log);
    pool.SetGarbageCollect(true);
    CTestResource* pIdle = Add(pool, L"Idle", 1);
    CTestResource* pBusy = Add(pool, L"Busy", 2);
    Add(pool, L"", 3);
    TakeLines();

    uint32_t idle = 1, busy = 2, unnamed = 3;
    ASSERT_TRUE(pool.ReleaseRes_Lock(idle));
    ASSERT_TRUE(pool.ReleaseRes_Lock(busy));
    ASSERT_TRUE(pool.ReleaseRes_Lock(unnamed));
    EXPECT_TRUE(m_Journal.empty());
    EXPECT_EQ(pIdle->GetRefCnt(), 0);

    // A resource at 0 can still be found and counted up again.
    EXPECT_EQ(pool.GetResHandle(L"Busy"), 2u);
    EXPECT_EQ(pBusy->GetRefCnt(), 1);
    EXPECT_EQ(pool.GetResourceFromHandle_Lock(1), pIdle);
    EXPECT_TRUE(TakeLines().empty());

    pool.GarbageCollect();
    EXPECT_EQ(m_Journal, (CJournal{"delete 1", "delete 3"}));
    EXPECT_EQ(pool.GetResHandle(L"Idle"), 0u);
    EXPECT_EQ(pool.GetResourceFromHandle_Lock(2), pBusy);
    EXPECT_EQ(TakeLines(), (std::vector<std::wstring>{
        L"5 GarbageCollect:: [Resource] Idle 리소스를 리소스 풀의 이름맵에서 해제. (Handle : 1) [Garbage Collect]",
        L"5 GarbageCollect:: [Resource] 리소스를 리소스 풀의 리소스맵에서 해제. (Handle : 1) [Garbage Collect]",
        L"5 GarbageCollect:: [Resource] 리소스를 리소스 풀의 리소스맵에서 해제. (Handle : 3) [Garbage Collect]",
    }));
}

TEST_F(ResourcePool, SwitchingTheFlagOffKeepsResourcesAlreadyAtZero)
{
    CTestPool pool;
    pool.SetGarbageCollect(true);
    CTestResource* pResource = Add(pool, L"Left", 4);
    uint32_t handle = 4;
    ASSERT_TRUE(pool.ReleaseRes_Lock(handle));

    pool.SetGarbageCollect(false);
    pool.GarbageCollect();
    EXPECT_TRUE(m_Journal.empty());
    EXPECT_EQ(pool.GetResourceFromHandle_Lock(4), pResource);

    pool.SetGarbageCollect(true);
    pool.GarbageCollect();
    EXPECT_EQ(m_Journal, CJournal{"delete 4"});
}

TEST_F(ResourcePool, ReleaseWithoutCollectingNeverDestroysAndRestoresTheFlag)
{
    CTestPool pool;
    CTestResource* pResource = Add(pool, L"Kept", 9);

    uint32_t handle = 9;
    EXPECT_TRUE(pool.ReleaseResNoGarbageCollect(handle));
    EXPECT_EQ(handle, 0u);
    EXPECT_EQ(pResource->GetRefCnt(), 0);
    EXPECT_TRUE(m_Journal.empty());

    // The flag is false again: counted up and released, it goes at once.
    ASSERT_EQ(pool.GetResHandle(L"Kept"), 9u);
    handle = 9;
    EXPECT_TRUE(pool.ReleaseRes_Lock(handle));
    EXPECT_EQ(m_Journal, CJournal{"delete 9"});

    uint32_t unknown = 9;
    EXPECT_FALSE(pool.ReleaseResNoGarbageCollect(unknown));
    EXPECT_EQ(unknown, 9u);
}

TEST_F(ResourcePool, NegativeCountsAreNeitherReleasedNorCollected)
{
    CJournal destroyed;
    {
        CTestPool pool;
        pool.SetGarbageCollect(true);
        auto* pResource = new CTestResource(&destroyed);
        ASSERT_TRUE(pool.RegisterRes(L"Twice", 2, pResource));
        for (int i = 0; i < 2; ++i) {
            uint32_t handle = 2;
            EXPECT_TRUE(pool.ReleaseRes_Lock(handle));
        }
        EXPECT_EQ(pResource->GetRefCnt(), -1);
        pool.GarbageCollect();
        EXPECT_TRUE(destroyed.empty());
    }
    EXPECT_EQ(destroyed, CJournal{"delete 2"});
}

TEST_F(ResourcePool, UnknownHandlesAreRefusedAndTheVariableKept)
{
    CTestPool pool;
    Add(pool, L"One", 1);

    uint32_t unknown = 99;
    EXPECT_FALSE(pool.ReleaseRes_Lock(unknown));
    EXPECT_EQ(unknown, 99u);
    EXPECT_FALSE(pool.ReleaseLocked(unknown));
    EXPECT_EQ(unknown, 99u);

    // A variable already at 0 fails too, unless something sits under 0.
    uint32_t empty = 0;
    EXPECT_FALSE(pool.ReleaseRes_Lock(empty));
    Add(pool, L"Zero", 0);
    EXPECT_TRUE(pool.ReleaseRes_Lock(empty));
    EXPECT_EQ(m_Journal, CJournal{"delete 0"});
}

TEST_F(ResourcePool, DisableAndRestoreReachEveryResourceInHandleOrder)
{
    CTestPool pool;
    pool.Disable();
    pool.Restore();
    EXPECT_TRUE(m_Journal.empty());

    pool.SetGarbageCollect(true);
    Add(pool, L"b", 30);
    Add(pool, L"a", 10);
    Add(pool, L"", 20);
    uint32_t handle = 20;
    ASSERT_TRUE(pool.ReleaseRes_Lock(handle));   // left at count 0, still registered

    pool.Disable();
    pool.Restore();
    EXPECT_EQ(m_Journal, (CJournal{"disable 10", "disable 20", "disable 30", "restore 10", "restore 20",
                                   "restore 30"}));
}

TEST_F(ResourcePool, DestructorReportsNamesThenResourcesAndDeletesAll)
{
    {
        CTestPool pool;
        pool.SetLogSystem(&m_Log);
        Add(pool, L"Zeta", 1);
        Add(pool, L"Alpha", 3);
        Add(pool, L"", 2);
        ASSERT_EQ(pool.GetResHandle(L"Zeta"), 1u);   // counts do not matter
        TakeLines();
    }
    EXPECT_EQ(m_Journal, (CJournal{"delete 1", "delete 2", "delete 3"}));
    EXPECT_EQ(TakeLines(), (std::vector<std::wstring>{
        L"3 [Resource] Alpha 리소스가 해제되지 않았습니다. (핸들 : 3)",
        L"3 [Resource] Zeta 리소스가 해제되지 않았습니다. (핸들 : 1)",
        L"3 [Resource] 리소스가 해제되지 않았습니다. (핸들 : 1)",
        L"3 [Resource] 리소스가 해제되지 않았습니다. (핸들 : 2)",
        L"3 [Resource] 리소스가 해제되지 않았습니다. (핸들 : 3)",
    }));
}

// Eight threads share one pool, each working on its own handles while also
// looking up a name the others use.
TEST_F(ResourcePool, EightThreadsShareOnePool)
{
    constexpr int THREADS = 8;
    constexpr int ROUNDS = 300;
    CTestPool pool;
    pool.SetLogSystem(&m_Log);
    m_Log.SetLevel(3);   // the shared log is exercised without keeping every line
    CTestResource* pShared = Add(pool, L"Shared", 1000000);

    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&pool, t] {
            for (int i = 0; i < ROUNDS; ++i) {
                const uint32_t handle = static_cast<uint32_t>(t * ROUNDS + i + 1);
                const std::wstring name = L"r" + std::to_wstring(handle);
                ASSERT_TRUE(pool.RegisterRes(name, handle, new CTestResource));
                ASSERT_EQ(pool.GetResHandle(name), handle);
                uint32_t shared = pool.GetResHandle(L"Shared");
                ASSERT_EQ(shared, 1000000u);
                uint32_t first = handle, second = handle;
                ASSERT_TRUE(pool.ReleaseRes_Lock(first));
                ASSERT_TRUE(pool.ReleaseRes_Lock(second));
                ASSERT_TRUE(pool.ReleaseRes_Lock(shared));
                if (i % 50 == 0) {
                    pool.Disable();
                    pool.Restore();
                }
            }
        });
    }
    for (auto& thread : threads)
        thread.join();

    EXPECT_EQ(pShared->GetRefCnt(), 1);
    for (uint32_t handle = 1; handle <= THREADS * ROUNDS; ++handle)
        ASSERT_EQ(pool.GetResourceFromHandle_Lock(handle), nullptr);
    EXPECT_EQ(pool.GetResHandle(L"r1"), 0u);
}

// A model releases the texture it holds the only reference to, and the
// texture, when it goes, looks its sound up and releases it: every release
// happens while the pool destroys itself, the first one before the pool has
// reached the texture. A registration made from a destructor then is refused.
TEST_F(ResourcePool, DestructorsMayCallBackIntoThePoolBeingDestroyed)
{
    for (const bool withLog : {false, true}) {
        SCOPED_TRACE(withLog ? "with a log" : "without a log");
        m_Journal.clear();
        TakeLines();
        bool lateRegistered = true;
        CTestResource late;
        {
            CTestPool pool;
            if (withLog)
                pool.SetLogSystem(&m_Log);
            Add(pool, L"Sound", 3);
            auto* pTexture = new CCallbackResource(&m_Journal, [&pool] {
                uint32_t sound = pool.GetResHandle(L"Sound");
                pool.ReleaseRes_Lock(sound);
                sound = 3;
                pool.ReleaseRes_Lock(sound);   // the registration's reference: destroyed here
            });
            ASSERT_TRUE(pool.RegisterRes(L"Texture", 2, pTexture));
            auto* pModel = new CCallbackResource(&m_Journal, [&pool, &late, &lateRegistered] {
                uint32_t texture = 2;
                pool.ReleaseRes_Lock(texture);
                lateRegistered = pool.RegisterRes(L"Late", 9, &late);
            });
            ASSERT_TRUE(pool.RegisterRes(L"Model", 1, pModel));
            TakeLines();
        }
        EXPECT_EQ(m_Journal, (CJournal{"delete 3", "delete 2", "delete 1"}));
        EXPECT_FALSE(lateRegistered);
        EXPECT_EQ(late.GetRefCnt(), 0);
        if (!withLog)
            continue;
        EXPECT_EQ(TakeLines(), (std::vector<std::wstring>{
            L"3 [Resource] Model 리소스가 해제되지 않았습니다. (핸들 : 1)",
            L"3 [Resource] Sound 리소스가 해제되지 않았습니다. (핸들 : 3)",
            L"3 [Resource] Texture 리소스가 해제되지 않았습니다. (핸들 : 2)",
            L"3 [Resource] 리소스가 해제되지 않았습니다. (핸들 : 1)",
            L"3 [Resource] 리소스가 해제되지 않았습니다. (핸들 : 2)",
            L"3 [Resource] 리소스가 해제되지 않았습니다. (핸들 : 3)",
            L"5 ReleaseRes_Lock:: [Resource] Texture 리소스를 리소스 풀의 이름맵에서 해제. (Handle : 2)",
            L"5 ReleaseRes_Lock:: [Resource] 리소스를 리소스 풀의 리소스맵에서 해제. (Handle : 2)",
            L"5 ReleaseRes_Lock:: [Resource] Sound 리소스를 리소스 풀의 이름맵에서 해제. (Handle : 3)",
            L"5 ReleaseRes_Lock:: [Resource] 리소스를 리소스 풀의 리소스맵에서 해제. (Handle : 3)",
        }));
    }
}

// One object registered twice would be deleted twice. The pool remembers
// the registration, not the handle: a copy carries the handle but is a new
// object, and may be registered.
TEST_F(ResourcePool, RefusesAnObjectAlreadyRegisteredHereOrInAnotherPool)
{
    {
        CTestPool pool, other;
        pool.SetLogSystem(&m_Log);
        CTestResource* pResource = Add(pool, L"Mesh", 1);
        TakeLines();

        EXPECT_FALSE(pool.RegisterRes(L"Alias", 2, pResource));
        EXPECT_FALSE(pool.RegisterRes(3, pResource));
        EXPECT_FALSE(pool.RegisterRes(L"Mesh", 1, pResource));
        EXPECT_FALSE(other.RegisterRes(L"Mesh", 1, pResource));
        EXPECT_EQ(pResource->GetRefCnt(), 1);
        EXPECT_EQ(pResource->GetHandle(), 1u);
        EXPECT_EQ(pool.GetResHandle(L"Alias"), 0u);
        EXPECT_EQ(pool.GetResourceFromHandle_Lock(3), nullptr);
        EXPECT_EQ(other.GetResourceFromHandle_Lock(1), nullptr);
        const std::wstring refused = L" RegisterRes:: [Resource] 이미 리소스풀에 등록된 리소스는 다시 등록할 수 없음. (Handle : ";
        EXPECT_EQ(TakeLines(), (std::vector<std::wstring>{L"5" + refused + L"2)", L"5" + refused + L"3)",
                                                          L"5" + refused + L"1)"}));

        auto* pCopy = new CTestResource(*pResource);
        EXPECT_EQ(pCopy->GetHandle(), 1u);
        EXPECT_TRUE(other.RegisterRes(L"Mesh", 5, pCopy));
        EXPECT_EQ(pCopy->GetHandle(), 5u);
    }
    EXPECT_EQ(m_Journal, (CJournal{"delete 5", "delete 1"}));
}

// Two pools registering one object at the same moment: exactly one keeps it.
TEST_F(ResourcePool, TwoPoolsRacingForOneObjectCannotBothTakeIt)
{
    for (int round = 0; round < 200; ++round) {
        auto* pResource = new CTestResource;
        CTestPool first, second;
        std::atomic<bool> go{false};
        bool taken[2] = {false, false};
        auto registerIn = [&](CTestPool& pool, bool& result) {
            while (!go.load()) {
            }
            result = pool.RegisterRes(7, pResource);
        };
        std::thread a(registerIn, std::ref(first), std::ref(taken[0]));
        std::thread b(registerIn, std::ref(second), std::ref(taken[1]));
        go = true;
        a.join();
        b.join();
        ASSERT_NE(taken[0], taken[1]) << "round " << round;
        EXPECT_EQ(pResource->GetRefCnt(), 1);
    }
}

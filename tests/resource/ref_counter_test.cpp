#include <oru/resource/resource.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

class CTestResource : public IResource {
public:
    size_t GetMemorySize() override { return 0; }
    bool OnDisable() override { return true; }
    bool OnRestore() override { return true; }
};

}  // namespace

TEST(RefCounter, CountsThroughZeroIntoNegativeAndOnlyZeroIsReleased)
{
    CRefCounter counter;
    EXPECT_EQ(counter.GetRefCnt(), 0);
    EXPECT_TRUE(counter.IsRelease());

    counter.AddRefCnt();
    EXPECT_FALSE(counter.IsRelease());
    counter.DecRefCnt();
    EXPECT_TRUE(counter.IsRelease());

    counter.DecRefCnt();
    EXPECT_EQ(counter.GetRefCnt(), -1);
    EXPECT_FALSE(counter.IsRelease());
    counter.AddRefCnt();
    EXPECT_TRUE(counter.IsRelease());
}

TEST(RefCounter, CopyAndAssignmentTakeTheSourceCount)
{
    CRefCounter three;
    for (int i = 0; i < 3; ++i)
        three.AddRefCnt();
    CRefCounter copy(three);
    EXPECT_EQ(copy.GetRefCnt(), 3);

    CRefCounter five;
    for (int i = 0; i < 5; ++i)
        five.AddRefCnt();
    CRefCounter zero;
    five = zero;
    EXPECT_EQ(five.GetRefCnt(), 0);
}

TEST(RefCounter, ResourceStartsWithoutHandleAndInheritsTheRootBehaviour)
{
    CTestResource resource;
    EXPECT_EQ(resource.GetHandle(), 0u);
    EXPECT_EQ(resource.GetRefCnt(), 0);
    // Neither counter nor resource describes itself.
    EXPECT_EQ(resource.GetPropertyInfo(), nullptr);
}

// All eight threads count one shared object, so a change made without the
// lock loses updates (and ThreadSanitizer names the race).
TEST(RefCounter, EightThreadsCountingOneObjectLoseNothing)
{
    constexpr int THREADS = 8;
    constexpr int ROUNDS = 20000;
    CRefCounter counter;
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&counter] {
            // Up three, down one: a lost change on either side shows.
            for (int i = 0; i < ROUNDS; ++i) {
                counter.AddRefCnt();
                counter.AddRefCnt();
                counter.AddRefCnt();
                counter.DecRefCnt();
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(counter.GetRefCnt(), 2 * THREADS * ROUNDS);
}

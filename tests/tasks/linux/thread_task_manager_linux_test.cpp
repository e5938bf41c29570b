#include <oru/tasks/thread_task_manager.h>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>

namespace {

// The crash handler can only report a stack overflow on a thread that has an
// alternate signal stack to run on.
TEST(ThreadTaskManager, WorkerRunsWithAnAlternateSignalStack)
{
    static std::atomic<int> s_nHasAltStack{-1};
    CThreadTaskManager manager;
    manager.AddTask(nullptr, [](void*, void*) {
        stack_t current{};
        const bool queried = sigaltstack(nullptr, &current) == 0;
        s_nHasAltStack = queried && !(current.ss_flags & SS_DISABLE) && current.ss_size > 0;
    }, nullptr);
    manager.WaitUntilFinished();
    EXPECT_EQ(s_nHasAltStack.load(), 1);
}

}  // namespace

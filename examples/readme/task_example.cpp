#include <oru/tasks/thread_task_manager.h>

#include <atomic>

namespace {

std::atomic<int> s_nLoaded{0};

// Runs on the library's worker thread, one task after another, in order.
void LoadAsset(void* data, void* param)
{
    (void)data;
    (void)param;
    ++s_nLoaded;
}

}  // namespace

int main()
{
    int assets[3] = {1, 2, 3};
    for (int& asset : assets)
        OruThreadTaskManager().AddTask(&asset, LoadAsset, nullptr);  // starts a worker if needed
    OruThreadTaskManager().WaitUntilFinished();
    CThreadTaskManager::DeleteInstance();
    return s_nLoaded == 3 ? 0 : 1;
}

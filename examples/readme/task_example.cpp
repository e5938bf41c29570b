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
    for (int& asset : assets) {
        // Starts a worker if needed. A full queue (1024 waiting) refuses the
        // task: then it is ours to run, here or later.
        if (!OruThreadTaskManager().AddTask(&asset, LoadAsset, nullptr))
            LoadAsset(&asset, nullptr);
    }
    OruThreadTaskManager().WaitUntilFinished();
    CThreadTaskManager::DeleteInstance();
    return s_nLoaded == 3 ? 0 : 1;
}

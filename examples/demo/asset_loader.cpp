#include "asset_loader.h"

#include "demo_pack.h"

#include <oru/tasks/thread_task_manager.h>

CAssetResource::CAssetResource(std::vector<char> bytes)
    : m_vecBytes(std::move(bytes)), m_nSize(m_vecBytes.size())
{
    ++s_nAlive;
}

CAssetResource::~CAssetResource()
{
    --s_nAlive;
}

bool CAssetResource::OnDisable()
{
    m_vecBytes.clear();
    m_vecBytes.shrink_to_fit();
    return true;
}

bool CAssetResource::OnRestore()
{
    m_vecBytes.assign(m_nSize, '\0');
    return true;
}

void CAssetLoader::Request(const std::wstring& name, uint32_t handle)
{
    auto job = std::make_unique<CJob>();
    job->m_strName = name;
    job->m_hHandle = handle;
    // A full queue refuses the job; then it is loaded here, at once.
    if (!OruThreadTaskManager().AddTask(job.get(), &CAssetLoader::Load, nullptr))
        Load(job.get(), nullptr);
    m_vecJobs.push_back(std::move(job));
}

// Runs on the library's worker thread: opening a stream is safe from any
// thread, and each stream has its own handle on the data file.
void CAssetLoader::Load(void* data, void*)
{
    auto* job = static_cast<CJob*>(data);
    job->m_bOk = ReadPackEntry(job->m_strName, job->m_vecBytes);
    job->m_bDone.store(true, std::memory_order_release);
}

size_t CAssetLoader::Collect()
{
    size_t pending = 0;
    for (auto it = m_vecJobs.begin(); it != m_vecJobs.end();) {
        CJob& job = **it;
        if (!job.m_bDone.load(std::memory_order_acquire)) {
            ++pending;
            ++it;
            continue;
        }
        ++m_nTasksRun;
        auto* resource = new CAssetResource(std::move(job.m_vecBytes));
        if (job.m_bOk && m_Pool.RegisterRes(job.m_strName, job.m_hHandle, resource)) {
            ++m_nRegistered;
        } else {
            delete resource;
            ++m_nFailed;
        }
        it = m_vecJobs.erase(it);
    }
    return pending;
}

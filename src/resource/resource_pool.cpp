// The pool keeps two ordered maps: names to handles, and handles to entries.
// Each entry of the handle map also remembers the iterator of its one name
// entry, if it has one. A registration that fails leaves no trace, so a
// handle never has more than one name, and destroying a resource erases its
// name without searching the name map.
//
// A null resource is refused at registration, so every stored pointer is
// valid until the pool deletes it. Release and collection take the entry out of both maps before deleting the
// resource, so a resource's destructor that calls back into the pool finds
// consistent maps.

#include <oru/resource/resource_pool.h>

#include <oru/log/log_system.h>

#include <new>

namespace {

constexpr int LEVEL_REGISTER = 5;
constexpr int LEVEL_LEFT_AT_SHUTDOWN = 3;

// The two log lines of a removal, by the operation that removes.
struct CRemovalFormats {
    const wchar_t* m_szName;
    const wchar_t* m_szResource;
};

constexpr CRemovalFormats REMOVAL_FORMATS[] = {
    {L"ReleaseRes:: [Resource] %ls 리소스를 리소스 풀의 이름맵에서 해제. (Handle : %lu)",
     L"ReleaseRes:: [Resource] 리소스를 리소스 풀의 리소스맵에서 해제. (Handle : %lu)"},
    {L"ReleaseRes_Lock:: [Resource] %ls 리소스를 리소스 풀의 이름맵에서 해제. (Handle : %lu)",
     L"ReleaseRes_Lock:: [Resource] 리소스를 리소스 풀의 리소스맵에서 해제. (Handle : %lu)"},
    {L"GarbageCollect:: [Resource] %ls 리소스를 리소스 풀의 이름맵에서 해제. (Handle : %lu) [Garbage Collect]",
     L"GarbageCollect:: [Resource] 리소스를 리소스 풀의 리소스맵에서 해제. (Handle : %lu) [Garbage Collect]"},
};

template <class... Args>
void LogTo(CLogSystem* pLog, int level, const wchar_t* format, Args... args)
{
    if (pLog)
        pLog->Log(level, format, args...);
}

// Handles travel to the log as unsigned long, as the "%lu" lines expect.
unsigned long LogHandle(uint32_t handle)
{
    return handle;
}

}  // namespace

IResourcePool::IResourcePool() : m_pLogSystem(nullptr), m_bGarbageCollect(false) {}

IResourcePool::~IResourcePool()
{
    COruLock lock(m_cs);
    for (const auto& [name, handle] : m_mapName)
        LogTo(m_pLogSystem, LEVEL_LEFT_AT_SHUTDOWN, L"[Resource] %ls 리소스가 해제되지 않았습니다. (핸들 : %lu)",
              name.c_str(), LogHandle(handle));
    m_mapName.clear();

    for (const auto& [handle, entry] : m_mapResource) {
        LogTo(m_pLogSystem, LEVEL_LEFT_AT_SHUTDOWN, L"[Resource] 리소스가 해제되지 않았습니다. (핸들 : %lu)",
              LogHandle(handle));
        delete entry.m_pResource;
    }
    m_mapResource.clear();
}

void IResourcePool::Lock()
{
    m_cs.Enter();
}

void IResourcePool::Unlock()
{
    m_cs.Leave();
}

void IResourcePool::SetGarbageCollect(bool enable)
{
    COruLock lock(m_cs);
    m_bGarbageCollect = enable;
}

void IResourcePool::SetLogSystem(CLogSystem* log)
{
    COruLock lock(m_cs);
    m_pLogSystem = log;
}

bool IResourcePool::RegisterRes(const std::wstring& name, uint32_t handle, IResource* res)
{
    return Register(&name, handle, res);
}

bool IResourcePool::RegisterRes(uint32_t handle, IResource* res)
{
    return Register(nullptr, handle, res);
}

// Both maps are checked before either is changed, so a refused registration
// leaves the pool as it was; the map insertions are the only steps that can
// fail after that, and each is undone if the next one does.
bool IResourcePool::Register(const std::wstring* pName, uint32_t handle, IResource* res)
{
    if (!res)
        return false;

    COruLock lock(m_cs);
    if (m_mapResource.count(handle) || (pName && m_mapName.count(*pName)))
        return false;

    CEntry entry{res, m_mapName.end(), false};
    try {
        if (pName) {
            entry.m_itName = m_mapName.emplace(*pName, handle).first;
            entry.m_bNamed = true;
        }
        m_mapResource.emplace(handle, entry);
    } catch (const std::bad_alloc&) {
        if (entry.m_bNamed)
            m_mapName.erase(entry.m_itName);
        return false;
    }

    res->AddRefCnt();
    res->m_hHandle = handle;
    if (pName)
        LogTo(m_pLogSystem, LEVEL_REGISTER,
              L"RegisterRes:: [Resource] %ls 리소스를 리소스풀의 이름맵과 리소스맵에 등록. (Handle : %lu)",
              pName->c_str(), LogHandle(handle));
    else
        LogTo(m_pLogSystem, LEVEL_REGISTER, L"RegisterRes:: [Resource] 리소스를 리소스풀의 리소스맵에 등록. (Handle : %lu)",
              LogHandle(handle));
    return true;
}

uint32_t IResourcePool::GetResHandle(const std::wstring& name)
{
    COruLock lock(m_cs);
    auto itName = m_mapName.find(name);
    if (itName == m_mapName.end())
        return 0;
    auto it = m_mapResource.find(itName->second);
    if (it == m_mapResource.end())
        return 0;
    it->second.m_pResource->AddRefCnt();
    return it->first;
}

IResource* IResourcePool::GetResourceFromHandle(uint32_t handle)
{
    auto it = m_mapResource.find(handle);
    return it == m_mapResource.end() ? nullptr : it->second.m_pResource;
}

IResource* IResourcePool::GetResourceFromHandle_Lock(uint32_t handle)
{
    COruLock lock(m_cs);
    return GetResourceFromHandle(handle);
}

bool IResourcePool::ReleaseRes(uint32_t& handle)
{
    return Release(handle, REMOVER_RELEASE);
}

bool IResourcePool::ReleaseRes_Lock(uint32_t& handle)
{
    COruLock lock(m_cs);
    return Release(handle, REMOVER_RELEASE_LOCK);
}

bool IResourcePool::ReleaseResNoGarbageCollect(uint32_t& handle)
{
    COruLock lock(m_cs);
    const bool wasCollecting = m_bGarbageCollect;
    m_bGarbageCollect = true;
    const bool result = Release(handle, REMOVER_RELEASE);
    m_bGarbageCollect = wasCollecting;
    return result;
}

bool IResourcePool::Release(uint32_t& handle, eRemover remover)
{
    auto it = m_mapResource.find(handle);
    if (it == m_mapResource.end())
        return false;

    IResource* pResource = it->second.m_pResource;
    pResource->DecRefCnt();
    if (!m_bGarbageCollect && pResource->IsRelease())
        Destroy(it, remover);
    handle = 0;
    return true;
}

void IResourcePool::GarbageCollect()
{
    COruLock lock(m_cs);
    if (!m_bGarbageCollect)
        return;

    auto it = m_mapResource.begin();
    while (it != m_mapResource.end()) {
        if (!it->second.m_pResource->IsRelease()) {
            ++it;
            continue;
        }
        // A destructor may call back into the pool and change the map, so
        // the walk resumes from the key rather than from a kept iterator.
        const uint32_t handle = it->first;
        Destroy(it, REMOVER_GARBAGE_COLLECT);
        it = m_mapResource.upper_bound(handle);
    }
}

void IResourcePool::Destroy(CResourceMap::iterator it, eRemover remover)
{
    const CRemovalFormats& formats = REMOVAL_FORMATS[remover];
    const CEntry entry = it->second;
    const unsigned long handle = LogHandle(it->first);

    if (entry.m_bNamed) {
        LogTo(m_pLogSystem, LEVEL_REGISTER, formats.m_szName, entry.m_itName->first.c_str(), handle);
        m_mapName.erase(entry.m_itName);
    }
    LogTo(m_pLogSystem, LEVEL_REGISTER, formats.m_szResource, handle);
    m_mapResource.erase(it);
    delete entry.m_pResource;
}

void IResourcePool::Disable()
{
    COruLock lock(m_cs);
    for (auto& [handle, entry] : m_mapResource)
        entry.m_pResource->OnDisable();
}

void IResourcePool::Restore()
{
    COruLock lock(m_cs);
    for (auto& [handle, entry] : m_mapResource)
        entry.m_pResource->OnRestore();
}

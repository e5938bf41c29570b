// The pool keeps two hash maps: handles to entries, and names to those same
// entries (an element of a hash map keeps its address). Each entry also
// remembers its one name, if it has one. A registration that fails leaves no
// trace, so a handle never has more than one name, and destroying a resource
// erases its name without searching the name map. Registering, looking up and
// releasing thus take a time that does not grow with the pool.
//
// What must happen in order does: Disable, Restore and GarbageCollect visit
// the resources in ascending handle order, and the destructor reports the
// names in ascending order, then the handles. Those walks are linear anyway;
// they sort the keys first.
//
// A null resource is refused at registration, so every stored pointer is
// valid until the pool deletes it. Release and collection take the entry out
// of both maps before deleting the resource, so a resource's destructor that
// calls back into the pool finds consistent maps.

#include <oru/resource/resource_pool.h>

#include <oru/log/log_system.h>

#include <algorithm>
#include <new>
#include <tuple>

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

// Half-full buckets: a search rarely meets a second node, which matters once
// the maps no longer fit in the cache.
constexpr float MAX_LOAD_FACTOR = 0.5f;

}  // namespace

IResourcePool::IResourcePool() : m_pLogSystem(nullptr), m_bGarbageCollect(false)
{
    m_mapName.max_load_factor(MAX_LOAD_FACTOR);
    m_mapResource.max_load_factor(MAX_LOAD_FACTOR);
}

IResourcePool::~IResourcePool()
{
    COruLock lock(m_cs);
    std::vector<const CNameMap::value_type*> names;
    std::vector<uint32_t> handles;
    try {
        names.reserve(m_mapName.size());
        for (const auto& nameEntry : m_mapName)
            names.push_back(&nameEntry);
        handles = SortedHandles();
    } catch (const std::bad_alloc&) {
        names.clear();    // out of memory: everything is still deleted,
        handles.clear();  // only the report is lost
    }
    std::sort(names.begin(), names.end(), [](auto* a, auto* b) { return a->first < b->first; });

    for (const auto* pName : names)
        LogTo(m_pLogSystem, LEVEL_LEFT_AT_SHUTDOWN, L"[Resource] %ls 리소스가 해제되지 않았습니다. (핸들 : %lu)",
              pName->first.c_str(), LogHandle(pName->second->first));
    for (uint32_t handle : handles)
        LogTo(m_pLogSystem, LEVEL_LEFT_AT_SHUTDOWN, L"[Resource] 리소스가 해제되지 않았습니다. (핸들 : %lu)",
              LogHandle(handle));
    m_mapName.clear();

    // Deleted in handle order when the order is known.
    for (uint32_t handle : handles) {
        auto it = m_mapResource.find(handle);
        if (it == m_mapResource.end())
            continue;
        IResource* pResource = it->second.m_pResource;
        m_mapResource.erase(it);
        delete pResource;
    }
    for (auto& [handle, entry] : m_mapResource)
        delete entry.m_pResource;
    m_mapResource.clear();
}

std::vector<uint32_t> IResourcePool::SortedHandles() const
{
    std::vector<uint32_t> handles;
    handles.reserve(m_mapResource.size());
    for (const auto& [handle, entry] : m_mapResource)
        handles.push_back(handle);
    std::sort(handles.begin(), handles.end());
    return handles;
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

// Each map is tried once; when the name turns out to be taken (or memory
// runs out) after the handle was entered, the handle's entry is withdrawn, so
// a refused registration leaves the pool as it was.
bool IResourcePool::Register(const std::wstring* pName, uint32_t handle, IResource* res)
{
    if (!res)
        return false;

    COruLock lock(m_cs);
    CResourceMap::iterator itEntry;
    try {
        bool added = false;
        std::tie(itEntry, added) = m_mapResource.try_emplace(handle, CEntry{res, nullptr});
        if (!added)
            return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (pName) {
        try {
            auto [itName, named] = m_mapName.try_emplace(*pName, &*itEntry);
            if (!named) {
                m_mapResource.erase(itEntry);
                return false;
            }
            itEntry->second.m_pName = &itName->first;
        } catch (const std::bad_alloc&) {
            m_mapResource.erase(itEntry);
            return false;
        }
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
    CResourceMap::value_type* pEntry = itName->second;
    pEntry->second.m_pResource->AddRefCnt();
    return pEntry->first;
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

    std::vector<uint32_t> handles;
    try {
        handles = SortedHandles();
    } catch (const std::bad_alloc&) {
        return;   // nothing collected now; the next pass tries again
    }
    // Each handle is looked up again: a destructor may call back into the
    // pool and release other resources.
    for (uint32_t handle : handles) {
        auto it = m_mapResource.find(handle);
        if (it != m_mapResource.end() && it->second.m_pResource->IsRelease())
            Destroy(it, REMOVER_GARBAGE_COLLECT);
    }
}

void IResourcePool::Destroy(CResourceMap::iterator it, eRemover remover)
{
    const CRemovalFormats& formats = REMOVAL_FORMATS[remover];
    const CEntry entry = it->second;
    const unsigned long handle = LogHandle(it->first);

    if (entry.m_pName) {
        LogTo(m_pLogSystem, LEVEL_REGISTER, formats.m_szName, entry.m_pName->c_str(), handle);
        m_mapName.erase(m_mapName.find(*entry.m_pName));
    }
    LogTo(m_pLogSystem, LEVEL_REGISTER, formats.m_szResource, handle);
    m_mapResource.erase(it);
    delete entry.m_pResource;
}

void IResourcePool::Disable()
{
    COruLock lock(m_cs);
    ForEachInHandleOrder([](IResource* pResource) { pResource->OnDisable(); });
}

void IResourcePool::Restore()
{
    COruLock lock(m_cs);
    ForEachInHandleOrder([](IResource* pResource) { pResource->OnRestore(); });
}

template <class Visit>
void IResourcePool::ForEachInHandleOrder(Visit visit)
{
    std::vector<uint32_t> handles;
    try {
        handles = SortedHandles();
    } catch (const std::bad_alloc&) {
        // Out of memory: every resource is still reached, in no set order.
        for (auto& [handle, entry] : m_mapResource)
            visit(entry.m_pResource);
        return;
    }
    for (uint32_t handle : handles) {
        auto it = m_mapResource.find(handle);
        if (it != m_mapResource.end())
            visit(it->second.m_pResource);
    }
}

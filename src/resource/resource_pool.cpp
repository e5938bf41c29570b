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
// valid until the pool deletes it; so is an object that some pool already
// holds, which would otherwise be deleted twice. Release, collection and the
// pool's destructor take the entry out of both maps before deleting the
// resource, so a resource's destructor may call back into the pool at any
// time and finds consistent maps.

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

IResourcePool::IResourcePool() : m_pLogSystem(nullptr), m_bGarbageCollect(false), m_bClosing(false)
{
    m_mapName.max_load_factor(MAX_LOAD_FACTOR);
    m_mapResource.max_load_factor(MAX_LOAD_FACTOR);
}

IResourcePool::~IResourcePool()
{
    COruLock lock(m_cs);
    m_bClosing = true;
    ReportLeftovers();

    // Deleted in handle order when the order is known. Each resource leaves
    // both maps before it is deleted, so a destructor that calls back into
    // the pool (a model releasing its texture) finds them consistent; a
    // resource such a call destroys is simply no longer there.
    std::vector<uint32_t> handles;
    try {
        handles = SortedHandles();
    } catch (const std::bad_alloc&) {
        handles.clear();   // out of memory: deleted in no set order below
    }
    for (uint32_t handle : handles) {
        auto it = m_mapResource.find(handle);
        if (it != m_mapResource.end())
            delete Withdraw(it);
    }
    while (!m_mapResource.empty())
        delete Withdraw(m_mapResource.begin());
}

// Names first in ascending order, then handles in ascending order. Out of
// memory, the report is lost; the resources are still deleted.
void IResourcePool::ReportLeftovers()
{
    if (!m_pLogSystem)
        return;
    std::vector<const CNameMap::value_type*> names;
    std::vector<uint32_t> handles;
    try {
        names.reserve(m_mapName.size());
        for (const auto& nameEntry : m_mapName)
            names.push_back(&nameEntry);
        handles = SortedHandles();
    } catch (const std::bad_alloc&) {
        return;
    }
    std::sort(names.begin(), names.end(), [](auto* a, auto* b) { return a->first < b->first; });

    for (const auto* pName : names)
        LogTo(m_pLogSystem, LEVEL_LEFT_AT_SHUTDOWN, L"[Resource] %ls 리소스가 해제되지 않았습니다. (핸들 : %lu)",
              pName->first.c_str(), LogHandle(pName->second->first));
    for (uint32_t handle : handles)
        LogTo(m_pLogSystem, LEVEL_LEFT_AT_SHUTDOWN, L"[Resource] 리소스가 해제되지 않았습니다. (핸들 : %lu)",
              LogHandle(handle));
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

// The object is claimed first, so a second registration of it (in this pool
// or another, from any thread) is refused before either map is touched.
bool IResourcePool::Register(const std::wstring* pName, uint32_t handle, IResource* res)
{
    if (!res)
        return false;

    COruLock lock(m_cs);
    if (m_bClosing)
        return false;   // a destructor called back while the pool is being destroyed
    if (res->m_bRegistered.exchange(true)) {
        LogTo(m_pLogSystem, LEVEL_REGISTER,
              L"RegisterRes:: [Resource] 이미 리소스풀에 등록된 리소스는 다시 등록할 수 없음. (Handle : %lu)",
              LogHandle(handle));
        return false;
    }
    if (!Enter(pName, handle, res)) {
        res->m_bRegistered.store(false);
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

// Each map is tried once; when the name turns out to be taken (or memory
// runs out) after the handle was entered, the handle's entry is withdrawn, so
// a refused registration leaves the pool as it was.
bool IResourcePool::Enter(const std::wstring* pName, uint32_t handle, IResource* res)
{
    CResourceMap::iterator itEntry;
    try {
        bool added = false;
        std::tie(itEntry, added) = m_mapResource.try_emplace(handle, CEntry{res, nullptr});
        if (!added)
            return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (!pName)
        return true;
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
    const unsigned long handle = LogHandle(it->first);
    if (it->second.m_pName)
        LogTo(m_pLogSystem, LEVEL_REGISTER, formats.m_szName, it->second.m_pName->c_str(), handle);
    LogTo(m_pLogSystem, LEVEL_REGISTER, formats.m_szResource, handle);
    delete Withdraw(it);
}

// Takes the entry out of both maps and hands back its resource, still alive:
// the caller deletes it once the pool no longer leads to it.
IResource* IResourcePool::Withdraw(CResourceMap::iterator it)
{
    const CEntry entry = it->second;
    if (entry.m_pName)
        m_mapName.erase(m_mapName.find(*entry.m_pName));
    m_mapResource.erase(it);
    return entry.m_pResource;
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

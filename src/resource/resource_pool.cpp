// The pool keeps two open-addressing hash maps: handles to registrations,
// and, for the named ones, names to those same registrations. A lookup, a
// registration or a release probes a few neighbouring slots of one flat
// array instead of following bucket lists through nodes spread over the
// heap, which is what made an operation slower as the pool grew once the
// maps no longer fitted in the cache.
//
// A registration is one heap block (CRecord): the resource, its handle and
// the characters of its name. Both maps hold a pointer to it, so their slots
// stay small, a lookup by name compares the name and finds the resource in
// the same block, and a release finds the name to erase without a search. A
// registration that fails leaves no trace, so a handle never has more than
// one name. Registering, looking up and releasing thus take a time that does
// not grow with the pool.
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
#include <cwchar>
#include <functional>
#include <new>
#include <string_view>
#include <tuple>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

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

namespace {

// One registration: the resource, its handle and its name's characters in
// one block, so that a lookup by name reads the name and finds the resource
// in the same place, and both maps hold a plain pointer to it (small slots
// keep the maps' arrays small enough to stay in the cache).
class CRecord {
public:
    // Null when memory runs out.
    static CRecord* Create(IResource* pResource, uint32_t handle, const std::wstring* pName)
    {
        const size_t length = pName ? pName->size() : 0;
        void* pBlock = ::operator new(sizeof(CRecord) + (length + 1) * sizeof(wchar_t), std::nothrow);
        if (!pBlock)
            return nullptr;
        auto* pRecord = new (pBlock) CRecord(pResource, handle, pName != nullptr, length);
        wchar_t* pChars = pRecord->Chars();
        if (pName)
            std::wmemcpy(pChars, pName->data(), length);
        pChars[length] = L'\0';
        return pRecord;
    }

    struct CFree {
        void operator()(CRecord* pRecord) const
        {
            pRecord->~CRecord();
            ::operator delete(pRecord);
        }
    };

    IResource* Resource() const { return m_pResource; }
    uint32_t Handle() const { return m_nHandle; }
    bool HasName() const { return m_bNamed; }
    std::wstring_view Name() const { return {Chars(), m_nNameLength}; }
    const wchar_t* NameText() const { return Chars(); }   // ends in a null

private:
    CRecord(IResource* pResource, uint32_t handle, bool named, size_t length)
        : m_pResource(pResource), m_nHandle(handle), m_bNamed(named), m_nNameLength(length)
    {
    }
    // The characters follow the record in the same block.
    wchar_t* Chars() const { return reinterpret_cast<wchar_t*>(const_cast<CRecord*>(this) + 1); }

    IResource* m_pResource;
    uint32_t m_nHandle;
    bool m_bNamed;          // an empty name is still a name
    size_t m_nNameLength;   // characters, the null not included
};
static_assert(sizeof(CRecord) % alignof(wchar_t) == 0);

// A type of its own rather than an alias: the map code's names spell it out
// many times, and debuggers that keep symbol names in a fixed buffer cannot
// read names that long.
struct CRecordPtr : std::unique_ptr<CRecord, CRecord::CFree> {
    using unique_ptr::unique_ptr;
};

// The name map holds records and finds them by a name: both functors take a
// record or a bare name.
struct CNameHash {
    using is_transparent = void;
    size_t operator()(std::wstring_view name) const { return std::hash<std::wstring_view>()(name); }
    size_t operator()(const CRecord* pRecord) const { return (*this)(pRecord->Name()); }
};

struct CNameEqual {
    using is_transparent = void;
    static std::wstring_view NameOf(std::wstring_view name) { return name; }
    static std::wstring_view NameOf(const CRecord* pRecord) { return pRecord->Name(); }
    template <class A, class B>
    bool operator()(const A& a, const B& b) const
    {
        return NameOf(a) == NameOf(b);
    }
};

}  // namespace

struct IResourcePool::CMaps {
    using CResourceMap = boost::unordered_flat_map<uint32_t, CRecordPtr>;
    using CNameMap = boost::unordered_flat_set<CRecord*, CNameHash, CNameEqual>;

    bool Enter(const std::wstring* pName, uint32_t handle, IResource* res);
    void Destroy(CResourceMap::iterator it, const CRemovalFormats& formats, CLogSystem* pLog);
    IResource* Withdraw(CResourceMap::iterator it);
    std::vector<uint32_t> SortedHandles() const;

    CResourceMap m_mapResource;   // owns the records
    CNameMap m_mapName;           // the named ones among them
};

// Each map is probed once. When the name turns out to be taken (or memory
// runs out) after the handle was entered, the handle's entry is withdrawn, so
// a refused registration leaves the pool as it was.
bool IResourcePool::CMaps::Enter(const std::wstring* pName, uint32_t handle, IResource* res)
{
    CRecordPtr pNew(CRecord::Create(res, handle, pName));
    CRecord* pRecord = pNew.get();
    if (!pRecord)
        return false;
    CResourceMap::iterator itEntry;
    try {
        bool added = false;
        std::tie(itEntry, added) = m_mapResource.try_emplace(handle, std::move(pNew));
        if (!added)
            return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (!pName)
        return true;
    try {
        if (m_mapName.insert(pRecord).second)
            return true;
    } catch (const std::bad_alloc&) {
    }
    m_mapResource.erase(itEntry);
    return false;
}

void IResourcePool::CMaps::Destroy(CResourceMap::iterator it, const CRemovalFormats& formats, CLogSystem* pLog)
{
    const CRecord& record = *it->second;
    const unsigned long handle = LogHandle(record.Handle());
    if (record.HasName())
        LogTo(pLog, LEVEL_REGISTER, formats.m_szName, record.NameText(), handle);
    LogTo(pLog, LEVEL_REGISTER, formats.m_szResource, handle);
    delete Withdraw(it);
}

// Takes the entry out of both maps and hands back its resource, still alive:
// the caller deletes it once the pool no longer leads to it.
IResource* IResourcePool::CMaps::Withdraw(CResourceMap::iterator it)
{
    const CRecordPtr pRecord = std::move(it->second);
    if (pRecord->HasName())
        m_mapName.erase(pRecord->Name());
    m_mapResource.erase(it);
    return pRecord->Resource();
}

std::vector<uint32_t> IResourcePool::CMaps::SortedHandles() const
{
    std::vector<uint32_t> handles;
    handles.reserve(m_mapResource.size());
    for (const auto& [handle, entry] : m_mapResource)
        handles.push_back(handle);
    std::sort(handles.begin(), handles.end());
    return handles;
}

IResourcePool::IResourcePool()
    : m_pMaps(std::make_unique<CMaps>()), m_pLogSystem(nullptr), m_bGarbageCollect(false), m_bClosing(false)
{
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
    CMaps& maps = *m_pMaps;
    std::vector<uint32_t> handles;
    try {
        handles = maps.SortedHandles();
    } catch (const std::bad_alloc&) {
        handles.clear();   // out of memory: deleted in no set order below
    }
    for (uint32_t handle : handles) {
        auto it = maps.m_mapResource.find(handle);
        if (it != maps.m_mapResource.end())
            delete maps.Withdraw(it);
    }
    while (!maps.m_mapResource.empty())
        delete maps.Withdraw(maps.m_mapResource.begin());
}

// Names first in ascending order, then handles in ascending order. Out of
// memory, the report is lost; the resources are still deleted.
void IResourcePool::ReportLeftovers()
{
    if (!m_pLogSystem)
        return;
    std::vector<const CRecord*> names;
    std::vector<uint32_t> handles;
    try {
        names.reserve(m_pMaps->m_mapName.size());
        names.assign(m_pMaps->m_mapName.begin(), m_pMaps->m_mapName.end());
        handles = m_pMaps->SortedHandles();
    } catch (const std::bad_alloc&) {
        return;
    }
    std::sort(names.begin(), names.end(), [](auto* a, auto* b) { return a->Name() < b->Name(); });

    for (const CRecord* pRecord : names)
        LogTo(m_pLogSystem, LEVEL_LEFT_AT_SHUTDOWN, L"[Resource] %ls 리소스가 해제되지 않았습니다. (핸들 : %lu)",
              pRecord->NameText(), LogHandle(pRecord->Handle()));
    for (uint32_t handle : handles)
        LogTo(m_pLogSystem, LEVEL_LEFT_AT_SHUTDOWN, L"[Resource] 리소스가 해제되지 않았습니다. (핸들 : %lu)",
              LogHandle(handle));
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
    if (!m_pMaps->Enter(pName, handle, res)) {
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

uint32_t IResourcePool::GetResHandle(const std::wstring& name)
{
    COruLock lock(m_cs);
    auto itName = m_pMaps->m_mapName.find(std::wstring_view(name));
    if (itName == m_pMaps->m_mapName.end())
        return 0;
    (*itName)->Resource()->AddRefCnt();
    return (*itName)->Handle();
}

IResource* IResourcePool::GetResourceFromHandle(uint32_t handle)
{
    auto it = m_pMaps->m_mapResource.find(handle);
    return it == m_pMaps->m_mapResource.end() ? nullptr : it->second->Resource();
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
    auto it = m_pMaps->m_mapResource.find(handle);
    if (it == m_pMaps->m_mapResource.end())
        return false;

    IResource* pResource = it->second->Resource();
    pResource->DecRefCnt();
    if (!m_bGarbageCollect && pResource->IsRelease())
        m_pMaps->Destroy(it, REMOVAL_FORMATS[remover], m_pLogSystem);
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
        handles = m_pMaps->SortedHandles();
    } catch (const std::bad_alloc&) {
        return;   // nothing collected now; the next pass tries again
    }
    // Each handle is looked up again: a destructor may call back into the
    // pool and release other resources.
    for (uint32_t handle : handles) {
        auto it = m_pMaps->m_mapResource.find(handle);
        if (it != m_pMaps->m_mapResource.end() && it->second->Resource()->IsRelease())
            m_pMaps->Destroy(it, REMOVAL_FORMATS[REMOVER_GARBAGE_COLLECT], m_pLogSystem);
    }
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
        handles = m_pMaps->SortedHandles();
    } catch (const std::bad_alloc&) {
        // Out of memory: every resource is still reached, in no set order.
        for (auto& [handle, pRecord] : m_pMaps->m_mapResource)
            visit(pRecord->Resource());
        return;
    }
    for (uint32_t handle : handles) {
        auto it = m_pMaps->m_mapResource.find(handle);
        if (it != m_pMaps->m_mapResource.end())
            visit(it->second->Resource());
    }
}

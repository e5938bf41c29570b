#pragma once

#include <oru/core/critical_section.h>
#include <oru/core/export.h>
#include <oru/core/non_copyable.h>
#include <oru/resource/resource.h>

#include <cstdint>
#include <memory>
#include <string>

class CLogSystem;

// The base of the engine's resource caches. A derived pool creates resources
// and picks their handles (any 32-bit value; 0 is what a failed lookup
// returns); this class keeps them under the handle and optionally a name,
// counts references, and destroys a resource when its last reference goes:
// at once by default, or at the next GarbageCollect when the garbage-collect
// flag is set.
//
// The pool owns every resource it accepted and deletes it at the latest in
// its own destructor, whatever its count. Every public operation is
// thread-safe (one recursive lock per pool, held for the whole call; a
// resource's destructor, OnDisable and OnRestore run under it). Registration
// and release are logged at level 5, resources left at destruction at level
// 3, through the log set with SetLogSystem.
//
// Not copyable: a copy would delete the same resources a second time.
class ORU_API IResourcePool : private COruNonCopyable {
public:
    IResourcePool();
    // Logs every name and every resource still registered and deletes the
    // resources. Their destructors may call back into the pool (releasing
    // other resources, looking them up); a registration made from one is
    // refused.
    virtual ~IResourcePool();

    void SetGarbageCollect(bool enable);
    // Not owned; null silences the pool.
    void SetLogSystem(CLogSystem* log);

    // Registers `res` under `name` and `handle` with one reference and takes
    // ownership. False, with nothing changed and `res` still the caller's,
    // when the name or the handle is taken, `res` is null, `res` is already
    // registered (here or in another pool: logged at level 5), or memory runs
    // out. Names are case-sensitive.
    bool RegisterRes(const std::wstring& name, uint32_t handle, IResource* res);
    // The same without a name: GetResHandle will not find it.
    bool RegisterRes(uint32_t handle, IResource* res);

    // The handle registered under `name` with one reference added; 0 (and
    // nothing changed) when there is none.
    uint32_t GetResHandle(const std::wstring& name);

    // The resource under `handle`, or null. The count is not touched and the
    // pool keeps ownership.
    IResource* GetResourceFromHandle_Lock(uint32_t handle);

    // Drops one reference. With the garbage-collect flag clear, a resource
    // whose count reaches exactly 0 is destroyed at once. True, with `handle`
    // set to 0, when the handle was registered; false with `handle` untouched
    // otherwise.
    bool ReleaseRes_Lock(uint32_t& handle);
    // Drops one reference but never destroys, in either mode.
    bool ReleaseResNoGarbageCollect(uint32_t& handle);

    // With the flag set, destroys every resource whose count is exactly 0;
    // with the flag clear, does nothing.
    void GarbageCollect();

    // OnDisable / OnRestore on every resource in ascending handle order,
    // whatever its count.
    void Disable();
    void Restore();

protected:
    // For derived pools that combine several steps under one hold. The lock
    // is recursive, so the public operations may be called in between.
    void Lock();
    void Unlock();

    // The unlocked forms, to be called between Lock() and Unlock().
    IResource* GetResourceFromHandle(uint32_t handle);
    bool ReleaseRes(uint32_t& handle);

private:
    // The two hash maps (by handle, and by name for the named resources)
    // live in the library's source, so this header needs none of their
    // definitions.
    struct CMaps;

    // Which operation removes an entry; it chooses the log lines' wording.
    enum eRemover { REMOVER_RELEASE, REMOVER_RELEASE_LOCK, REMOVER_GARBAGE_COLLECT };

    bool Release(uint32_t& handle, eRemover remover);
    bool Register(const std::wstring* pName, uint32_t handle, IResource* res);
    void ReportLeftovers();
    template <class Visit>
    void ForEachInHandleOrder(Visit visit);

    std::unique_ptr<CMaps> m_pMaps;
    CLogSystem* m_pLogSystem;
    bool m_bGarbageCollect;
    bool m_bClosing;   // the destructor runs: nothing new is accepted
    COruCriticalSection m_cs;
};

#pragma once

#include <oru/core/export.h>
#include <oru/resource/ref_counter.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

class IResourcePool;

// Anything a resource pool holds. The maker creates it with plain new; once a
// pool has accepted it, the pool owns it and deletes it through the virtual
// destructor when its count allows. The pool writes the handle it was
// registered under; nothing else changes it. One object is registered at most
// once, in one pool: a second registration, in any pool, is refused.
class ORU_API IResource : public CRefCounter {
public:
    IResource() = default;
    // A copy carries the source's count and handle but is a new object that
    // no pool has registered yet; assignment leaves the target's own
    // registration as it was.
    IResource(const IResource& other) : CRefCounter(other), m_hHandle(other.m_hHandle) {}
    IResource& operator=(const IResource& other)
    {
        CRefCounter::operator=(other);
        m_hHandle = other.m_hHandle;
        return *this;
    }
    ~IResource() override;

    // The bytes this resource keeps in memory, for a derived pool's budget or
    // a game's statistics. The library itself never calls it.
    virtual size_t GetMemorySize() = 0;
    // Called on every registered resource by IResourcePool::Disable, for
    // example when the device that backs it is lost. The result is ignored.
    virtual bool OnDisable() = 0;
    // Called on every registered resource by IResourcePool::Restore. The
    // result is ignored.
    virtual bool OnRestore() = 0;

    // The handle the pool registered this resource under; 0 before that.
    uint32_t GetHandle() const { return m_hHandle; }

private:
    friend class IResourcePool;

    uint32_t m_hHandle = 0;
    // Claimed by the pool that accepts this object, before it is entered,
    // so that two pools registering it at once cannot both take it.
    std::atomic<bool> m_bRegistered{false};
};

#pragma once

#include <oru/core/critical_section.h>
#include <oru/core/export.h>
#include <oru/property/prop_object.h>

// A reference count whose every read and change is serialised by one lock
// that all counters in the process share. The count has no floor: releasing
// a counter at 0 takes it to -1, and only exactly 0 counts as released.
class ORU_API CRefCounter : public CPropObject {
public:
    CRefCounter() = default;
    // Copying takes the source's count as it stands, without the lock.
    CRefCounter(const CRefCounter& other) : CPropObject(other), m_nRefCnt(other.m_nRefCnt) {}
    CRefCounter& operator=(const CRefCounter& other)
    {
        m_nRefCnt = other.m_nRefCnt;
        return *this;
    }
    ~CRefCounter() override;

    // Thread-safe, on any object from any thread.
    void AddRefCnt();
    void DecRefCnt();
    int GetRefCnt();
    // True when the count is exactly 0 (a negative count is not released).
    bool IsRelease();

protected:
    // Shared by every counter in the process. Held only for one read or one
    // change; a pool takes its own lock before this one, never after.
    static COruCriticalSection m_CS;

private:
    int m_nRefCnt = 0;
};

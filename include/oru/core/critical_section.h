#pragma once

#include <oru/core/export.h>
#include <oru/core/non_copyable.h>

#include <mutex>

// The library's lock: recursive, usable right after construction. The thread
// that holds it may enter again; it is free once every Enter has its Leave.
//
// A section can be a static object that other static objects use while the
// library loads: its constructor is constant-evaluated, so it exists before
// any code of the library runs.
class ORU_API COruCriticalSection {
public:
    constexpr COruCriticalSection() noexcept {}
    virtual ~COruCriticalSection();

    // A copy never shares the platform lock of a live section: it gets a
    // fresh, unlocked lock of its own, and assignment leaves both locks as
    // they are.
    COruCriticalSection(const COruCriticalSection&) noexcept : COruCriticalSection() {}
    COruCriticalSection& operator=(const COruCriticalSection&) noexcept { return *this; }

    // Blocks until the calling thread holds the lock, one level deeper.
    void Enter();
    // Never blocks: non-zero when the caller now holds the lock (also when it
    // already did, one level deeper), 0 when another thread holds it.
    int TryEnter();
    // Gives up one level of the caller's hold.
    void Leave();

private:
    std::recursive_mutex m_mutex;
};

// Holds a section for the lifetime of a scope; left on every return.
class COruLock : private COruNonCopyable {
public:
    explicit COruLock(COruCriticalSection& cs) : m_cs(cs) { m_cs.Enter(); }
    ~COruLock() { m_cs.Leave(); }

private:
    COruCriticalSection& m_cs;
};

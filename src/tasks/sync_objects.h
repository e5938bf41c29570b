#pragma once

// The two waitable objects of the task queue and its manager, built on the
// standard library so they behave the same on every platform.

#include <atomic>
#include <condition_variable>
#include <mutex>

// A counting semaphore with a ceiling. Only the non-blocking operations are
// offered: the task queue never waits for an item.
class CCountingSemaphore {
public:
    explicit CCountingSemaphore(int maximum) : m_nMaximum(maximum) {}

    // Adds one unless the count already stands at the maximum; false then,
    // with the count unchanged.
    bool Release()
    {
        int count = m_nCount.load(std::memory_order_relaxed);
        do {
            if (count >= m_nMaximum)
                return false;
        } while (!m_nCount.compare_exchange_weak(count, count + 1, std::memory_order_release,
                                                 std::memory_order_relaxed));
        return true;
    }

    // Takes one if the count is above 0; false at once otherwise.
    bool TryAcquire()
    {
        int count = m_nCount.load(std::memory_order_relaxed);
        do {
            if (count <= 0)
                return false;
        } while (!m_nCount.compare_exchange_weak(count, count - 1, std::memory_order_acquire,
                                                 std::memory_order_relaxed));
        return true;
    }

private:
    const int m_nMaximum;
    std::atomic<int> m_nCount{0};
};

// An event that stays set until it is reset, waking every waiter.
class CManualResetEvent {
public:
    void Set()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_bSet = true;
        m_cv.notify_all();
    }

    void Reset()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_bSet = false;
    }

    bool IsSet()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_bSet;
    }

    void Wait()
    {
        std::unique_lock<std::mutex> lock(m_mtx);
        m_cv.wait(lock, [this] { return m_bSet; });
    }

private:
    std::mutex m_mtx;
    std::condition_variable m_cv;
    bool m_bSet = false;
};

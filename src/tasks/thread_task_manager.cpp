// A worker thread lives while there is work, and a little longer. AddTask
// queues the task and then asks whether a worker is taking tasks; a worker
// that finds the queue empty looks once more and then stops taking. Both
// questions are asked under m_mtxWorker, which closes the gap in which a
// task could be queued after the worker's last look: either the worker sees
// the task, or AddTask sees that no worker is taking tasks and finds one.
//
// A worker that stops taking tasks reports the queue done at once (the
// completion flag, the finished event, IsBusy), exactly as if it ended, and
// only then waits up to WORKER_LINGER for more work before its thread ends.
// AddTask hands a new task to such an idle worker by waking it, and counts it
// as taking tasks again before it leaves the lock; only when no worker is
// idle does it start a thread. A producer that the worker keeps catching up
// with thus pays a wake-up, not a thread creation, per catch-up, while
// WaitUntilFinished, IsBusy and GetComplete still see the queue done the
// moment it is empty and no callback runs.
//
// A worker's thread is joined later, when a newer worker starts or the
// manager is destroyed; by then it has at most a few instructions left. The
// destructor wakes idle workers so that none lingers on.

#include <oru/tasks/thread_task_manager.h>

#include <oru/log/log_system.h>

#include "log/core_log.h"
#include "platform/fault_signals.h"
#include "tasks/producer_consumer_queue.h"
#include "tasks/sync_objects.h"

#include <atomic>
#include <chrono>
#include <new>
#include <system_error>
#include <thread>

template class CSingleton<CThreadTaskManager>;

namespace {

// Long enough to bridge the gaps of a producer that adds tasks about as fast
// as the worker runs them, short enough that an idle worker is gone in well
// under a millisecond.
constexpr auto WORKER_LINGER = std::chrono::microseconds(200);

}  // namespace

struct CThreadTaskManager::CWorker {
    std::thread m_Thread;
    std::atomic<bool> m_bEnded{false};   // the thread has left its routine
};

CThreadTaskManager::CThreadTaskManager()
    : m_pQueue(std::make_unique<CProducerConsumerQueue>(oru::detail::GetCoreLog())),
      m_pFinished(std::make_unique<CManualResetEvent>()),
      m_nActiveWorkers(0),
      m_nIdleWorkers(0),
      m_nWakeCalls(0),
      m_bStopping(false),
      m_bComplete(false)
{
}

CThreadTaskManager::~CThreadTaskManager()
{
    WaitUntilFinished();

    // Idle workers need the lock to see that they are told to end, so the
    // threads are joined after it is released.
    std::vector<std::unique_ptr<CWorker>> workers;
    {
        std::lock_guard<std::mutex> lock(m_mtxWorker);
        m_bStopping = true;
        m_cvWork.notify_all();
        if (m_pWorker)
            m_vecRetired.push_back(std::move(m_pWorker));
        workers.swap(m_vecRetired);
    }
    for (auto& pWorker : workers) {
        if (!pWorker->m_Thread.joinable())
            continue;
        // Destroyed from inside a callback (which the contract forbids), the
        // worker cannot join itself; letting it go is all that is left.
        if (pWorker->m_Thread.get_id() == std::this_thread::get_id())
            pWorker->m_Thread.detach();
        else
            pWorker->m_Thread.join();
    }
}

// A refused task is the caller's to retry or run itself; the debug channel
// names it by its callback and arguments (the record's address says nothing:
// the next record takes the same memory).
bool CThreadTaskManager::AddTask(void* data, OruTaskCallback callback, void* param)
{
    CThreadTask* task = new (std::nothrow) CThreadTask(data, callback, param);
    const wchar_t* refusal = !task ? L"out of memory" : !m_pQueue->Add(task) ? L"the queue is full" : nullptr;
    if (refusal) {
        delete task;
        OutputDebug(L"CThreadTaskManager::AddTask: task refused, %ls (callback %p, data %p, param %p)", refusal,
                    reinterpret_cast<void*>(callback), data, param);
        return false;
    }

    std::lock_guard<std::mutex> lock(m_mtxWorker);
    if (m_nActiveWorkers > 0)
        return true;   // a worker taking tasks will see this one
    if (m_nIdleWorkers > 0)
        WakeIdleWorker();
    else
        StartWorker();
    return true;
}

void CThreadTaskManager::BeginThread()
{
    std::lock_guard<std::mutex> lock(m_mtxWorker);
    StartWorker();
}

// Called with m_mtxWorker held, as work begins again.
void CThreadTaskManager::MarkWorking()
{
    {
        COruLock lock(m_cs);
        m_bComplete = false;
    }
    m_pFinished->Reset();
}

// Called with m_mtxWorker held. The woken worker counts as taking tasks from
// here on, before it has even woken, so that nothing in between reports the
// queue done.
void CThreadTaskManager::WakeIdleWorker()
{
    MarkWorking();
    --m_nIdleWorkers;
    ++m_nActiveWorkers;
    ++m_nWakeCalls;
    m_cvWork.notify_one();
}

// Called with m_mtxWorker held.
void CThreadTaskManager::StartWorker()
{
    MarkWorking();

    if (m_pWorker)
        m_vecRetired.push_back(std::move(m_pWorker));
    JoinEndedWorkers();

    auto pWorker = std::make_unique<CWorker>();
    try {
        pWorker->m_Thread = std::thread(&CThreadTaskManager::WorkerMain, this, pWorker.get());
    } catch (const std::system_error&) {
        return;   // no worker; the next AddTask tries again
    }
    m_pWorker = std::move(pWorker);
    ++m_nActiveWorkers;
}

// Called with m_mtxWorker held. Threads that have left their routine are
// joined at once; the others stay until a later call or the destructor.
void CThreadTaskManager::JoinEndedWorkers()
{
    auto it = m_vecRetired.begin();
    while (it != m_vecRetired.end()) {
        if ((*it)->m_bEnded.load(std::memory_order_acquire)) {
            (*it)->m_Thread.join();
            it = m_vecRetired.erase(it);
        } else {
            ++it;
        }
    }
}

void CThreadTaskManager::WorkerMain(CWorker* pWorker)
{
    // Lets the crash handler report a stack overflow in a callback.
    oru::platform::CThreadAltStack altStack;
    Thread_Entry();
    pWorker->m_bEnded.store(true, std::memory_order_release);
}

void CThreadTaskManager::Thread_Entry()
{
    for (;;) {
        CThreadTask* task = nullptr;
        if (!m_pQueue->Remove(task)) {
            std::unique_lock<std::mutex> lock(m_mtxWorker);
            if (!m_pQueue->Remove(task)) {
                StopTaking();
                if (!AwaitMoreWork(lock))
                    return;
                continue;
            }
        }
        if (task) {
            task->Run();
            delete task;
        }
    }
}

// Called with m_mtxWorker held by a worker that found the queue empty: the
// decision to stop taking tasks. The flag and the event change under the
// same lock, so a worker started or woken right after cannot have its state
// overwritten by this one.
void CThreadTaskManager::StopTaking()
{
    if (m_nActiveWorkers > 0)
        --m_nActiveWorkers;
    if (m_nActiveWorkers > 0)
        return;
    {
        COruLock flagLock(m_cs);
        m_bComplete = true;
    }
    m_pFinished->Set();
}

// Called with m_mtxWorker held by a worker that has stopped taking tasks.
// True when AddTask woke it for a new task (and already counts it as taking
// tasks); false when the linger ran out or the manager is being destroyed,
// and the thread should end.
bool CThreadTaskManager::AwaitMoreWork(std::unique_lock<std::mutex>& lock)
{
    ++m_nIdleWorkers;
    m_cvWork.wait_for(lock, WORKER_LINGER, [this] { return m_nWakeCalls > 0 || m_bStopping; });
    if (m_nWakeCalls > 0) {
        --m_nWakeCalls;
        return true;
    }
    --m_nIdleWorkers;
    return false;
}

// Called with m_mtxWorker held. Every worker not yet joined counts, not only
// the newest: BeginThread may have started another while a callback still
// runs on an older one.
bool CThreadTaskManager::IsWorkerThread() const
{
    const std::thread::id self = std::this_thread::get_id();
    if (m_pWorker && m_pWorker->m_Thread.get_id() == self)
        return true;
    for (const auto& pWorker : m_vecRetired)
        if (pWorker->m_Thread.get_id() == self)
            return true;
    return false;
}

void CThreadTaskManager::WaitUntilFinished()
{
    {
        std::lock_guard<std::mutex> lock(m_mtxWorker);
        // From inside a callback the worker would wait for itself forever.
        if (m_nActiveWorkers == 0 || IsWorkerThread())
            return;
    }
    m_pFinished->Wait();
}

bool CThreadTaskManager::IsBusy()
{
    std::lock_guard<std::mutex> lock(m_mtxWorker);
    return m_nActiveWorkers > 0;
}

bool CThreadTaskManager::GetComplete()
{
    COruLock lock(m_cs);
    return m_bComplete;
}

CThreadTaskManager& OruThreadTaskManager()
{
    return CSingleton<CThreadTaskManager>::GetInstance();
}

#pragma once

#include <oru/core/critical_section.h>
#include <oru/core/export.h>
#include <oru/core/non_copyable.h>
#include <oru/core/singleton.h>
#include <oru/tasks/thread_task.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

class CProducerConsumerQueue;
class CManualResetEvent;

// The singleton is instantiated once inside the library and shared with the
// game. Declared before the class, whose base it is, so that the export
// attribute applies to the instantiation.
class CThreadTaskManager;
extern template class ORU_API CSingleton<CThreadTaskManager>;

// The process's background worker: callbacks queued with AddTask run one at
// a time, in the order they were added, on a thread of the library's own.
// The thread exists only while there is work: AddTask starts one when none
// is taking tasks, and once it finds the queue empty it reports the queue
// done and waits a fraction of a millisecond for more work before it ends.
// At most 1024 tasks wait at a time; AddTask refuses one more.
//
// AddTask may be called from any thread, also from inside a callback. The
// other operations are meant for one controlling thread. Reach the manager
// through OruThreadTaskManager() or CSingleton<CThreadTaskManager>.
//
// Not copyable: a copy would share the queue and the worker of its source.
class ORU_API CThreadTaskManager : public CSingleton<CThreadTaskManager>,
                                   private COruNonCopyable {
public:
    CThreadTaskManager();
    // Waits for a running worker to drain the queue first. Must not run
    // inside a callback.
    virtual ~CThreadTaskManager();

    // Queues callback(data, param) and makes sure a worker will take it.
    // False when the task was refused (1024 tasks already wait, or memory ran
    // out): it will not run, and the caller may retry or run it itself. Each
    // refusal is also written to the debug channel.
    bool AddTask(void* data, OruTaskCallback callback, void* param);
    // Starts a new worker, even while another one runs (both then take from
    // the same queue, and the order between them is lost). AddTask does this
    // when it is needed; a failed thread creation leaves no worker, and the
    // next AddTask tries again.
    void BeginThread();
    // The worker's loop: runs queued tasks until the queue is empty, then
    // waits briefly for more. Runs on the worker thread.
    void Thread_Entry();
    // Blocks until the workers have drained the queue; returns at once when
    // none is taking tasks or when called from inside a callback (on any
    // worker, the newest or an older one still running).
    void WaitUntilFinished();
    // True from AddTask (or BeginThread) until the workers find the queue
    // empty with no callback running; a worker thread that only waits for
    // more work does not count.
    bool IsBusy();
    // True once the workers have drained the queue; false again when work
    // is handed to a worker.
    bool GetComplete();

private:
    struct CWorker;

    void StartWorker();
    void WakeIdleWorker();
    void MarkWorking();
    void StopTaking();
    bool AwaitMoreWork(std::unique_lock<std::mutex>& lock);
    void WorkerMain(CWorker* pWorker);
    void JoinEndedWorkers();
    bool IsWorkerThread() const;

    std::unique_ptr<CProducerConsumerQueue> m_pQueue;
    COruCriticalSection m_cs;                    // guards m_bComplete only
    std::unique_ptr<CManualResetEvent> m_pFinished;
    // Guards the workers and their counts. A worker decides to stop taking
    // tasks and AddTask decides whether it needs one under this same lock, so
    // a task added while the last worker is stopping is never stranded.
    mutable std::mutex m_mtxWorker;
    std::condition_variable m_cvWork;            // wakes idle workers
    std::unique_ptr<CWorker> m_pWorker;          // the most recently started
    std::vector<std::unique_ptr<CWorker>> m_vecRetired;  // earlier ones, not yet joined
    int m_nActiveWorkers;                        // started or woken, still taking tasks
    int m_nIdleWorkers;                          // waiting briefly for more work
    int m_nWakeCalls;                            // handed out by AddTask, not yet taken
    bool m_bStopping;                            // the destructor runs: idle workers end
    bool m_bComplete;
};

// The manager, created on first use; the same as
// CSingleton<CThreadTaskManager>::GetInstance().
ORU_API CThreadTaskManager& OruThreadTaskManager();

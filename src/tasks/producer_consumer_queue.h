#pragma once

#include "tasks/sync_objects.h"

#include <oru/core/critical_section.h>
#include <oru/core/non_copyable.h>

#include <deque>

class CLogSystem;
class CThreadTask;

// The bounded first-in-first-out queue between the threads that add tasks
// and the worker that takes them. The semaphore counts the items the worker
// may still take and caps them at MAX_ITEMS; the list holds them. Every add,
// refusal and removal leaves a trace line at level 3 in the given log.
//
// Add is thread-safe; Remove is for the worker. Neither ever blocks for
// long. The queue owns the records it holds and deletes those still there
// when it is destroyed, without running them.
class CProducerConsumerQueue : private COruNonCopyable {
public:
    static constexpr int MAX_ITEMS = 1024;
    static constexpr int TRACE_LEVEL = 3;

    explicit CProducerConsumerQueue(CLogSystem* pLog);
    virtual ~CProducerConsumerQueue();

    // Appends `task` and takes ownership; false when MAX_ITEMS items are
    // already waiting, with the list unchanged and `task` still the caller's.
    bool Add(CThreadTask* task);
    // Takes the oldest record without waiting; false when there is none.
    bool Remove(CThreadTask*& task);

private:
    enum eSignal { SIGNAL_ITEM, SIGNAL_STOP, SIGNAL_NONE };
    eSignal PollSignals();

    CCountingSemaphore m_Semaphore;
    CManualResetEvent m_StopEvent;   // never signalled by the library
    COruCriticalSection m_cs;        // the list and the trace lines
    std::deque<CThreadTask*> m_dqTasks;
    CLogSystem* m_pLog;
};

#include "tasks/producer_consumer_queue.h"

#include <oru/log/log_system.h>
#include <oru/tasks/thread_task.h>

#include <cstdint>
#include <new>

namespace {

// The trace names a record by its address.
unsigned long TraceAddress(const CThreadTask* task)
{
    return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(task));
}

}  // namespace

CProducerConsumerQueue::CProducerConsumerQueue(CLogSystem* pLog)
    : m_Semaphore(MAX_ITEMS), m_pLog(pLog)
{
}

CProducerConsumerQueue::~CProducerConsumerQueue()
{
    for (CThreadTask* task : m_dqTasks)
        delete task;
}

// The item goes into the list before the semaphore is told, so the count
// never promises an item that is not there; when the semaphore is at its
// ceiling the item is taken off again.
bool CProducerConsumerQueue::Add(CThreadTask* task)
{
    COruLock lock(m_cs);
    try {
        m_dqTasks.push_back(task);
    } catch (const std::bad_alloc&) {
        return false;
    }

    if (m_Semaphore.Release()) {
        OruSafeLog(m_pLog, TRACE_LEVEL, L"\nCProducerConsumerQueue: Item [%lx] Added! Items in queue: %d",
                   TraceAddress(task), static_cast<int>(m_dqTasks.size()));
        return true;
    }

    m_dqTasks.pop_back();
    OruSafeLog(m_pLog, TRACE_LEVEL, L"\nCProducerConsumerQueue: Queue is full! cannot add object! [%lx] size=%d",
               TraceAddress(task), static_cast<int>(m_dqTasks.size()));
    return false;
}

// A zero-time wait on the semaphore and the stop event together; the
// semaphore wins when both are signalled.
CProducerConsumerQueue::eSignal CProducerConsumerQueue::PollSignals()
{
    if (m_Semaphore.TryAcquire())
        return SIGNAL_ITEM;
    if (m_StopEvent.IsSet())
        return SIGNAL_STOP;
    return SIGNAL_NONE;
}

bool CProducerConsumerQueue::Remove(CThreadTask*& task)
{
    if (PollSignals() != SIGNAL_ITEM)
        return false;

    COruLock lock(m_cs);
    bool taken = false;
    if (!m_dqTasks.empty()) {
        task = m_dqTasks.front();
        m_dqTasks.pop_front();
        taken = true;
    }
    OruSafeLog(m_pLog, TRACE_LEVEL, L"\nCProducerConsumerQueue: Item [%lx] Removed! Items in queue: %d",
               TraceAddress(task), static_cast<int>(m_dqTasks.size()));
    return taken;
}

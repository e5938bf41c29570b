#include <oru/core/critical_section.h>

COruCriticalSection::~COruCriticalSection() = default;

void COruCriticalSection::Enter()
{
    m_mutex.lock();
}

int COruCriticalSection::TryEnter()
{
    return m_mutex.try_lock() ? 1 : 0;
}

void COruCriticalSection::Leave()
{
    m_mutex.unlock();
}

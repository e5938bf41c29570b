#include <oru/log/exception_handler.h>

#include "platform/fault_signals.h"

#include <new>

COruThreadCrashStack::COruThreadCrashStack()
    : m_pStack(new (std::nothrow) oru::platform::CThreadAltStack)
{
}

COruThreadCrashStack::~COruThreadCrashStack()
{
    delete static_cast<oru::platform::CThreadAltStack*>(m_pStack);
}

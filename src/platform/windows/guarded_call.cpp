#include "guarded_call.h"

#include "native_context.h"
#include "platform/fault_codes.h"

namespace oru::platform {

namespace detail {
std::atomic<uint32_t> g_nGuardedThread{0};
void* g_recovery[5] = {};

uint32_t CurrentThread()
{
    return static_cast<uint32_t>(GetCurrentThreadId());
}
}  // namespace detail

namespace {

// The faults of a bad pointer or bad code. Other exceptions (a debugger's
// messages, a thread's name, those the code catches itself) go on.
bool IsProcessorFault(uint32_t code)
{
    switch (code) {
    case FAULT_ACCESS_VIOLATION:
    case FAULT_IN_PAGE_ERROR:
    case FAULT_DATATYPE_MISALIGNMENT:
    case FAULT_ILLEGAL_INSTRUCTION:
    case FAULT_PRIV_INSTRUCTION:
    case FAULT_INT_DIVIDE_BY_ZERO:
    case FAULT_ARRAY_BOUNDS_EXCEEDED:
        return true;
    default:
        return false;
    }
}

}  // namespace

void ResumeGuardedCall(uint32_t faultCode)
{
    const uint32_t guarded = detail::g_nGuardedThread.load();
    if (guarded == 0 || guarded != detail::CurrentThread() || !IsProcessorFault(faultCode))
        return;
    // The exception's dispatch runs on this thread's stack below the guarded
    // call; jumping back up leaves it behind.
    __builtin_longjmp(detail::g_recovery, 1);
}

}  // namespace oru::platform

#include "platform/thread_id.h"

#include "native_context.h"

namespace oru::platform {

uint32_t CurrentProcessId()
{
    return static_cast<uint32_t>(GetCurrentProcessId());
}

// The system names a user by a security identifier, not a number. The only
// reader of these ids is the pack mount, which this system does not have.
uint32_t CurrentUserId()
{
    return 0;
}

uint32_t CurrentGroupId()
{
    return 0;
}

long CurrentThreadId()
{
    return static_cast<long>(GetCurrentThreadId());
}

}  // namespace oru::platform

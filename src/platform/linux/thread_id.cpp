#include "platform/thread_id.h"

#include <unistd.h>

namespace oru::platform {

uint32_t CurrentProcessId()
{
    return static_cast<uint32_t>(getpid());
}

uint32_t CurrentUserId()
{
    return static_cast<uint32_t>(getuid());
}

uint32_t CurrentGroupId()
{
    return static_cast<uint32_t>(getgid());
}

long CurrentThreadId()
{
    return static_cast<long>(gettid());
}

}  // namespace oru::platform

#include "platform/thread_id.h"

#include <unistd.h>

namespace oru::platform {

uint32_t CurrentProcessId()
{
    return static_cast<uint32_t>(getpid());
}

long CurrentThreadId()
{
    return static_cast<long>(gettid());
}

}  // namespace oru::platform

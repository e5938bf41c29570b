#include "platform/thread_id.h"

#include <unistd.h>

namespace oru::platform {

uint32_t CurrentProcessId()
{
    return static_cast<uint32_t>(getpid());
}

uint32_t CurrentThreadId()
{
    return static_cast<uint32_t>(gettid());
}

}  // namespace oru::platform

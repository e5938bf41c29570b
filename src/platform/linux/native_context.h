#pragma once

// The machine context of a thread as the system gives it to a fault handler.

#include <ucontext.h>

namespace oru::platform {

using MachineContext = ucontext_t;

}  // namespace oru::platform

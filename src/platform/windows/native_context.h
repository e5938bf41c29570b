#pragma once

// The machine context of a thread as the system gives it to a fault handler.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace oru::platform {

using MachineContext = CONTEXT;

}  // namespace oru::platform

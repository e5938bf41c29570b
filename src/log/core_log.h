#pragma once

// The library's process-wide core log: a file log in the log folder set up by
// OruCoreLogInitialize, written to by the library's own services (the task
// queue's trace lines). The instance is created on first request, whether or
// not the host has initialised it (until then it accepts nothing), and is
// never destroyed: a service may write to it until the process ends.

#include <oru/core/singleton.h>
#include <oru/log/log_system.h>

class CCoreLog : public CLogSystem, public CSingleton<CCoreLog> {
private:
    // Nothing may destroy the core log.
    using CSingleton<CCoreLog>::DeleteInstance;
};

extern template class CSingleton<CCoreLog>;

namespace oru::detail {

// The core log, created on first call; null only when it cannot be allocated.
CLogSystem* GetCoreLog();

}  // namespace oru::detail

// The library's load-time objects, in the order in which they come into being
// when the process loads liboru_core.so:
//
//   1. the log folder is read from the environment, and the crash handler is
//      installed as the handler of fatal signals;
//   2. the conversion lock;
//   3-5. the locks of the core log, pack manager and profiler singletons;
//   6. the run-time fields of the property tables;
//   7. the lock shared by every reference counter;
//   8. the lock of the task manager singleton.
//
// Every lock is a COruCriticalSection, whose constructor is constant-evaluated:
// the locks exist before any code of the library runs, whatever the link
// order, and so before step 1 already. The steps that run code (1 and 6) are
// kept in this one translation unit, where C++ constructs objects in the
// order of their definitions and destroys them in reverse. No manager object
// is created at load; a host creates them on first use and deletes them
// before it unloads the library. This file sits above every subsystem
// because it starts several of them.

#include <oru/log/exception_handler.h>

#include "core/convert_internal.h"
#include "log/log_folder.h"
#include "property/property_startup.h"

#include <oru/resource/ref_counter.h>

namespace {

// 1. The crash handler, installed before the host can call anything.
struct CCrashHandlerInstaller {
    CCrashHandlerInstaller()
    {
        // Where reports go is worked out now, while allocating is still safe.
        oru::detail::InitLogFolder();
        OruSetUnhandledException();
    }
};
const CCrashHandlerInstaller s_crashHandlerInstaller;

}  // namespace

// 2. The conversion lock.
constinit COruCriticalSection g_csConvert;

// 6. The run-time words of the root property tables: TPropStruct's list, then
// CPropObject's.
namespace {
struct CPropertyTablesStartup {
    CPropertyTablesStartup() { oru::detail::InitRootPropertyLists(); }
};
const CPropertyTablesStartup s_PropertyTablesStartup;
}  // namespace

// 7. The lock shared by every reference counter.
constinit COruCriticalSection CRefCounter::m_CS;

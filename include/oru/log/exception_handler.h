#pragma once

#include <oru/core/export.h>
#include <oru/core/non_copyable.h>

// Fault codes of the library's own fatal errors.
constexpr unsigned int ORU_FAULT_GENERAL_ERROR = 0xE0000000u;
constexpr unsigned int ORU_FAULT_ASSERTION_FAILURE = 0xE0000001u;

// A fatal fault as the crash handler receives it: the code, the library
// fault's message (or null), and the faulting thread's context: a ucontext_t*
// as a signal handler receives it, or null to walk from the caller of
// OruExceptionHandler.
struct OruFaultRecord {
    unsigned int m_nCode;
    const wchar_t* m_pMessage;
    void* m_pContext;
};

// Builds the crash report for `fault`, appends it to "Exp_YYYY-MM-DD.txt" in
// the log folder ("./oru_log" unless set: see <oru/log/log_folder.h>), else
// in the user's state folder (a file that cannot be written is skipped),
// then shows it in the report window and waits until the player closes it,
// or, without a display, writes it whole to standard error. Returns 1; the
// caller then ends the process. Runs on the faulting thread.
ORU_API long OruExceptionHandler(const OruFaultRecord* fault);

// Installs the crash handler for SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP and
// SIGABRT, running on an alternate signal stack, and gives the calling thread
// such a stack. Loading the library already does this; calling it again
// takes the signals back from a handler the host installed since.
// After the report the process ends by the same signal, default action.
ORU_API void OruSetUnhandledException();

// Formats the message (printf-style, wide; at most 511 characters, the rest
// is cut) into a buffer of the calling thread and raises the general error
// 0xE0000000: the crash report follows, its call stack starting at the
// caller, and the process ends by SIGABRT.
[[noreturn]] ORU_API void OruCriticalError(const wchar_t* format, ...);
// The same with the assertion failure 0xE0000001.
[[noreturn]] ORU_API void OruAssertionFailure(const wchar_t* format, ...);

// Gives the calling thread an alternate signal stack while the object lives,
// so that a stack overflow on that thread still ends in a crash report (the
// handler needs a stack of its own to run on when the thread's is used up).
// The thread that loads the library and the library's worker thread have one
// already; a game creates one first thing on each thread it starts, on that
// thread, and lets it die as the thread ends. Not copyable.
class ORU_API COruThreadCrashStack : private COruNonCopyable {
public:
    COruThreadCrashStack();
    ~COruThreadCrashStack();

private:
    void* m_pStack;  // the platform's alternate stack for this thread
};

#pragma once

#include <oru/core/export.h>

// Fault codes of the library's own fatal errors.
constexpr unsigned int ORU_FAULT_GENERAL_ERROR = 0xE0000000u;
constexpr unsigned int ORU_FAULT_ASSERTION_FAILURE = 0xE0000001u;

// A fatal fault as the crash handler receives it: the code, the library
// fault's message (or null), and the faulting thread's context (a ucontext_t*
// from the signal, or null for a library fault raised here).
struct OruFaultRecord {
    unsigned int m_nCode;
    const wchar_t* m_pMessage;
    void* m_pContext;
};

// Builds the crash report for `fault`, appends it to
// "./oru_log/Exp_YYYY-MM-DD.txt", shows it (report window or standard error)
// and returns 1. The caller then ends the process.
ORU_API long OruExceptionHandler(const OruFaultRecord* fault);

// Installs the crash handler for SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP and
// SIGABRT on an alternate signal stack. Loading the library already does this.
ORU_API void OruSetUnhandledException();

// Formats the message (at most 511 characters) and raises the general error
// 0xE0000000: the crash report follows and the process ends.
[[noreturn]] ORU_API void OruCriticalError(const wchar_t* format, ...);
// The same with the assertion failure 0xE0000001.
[[noreturn]] ORU_API void OruAssertionFailure(const wchar_t* format, ...);

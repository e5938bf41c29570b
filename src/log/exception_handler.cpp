// Interim form of the library faults until the crash handler lands: the
// message goes to standard error and the process aborts.

#include <oru/log/exception_handler.h>

#include "core/utf8.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

[[noreturn]] void RaiseLibraryFault(const char* heading, const wchar_t* format, va_list args)
{
    wchar_t message[512];
    vswprintf(message, 512, format, args);
    message[511] = L'\0';
    std::fprintf(stderr, "%s\n%s\n", heading, oru::detail::ToUtf8Lossy(message).c_str());
    std::abort();
}

}  // namespace

long OruExceptionHandler(const OruFaultRecord*)
{
    return 1;
}

void OruSetUnhandledException() {}

void OruCriticalError(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    RaiseLibraryFault("General Error!", format, args);
}

void OruAssertionFailure(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    RaiseLibraryFault("Assertion Failure!", format, args);
}

#pragma once

// ORU_PRINTF_FORMAT(f, a): the function's argument f is a printf format for
// the arguments from a on, checked by the compiler as the C99 formats that
// the library's formatting functions take (%zu, %lld, ...), whatever the
// system's own C library would say of them.
#if defined(__clang__)
#define ORU_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define ORU_PRINTF_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#endif

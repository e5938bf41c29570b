#pragma once

// Wide printf-style formatting that never depends on the process locale: a
// narrow string argument (%s) is read as UTF-8 and numbers use the C forms,
// whatever locale the host has set.

#include <cstdarg>
#include <cstddef>

namespace oru::platform {

// Formats into `dst`, which holds `capacity` wide characters (at least one).
// Text that does not fit is cut; the result is always terminated within the
// buffer. A format or argument that cannot be formatted (a narrow argument
// that is not UTF-8) ends the text where the failure occurred. Returns the
// length of the result without the terminator.
size_t FormatWide(wchar_t* dst, size_t capacity, const wchar_t* format, va_list args);

// The same through the system's C library, which FormatWide leaves the rare
// directives to: glibc's meaning of each (%s narrow UTF-8, %ls wide), never
// the process locale's. Cuts as FormatWide does.
size_t FormatWithSystemLibrary(wchar_t* dst, size_t capacity, const wchar_t* format, va_list args);

}  // namespace oru::platform

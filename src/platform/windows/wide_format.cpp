#include "platform/wide_format.h"

#include <cwchar>

namespace oru::platform {

// The C runtime's C99 formatter: %s is narrow and %ls wide, as in glibc. It
// reads narrow text in its own locale, so text that is not ASCII is best
// decoded before it gets here (FormatWide does, for most of it). A cut text
// returns the length it would have had, where glibc returns -1: either way
// the text ends at the buffer's last place.
size_t FormatWithSystemLibrary(wchar_t* dst, size_t capacity, const wchar_t* format, va_list args)
{
    const int written = vswprintf(dst, capacity, format, args);
    if (written >= 0 && static_cast<size_t>(written) < capacity)
        return static_cast<size_t>(written);
    dst[capacity - 1] = L'\0';
    return wcslen(dst);
}

}  // namespace oru::platform

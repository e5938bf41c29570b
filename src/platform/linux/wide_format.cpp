#include "platform/wide_format.h"

#include <clocale>
#include <cwchar>
#include <locale.h>

namespace oru::platform {
namespace {

// C.UTF-8 for this thread while one call formats: uselocale only swaps a
// per-thread pointer, so the switch costs next to nothing. Made once and
// kept for the whole process.
locale_t FormattingLocale()
{
    static const locale_t s_locale = newlocale(LC_ALL_MASK, "C.UTF-8", locale_t(nullptr));
    return s_locale;
}

}  // namespace

size_t FormatWithSystemLibrary(wchar_t* dst, size_t capacity, const wchar_t* format, va_list args)
{
    const locale_t locale = FormattingLocale();
    const locale_t previous = locale ? uselocale(locale) : locale_t(nullptr);
    const int written = vswprintf(dst, capacity, format, args);
    if (locale)
        uselocale(previous);

    if (written >= 0)
        return static_cast<size_t>(written);
    // The C library leaves a cut text without its terminator, and a failed
    // one terminated where it stopped: either way the end lies within.
    dst[capacity - 1] = L'\0';
    return wcslen(dst);
}

}  // namespace oru::platform

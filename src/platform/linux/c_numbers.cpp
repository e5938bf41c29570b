#include "platform/c_numbers.h"

#include <cstdlib>
#include <locale.h>

namespace oru::platform {

double ParseDoubleInCLocale(const char* text)
{
    static const locale_t s_locale = newlocale(LC_ALL_MASK, "C", locale_t{});
    return s_locale ? strtod_l(text, nullptr, s_locale) : std::strtod(text, nullptr);
}

}  // namespace oru::platform

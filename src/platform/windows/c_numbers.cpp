#include "platform/c_numbers.h"

#include <cstdlib>
#include <locale.h>

namespace oru::platform {

double ParseDoubleInCLocale(const char* text)
{
    static const _locale_t s_locale = _create_locale(LC_ALL, "C");
    return s_locale ? _strtod_l(text, nullptr, s_locale) : std::strtod(text, nullptr);
}

}  // namespace oru::platform

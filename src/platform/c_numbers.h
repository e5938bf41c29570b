#pragma once

// Numbers as data files write them: the "C" locale's form, whatever the
// process locale (LC_NUMERIC) says.

namespace oru::platform {

// strtod in the "C" locale: leading white space, sign, decimal or hex
// digits, exponent, inf and nan as strtod takes them; 0 when nothing parses.
double ParseDoubleInCLocale(const char* text);

}  // namespace oru::platform

#pragma once

#include <oru/core/export.h>

// Conversions between wide text (one wchar_t per Unicode code point) and
// narrow text in a code page. Code pages 0 and 65001 are both UTF-8; any other
// number is the code page "CP<number>" where the system knows it.
//
// Every function returns null, and changes nothing else, for a null text, for
// text that is not valid in its encoding (invalid UTF-8, a lone surrogate)
// or that the target code page cannot represent, and for an unknown code page.
// Nothing is replaced silently. Results do not depend on the process locale.
//
// Results live in storage owned by the library; callers use them at once or
// copy them. All four functions are thread-safe (one conversion lock), but a
// result may be overwritten by another thread's later calls:
//  - the ring forms keep 100 results per direction, each at most 1024 bytes
//    (narrow) or 1024 wide characters, terminator included; a longer result
//    fails. A result stays valid for the next 99 conversions in its direction.
//  - the Ex forms have no length limit; a result stays valid until the next
//    call of the same Ex function, or until an XML document is cleared.

ORU_API const char* OruWCharToChar(unsigned int codePage, const wchar_t* text);
ORU_API const wchar_t* OruCharToWChar(unsigned int codePage, const char* text);
ORU_API const char* OruWCharToCharEx(unsigned int codePage, const wchar_t* text);
ORU_API const wchar_t* OruCharToWCharEx(unsigned int codePage, const char* text);

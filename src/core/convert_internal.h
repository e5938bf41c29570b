#pragma once

#include <oru/core/critical_section.h>

// Guards the conversion rings and the Ex heap buffers. Defined with the
// library's other load-time objects, in their start-up order.
extern COruCriticalSection g_csConvert;

// Frees both Ex heap buffers under the conversion lock. Called whenever an
// XML document is cleared or destroyed; not exported.
void OruReleaseExBuffers();

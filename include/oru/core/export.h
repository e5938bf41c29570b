#pragma once

// ORU_API marks what the shared library exports; everything without it stays
// internal to the library. The mark itself depends on the system the library
// was built for, so the build writes it (oru/core/export_mark.h).
#include <oru/core/export_mark.h>

#pragma once

#include <oru/core/export.h>

// The library's version. The build reads it from here too, so the shared
// library's name, the CMake package and the Debian packages all carry it.
#define ORU_CORE_VERSION_MAJOR 1
#define ORU_CORE_VERSION_MINOR 0
#define ORU_CORE_VERSION_PATCH 0

// The version as one number, major * 10000 + minor * 100 + patch, for
// comparisons in the preprocessor: #if ORU_CORE_VERSION >= 10100.
#define ORU_CORE_VERSION \
    (ORU_CORE_VERSION_MAJOR * 10000 + ORU_CORE_VERSION_MINOR * 100 + ORU_CORE_VERSION_PATCH)

// The version of the library loaded at run time, which may be newer than
// the headers a program was built with: as ORU_CORE_VERSION, and as text
// ("1.0.0").
ORU_API int OruCoreVersion();
ORU_API const char* OruCoreVersionString();

#include <oru/core/version.h>

#define ORU_STRINGIFY_(x) #x
#define ORU_STRINGIFY(x) ORU_STRINGIFY_(x)

int OruCoreVersion()
{
    return ORU_CORE_VERSION;
}

const char* OruCoreVersionString()
{
    return ORU_STRINGIFY(ORU_CORE_VERSION_MAJOR) "." ORU_STRINGIFY(ORU_CORE_VERSION_MINOR) "." ORU_STRINGIFY(
        ORU_CORE_VERSION_PATCH);
}

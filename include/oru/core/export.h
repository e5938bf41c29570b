#pragma once

// ORU_API marks what liboru_core.so exports. The library is built with hidden
// visibility, so everything without this mark stays internal to it.
#define ORU_API __attribute__((visibility("default")))

#pragma once

#include <oru/core/export.h>

#include <cstdint>
#include <string>

// Size in bytes of an existing regular file, low 32 bits only; 0 when it
// cannot be opened for reading (missing, a folder, no permission) or is empty.
ORU_API uint32_t OruGetFileSize(const std::wstring& path);

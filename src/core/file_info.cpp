#include <oru/core/file_info.h>

#include "core/utf8.h"
#include "platform/files.h"

uint32_t OruGetFileSize(const std::wstring& path)
{
    const auto pathUtf8 = oru::detail::ToUtf8(path);
    uint64_t size = 0;
    if (!pathUtf8 || !oru::platform::ReadableFileSize(*pathUtf8, size))
        return 0;
    return static_cast<uint32_t>(size);  // the low 32 bits, as callers expect
}

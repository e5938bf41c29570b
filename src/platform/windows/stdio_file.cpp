#include "platform/stdio_file.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdlib>
#include <new>

namespace oru::platform {

namespace {

// The C runtime here cannot make a stream over memory, so the stream is a
// scratch file in the user's temporary folder that the system deletes when
// it closes (and keeps in its cache rather than on the disk while it can).
// The runtime's own tmpfile() is not used: it makes its file in the root of
// the current drive, where a user may not write.
std::FILE* OpenScratchStream()
{
    wchar_t folder[MAX_PATH + 1];
    wchar_t name[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH || GetTempFileNameW(folder, L"oru", 0, name) == 0)
        return nullptr;
    const HANDLE handle = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
                                      nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        DeleteFileW(name);
        return nullptr;
    }
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR | _O_BINARY);
    if (descriptor < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* pStream = _fdopen(descriptor, "w+b");
    if (!pStream)
        _close(descriptor);
    return pStream;
}

// Reads back all that was written to `pStream`; false on a read error or
// when memory runs out.
bool ReadBack(std::FILE* pStream, std::string& bytes)
{
    if (std::fflush(pStream) != 0 || _fseeki64(pStream, 0, SEEK_END) != 0)
        return false;
    const int64_t size = _ftelli64(pStream);
    if (size < 0 || static_cast<uint64_t>(size) > SIZE_MAX || _fseeki64(pStream, 0, SEEK_SET) != 0)
        return false;
    try {
        bytes.resize(static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
        return false;
    }
    return std::fread(bytes.data(), 1, bytes.size(), pStream) == bytes.size();
}

}  // namespace

bool WriteToMemory(const std::function<bool(std::FILE*)>& write, std::string& bytes)
{
    bytes.clear();
    std::FILE* pStream = OpenScratchStream();
    if (!pStream)
        return false;
    const bool kept = write(pStream) && ReadBack(pStream, bytes);
    std::fclose(pStream);
    if (!kept)
        bytes.clear();
    return kept;
}

}  // namespace oru::platform

#include "descriptor.h"

#include "platform/fault_points.h"
#include "system_error.h"
#include "wide_path.h"

#include <windows.h>

#include <algorithm>

namespace oru::platform {
namespace {

// ReadFile and WriteFile take 32-bit counts: longer transfers go in pieces.
constexpr size_t MAX_TRANSFER = size_t{1} << 30;

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

DWORD AccessOf(CDescriptor::eAccess access)
{
    switch (access) {
    case CDescriptor::eAccess::READ:
        return GENERIC_READ;
    case CDescriptor::eAccess::READ_WRITE:
        return GENERIC_READ | GENERIC_WRITE;
    case CDescriptor::eAccess::WRITE:
        return GENERIC_WRITE;
    case CDescriptor::eAccess::APPEND:
        // Append-only data access: the system puts every write at the end.
        return FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
    }
    return 0;
}

DWORD DispositionOf(CDescriptor::eCreate create)
{
    switch (create) {
    case CDescriptor::eCreate::EXISTING:
        return OPEN_EXISTING;
    case CDescriptor::eCreate::OR_CREATE:
        return OPEN_ALWAYS;
    case CDescriptor::eCreate::TRUNCATE:
        return CREATE_ALWAYS;
    case CDescriptor::eCreate::NEW:
        return CREATE_NEW;
    }
    return OPEN_EXISTING;
}

// The one write loop: a write that writes nothing is the system's refusal.
// `counted` writes change files on disk and pass the fault seam.
bool WriteLoop(HANDLE handle, const void* pData, size_t size, bool counted)
{
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
        return false;
    const char* p = static_cast<const char*>(pData);
    while (size > 0) {
        if (counted && !ReachFaultPoint(eFaultKind::WRITE))
            return false;
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min(size, MAX_TRANSFER));
        if (!WriteFile(handle, p, chunk, &written, nullptr))
            return SetErrnoFromSystem();
        if (written == 0) {
            errno = ENOSPC;
            return false;
        }
        p += written;
        size -= written;
    }
    return true;
}

}  // namespace

CDescriptor::CDescriptor(NativeHandle handle)
    : m_h(handle == INVALID_HANDLE_VALUE ? nullptr : handle)
{
}

CDescriptor& CDescriptor::operator=(CDescriptor&& other) noexcept
{
    if (this != &other) {
        Close();
        m_h = other.Release();
    }
    return *this;
}

// A folder opened without backup semantics is refused as access denied;
// the attributes tell the two apart, for the EISDIR callers expect.
CDescriptor CDescriptor::Open(const char* pathUtf8, eAccess access, eCreate create)
{
    const CWidePath path(pathUtf8);
    if (!path.IsValid())
        return CDescriptor();
    DWORD flags = FILE_ATTRIBUTE_NORMAL;
    if (create == eCreate::NEW)
        flags |= FILE_FLAG_OPEN_REPARSE_POINT;  // a link there counts as something there
    const HANDLE handle = CreateFileW(path.Get(), AccessOf(access), SHARE_ALL, nullptr,
                                      DispositionOf(create), flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        const DWORD attributes = GetFileAttributesW(path.Get());
        if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & FILE_ATTRIBUTE_DIRECTORY))
            errno = create == eCreate::NEW ? EEXIST : EISDIR;
        else
            errno = ErrnoOfSystemError(error);
        return CDescriptor();
    }
    return CDescriptor(handle);
}

CDescriptor CDescriptor::OpenToQuery(const char* pathUtf8, bool followLinks)
{
    const CWidePath path(pathUtf8);
    if (!path.IsValid())
        return CDescriptor();
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    const HANDLE handle = CreateFileW(path.Get(), FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr,
                                      OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        SetErrnoFromSystem();
    return CDescriptor(handle);
}

CDescriptor CDescriptor::Duplicate(NativeHandle handle)
{
    HANDLE copy = nullptr;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
            errno = EBADF;
        else
            SetErrnoFromSystem();
        return CDescriptor();
    }
    return CDescriptor(copy);
}

bool CDescriptor::IsRegularFile() const
{
    if (!IsOpen())
        return false;
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(m_h) != FILE_TYPE_DISK || !GetFileInformationByHandle(m_h, &info)) {
        errno = EINVAL;
        return false;
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        errno = EISDIR;
        return false;
    }
    return true;
}

bool CDescriptor::Close()
{
    if (!IsOpen())
        return true;
    const bool closed = CloseHandle(m_h) != 0;
    m_h = nullptr;
    return closed || SetErrnoFromSystem();
}

NativeHandle CDescriptor::Release()
{
    const NativeHandle handle = m_h;
    m_h = nullptr;
    return handle;
}

bool CDescriptor::WriteAll(const void* pData, size_t size) const
{
    return WriteLoop(m_h, pData, size, true);
}

bool CDescriptor::Sync() const
{
    if (!IsOpen() || !ReachFaultPoint(eFaultKind::SYNC))
        return false;
    return FlushFileBuffers(m_h) || SetErrnoFromSystem();
}

size_t CDescriptor::ReadUpTo(void* pDst, size_t capacity) const
{
    char* p = static_cast<char*>(pDst);
    size_t length = 0;
    while (IsOpen() && length < capacity) {
        DWORD got = 0;
        const DWORD chunk = static_cast<DWORD>(std::min(capacity - length, MAX_TRANSFER));
        if (!ReadFile(m_h, p + length, chunk, &got, nullptr) || got == 0)
            break;
        length += got;
    }
    return length;
}

bool WriteAll(NativeHandle handle, std::string_view text)
{
    return WriteLoop(handle, text.data(), text.size(), false);
}

}  // namespace oru::platform

#include "wide_path.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <new>

namespace oru::platform {

CWidePath::CWidePath(const char* pathUtf8)
{
    m_wsz[0] = L'\0';
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, pathUtf8, -1, m_wsz,
                                      static_cast<int>(CAPACITY));
    if (n <= 0) {
        errno = GetLastError() == ERROR_INSUFFICIENT_BUFFER ? ENAMETOOLONG : EILSEQ;
        m_wsz[0] = L'\0';
        return;
    }
    m_nLength = static_cast<size_t>(n) - 1;
    m_bValid = true;
}

void CWidePath::UseBackslashes()
{
    std::replace(m_wsz, m_wsz + m_nLength, L'/', L'\\');
}

std::string NarrowPath(const wchar_t* pPath, size_t length)
{
    if (length == 0 || length > INT_MAX / 4)
        return {};
    const int wideLength = static_cast<int>(length);
    const int bytes = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, pPath, wideLength, nullptr, 0,
                                          nullptr, nullptr);
    if (bytes <= 0)
        return {};
    try {
        std::string path(static_cast<size_t>(bytes), '\0');
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, pPath, wideLength, path.data(), bytes,
                            nullptr, nullptr);
        std::replace(path.begin(), path.end(), '\\', '/');
        return path;
    } catch (const std::bad_alloc&) {
        return {};
    }
}

}  // namespace oru::platform

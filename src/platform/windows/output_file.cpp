#include "platform/output_file.h"

#include "platform/fault_points.h"

#include <windows.h>

namespace oru::platform {
namespace {

// What OpenWith is asked for.
constexpr int MODE_APPEND = 1;
constexpr int MODE_TRUNCATE = 2;

}  // namespace

bool COutputFile::OpenAppend(const char* pathUtf8)
{
    return OpenWith(pathUtf8, MODE_APPEND);
}

bool COutputFile::OpenTruncate(const std::string& pathUtf8)
{
    return OpenWith(pathUtf8.c_str(), MODE_TRUNCATE);
}

// An append-only handle: the system puts each write at the end of the file,
// so lines from several processes never overwrite each other.
bool COutputFile::OpenWith(const char* pathUtf8, int modeFlags)
{
    if (modeFlags == MODE_APPEND)
        m_fd = CDescriptor::Open(pathUtf8, CDescriptor::eAccess::APPEND, CDescriptor::eCreate::OR_CREATE);
    else
        m_fd = CDescriptor::Open(pathUtf8, CDescriptor::eAccess::WRITE, CDescriptor::eCreate::TRUNCATE);
    return m_fd.IsOpen();
}

bool COutputFile::OpenNew(const std::string& pathUtf8)
{
    m_fd = CDescriptor::Open(pathUtf8.c_str(), CDescriptor::eAccess::WRITE, CDescriptor::eCreate::NEW);
    return m_fd.IsOpen();
}

bool COutputFile::OpenStandardOutput()
{
    m_fd = CDescriptor::Duplicate(GetStdHandle(STD_OUTPUT_HANDLE));
    return m_fd.IsOpen();
}

bool COutputFile::Write(const void* pData, size_t size)
{
    if (!IsOpen())
        return false;
    return m_fd.WriteAll(pData, size) || RecordFileError();
}

bool COutputFile::Sync()
{
    if (!IsOpen())
        return false;
    return m_fd.Sync() || RecordFileError();
}

// The counts are FILETIMEs already, the system's own unit.
bool COutputFile::SetTimes(uint64_t accessTime, uint64_t writeTime)
{
    const FILETIME access{static_cast<DWORD>(accessTime), static_cast<DWORD>(accessTime >> 32)};
    const FILETIME write{static_cast<DWORD>(writeTime), static_cast<DWORD>(writeTime >> 32)};
    return IsOpen() && SetFileTime(m_fd.Get(), nullptr, &access, &write);
}

}  // namespace oru::platform

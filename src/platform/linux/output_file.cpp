#include "platform/output_file.h"

#include "platform/fault_points.h"
#include "platform/file_time.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace oru::platform {

bool COutputFile::OpenAppend(const char* pathUtf8)
{
    return OpenWith(pathUtf8, O_APPEND);
}

bool COutputFile::OpenTruncate(const std::string& pathUtf8)
{
    return OpenWith(pathUtf8.c_str(), O_TRUNC);
}

// Opened without waiting: a FIFO with no reader, left where a file should be,
// fails at once (ENXIO) instead of blocking the caller for good.
bool COutputFile::OpenWith(const char* pathUtf8, int modeFlags)
{
    m_fd = CDescriptor::OpenWithoutWaiting(pathUtf8, O_WRONLY | O_CREAT | modeFlags, 0644);
    return m_fd.IsOpen();
}

// O_CREAT | O_EXCL only ever creates a new regular file (anything already at
// the path, a FIFO included, makes it fail), so there is nothing to wait on and
// no non-blocking flag to drop afterwards: two system calls fewer per file.
bool COutputFile::OpenNew(const std::string& pathUtf8)
{
    m_fd = CDescriptor::Open(pathUtf8.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
    return m_fd.IsOpen();
}

bool COutputFile::OpenStandardOutput()
{
    m_fd = CDescriptor::Duplicate(STDOUT_FILENO);
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

bool COutputFile::SetTimes(uint64_t accessTime, uint64_t writeTime)
{
    const CUnixTime access = FromFileTime(accessTime);
    const CUnixTime write = FromFileTime(writeTime);
    const timespec times[2] = {{static_cast<time_t>(access.m_nSeconds), access.m_nNanoseconds},
                               {static_cast<time_t>(write.m_nSeconds), write.m_nNanoseconds}};
    return IsOpen() && futimens(m_fd.Get(), times) == 0;
}

}  // namespace oru::platform

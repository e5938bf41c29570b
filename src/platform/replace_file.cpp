#include "platform/replace_file.h"

#include "platform/fault_points.h"
#include "platform/output_file.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace oru::platform {
namespace {

// Syncs the folder holding `pathUtf8`, so that a rename in it is on disk.
bool SyncParentFolder(const std::string& pathUtf8)
{
    const size_t slash = pathUtf8.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : pathUtf8.substr(0, slash + 1);
    int fd = -1;
    do {
        fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return false;
    const bool synced = ReachFaultPoint(eFaultKind::SYNC) && fsync(fd) == 0;
    close(fd);
    return synced;
}

bool Replace(const std::string& pathUtf8, std::string_view bytes, bool durable)
{
    const std::string temporary = pathUtf8 + ".tmp" + std::to_string(getpid());
    bool written = false;
    {
        COutputFile file;
        written = file.OpenTruncate(temporary) && file.Write(bytes.data(), bytes.size()) &&
                  (!durable || file.Sync());
    }
    if (!written || !ReachFaultPoint(eFaultKind::RENAME) ||
        rename(temporary.c_str(), pathUtf8.c_str()) != 0) {
        RecordFileError();
        unlink(temporary.c_str());
        return false;
    }
    // The new file is in place either way; a folder that cannot be synced
    // only leaves the rename to the system's own schedule.
    if (durable)
        SyncParentFolder(pathUtf8);
    return true;
}

}  // namespace

bool ReplaceFileContents(const std::string& pathUtf8, std::string_view bytes)
{
    return Replace(pathUtf8, bytes, false);
}

bool ReplaceFileDurably(const std::string& pathUtf8, std::string_view bytes)
{
    return Replace(pathUtf8, bytes, true);
}

}  // namespace oru::platform

#include "platform/replace_file.h"

#include "descriptor.h"
#include "platform/fault_points.h"
#include "platform/output_file.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace oru::platform {
namespace {

// Syncs the folder holding `pathUtf8`, so that a rename in it is on disk.
bool SyncParentFolder(const std::string& pathUtf8)
{
    const size_t slash = pathUtf8.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : pathUtf8.substr(0, slash + 1);
    const CDescriptor fd = CDescriptor::Open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    return fd.IsOpen() && fd.Sync();
}

// Beside the target, so that the rename stays within one file system; unique
// to the call, so that two threads replacing one file at the same time never
// write into each other's temporary file.
std::string TemporaryPath(const std::string& pathUtf8)
{
    static std::atomic<uint64_t> s_nNext{0};
    return pathUtf8 + ".tmp" + std::to_string(getpid()) + "." + std::to_string(s_nNext.fetch_add(1));
}

// Where the new file goes: the file a symbolic link leads to, so that the
// link keeps working, or the path itself. False when something other than a
// regular file is there (a folder, a FIFO, a device): renaming over it would
// remove it rather than write into it. errno tells why. `st` describes the
// file that is there; its st_nlink is 0 when there is none.
bool ResolveTarget(const std::string& pathUtf8, std::string& target, struct stat& st)
{
    st = {};
    if (lstat(pathUtf8.c_str(), &st) != 0) {
        target = pathUtf8;
        st = {};
        return errno == ENOENT;
    }
    target = pathUtf8;
    if (S_ISLNK(st.st_mode)) {
        char* pResolved = realpath(pathUtf8.c_str(), nullptr);
        if (!pResolved)
            return false;  // a dangling link, or a loop of links
        target = pResolved;
        std::free(pResolved);
        if (stat(target.c_str(), &st) != 0)
            return false;
    }
    if (S_ISREG(st.st_mode))
        return true;
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return false;
}

// A file its owner made read-only (no write permission for anyone) is not
// replaced, even by a user who could; nor is one that this process could
// not write in place.
bool MayReplace(const std::string& target, const struct stat& st)
{
    if (st.st_nlink == 0)
        return true;
    if ((st.st_mode & 0222) == 0 || access(target.c_str(), W_OK) != 0) {
        errno = EACCES;
        return false;
    }
    return true;
}

// Gives the new file the mode, owner and group of the one it replaces.
bool TakeAccessOf(const std::string& temporary, const struct stat& st)
{
    if (st.st_nlink == 0)
        return true;
    if ((st.st_uid != geteuid() || st.st_gid != getegid()) && chown(temporary.c_str(), st.st_uid, st.st_gid) != 0)
        return false;
    return chmod(temporary.c_str(), st.st_mode & 07777) == 0;
}

enum class eReplace { PLAIN, DURABLE, DURABLE_KEEPING_ACCESS };

bool Replace(const std::string& requestedPath, std::string_view bytes, eReplace how)
{
    const bool durable = how != eReplace::PLAIN;
    const bool keepAccess = how == eReplace::DURABLE_KEEPING_ACCESS;
    std::string pathUtf8;
    struct stat st {};
    if (!ResolveTarget(requestedPath, pathUtf8, st) || (keepAccess && !MayReplace(pathUtf8, st)))
        return RecordFileError();
    const std::string temporary = TemporaryPath(pathUtf8);
    bool written = false;
    {
        COutputFile file;
        written = file.OpenTruncate(temporary) && file.Write(bytes.data(), bytes.size()) &&
                  (!durable || file.Sync());
    }
    written = written && (!keepAccess || TakeAccessOf(temporary, st));
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
    return Replace(pathUtf8, bytes, eReplace::PLAIN);
}

bool ReplaceFileDurably(const std::string& pathUtf8, std::string_view bytes)
{
    return Replace(pathUtf8, bytes, eReplace::DURABLE);
}

bool ReplaceFileKeepingAccess(const std::string& pathUtf8, std::string_view bytes)
{
    return Replace(pathUtf8, bytes, eReplace::DURABLE_KEEPING_ACCESS);
}

}  // namespace oru::platform

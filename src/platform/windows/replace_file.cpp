#include "platform/replace_file.h"

#include "platform/fault_points.h"
#include "platform/files.h"
#include "platform/output_file.h"
#include "system_error.h"
#include "wide_path.h"

#include <windows.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <new>
#include <vector>

namespace oru::platform {
namespace {

// Beside the target, so that the rename stays within one volume; unique to
// the call, so that two threads replacing one file at the same time never
// write into each other's temporary file.
std::string TemporaryPath(const std::string& pathUtf8)
{
    static std::atomic<uint64_t> s_nNext{0};
    return pathUtf8 + ".tmp" + std::to_string(GetCurrentProcessId()) + "." +
           std::to_string(s_nNext.fetch_add(1));
}

// Where the new file goes: the file a symbolic link leads to, so that the
// link keeps working, or the path itself. False when something other than a
// regular file is there (a folder, a device) or a link leads nowhere; errno
// tells why. `exists` says whether a file is there to be replaced.
bool ResolveTarget(const std::string& pathUtf8, std::string& target, bool& exists)
{
    exists = false;
    target = pathUtf8;
    eEntryKind kind = eEntryKind::OTHER;
    if (!EntryKind(pathUtf8, kind))
        return errno == ENOENT;
    if (kind == eEntryKind::LINK) {
        target = ResolvedPath(pathUtf8);
        if (target.empty())
            return false;  // a dangling link, or a loop of links
    }
    uint64_t device = 0, index = 0;
    if (!LinkTarget(target, kind, device, index))
        return false;
    if (kind == eEntryKind::FILE) {
        exists = true;
        return true;
    }
    errno = kind == eEntryKind::FOLDER ? EISDIR : EINVAL;
    return false;
}

// A file marked read-only is not replaced, even by a user who could clear
// the mark; nor is one that this process could not open for writing.
bool MayReplace(const std::string& target)
{
    const CWidePath path(target);
    const DWORD attributes = path.IsValid() ? GetFileAttributesW(path.Get()) : INVALID_FILE_ATTRIBUTES;
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) ||
        !CDescriptor::Open(target.c_str(), CDescriptor::eAccess::WRITE, CDescriptor::eCreate::EXISTING)
             .IsOpen()) {
        errno = EACCES;
        return false;
    }
    return true;
}

// The security descriptor of `path` holding what `what` asks for; false
// where the file system keeps none (FAT), or memory runs out.
bool SecurityOf(const wchar_t* pPath, SECURITY_INFORMATION what, std::vector<unsigned char>& descriptor)
{
    DWORD needed = 0;
    GetFileSecurityW(pPath, what, nullptr, 0, &needed);
    if (needed == 0)
        return false;
    try {
        descriptor.resize(needed);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return GetFileSecurityW(pPath, what, descriptor.data(), needed, &needed) != 0;
}

bool SameOwner(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b)
{
    PSID ownerA = nullptr, ownerB = nullptr;
    BOOL defaulted = FALSE;
    const auto pA = const_cast<unsigned char*>(a.data());
    const auto pB = const_cast<unsigned char*>(b.data());
    return GetSecurityDescriptorOwner(pA, &ownerA, &defaulted) &&
           GetSecurityDescriptorOwner(pB, &ownerB, &defaulted) && ownerA && ownerB &&
           EqualSid(ownerA, ownerB);
}

// Gives the new file the attributes, the access list and the owner of the
// one it replaces. The owner is changed only where it differs, which needs a
// privilege: without it the replace is refused rather than leaving the file
// to another owner. Where the file system keeps no security (FAT), the
// attributes are all there is to keep.
bool TakeAccessOf(const std::string& temporaryUtf8, const std::string& targetUtf8)
{
    const CWidePath temporary(temporaryUtf8);
    const CWidePath target(targetUtf8);
    if (!temporary.IsValid() || !target.IsValid())
        return false;
    constexpr DWORD KEPT = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                           FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    const DWORD attributes = GetFileAttributesW(target.Get());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & KEPT) &&
        !SetFileAttributesW(temporary.Get(), attributes & KEPT))
        return SetErrnoFromSystem();
    std::vector<unsigned char> old, fresh;
    if (!SecurityOf(target.Get(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, old))
        return true;
    if (!SecurityOf(temporary.Get(), OWNER_SECURITY_INFORMATION, fresh) ||
        (!SameOwner(old, fresh) && !SetFileSecurityW(temporary.Get(), OWNER_SECURITY_INFORMATION, old.data())))
        return SetErrnoFromSystem();
    return SetFileSecurityW(temporary.Get(), DACL_SECURITY_INFORMATION, old.data()) || SetErrnoFromSystem();
}

enum class eReplace { PLAIN, DURABLE, DURABLE_KEEPING_ACCESS };

// The rename is written through to the disk (RenameFile), so a durable
// replace has nothing left to sync after it.
bool Replace(const std::string& requestedPath, std::string_view bytes, eReplace how)
{
    const bool durable = how != eReplace::PLAIN;
    const bool keepAccess = how == eReplace::DURABLE_KEEPING_ACCESS;
    std::string pathUtf8;
    bool exists = false;
    if (!ResolveTarget(requestedPath, pathUtf8, exists) || (keepAccess && exists && !MayReplace(pathUtf8)))
        return RecordFileError();
    const std::string temporary = TemporaryPath(pathUtf8);
    bool written = false;
    {
        COutputFile file;
        written = file.OpenTruncate(temporary) && file.Write(bytes.data(), bytes.size()) &&
                  (!durable || file.Sync());
    }
    written = written && (!keepAccess || !exists || TakeAccessOf(temporary, pathUtf8));
    if (!written)
        RecordFileError();
    if (!written || !RenameFile(temporary, pathUtf8)) {
        RemoveFile(temporary);
        return false;
    }
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

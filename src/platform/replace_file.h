#pragma once

// Writing a whole file at once, for exports that a reader picks up later.

#include <string>
#include <string_view>

namespace oru::platform {

// Writes `bytes` to a temporary file beside `pathUtf8` and renames it over
// the target, so a reader sees either the old file or the whole new one,
// never a half-written one. A symbolic link at `pathUtf8` is followed: the
// file it leads to is replaced and the link kept. False when the file cannot
// be created, written or renamed, and when something other than a regular
// file (a folder, a FIFO, a device) or a dangling link is there; the
// temporary file is removed then.
bool ReplaceFileContents(const std::string& pathUtf8, std::string_view bytes);

// As ReplaceFileContents, and the new contents reach the disk before the
// rename, and the rename before it returns: after a crash or a power loss
// the target holds either the old bytes or all of the new ones. For files
// that other data depends on (a pack's index). False as above; the target is
// then untouched.
bool ReplaceFileDurably(const std::string& pathUtf8, std::string_view bytes);

// As ReplaceFileDurably, for a file a user may have set up: refused (errno
// EACCES, nothing written) when the file there has no write permission for
// anyone or could not be written in place by this process, and the new file
// gets the mode, owner and group of the one it replaces (false, the target
// untouched, when the owner cannot be kept).
bool ReplaceFileKeepingAccess(const std::string& pathUtf8, std::string_view bytes);

}  // namespace oru::platform

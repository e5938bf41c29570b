#pragma once

// Files and folders. Paths are UTF-8; the callers convert wide paths first.

#include <cstdint>
#include <cstddef>
#include <string>
#include <vector>

namespace oru::platform {

// Creates one folder level. True when it was created or already exists as a
// folder; false otherwise (missing parent, a file of that name, no right).
// Allocates nothing, so a crash report can use it.
bool MakeDirectory(const char* pathUtf8);
inline bool MakeDirectory(const std::string& pathUtf8) { return MakeDirectory(pathUtf8.c_str()); }

// The size of an existing regular file that can be opened for reading;
// false when it cannot (missing, a folder, no permission).
bool ReadableFileSize(const std::string& pathUtf8, uint64_t& size);

// Times as FILETIME counts (see file_time.h).
struct CFileTimes {
    uint64_t m_nCreation;  // birth time where recorded, else status change
    uint64_t m_nAccess;
    uint64_t m_nWrite;
};

// Size and times of an existing regular file; false when it cannot be read.
bool FileSizeAndTimes(const std::string& pathUtf8, uint64_t& size, CFileTimes& times);

// What an entry of a folder is, as far as walking a tree needs to know. A
// symbolic link is never followed: it is a LINK, whatever it leads to.
enum class eEntryKind { FOLDER, FILE, LINK, OTHER };

struct CFolderEntry {
    std::string m_strName;
    eEntryKind m_eKind;
};

// Appends the entries of a folder, "." and ".." left out, in the order the
// system gives them. False when the folder cannot be read to its end (the
// reason in LastFileError); the entries listed before that are kept.
bool ListFolder(const std::string& pathUtf8, std::vector<CFolderEntry>& entries);

// True when `pathUtf8` is a folder, or a symbolic link to one.
bool IsFolder(const std::string& pathUtf8);
// True when a file system is mounted on the folder `pathUtf8`: it lies on
// another device than its parent folder (or it is the root).
bool IsMountPoint(const std::string& pathUtf8);
// What is at `pathUtf8`, a symbolic link itself rather than what it leads
// to; false when nothing is there or it cannot be told.
bool EntryKind(const std::string& pathUtf8, eEntryKind& kind);
// What `pathUtf8` is once symbolic links are followed (FOLDER, FILE or
// OTHER), with its device and inode; false when it leads nowhere.
bool LinkTarget(const std::string& pathUtf8, eEntryKind& kind, uint64_t& device, uint64_t& inode);

// Removes the file (never a folder) at `pathUtf8`, a symbolic link itself
// rather than what it leads to. True when nothing is there any more, also
// when nothing was; false otherwise, the reason in LastFileError.
bool RemoveFile(const std::string& pathUtf8);

// Renames `fromUtf8` to `toUtf8`, replacing a file or a symbolic link there
// without following it. False, the reason in LastFileError, on failure.
bool RenameFile(const std::string& fromUtf8, const std::string& toUtf8);

// Creates a new folder named after `pattern`, whose last six characters are
// "XXXXXX": they are replaced in `pattern` by what makes the name unique.
// False, the reason in LastFileError, when no folder was made.
bool MakeUniqueFolder(std::string& pattern);

// Removes `pathUtf8` and, for a folder, everything below it. Symbolic links
// are removed, never followed. True when nothing is left; false, the reason
// in LastFileError, when something could not be removed.
bool RemoveTree(const std::string& pathUtf8);

// Makes a symbolic link at `linkUtf8` that leads to `targetUtf8`. False, the
// reason in LastFileError, when something is there already or it cannot be
// made.
bool MakeSymbolicLink(const std::string& targetUtf8, const std::string& linkUtf8);

// Makes a second name `linkUtf8` for the existing file `targetUtf8` (a hard
// link, so on the same volume), for where symbolic links cannot be made:
// Windows without the right to make them, or a file system without them.
// False, the reason in LastFileError, as for MakeSymbolicLink.
bool MakeHardLink(const std::string& targetUtf8, const std::string& linkUtf8);

// The absolute path of an existing `pathUtf8`, with every symbolic link on
// the way resolved; empty, the reason in LastFileError, when it cannot be had.
std::string ResolvedPath(const std::string& pathUtf8);

// True when `pathUtf8` does not lead from the current folder: it starts at
// a root, or (on Windows) names a drive or a share.
bool IsAbsolutePath(const std::string& pathUtf8);
// The characters that separate folders in a path on this system, for
// splitting a path given on a command line ("/" or "/\\").
const char* PathSeparators();

// True when standard error is a terminal.
bool StandardErrorIsTerminal();

}  // namespace oru::platform

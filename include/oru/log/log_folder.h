#pragma once

#include <oru/core/export.h>

#include <string>

// The folder that the core log, the profiler's table and crash reports are
// written to. It is "./oru_log" of the current folder unless the environment
// variable ORU_LOG_DIR, read when the library loads, or OruSetLogFolder names
// another. Set it before those logs start (before OruCoreLogInitialize and
// the first profiler call): a log that has started keeps its file.
//
// When the folder cannot be made or written (a game installed read-only and
// started from its own folder), they go to the user's state folder instead,
// $XDG_STATE_HOME/<program> or ~/.local/state/<program>, and that is said
// once on standard error. A crash report that cannot be written to the folder
// is written there too, and the report's path is printed on standard error.

// Sets the folder (a path, relative to the current folder or absolute).
// False, and nothing changed, for a null or empty path or one that has no
// UTF-8 form or is too long (4096 bytes).
ORU_API bool OruSetLogFolder(const wchar_t* folder);
// The folder the logs use: the one set, or the user's state folder when that
// could not be made or written. Makes the folder.
ORU_API std::wstring OruGetLogFolder();

#pragma once

// The log folder's state inside the library (see <oru/log/log_folder.h>).

#include <string>

namespace oru::detail {

// Reads ORU_LOG_DIR and works out the user's state folder; once, at load.
void InitLogFolder();

// The folder for a log that starts now, made: the one set, or the fallback
// (said once) when that cannot be made or written. UTF-8 and wide.
std::string LogFolderForWritingUtf8();
std::wstring LogFolderForWriting();

// For a crash report: the folder to try first (the one the logs use, or
// before they started the one set) and then the fallback; either may be
// empty. Allocates nothing and takes no lock.
const char* CrashReportFolder(bool fallback);

}  // namespace oru::detail

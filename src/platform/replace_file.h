#pragma once

// Writing a whole file at once, for exports that a reader picks up later.

#include <string>
#include <string_view>

namespace oru::platform {

// Writes `bytes` to a temporary file beside `pathUtf8` and renames it over
// the target, so a reader sees either the old file or the whole new one,
// never a half-written one. False when the file cannot be created, written
// or renamed; the temporary file is removed then.
bool ReplaceFileContents(const std::string& pathUtf8, std::string_view bytes);

}  // namespace oru::platform

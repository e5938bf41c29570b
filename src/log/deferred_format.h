#pragma once

// A log line that the level filters out is kept for the crash report
// without being formatted: formatting costs far more than the line's whole
// budget. What is kept is the format's address and a copy of its arguments,
// taken from the va_list by the conversions the format names; strings are
// copied (cut), since what they point to may be gone by the time of a
// report. The report formats the line only if a fault happens.
//
// Capture runs on the logging thread. Render runs in the crash handler: it
// allocates nothing, takes no lock, reads the format through the kernel (it
// may have been unloaded or overwritten), and checks the format's
// conversions against the kept arguments' kinds, so a format that changed
// since, or damaged bytes, end the line instead of being misread.

#include <cstdarg>
#include <cstddef>

namespace oru::detail {

// Copies the arguments that `format` takes from `args` into `pOut` (at most
// `room` bytes); returns the bytes used. Stops at a conversion it does not
// know or when the room runs out, and says so in `cut`.
size_t CaptureArguments(const wchar_t* format, va_list args, unsigned char* pOut, size_t room,
                        bool& cut);

// Formats `format` with arguments captured from it into `pOut` (UTF-8,
// terminated, cut at `room`); returns the bytes written, without the
// terminator. False when the format cannot be read or does not match the
// arguments. `cut` appends a mark that the arguments were not all kept.
bool RenderCaptured(const wchar_t* format, const unsigned char* pArgs, size_t size, bool cut,
                    char* pOut, size_t room, size_t& length);

}  // namespace oru::detail

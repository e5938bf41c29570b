#pragma once

// The debug channel: where every log line also goes, for a developer to
// follow a running program. ORU_DEBUG_OUTPUT chooses it:
//  - unset: standard error, but only while a debugger is attached;
//  - "stderr": always standard error;
//  - any other value: a file path, appended to (tests read the channel so).
// The variable is read once, when the channel is first used: every log line
// asks where the channel goes, and a look through the environment for each
// line costs more than the rest of the answer. The text is UTF-8. Each call
// is one write, so lines from several threads never interleave within a line.

#include <string>
#include <string_view>

namespace oru::platform {

void WriteDebugChannel(std::string_view textUtf8);

// True when WriteDebugChannel would write somewhere now, so that a caller can
// skip preparing text nobody reads. Cheap: it reads the setting and the
// cached answer below.
bool IsDebugChannelOpen();

// True while a tracer (a debugger) is attached to the process. Checked again
// when the second of the calendar clock has changed since the last check: the
// answer is cached, because log lines ask on every write.
bool IsDebuggerAttached();

// Reads ORU_DEBUG_OUTPUT again, for a program (a test) that changes it after
// the channel was first used. Not while other threads write to the channel.
void ReloadDebugChannelSetting();

// What each system provides to the channel:
// A line for the attached debugger (called only while one is attached).
void WriteToDebugger(std::string_view textUtf8);
// Appends a line to the file at `pathUtf8`, opened once and kept open while
// the path stays the same. Never waits on a FIFO with no reader, and its
// writes do not pass the fault seam: diagnostics must not shift a test's
// count of file changes.
void AppendToDebugFile(const std::string& pathUtf8, std::string_view textUtf8);

}  // namespace oru::platform

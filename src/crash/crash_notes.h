#pragma once

// The parts of a crash report that tell what the game was doing: the recent
// lines of its logs, where in the frame it was, and the files it had open.
// Each subsystem that knows one of them hands the report a writer for it;
// the crash handler, below them all, knows only the writers.
//
// A writer runs on the faulting thread, maybe while other threads keep
// running: it must not allocate or take a lock, and it reads only records
// prepared before the fault, through oru::platform::CopyReadable wherever a
// pointer could have been damaged, so that a damaged record ends its part
// of the report instead of faulting again.

#include "crash/crash_report.h"

namespace oru::detail {

enum eCrashNote {
    CRASH_NOTE_RECENT_LOG,  // "< recent log lines >": every log's last lines
    CRASH_NOTE_FRAME,       // "< frame >": the open profiler sections, the last frames
    CRASH_NOTE_COUNT
};

using CrashNoteWriter = void (*)(CReportText& report);

// Sets the writer of a note (null: none). Thread-safe; the last one set wins.
void SetCrashNoteWriter(eCrashNote note, CrashNoteWriter writer);

// Appends each note under its heading, then the open files, calling
// `store` after each so that the report file receives the notes one by one.
void AppendCrashNotes(CReportText& report, void (*store)(void* pUser), void* pUser);

}  // namespace oru::detail

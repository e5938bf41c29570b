#include "crash/crash_notes.h"

#include "crash/open_files.h"

#include <atomic>

namespace oru::detail {
namespace {

std::atomic<CrashNoteWriter> s_writers[CRASH_NOTE_COUNT];

constexpr const char* NOTE_HEADINGS[CRASH_NOTE_COUNT] = {
    "< recent log lines >\r\n",
    "< frame >\r\n",
};

}  // namespace

void SetCrashNoteWriter(eCrashNote note, CrashNoteWriter writer)
{
    s_writers[note].store(writer, std::memory_order_release);
}

void AppendCrashNotes(CReportText& report, void (*store)(void* pUser), void* pUser)
{
    for (int note = 0; note < CRASH_NOTE_COUNT; ++note) {
        report.Append(NOTE_HEADINGS[note]);
        const CrashNoteWriter writer = s_writers[note].load(std::memory_order_acquire);
        if (writer)
            writer(report);
        else
            report.Append("(none)\r\n");
        report.Append("\r\n");
        store(pUser);
    }
    report.Append("< open files >\r\n");
    AppendOpenFiles(report);
    report.Append("\r\n");
    store(pUser);
}

}  // namespace oru::detail

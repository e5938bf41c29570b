#pragma once

// A log's flight recorder: its last lines, of every level, for the crash
// report. A line the log writes is kept as its finished message; a line the
// level filters out is kept unformatted (deferred_format.h), which costs a
// copy of its arguments rather than its formatting. The lines live in a
// fixed ring of fixed-size slots made when the log is set up, so keeping a
// line allocates nothing and takes no lock; a report reads every log's ring
// through a table of rings, oldest line first.
//
// Writers on several threads share a ring: each takes a ticket, claims the
// ticket's slot (a slot still being written by a writer a whole ring behind
// is skipped, and that line is lost), writes it and publishes the ticket in
// the slot. A report takes a slot only when its ticket is the one expected
// there, so a slot in writing is left out, and a damaged one ends that
// log's part of the report.

#include <oru/core/non_copyable.h>

#include "crash/crash_report.h"

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <string_view>

namespace oru::detail {

struct CRingLine;

class CRecentLines : private COruNonCopyable {
public:
    static constexpr int DEFAULT_LINES = 256;
    static constexpr int MAX_LINES = 65536;

    // A ring of `lines` lines (1 to MAX_LINES) for the log named `logName`,
    // entered in the report's table; null when memory runs out.
    static std::unique_ptr<CRecentLines> Create(int lines, std::wstring_view logName);
    static std::unique_ptr<CRecentLines> Create(int lines, const char* logNameUtf8);
    // Leaves the report's table first.
    ~CRecentLines();

    // A line the log wrote, with its message (the line without its prefix).
    void KeepWritten(int level, const wchar_t* message);
    // A line the level filtered out: its format and arguments.
    void KeepFiltered(int level, const wchar_t* format, va_list args);

    // Takes the ring out of the report (a log that replaced it or turned it
    // off); writers already inside it may still finish their line.
    void Retire();
    const char* Name() const { return m_szName; }
    // The slots' memory, for a test that damages it.
    unsigned char* SlotBytes(size_t& size);

    // The ring this one replaced, freed with it: a writer on another thread
    // may still be inside the old one.
    std::unique_ptr<CRecentLines> m_pReplaced;

private:
    CRecentLines() = default;
    CRingLine* Claim(uint64_t& ticket);
    void Publish(CRingLine& slot, uint64_t ticket);

    friend void AppendRing(const CRecentLines* pRing, CReportText& report);

    uint64_t m_nMagic = 0;                // RING_MAGIC while the ring lives
    uint64_t m_nLines = 0;                // a power of two
    CRingLine* m_pSlots = nullptr;        // m_nLines of them
    std::atomic<uint64_t> m_nNext{0};     // tickets handed out
    char m_szName[64] = {};               // UTF-8, for the report
};

// The crash report's part: every log's recent lines. Reads the rings
// through the kernel, so a damaged ring ends its own part only.
void AppendRecentLines(CReportText& report);

}  // namespace oru::detail

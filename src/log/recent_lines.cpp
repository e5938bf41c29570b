#include "log/recent_lines.h"

#include "core/utf8.h"
#include "crash/crash_notes.h"
#include "log/deferred_format.h"
#include "platform/clock.h"
#include "platform/memory_probe.h"

#include <bit>
#include <cstring>
#include <new>

namespace oru::detail {

// One line of a ring. The ticket is the slot's publication: a reader trusts
// the rest of the slot only when the ticket is the one it expects there.
struct CRingLine {
    uint64_t m_nTicket;         // ticket + 1 of the line held; 0: none yet; LINE_BUSY: in writing
    int64_t m_nTimeMs;          // calendar clock, milliseconds since the epoch
    const wchar_t* m_pFormat;   // a filtered line's format; null for a written line
    int32_t m_nLevel;
    uint8_t m_nBytes;           // of m_payload in use
    uint8_t m_bCut;             // a filtered line whose arguments were not all kept
    unsigned char m_payload[226];  // a written line's UTF-8 message, or a filtered line's arguments
};
static_assert(sizeof(CRingLine) == 256);

namespace {

constexpr uint64_t LINE_BUSY = UINT64_MAX;
constexpr uint64_t RING_MAGIC = 0x52454345'4E544C4Eull;  // a live ring's mark
constexpr size_t MAX_RINGS = 64;

std::atomic<const CRecentLines*> s_rings[MAX_RINGS];

void EnterTable(const CRecentLines* pRing)
{
    for (auto& entry : s_rings) {
        const CRecentLines* pFree = nullptr;
        if (entry.compare_exchange_strong(pFree, pRing, std::memory_order_release))
            return;
    }
}

void LeaveTable(const CRecentLines* pRing)
{
    for (auto& entry : s_rings) {
        const CRecentLines* pSelf = pRing;
        if (entry.compare_exchange_strong(pSelf, nullptr, std::memory_order_acq_rel))
            return;
    }
}

template <class T>
bool Read(T& value, const T* pSource)
{
    return oru::platform::CopyReadable(&value, pSource, sizeof value);
}

// Whether a slot's ticket can stand where ticket `expected` is due: the
// line itself, one a lap before or after it, a slot in writing, or none
// yet. Anything else is damage.
bool PlausibleTicket(uint64_t held, uint64_t expected, uint64_t lines)
{
    return held == 0 || held == LINE_BUSY || (held - 1) % lines == (expected - 1) % lines;
}

// "  12:00:01.234 Lv7 (not written) : text", the text kept on one line.
void AppendLine(const CRingLine& line, CReportText& report)
{
    const int64_t seconds = line.m_nTimeMs >= 0 ? line.m_nTimeMs / 1000 : 0;
    const oru::platform::CLocalTime time = oru::platform::LocalTimeFromLastOffset(seconds);
    report.AppendFormat("  %02d:%02d:%02d.%03d Lv%d%s : ", time.m_nHour, time.m_nMinute, time.m_nSecond,
                        static_cast<int>(line.m_nTimeMs % 1000 + (line.m_nTimeMs < 0 ? 1000 : 0)) % 1000,
                        line.m_nLevel, line.m_pFormat ? " (not written)" : "");
    char text[600];
    size_t length = 0;
    if (!line.m_pFormat) {
        length = line.m_nBytes;
        std::memcpy(text, line.m_payload, length);
    } else if (!RenderCaptured(line.m_pFormat, line.m_payload, line.m_nBytes, line.m_bCut, text,
                               sizeof text, length)) {
        report.Append("(its format can no longer be read)\r\n");
        return;
    }
    for (size_t i = 0; i < length; ++i)
        if (text[i] == '\r' || text[i] == '\n')
            text[i] = ' ';
    report.Append({text, length});
    report.Append("\r\n");
}

}  // namespace

void AppendRing(const CRecentLines* pRing, CReportText& report)
{
    uint64_t magic = 0;
    uint64_t lines = 0;
    CRingLine* pSlots = nullptr;
    uint64_t next = 0;
    char name[sizeof pRing->m_szName];
    if (!Read(magic, &pRing->m_nMagic) || magic != RING_MAGIC || !Read(lines, &pRing->m_nLines) ||
        !Read(pSlots, &pRing->m_pSlots) ||
        !oru::platform::CopyReadable(&next, &pRing->m_nNext, sizeof next) ||
        !oru::platform::CopyReadable(name, pRing->m_szName, sizeof name) || lines == 0 ||
        lines > CRecentLines::MAX_LINES || !std::has_single_bit(lines)) {
        report.Append("(a log whose recent lines are damaged)\r\n");
        return;
    }
    name[sizeof name - 1] = '\0';
    report.AppendFormat("%s :\r\n", name[0] ? name : "(a log without a name)");
    if (next == 0)
        report.Append("  (no lines yet)\r\n");
    for (uint64_t ticket = next > lines ? next - lines : 0; ticket < next; ++ticket) {
        CRingLine line;
        if (!oru::platform::CopyReadable(&line, &pSlots[ticket & (lines - 1)], sizeof line) ||
            !PlausibleTicket(line.m_nTicket, ticket + 1, lines) ||
            line.m_nBytes > sizeof line.m_payload) {
            report.Append("  (the rest of this log's lines are damaged)\r\n");
            return;
        }
        if (line.m_nTicket == ticket + 1)
            AppendLine(line, report);
    }
}

std::unique_ptr<CRecentLines> CRecentLines::Create(int lines, std::wstring_view logName)
{
    char name[sizeof CRecentLines::m_szName];
    ToUtf8LossyCut(logName, name, sizeof name);
    return Create(lines, name);
}

std::unique_ptr<CRecentLines> CRecentLines::Create(int lines, const char* logNameUtf8)
{
    if (lines < 1 || lines > MAX_LINES)
        return nullptr;
    std::unique_ptr<CRecentLines> pRing(new (std::nothrow) CRecentLines);
    if (!pRing)
        return nullptr;
    pRing->m_nLines = std::bit_ceil(static_cast<uint64_t>(lines));
    pRing->m_pSlots = new (std::nothrow) CRingLine[pRing->m_nLines]();
    if (!pRing->m_pSlots)
        return nullptr;
    std::strncpy(pRing->m_szName, logNameUtf8, sizeof pRing->m_szName - 1);
    pRing->m_nMagic = RING_MAGIC;
    EnterTable(pRing.get());
    SetCrashNoteWriter(CRASH_NOTE_RECENT_LOG, AppendRecentLines);
    return pRing;
}

unsigned char* CRecentLines::SlotBytes(size_t& size)
{
    size = m_nLines * sizeof(CRingLine);
    return reinterpret_cast<unsigned char*>(m_pSlots);
}

void CRecentLines::Retire()
{
    LeaveTable(this);
}

CRecentLines::~CRecentLines()
{
    LeaveTable(this);
    m_nMagic = 0;
    delete[] m_pSlots;
}

CRingLine* CRecentLines::Claim(uint64_t& ticket)
{
    ticket = m_nNext.fetch_add(1, std::memory_order_relaxed);
    CRingLine& slot = m_pSlots[ticket & (m_nLines - 1)];
    std::atomic_ref<uint64_t> held(slot.m_nTicket);
    uint64_t previous = held.load(std::memory_order_relaxed);
    if (previous == LINE_BUSY || !held.compare_exchange_strong(previous, LINE_BUSY, std::memory_order_acquire))
        return nullptr;  // a writer a whole ring behind is still in it: this line is lost
    slot.m_nTimeMs = oru::platform::CalendarMillisecondsCoarse();
    return &slot;
}

void CRecentLines::Publish(CRingLine& slot, uint64_t ticket)
{
    std::atomic_ref<uint64_t>(slot.m_nTicket).store(ticket + 1, std::memory_order_release);
}

void CRecentLines::KeepWritten(int level, const wchar_t* message)
{
    uint64_t ticket = 0;
    CRingLine* pSlot = Claim(ticket);
    if (!pSlot)
        return;
    pSlot->m_pFormat = nullptr;
    pSlot->m_nLevel = level;
    pSlot->m_bCut = 0;
    const size_t length = ToUtf8LossyCut(message, reinterpret_cast<char*>(pSlot->m_payload),
                                         sizeof pSlot->m_payload);
    pSlot->m_nBytes = static_cast<uint8_t>(length);
    Publish(*pSlot, ticket);
}

void CRecentLines::KeepFiltered(int level, const wchar_t* format, va_list args)
{
    uint64_t ticket = 0;
    CRingLine* pSlot = Claim(ticket);
    if (!pSlot)
        return;
    bool cut = false;
    pSlot->m_pFormat = format;
    pSlot->m_nLevel = level;
    pSlot->m_nBytes = static_cast<uint8_t>(
        CaptureArguments(format, args, pSlot->m_payload, sizeof pSlot->m_payload, cut));
    pSlot->m_bCut = cut ? 1 : 0;
    Publish(*pSlot, ticket);
}

void AppendRecentLines(CReportText& report)
{
    size_t shown = 0;
    for (const auto& entry : s_rings) {
        if (const CRecentLines* pRing = entry.load(std::memory_order_acquire)) {
            AppendRing(pRing, report);
            ++shown;
        }
    }
    if (shown == 0)
        report.Append("(none)\r\n");
}

}  // namespace oru::detail

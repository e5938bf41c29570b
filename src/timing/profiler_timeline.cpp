// A timeline capture keeps every begin and end of a section, not just the
// totals, so that one slow frame can be opened in a trace viewer.
//
// Each thread that profiles gets a track: a ring of 16-byte marks (begin,
// end, or the begin of a frame) with a time and the index of a name in the
// track's own name list. Only that thread writes its track, so recording
// takes no lock: a begin finds its name's index in a small hash table, writes
// one mark and bumps two counters. A lock is taken only when a thread writes
// its first mark of a capture (to claim a track) and when it meets a name for
// the first time (to append it where an export can read it). Once a capture
// has seen its names, a steady frame allocates nothing.
//
// A track records sections by the profiler's rules: an end that does not
// name the innermost open section is ignored, and beginning "Root" first ends
// every section still open. On the frame thread a "Root" begin is also the
// start of a frame, and nothing is recorded while no "Root" is open.
//
// An export reads the tracks while their threads keep writing. A writer
// announces the mark it is about to overwrite (m_nClaimed) before it writes
// the slot and publishes it (m_nWritten) after; the export copies the slots
// up to the published count and then drops every copy that a claim made
// since may have overwritten. What is left are whole, true marks: at worst
// the oldest frame is lost to a busy writer, never mixed up.
//
// The export pairs each track's begins and ends into complete sections,
// keeps the frame thread's last whole frames, and the other threads'
// sections that began during them.

#include "timing/profiler_timeline.h"

#include <oru/core/non_copyable.h>

#include "core/utf8.h"
#include "platform/replace_file.h"
#include "platform/thread_id.h"
#include "platform/clock.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <new>
#include <string_view>

namespace oru::detail {

// Every character counts: names a game makes from a pattern ("Spawn #17",
// "17 Spawn") differ in a few characters anywhere in the name, and a hash of
// only some of them put thousands of names on one probe chain.
uint32_t TimelineNameHash(std::wstring_view name)
{
    constexpr uint64_t MIX = 0x9E3779B97F4A7C15ull;
    uint64_t h = (name.size() + 1) * MIX;
    for (const wchar_t c : name)
        h = (h ^ static_cast<uint32_t>(c)) * MIX;
    return static_cast<uint32_t>(h >> 32);
}

namespace {

constexpr std::wstring_view ROOT_NAME = L"Root";
constexpr int MAX_DEPTH = 128;  // deeper sections are counted, not recorded
constexpr size_t FIRST_NAME_SLOTS = 64;  // power of two; doubled at half full
// A track sheds the names its ring no longer holds once it has this many, or
// twice as many as it kept at its last shedding, whichever is more.
constexpr size_t NAMES_BEFORE_SHEDDING = 1024;
constexpr uint32_t NAME_DROPPED = UINT32_MAX;
constexpr size_t RECENT_FRAMES = 8;  // frame durations kept for a crash report

enum ETimelineMark : uint32_t { MARK_BEGIN, MARK_END, MARK_FRAME };

// A slot of a track's ring. The fields are atomics, written and read with
// relaxed order, so that an export may copy a slot while its thread
// overwrites it; the track's counters say which copies to keep.
struct CTimelineEvent {
    std::atomic<int64_t> m_nTicks{0};
    std::atomic<uint32_t> m_nName{0};  // index in the track's names
    std::atomic<uint32_t> m_nMark{0};  // ETimelineMark
};
static_assert(sizeof(CTimelineEvent) == 16);

struct CMark {
    int64_t m_nTicks;
    uint32_t m_nName;
    uint32_t m_nMark;
};

// A begin and its end, as the export pairs them.
struct CSection {
    int64_t m_nBegin;  // ticks
    int64_t m_nEnd;    // ticks
    uint32_t m_nName;
    uint32_t m_nDepth;     // open sections around it on its thread
    size_t m_nBeginMark;   // index of the begin among the track's copied marks
    size_t m_nEndMark;
    bool m_bFrame;
};

std::atomic<uint64_t> s_nLastGeneration{0};

}  // namespace

class CTimelineTrack {
public:
    // Layout changes run under the capture's lock, by the thread that owns
    // the track or is about to. False when the ring cannot be allocated.
    bool Reset(uint64_t generation, uint64_t capacity, long threadId, bool frameThread)
    {
        m_nGeneration = 0;  // in no capture until the ring is there
        if (capacity != m_nCapacity) {
            m_pEvents.reset();
            m_nCapacity = 0;
            m_pEvents.reset(new (std::nothrow) CTimelineEvent[capacity]);
            if (!m_pEvents)
                return false;
            m_nCapacity = capacity;
        }
        m_nNext = 0;
        m_nSlot = 0;
        m_nClaimed.store(0, std::memory_order_relaxed);
        m_nWritten.store(0, std::memory_order_relaxed);
        m_vecNames.clear();
        m_vecNames.shrink_to_fit();
        m_vecNameSlots.assign(FIRST_NAME_SLOTS, 0);
        m_nShedAt = NAMES_BEFORE_SHEDDING;
        m_nDepth = 0;
        m_nHidden = 0;
        m_nFramesEnded.store(0, std::memory_order_release);
        m_nGeneration = generation;
        m_nThreadId = threadId;
        m_bFrameThread = frameThread;
        return true;
    }

    void Begin(const std::wstring& name, int64_t ticks, COruCriticalSection& cs)
    {
        const bool root = name == ROOT_NAME;
        if (root)
            CloseAll(ticks);
        else if (m_bFrameThread && m_nDepth == 0 && m_nHidden == 0)
            return;  // between frames: not recorded
        if (m_nHidden > 0 || m_nDepth == MAX_DEPTH) {
            ++m_nHidden;
            return;
        }
        uint32_t id = 0;
        if (!FindName(name, id) && !AddName(name, cs, id)) {
            ++m_nHidden;
            return;
        }
        m_open[static_cast<size_t>(m_nDepth++)] = id;
        if (root && m_bFrameThread)
            m_nFrameBegin = ticks;
        Push(ticks, id, root && m_bFrameThread ? MARK_FRAME : MARK_BEGIN);
    }

    void End(const std::wstring& name, int64_t ticks)
    {
        if (m_nHidden > 0) {
            --m_nHidden;
            return;
        }
        if (m_nDepth == 0 || m_vecNames[m_open[static_cast<size_t>(m_nDepth - 1)]] != name)
            return;  // not the open section: ignored
        --m_nDepth;
        Push(ticks, m_open[static_cast<size_t>(m_nDepth)], MARK_END);
        if (m_nDepth == 0)
            NoteFrameEnd(ticks);
    }

    void CloseAll(int64_t ticks)
    {
        m_nHidden = 0;
        if (m_nDepth == 0)
            return;
        while (m_nDepth > 0) {
            --m_nDepth;
            Push(ticks, m_open[static_cast<size_t>(m_nDepth)], MARK_END);
        }
        NoteFrameEnd(ticks);
    }

    // Read by a crash report on any thread, without a lock: each duration is
    // an atomic of its own, and the count is published after it.
    size_t RecentFrames(int64_t* pTicks, size_t room) const
    {
        const uint64_t ended = m_nFramesEnded.load(std::memory_order_acquire);
        const uint64_t kept = std::min<uint64_t>({ended, RECENT_FRAMES, room});
        for (uint64_t i = 0; i < kept; ++i)
            pTicks[i] = m_recentFrames[(ended - kept + i) % RECENT_FRAMES].load(std::memory_order_relaxed);
        return static_cast<size_t>(kept);
    }

    size_t NameCount() const { return m_vecNames.size(); }

    // Under the capture's lock, while the owner may keep writing marks.
    void Copy(std::vector<CMark>& marks, std::vector<std::wstring>& names) const
    {
        const uint64_t written = m_nWritten.load(std::memory_order_acquire);
        const uint64_t first = written > m_nCapacity ? written - m_nCapacity : 0;
        marks.clear();
        marks.reserve(static_cast<size_t>(written - first));
        for (uint64_t i = first; i < written; ++i) {
            const CTimelineEvent& slot = m_pEvents[i % m_nCapacity];
            marks.push_back({slot.m_nTicks.load(std::memory_order_relaxed),
                             slot.m_nName.load(std::memory_order_relaxed),
                             slot.m_nMark.load(std::memory_order_relaxed)});
        }
        std::atomic_thread_fence(std::memory_order_acquire);
        const uint64_t claimed = m_nClaimed.load(std::memory_order_relaxed);
        const uint64_t intact = claimed > m_nCapacity ? claimed - m_nCapacity : 0;
        if (intact > first)
            marks.erase(marks.begin(),
                        marks.begin() + static_cast<ptrdiff_t>(std::min<uint64_t>(intact - first, marks.size())));
        names = m_vecNames;
    }

    uint64_t m_nGeneration = 0;  // the capture this track belongs to
    long m_nThreadId = 0;
    bool m_bFrameThread = false;
    std::atomic<bool> m_bOwned{false};  // a live thread writes here

private:
    void NoteFrameEnd(int64_t ticks)
    {
        if (!m_bFrameThread)
            return;
        const uint64_t ended = m_nFramesEnded.load(std::memory_order_relaxed);
        m_recentFrames[ended % RECENT_FRAMES].store(ticks - m_nFrameBegin, std::memory_order_relaxed);
        m_nFramesEnded.store(ended + 1, std::memory_order_release);
    }

    void Push(int64_t ticks, uint32_t name, ETimelineMark mark)
    {
        m_nClaimed.store(m_nNext + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        CTimelineEvent& slot = m_pEvents[m_nSlot];
        slot.m_nTicks.store(ticks, std::memory_order_relaxed);
        slot.m_nName.store(name, std::memory_order_relaxed);
        slot.m_nMark.store(mark, std::memory_order_relaxed);
        ++m_nNext;
        m_nWritten.store(m_nNext, std::memory_order_release);
        if (++m_nSlot == m_nCapacity)
            m_nSlot = 0;
    }

    bool FindName(const std::wstring& name, uint32_t& id) const
    {
        const size_t mask = m_vecNameSlots.size() - 1;
        for (size_t i = TimelineNameHash(name) & mask;; i = (i + 1) & mask) {
            const uint32_t entry = m_vecNameSlots[i];
            if (entry == 0)
                return false;
            if (m_vecNames[entry - 1] == name) {
                id = entry - 1;
                return true;
            }
        }
    }

    // The list grows under the lock because an export reads it; the table
    // is the writer's alone.
    bool AddName(const std::wstring& name, COruCriticalSection& cs, uint32_t& id)
    {
        try {
            if (m_vecNames.size() >= m_nShedAt)
                ShedNames(cs);
            if ((m_vecNames.size() + 1) * 2 > m_vecNameSlots.size())
                RebuildNameSlots(m_vecNameSlots.size() * 2);
            COruLock lock(cs);
            m_vecNames.push_back(name);
        } catch (const std::bad_alloc&) {
            return false;
        }
        id = static_cast<uint32_t>(m_vecNames.size() - 1);
        InsertNameSlot(id);
        return true;
    }

    // Names that never come back (a section per spawned object) would grow
    // the list for as long as the capture runs. Once it is long, the names
    // that no mark in the ring and no open section uses are dropped, and the
    // rest renumbered in the marks. Only the owner writes marks, and an
    // export reads them under the lock, so the renumbering is done under it.
    // The threshold doubles with what is kept, so the work stays in
    // proportion to the names added.
    void ShedNames(COruCriticalSection& cs)
    {
        const uint64_t first = m_nNext > m_nCapacity ? m_nNext - m_nCapacity : 0;
        std::vector<uint32_t> renumbered(m_vecNames.size(), NAME_DROPPED);
        for (uint64_t i = first; i < m_nNext; ++i)
            renumbered[m_pEvents[i % m_nCapacity].m_nName.load(std::memory_order_relaxed)] = 0;
        for (int depth = 0; depth < m_nDepth; ++depth)
            renumbered[m_open[static_cast<size_t>(depth)]] = 0;
        std::vector<std::wstring> kept;
        for (uint32_t id = 0; id < renumbered.size(); ++id) {
            if (renumbered[id] == NAME_DROPPED)
                continue;
            renumbered[id] = static_cast<uint32_t>(kept.size());
            kept.push_back(std::move(m_vecNames[id]));
        }
        {
            COruLock lock(cs);
            for (uint64_t i = first; i < m_nNext; ++i) {
                std::atomic<uint32_t>& name = m_pEvents[i % m_nCapacity].m_nName;
                name.store(renumbered[name.load(std::memory_order_relaxed)], std::memory_order_relaxed);
            }
            for (int depth = 0; depth < m_nDepth; ++depth)
                m_open[static_cast<size_t>(depth)] = renumbered[m_open[static_cast<size_t>(depth)]];
            m_vecNames.swap(kept);
        }
        m_nShedAt = std::max(NAMES_BEFORE_SHEDDING, m_vecNames.size() * 2);
        size_t slots = FIRST_NAME_SLOTS;
        while ((m_vecNames.size() + 1) * 2 > slots)
            slots *= 2;
        RebuildNameSlots(slots);
    }

    void RebuildNameSlots(size_t count)
    {
        std::vector<uint32_t> slots(count, 0);
        m_vecNameSlots.swap(slots);
        for (uint32_t id = 0; id < m_vecNames.size(); ++id)
            InsertNameSlot(id);
    }

    void InsertNameSlot(uint32_t id)
    {
        const size_t mask = m_vecNameSlots.size() - 1;
        size_t i = TimelineNameHash(m_vecNames[id]) & mask;
        while (m_vecNameSlots[i] != 0)
            i = (i + 1) & mask;
        m_vecNameSlots[i] = id + 1;
    }

    std::unique_ptr<CTimelineEvent[]> m_pEvents;
    uint64_t m_nCapacity = 0;  // marks in the ring
    uint64_t m_nNext = 0;      // marks written so far; the writer's own count
    uint64_t m_nSlot = 0;      // m_nNext modulo the capacity
    std::atomic<uint64_t> m_nClaimed{0};  // marks whose slot may be in writing
    std::atomic<uint64_t> m_nWritten{0};  // marks whose slot is complete
    std::vector<std::wstring> m_vecNames;
    std::vector<uint32_t> m_vecNameSlots;  // name index + 1 by hash; 0 is empty
    size_t m_nShedAt = NAMES_BEFORE_SHEDDING;  // names at which unused ones are dropped
    std::array<uint32_t, MAX_DEPTH> m_open{};  // names of the open sections
    int m_nDepth = 0;
    int m_nHidden = 0;  // open sections that were not recorded, innermost last
    int64_t m_nFrameBegin = 0;  // ticks of the open frame's "Root" begin
    std::array<std::atomic<int64_t>, RECENT_FRAMES> m_recentFrames{};  // ticks, a ring
    std::atomic<uint64_t> m_nFramesEnded{0};
};

// What the calling thread knows of the captures. Plain values in one
// record, so that the recording path reaches them with one look-up and no
// constructor check; a generation is never reused, so a track of a capture
// that is gone is never touched again.
struct CThreadState {
    CTimelineTrack* m_pTrack;    // in the capture m_nGeneration names; null: none to be had
    uint64_t m_nGeneration;
    uint64_t m_nFrameGeneration;  // the capture this thread started, as the frame thread
};

namespace {

thread_local CThreadState t_state{nullptr, 0, 0};

// Gives the thread's track up when the thread ends, for a later thread to
// take over. The weak pointer finds the track gone if the profiler went first.
struct CTrackRelease : private COruNonCopyable {
    std::weak_ptr<CTimelineTrack> m_wpTrack;
    CTrackRelease() = default;
    ~CTrackRelease()
    {
        if (std::shared_ptr<CTimelineTrack> pTrack = m_wpTrack.lock())
            pTrack->m_bOwned.store(false, std::memory_order_release);
    }
};
thread_local CTrackRelease t_release;

// Pairs the marks of one track, from `first` on, into sections. An end whose
// begin came before `first` (or was overwritten) and a begin still open at
// the last mark make no section.
std::vector<CSection> PairSections(const std::vector<CMark>& marks, size_t first, size_t nameCount)
{
    std::vector<CSection> sections;
    std::vector<size_t> open;
    for (size_t i = first; i < marks.size(); ++i) {
        const CMark& mark = marks[i];
        if (mark.m_nName >= nameCount)
            continue;
        if (mark.m_nMark != MARK_END) {
            open.push_back(i);
            continue;
        }
        if (open.empty())
            continue;
        const CMark& begin = marks[open.back()];
        sections.push_back({begin.m_nTicks, mark.m_nTicks, begin.m_nName,
                            static_cast<uint32_t>(open.size() - 1), open.back(), i,
                            begin.m_nMark == MARK_FRAME});
        open.pop_back();
    }
    return sections;
}

void AppendJsonString(std::string& out, const std::wstring& text)
{
    out += '"';
    for (const char c : ToUtf8Lossy(text)) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    out += '"';
}

// Microseconds with three decimals, from whole nanoseconds: integer
// formatting, so that a game's locale never turns the point into a comma.
void AppendMicroseconds(std::string& out, int64_t ticks, int64_t frequency)
{
    const double nanoseconds = static_cast<double>(std::max<int64_t>(ticks, 0)) * 1e9 /
                               static_cast<double>(frequency);
    const uint64_t whole = static_cast<uint64_t>(std::llround(nanoseconds));
    char text[32];
    char* end = std::to_chars(text, text + sizeof text, whole / 1000).ptr;
    const uint64_t fraction = whole % 1000;
    *end++ = '.';
    *end++ = static_cast<char>('0' + fraction / 100);
    *end++ = static_cast<char>('0' + fraction / 10 % 10);
    *end++ = static_cast<char>('0' + fraction % 10);
    out.append(text, end);
}

struct CTrackCopy {
    long m_nThreadId = 0;
    bool m_bFrameThread = false;
    std::vector<CMark> m_vecMarks;
    std::vector<std::wstring> m_vecNames;
};

// The kept frames: the range of the frame thread's marks and the span in
// ticks that they cover.
struct CFrameWindow {
    size_t m_nFirstMark;
    size_t m_nEndMark;  // the last frame's end; sections begun before it belong
    int64_t m_nBegin;
    int64_t m_nEnd;
};

// The window of the frame thread's last `frameCount` whole frames; false
// when no frame is whole.
bool FindFrames(const std::vector<CSection>& sections, int frameCount, CFrameWindow& window)
{
    std::vector<const CSection*> frames;
    for (const CSection& section : sections)
        if (section.m_bFrame)
            frames.push_back(&section);
    if (frames.empty())
        return false;
    const size_t keep = std::min(frames.size(), static_cast<size_t>(frameCount));
    const CSection& first = *frames[frames.size() - keep];
    const CSection& last = *frames.back();
    window = {first.m_nBeginMark, last.m_nEndMark, first.m_nBegin, last.m_nEnd};
    return true;
}

void AppendTrack(std::string& out, const CTrackCopy& track, std::vector<CSection>& sections,
                 const CFrameWindow& window, uint32_t processId, int64_t frequency)
{
    // Siblings that begin at one reading stay in the order they ended.
    std::stable_sort(sections.begin(), sections.end(), [](const CSection& a, const CSection& b) {
        return a.m_nBegin != b.m_nBegin ? a.m_nBegin < b.m_nBegin : a.m_nDepth < b.m_nDepth;
    });
    const std::string ids = ",\"pid\":" + std::to_string(processId) +
                            ",\"tid\":" + std::to_string(track.m_nThreadId) + "}";
    for (const CSection& section : sections) {
        const bool kept = track.m_bFrameThread
                              ? section.m_nBeginMark >= window.m_nFirstMark &&
                                    section.m_nBeginMark < window.m_nEndMark
                              : section.m_nBegin >= window.m_nBegin && section.m_nBegin < window.m_nEnd;
        if (!kept)
            continue;
        out += ",\n{\"name\":";
        AppendJsonString(out, track.m_vecNames[section.m_nName]);
        out += ",\"ph\":\"X\",\"ts\":";
        AppendMicroseconds(out, section.m_nBegin - window.m_nBegin, frequency);
        out += ",\"dur\":";
        AppendMicroseconds(out, section.m_nEnd - section.m_nBegin, frequency);
        out += ids;
    }
}

}  // namespace

CProFileTimeline::CProFileTimeline()
    : m_bStarted(false),
      m_bRecording(false),
      m_nGeneration(0),
      m_pFrameTrack(nullptr),
      m_nFrameCount(0),
      m_nEventsPerFrame(0)
{
}

CProFileTimeline::~CProFileTimeline() = default;

bool CProFileTimeline::Start(int frameCount, int eventsPerFrame)
{
    COruLock lock(m_cs);
    m_bRecording.store(false, std::memory_order_relaxed);
    if (frameCount < 1 || frameCount > TIMELINE_MAX_FRAMES || eventsPerFrame < 1 ||
        eventsPerFrame > TIMELINE_MAX_EVENTS_PER_FRAME ||
        static_cast<uint64_t>(frameCount) * static_cast<uint64_t>(eventsPerFrame) >
            TIMELINE_MAX_EVENTS_PER_THREAD)
        return false;

    m_nFrameCount = frameCount;
    m_nEventsPerFrame = eventsPerFrame;
    m_pFrameTrack.store(nullptr, std::memory_order_release);
    const uint64_t generation = s_nLastGeneration.fetch_add(1) + 1;
    m_nGeneration.store(generation, std::memory_order_relaxed);
    t_state.m_nFrameGeneration = generation;
    m_bStarted.store(true, std::memory_order_release);
    CTimelineTrack* pTrack = Attach();
    if (!pTrack)
        return false;  // still the frame thread, so the call tree stays its own
    pTrack->m_bFrameThread = true;
    m_pFrameTrack.store(pTrack, std::memory_order_release);
    m_bRecording.store(true, std::memory_order_relaxed);
    return true;
}

size_t CProFileTimeline::NamesHeld() const
{
    COruLock lock(m_cs);
    const uint64_t generation = m_nGeneration.load(std::memory_order_relaxed);
    size_t names = 0;
    for (const auto& pTrack : m_vecTracks)
        if (pTrack->m_nGeneration == generation)
            names += pTrack->NameCount();
    return names;
}

size_t CProFileTimeline::RecentFrames(int64_t* pTicks, size_t room) const
{
    const CTimelineTrack* pTrack = m_pFrameTrack.load(std::memory_order_acquire);
    if (!pTrack || !m_bRecording.load(std::memory_order_relaxed))
        return 0;
    return pTrack->RecentFrames(pTicks, room);
}

void CProFileTimeline::Stop()
{
    m_bRecording.store(false, std::memory_order_relaxed);
}

// The frame thread claimed its track in Start; another thread claims one at
// its first section of the capture.
CTimelineTrack* CProFileTimeline::CurrentTrack(CThreadState& state, uint64_t generation)
{
    if (state.m_nGeneration == generation)
        return state.m_pTrack;
    COruLock lock(m_cs);
    if (!m_bRecording.load(std::memory_order_relaxed))
        return nullptr;  // stopped meanwhile
    return Attach();
}

// Under the lock. The thread keeps its own track if it had one, else takes
// a new one while there are fewer than the limit, else one that a thread
// gave up when it ended. A thread that gets none records nothing until the
// next capture, without asking again.
CTimelineTrack* CProFileTimeline::Attach()
{
    const uint64_t generation = m_nGeneration.load(std::memory_order_relaxed);
    const long threadId = oru::platform::CurrentThreadId();
    CThreadState& state = t_state;
    state.m_nGeneration = generation;
    state.m_pTrack = nullptr;

    std::shared_ptr<CTimelineTrack> pTrack;
    for (const auto& pCandidate : m_vecTracks)
        if (pCandidate->m_nThreadId == threadId && pCandidate->m_bOwned.load(std::memory_order_acquire))
            pTrack = pCandidate;
    try {
        if (!pTrack && m_vecTracks.size() < TIMELINE_MAX_THREADS) {
            pTrack = std::make_shared<CTimelineTrack>();
            m_vecTracks.push_back(pTrack);
        }
        for (size_t i = 0; !pTrack && i < m_vecTracks.size(); ++i)
            if (!m_vecTracks[i]->m_bOwned.load(std::memory_order_acquire))
                pTrack = m_vecTracks[i];
        if (!pTrack)
            return nullptr;
        const uint64_t capacity =
            static_cast<uint64_t>(m_nFrameCount) * static_cast<uint64_t>(m_nEventsPerFrame);
        pTrack->m_bOwned.store(true, std::memory_order_relaxed);
        t_release.m_wpTrack = pTrack;
        if (!pTrack->Reset(generation, capacity, threadId, false)) {
            pTrack->m_bOwned.store(false, std::memory_order_relaxed);
            return nullptr;
        }
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    state.m_pTrack = pTrack.get();
    return state.m_pTrack;
}

bool CProFileTimeline::Begin(const std::wstring& name, int64_t ticks)
{
    CThreadState& state = t_state;
    const uint64_t generation = m_nGeneration.load(std::memory_order_relaxed);
    if (m_bRecording.load(std::memory_order_relaxed))
        if (CTimelineTrack* pTrack = CurrentTrack(state, generation))
            pTrack->Begin(name, ticks, m_cs);
    return state.m_nFrameGeneration == generation;
}

bool CProFileTimeline::End(const std::wstring& name, int64_t ticks)
{
    CThreadState& state = t_state;
    const uint64_t generation = m_nGeneration.load(std::memory_order_relaxed);
    if (m_bRecording.load(std::memory_order_relaxed))
        if (CTimelineTrack* pTrack = CurrentTrack(state, generation))
            pTrack->End(name, ticks);
    return state.m_nFrameGeneration == generation;
}

void CProFileTimeline::CloseAll(int64_t ticks)
{
    CThreadState& state = t_state;
    const uint64_t generation = m_nGeneration.load(std::memory_order_relaxed);
    if (m_bRecording.load(std::memory_order_relaxed) && state.m_nFrameGeneration == generation)
        if (CTimelineTrack* pTrack = CurrentTrack(state, generation))
            pTrack->CloseAll(ticks);
}

bool CProFileTimeline::Export(const std::string& pathUtf8) const
{
    const int64_t frequency = oru::platform::Clocks().Frequency();
    if (pathUtf8.empty() || frequency <= 0)
        return false;

    std::string json;
    try {
        std::vector<CTrackCopy> tracks;
        int frameCount = 0;
        {
            COruLock lock(m_cs);
            const uint64_t generation = m_nGeneration.load(std::memory_order_relaxed);
            frameCount = m_nFrameCount;
            for (const auto& pTrack : m_vecTracks) {
                if (generation == 0 || pTrack->m_nGeneration != generation)
                    continue;
                CTrackCopy& copy = tracks.emplace_back();
                copy.m_nThreadId = pTrack->m_nThreadId;
                copy.m_bFrameThread = pTrack->m_bFrameThread;
                pTrack->Copy(copy.m_vecMarks, copy.m_vecNames);
            }
        }

        // The frame thread's track comes first; its frames set the window.
        std::stable_partition(tracks.begin(), tracks.end(),
                              [](const CTrackCopy& track) { return track.m_bFrameThread; });
        if (tracks.empty() || !tracks.front().m_bFrameThread)
            return false;
        const std::vector<CMark>& frameMarks = tracks.front().m_vecMarks;
        const auto firstFrame = std::find_if(frameMarks.begin(), frameMarks.end(),
                                             [](const CMark& mark) { return mark.m_nMark == MARK_FRAME; });
        std::vector<CSection> frameSections =
            PairSections(frameMarks, static_cast<size_t>(firstFrame - frameMarks.begin()),
                         tracks.front().m_vecNames.size());
        CFrameWindow window{};
        if (!FindFrames(frameSections, frameCount, window))
            return false;

        const uint32_t processId = oru::platform::CurrentProcessId();
        json = "{\"displayTimeUnit\":\"ms\",\"traceEvents\":[\n";
        json += "{\"name\":\"thread_name\",\"ph\":\"M\",\"pid\":" + std::to_string(processId) +
                ",\"tid\":" + std::to_string(tracks.front().m_nThreadId) +
                ",\"args\":{\"name\":\"frame thread\"}}";
        AppendTrack(json, tracks.front(), frameSections, window, processId, frequency);
        for (size_t i = 1; i < tracks.size(); ++i) {
            std::vector<CSection> sections =
                PairSections(tracks[i].m_vecMarks, 0, tracks[i].m_vecNames.size());
            AppendTrack(json, tracks[i], sections, window, processId, frequency);
        }
        json += "\n]}\n";
    } catch (const std::bad_alloc&) {
        return false;
    }
    return oru::platform::ReplaceFileContents(pathUtf8, json);
}

}  // namespace oru::detail

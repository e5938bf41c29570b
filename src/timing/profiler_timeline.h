#pragma once

// The profiler's timeline capture: every begin and end of a section, with its
// time and its thread, for the last frames, so that one slow frame can be
// looked at section by section in a trace viewer.

#include <oru/core/critical_section.h>
#include <oru/core/non_copyable.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace oru::detail {

class CTimelineTrack;
struct CThreadState;

// The capture is owned by the profiler. The thread that turns it on is the
// frame thread: its "Root" sections are the frames, and only it goes on to
// the profiler's call tree. Other threads record on tracks of their own.
//
// Thread rules: Begin and End may run on any thread at once; each thread
// writes only its own track and takes no lock after its first section of a
// capture. Start runs on the frame thread; Stop and Export may run on any
// thread at any time, Export while other threads keep recording. After Stop
// the frame thread stays what it was, so other threads still keep off the
// call tree.
class CProFileTimeline : private COruNonCopyable {
public:
    CProFileTimeline();
    ~CProFileTimeline();

    // True from the first Start on: from then, sections go through Begin and
    // End, which keep other threads off the call tree. Before it, this is the
    // one test that a section pays.
    bool IsStarted() const { return m_bStarted.load(std::memory_order_relaxed); }

    // Starts a fresh capture that keeps `frameCount` frames of up to
    // `eventsPerFrame` begins and ends each, per thread; the calling thread
    // becomes the frame thread. False, with the capture off, when a figure
    // is out of range or the buffers cannot be allocated.
    bool Start(int frameCount, int eventsPerFrame);
    // Ends recording; the kept frames stay for Export until the next Start.
    void Stop();

    // Record a section's begin or end at `ticks` while recording. True when
    // the calling thread is the frame thread, which then goes on to the call
    // tree; that holds after Stop too.
    bool Begin(const std::wstring& name, int64_t ticks);
    bool End(const std::wstring& name, int64_t ticks);
    // The frame thread's open sections end at `ticks`, as the call tree's do
    // when its result is taken mid-frame.
    void CloseAll(int64_t ticks);

    // Writes the kept frames as a trace-event JSON document. False when no
    // whole frame is kept or the file cannot be written.
    bool Export(const std::string& pathUtf8) const;

    // The names the capture's tracks hold, all threads together.
    size_t NamesHeld() const;

    // The durations in ticks of the frame thread's last frames, oldest first,
    // into `pTicks` (at most `room`); their number. For the crash report:
    // takes no lock and allocates nothing.
    size_t RecentFrames(int64_t* pTicks, size_t room) const;

private:
    CTimelineTrack* CurrentTrack(CThreadState& state, uint64_t generation);
    CTimelineTrack* Attach();

    std::atomic<bool> m_bStarted;
    std::atomic<bool> m_bRecording;
    std::atomic<uint64_t> m_nGeneration;  // names the capture; 0 before the first
    std::atomic<const CTimelineTrack*> m_pFrameTrack;  // the frame thread's, in the capture
    mutable COruCriticalSection m_cs;        // the track list and each track's layout
    std::vector<std::shared_ptr<CTimelineTrack>> m_vecTracks;
    int m_nFrameCount;
    int m_nEventsPerFrame;
};

// The hash under which a track finds a section's name.
uint32_t TimelineNameHash(std::wstring_view name);

// Ranges that Start accepts.
constexpr int TIMELINE_MAX_FRAMES = 100000;
constexpr int TIMELINE_MAX_EVENTS_PER_FRAME = 1 << 20;
constexpr uint64_t TIMELINE_MAX_EVENTS_PER_THREAD = uint64_t{1} << 24;  // 256 MiB a thread
constexpr size_t TIMELINE_MAX_THREADS = 64;

}  // namespace oru::detail

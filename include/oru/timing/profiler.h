#pragma once

#include <oru/core/export.h>
#include <oru/core/non_copyable.h>
#include <oru/core/singleton.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

class CLogSystem;

namespace oru::detail {
class CProFileTimeline;
struct CProFilerCrashNote;
}

// One named section under one parent in the profiler's call tree. The same
// name under two parents makes two nodes; the same name begun again under one
// parent adds to the same node. Times are raw counter ticks: only their
// ratios are reported.
class ORU_API CProFileNode : private COruNonCopyable {
public:
    CProFileNode(CProFileNode* parent, const std::wstring& name);
    ~CProFileNode();  // destroys the subtree

    CProFileNode* m_pParent;  // null for the root
    std::map<std::wstring, std::unique_ptr<CProFileNode>> m_mapChildren;  // by name
    int64_t m_nStart;         // ticks at the last begin
    int64_t m_nTotal;         // ticks over every completed begin/end pair
    int64_t m_nSelf;          // total minus the children's totals; set by LogResult
    int m_nCallCount;         // begins, the one that created the node included
    std::wstring m_strName;
};

class CProFiler;
extern template class ORU_API CSingleton<CProFiler>;

// The section profiler: how the time of a frame divides among named, nested
// code sections. Bracket the frame with the section "Root" and each inner
// section with ExecBegin(name) / ExecEnd(name); LogResult writes a table of
// inclusive and exclusive shares and call counts to the file log "ProFileLog"
// in the log folder (./oru_log unless set: see <oru/log/log_folder.h>) and
// starts a fresh tree.
//
//     _ProFileExecute(true);
//     for (;;) {
//         _ProFileBegin(L"Root");
//         _ProFileBegin(L"Physics"); Simulate(); _ProFileEnd(L"Physics");
//         _ProFileEnd(L"Root");
//         if (wantReport) _ProFileResult();
//     }
//
// Profiling is off until ExecuteProFiler(true). Unbalanced use is tolerated:
// an end that does not name the current section is ignored; beginning "Root"
// ends every section still open (a missed end costs one frame, never the
// later ones), and so does LogResult; a section begun while "Root" is not
// open is not recorded. Every share in the table lies within 0-100 %.
//
// A steady frame costs one clock reading per begin and per end and one lookup
// per begin; it allocates nothing. Not thread-safe: profile one thread, or
// several with a timeline capture on (CaptureTimeline).
//
// Not copyable: a copy would share the tree and the log.
class ORU_API CProFiler : public CSingleton<CProFiler>, private COruNonCopyable {
public:
    // Opens the profiler's log; a log that cannot be set up is a fatal error.
    CProFiler();
    ~CProFiler();

    void ExecuteProFiler(bool on);
    void ExecBegin(const std::wstring& name);
    void ExecEnd(const std::wstring& name);
    // Ends the sections still open, writes the table at log level 3 and
    // discards the tree. Nothing is written when no "Root" was begun since
    // the last call.
    void LogResult();
    // Writes the current tree to `path` (replacing the file) as folded
    // stacks, one line per node: "Root;Physics;Broadphase 1234", the path of
    // names and the node's exclusive time in whole microseconds. Flame-graph
    // viewers read this format. The tree is kept. False when there is no
    // tree or the file cannot be written.
    bool ExportFolded(const std::wstring& path) const;

    // Timeline capture: with it on, every begin and end of a section is kept
    // with its time and thread for the last `frameCount` frames (a frame is
    // one "Root" section), up to `eventsPerFrame` begins and ends per frame
    // and thread; busier frames crowd older ones out. Memory: 16 bytes times
    // both figures, for each thread that profiles. `frameCount` 0 turns the
    // capture off and keeps what it holds for ExportTimeline; a new capture
    // starts empty. False, with the capture off, when a figure is out of
    // range or the memory cannot be had. Off at construction; while off, a
    // section pays one test for it.
    //
    // Threads: turn the capture on from the thread that runs the frames.
    // While it is on, other threads may profile too: each records on its
    // own track. Their sections stay out of the table and the folded export,
    // which describe the frame thread alone, from the first capture on, also
    // while it is off again; before the first capture, profile one thread.
    // Turned on mid-frame, the capture starts with the next "Root"; turned
    // off mid-frame, it keeps the frames ended before. Turning it off and
    // exporting may happen on any thread. Delete the profiler only once no
    // thread profiles.
    static constexpr int TIMELINE_EVENTS_PER_FRAME = 1024;
    bool CaptureTimeline(int frameCount, int eventsPerFrame = TIMELINE_EVENTS_PER_FRAME);
    // Writes the kept frames to `path` (replacing the file) as a trace-event
    // JSON document: one complete event per section, times in microseconds
    // from the first kept frame, with the process and thread ids. The frame
    // thread's sections of those frames are written, and the other threads'
    // sections that began during them and had ended. May run while threads
    // keep profiling; a frame they overwrite meanwhile is left out. False
    // when no whole frame is kept or the file cannot be written.
    bool ExportTimeline(const std::wstring& path) const;

    CLogSystem* GetLog() const { return m_pLog.get(); }

private:
    friend struct oru::detail::CProFilerCrashNote;  // reads the open sections for a crash report

    void CloseOpenSections(int64_t now);

    std::unique_ptr<CProFileNode> m_pRoot;  // none until "Root" is begun
    CProFileNode* m_pCurrent;               // the innermost open section; null when none is
    std::unique_ptr<CLogSystem> m_pLog;
    std::unique_ptr<oru::detail::CProFileTimeline> m_pTimeline;
    std::atomic<bool> m_bEnabled;           // read by every profiling thread
};

// The profiler, created with its log on first use.
ORU_API CProFiler& GetProFiler();
ORU_API void _ProFileBegin(const std::wstring& name);
ORU_API void _ProFileEnd(const std::wstring& name);
ORU_API void _ProFileExecute(bool on);
ORU_API void _ProFileResult();
// ExportFolded on the profiler; call it before _ProFileResult, which
// discards the tree.
ORU_API bool _ProFileExport(const std::wstring& path);
// CaptureTimeline on the profiler: keep the last `frameCount` frames, or 0
// to stop. Then _ProFileExportTimeline writes them for a trace viewer.
ORU_API bool _ProFileTimeline(int frameCount);
ORU_API bool _ProFileExportTimeline(const std::wstring& path);

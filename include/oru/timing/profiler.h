#pragma once

#include <oru/core/export.h>
#include <oru/core/singleton.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

class CLogSystem;

// One named section under one parent in the profiler's call tree. The same
// name under two parents makes two nodes; the same name begun again under one
// parent adds to the same node. Times are raw counter ticks: only their
// ratios are reported.
class ORU_API CProFileNode {
public:
    CProFileNode(CProFileNode* parent, const std::wstring& name);
    ~CProFileNode();  // destroys the subtree

    CProFileNode(const CProFileNode&) = delete;
    CProFileNode& operator=(const CProFileNode&) = delete;

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
// under ./oru_log and starts a fresh tree.
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
// per begin; it allocates nothing. Not thread-safe: profile one thread.
class ORU_API CProFiler : public CSingleton<CProFiler> {
public:
    // Opens the profiler's log; a log that cannot be set up is a fatal error.
    CProFiler();
    ~CProFiler();

    // A copy would share the tree and the log.
    CProFiler(const CProFiler&) = delete;
    CProFiler& operator=(const CProFiler&) = delete;

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

    CLogSystem* GetLog() const { return m_pLog.get(); }

private:
    void CloseOpenSections(int64_t now);

    std::unique_ptr<CProFileNode> m_pRoot;  // none until "Root" is begun
    CProFileNode* m_pCurrent;               // the innermost open section; null when none is
    std::unique_ptr<CLogSystem> m_pLog;
    bool m_bEnabled;
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

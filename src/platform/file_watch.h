#pragma once

// Telling, cheaply and often, whether a file was replaced or rewritten.
//
// CFileIdentity names one version of a file: a save that writes a new file
// and renames it into place changes the inode, one that rewrites in place
// changes the size or the modification time. CFileWatch asks the kernel to
// report changes to the file's folder, so that asking "did it change?" costs
// one system call that returns at once; where the kernel cannot watch, each
// question compares the file's identity instead.

#include <oru/core/non_copyable.h>


#include <cstdint>
#include <string>
#include <memory>

namespace oru::platform {

struct CFileIdentity {
    uint64_t m_nDevice = 0;
    uint64_t m_nInode = 0;
    uint64_t m_nSize = 0;
    int64_t m_nModifiedNs = 0;

    bool operator==(const CFileIdentity&) const = default;
};

// The identity of the file at `pathUtf8` (through symbolic links); false when
// it cannot be asked.
bool FileIdentityOf(const std::string& pathUtf8, CFileIdentity& identity);

class CFileWatch : private COruNonCopyable {
public:
    CFileWatch();
    ~CFileWatch();

    // Watches the file at `pathUtf8`, or the file a symbolic link there leads
    // to. Only that name in its folder counts; the folder's other files do
    // not wake the watch.
    void Start(const std::string& pathUtf8);
    bool IsStarted() const { return m_bStarted; }
    // True when the file may have changed since the last call, and on the
    // first call after Start. Never waits. A false answer is certain; a true
    // one is for the caller to confirm by the file's identity.
    bool MayHaveChanged();

private:
    struct CState;  // what the system needs to watch the file
    bool m_bStarted = false;
    bool m_bFirst = true;
    std::unique_ptr<CState> m_pState;
};

// Watches a folder and every folder below it, for a tree of loose files that
// people edit while a game reads them. Folders made later are watched as
// their creation is reported; symbolic links are not followed. A change
// counts once its writer closes the file (or renames it into place), not at
// every write, so a file being saved is not reported half written.
class CTreeWatch : private COruNonCopyable {
public:
    CTreeWatch();
    ~CTreeWatch();

    void Start(const std::string& folderUtf8);
    bool IsStarted() const { return m_bStarted; }
    // True when anything in the tree may have changed since the last call,
    // and on the first call after Start. Never waits. Where the kernel
    // cannot watch the whole tree (no watches left), every call says true
    // and the caller looks for itself.
    bool MayHaveChanged();

private:
    struct CState;  // what the system needs to watch the tree
    bool m_bStarted = false;
    bool m_bFirst = true;
    std::unique_ptr<CState> m_pState;
};

}  // namespace oru::platform

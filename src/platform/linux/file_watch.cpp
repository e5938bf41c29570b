#include "platform/file_watch.h"

#include "platform/files.h"

#include "descriptor.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>
#include <unordered_map>
#include <vector>

namespace oru::platform {
namespace {

CFileIdentity IdentityFromStat(const struct stat& st)
{
    CFileIdentity identity;
    identity.m_nDevice = static_cast<uint64_t>(st.st_dev);
    identity.m_nInode = static_cast<uint64_t>(st.st_ino);
    identity.m_nSize = static_cast<uint64_t>(st.st_size);
    identity.m_nModifiedNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return identity;
}

// The path a symbolic link leads to, or the path itself when it is none (or
// when it cannot be followed: the watch then watches the link's folder).
std::string ResolveLink(const std::string& pathUtf8)
{
    struct stat st {};
    if (lstat(pathUtf8.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
        return pathUtf8;
    char* pResolved = realpath(pathUtf8.c_str(), nullptr);
    if (!pResolved)
        return pathUtf8;
    std::string resolved = pResolved;
    std::free(pResolved);
    return resolved;
}

// The changes that make a folder's entry another file or other bytes: a
// write that ends, a rename into or out of the name, a creation or removal.
constexpr uint32_t WATCHED_EVENTS =
    IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE | IN_MODIFY | IN_ATTRIB;

// A tree's changes: as above without IN_MODIFY, which would wake the watch at
// every write of a file being saved; the watched folder going away too.
constexpr uint32_t TREE_EVENTS = (WATCHED_EVENTS & ~IN_MODIFY) | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// Reads every report waiting on `notify` and hands each to `event`; never waits.
template <typename TEvent>
void DrainEvents(int notify, TEvent event)
{
    alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
    for (;;) {
        const ssize_t got = read(notify, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
            const auto* pEvent = reinterpret_cast<const inotify_event*>(buffer + at);
            event(*pEvent);
            at += static_cast<ssize_t>(sizeof(inotify_event) + pEvent->len);
        }
    }
}

}  // namespace

struct CFileWatch::CState {
    CDescriptor m_notify;      // the kernel's change reports; closed when it cannot watch
    std::string m_strName;     // the file's name in its folder
    std::string m_strPath;     // the watched file, links resolved
    CFileIdentity m_lastSeen;  // without the kernel's reports: the identity last asked
};

struct CTreeWatch::CState {
    // Adds watches to `folderUtf8` and the folders below it; false when the
    // kernel refused one.
    bool WatchTree(const std::string& folderUtf8);

    CDescriptor m_notify;  // closed when the tree cannot be watched
    std::unordered_map<int, std::string> m_mapFolders;  // watch -> folder path
};

CFileWatch::CFileWatch() = default;
CFileWatch::~CFileWatch() = default;
CTreeWatch::CTreeWatch() = default;
CTreeWatch::~CTreeWatch() = default;

bool FileIdentityOf(const std::string& pathUtf8, CFileIdentity& identity)
{
    struct stat st {};
    if (stat(pathUtf8.c_str(), &st) != 0)
        return false;
    identity = IdentityFromStat(st);
    return true;
}

bool FileIdentityOf(int fd, CFileIdentity& identity)
{
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return false;
    identity = IdentityFromStat(st);
    return true;
}

void CFileWatch::Start(const std::string& pathUtf8)
{
    m_bStarted = true;
    m_bFirst = true;
    m_pState = std::make_unique<CState>();
    CState& state = *m_pState;
    state.m_strPath = ResolveLink(pathUtf8);
    const size_t slash = state.m_strPath.rfind('/');
    const std::string folder =
        slash == std::string::npos ? "." : state.m_strPath.substr(0, slash + 1);
    state.m_strName = slash == std::string::npos ? state.m_strPath : state.m_strPath.substr(slash + 1);
    state.m_notify = CDescriptor(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (state.m_notify.IsOpen() &&
        inotify_add_watch(state.m_notify.Get(), folder.c_str(), WATCHED_EVENTS) < 0)
        state.m_notify.Close();
    if (!state.m_notify.IsOpen())
        FileIdentityOf(state.m_strPath, state.m_lastSeen);
}

bool CFileWatch::MayHaveChanged()
{
    if (!m_bStarted)
        return false;
    CState& state = *m_pState;
    if (!state.m_notify.IsOpen()) {
        CFileIdentity now;
        const bool known = FileIdentityOf(state.m_strPath, now);
        const bool changed = m_bFirst || !known || !(now == state.m_lastSeen);
        m_bFirst = false;
        state.m_lastSeen = now;
        return changed;
    }
    bool changed = m_bFirst;
    m_bFirst = false;
    DrainEvents(state.m_notify.Get(), [&](const inotify_event& event) {
        // A full queue loses reports: then anything may have changed.
        if ((event.mask & IN_Q_OVERFLOW) || (event.len > 0 && state.m_strName == event.name))
            changed = true;
    });
    return changed;
}

void CTreeWatch::Start(const std::string& folderUtf8)
{
    m_bStarted = true;
    m_bFirst = true;
    m_pState = std::make_unique<CState>();
    m_pState->m_notify = CDescriptor(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (m_pState->m_notify.IsOpen() && !m_pState->WatchTree(folderUtf8))
        m_pState->m_notify.Close();
}

// Folders are walked with a list of their own rather than by recursion, so a
// deep tree costs memory, not stack. Memory that runs out counts as a watch
// refused.
bool CTreeWatch::CState::WatchTree(const std::string& folderUtf8)
try {
    std::vector<std::string> folders{folderUtf8};
    std::vector<CFolderEntry> entries;
    while (!folders.empty()) {
        const std::string folder = std::move(folders.back());
        folders.pop_back();
        const int watch = inotify_add_watch(m_notify.Get(), folder.c_str(), TREE_EVENTS);
        if (watch < 0) {
            if (errno == ENOENT || errno == ENOTDIR)
                continue;  // gone again already; its parent's report covers it
            return false;
        }
        m_mapFolders[watch] = folder;
        entries.clear();
        ListFolder(folder, entries);
        for (const CFolderEntry& entry : entries)
            if (entry.m_eKind == eEntryKind::FOLDER)
                folders.push_back(folder + "/" + entry.m_strName);
    }
    return true;
} catch (const std::bad_alloc&) {
    return false;
}

bool CTreeWatch::MayHaveChanged()
{
    if (!m_bStarted)
        return false;
    CState& state = *m_pState;
    if (!state.m_notify.IsOpen())
        return true;
    bool changed = m_bFirst;
    m_bFirst = false;
    bool watched = true;
    DrainEvents(state.m_notify.Get(), [&](const inotify_event& event) {
        if (event.mask & IN_IGNORED) {
            state.m_mapFolders.erase(event.wd);
            return;
        }
        changed = true;
        const auto folder = state.m_mapFolders.find(event.wd);
        if ((event.mask & IN_ISDIR) && (event.mask & (IN_CREATE | IN_MOVED_TO)) && event.len > 0 &&
            folder != state.m_mapFolders.end())
            watched = state.WatchTree(folder->second + "/" + event.name) && watched;
    });
    // A folder that could not be watched, or the watched folder itself gone:
    // from now on every call says yes.
    if (!watched || state.m_mapFolders.empty())
        state.m_notify.Close();
    return changed;
}

}  // namespace oru::platform

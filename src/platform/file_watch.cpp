#include "platform/file_watch.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

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

}  // namespace

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
    m_strPath = ResolveLink(pathUtf8);
    const size_t slash = m_strPath.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : m_strPath.substr(0, slash + 1);
    m_strName = slash == std::string::npos ? m_strPath : m_strPath.substr(slash + 1);
    m_notify = CDescriptor(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (m_notify.IsOpen() && inotify_add_watch(m_notify.Get(), folder.c_str(), WATCHED_EVENTS) < 0)
        m_notify.Close();
    if (!m_notify.IsOpen())
        FileIdentityOf(m_strPath, m_lastSeen);
}

bool CFileWatch::MayHaveChanged()
{
    if (!m_bStarted)
        return false;
    if (!m_notify.IsOpen()) {
        CFileIdentity now;
        const bool known = FileIdentityOf(m_strPath, now);
        const bool changed = m_bFirst || !known || !(now == m_lastSeen);
        m_bFirst = false;
        m_lastSeen = now;
        return changed;
    }
    bool changed = m_bFirst;
    m_bFirst = false;
    alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
    for (;;) {
        const ssize_t got = read(m_notify.Get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
            const auto* pEvent = reinterpret_cast<const inotify_event*>(buffer + at);
            // A full queue loses reports: then anything may have changed.
            if ((pEvent->mask & IN_Q_OVERFLOW) || (pEvent->len > 0 && m_strName == pEvent->name))
                changed = true;
            at += static_cast<ssize_t>(sizeof(inotify_event) + pEvent->len);
        }
    }
    return changed;
}

}  // namespace oru::platform

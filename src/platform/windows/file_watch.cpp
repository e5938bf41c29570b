#include "platform/file_watch.h"

#include "descriptor.h"
#include "platform/file_time.h"
#include "platform/files.h"
#include "wide_path.h"

#include <windows.h>

#include <new>

namespace oru::platform {
namespace {

// The changes that make a folder's entry another file or other bytes: a
// name that comes or goes (a creation, a removal, a rename into or out of
// it), a write, a size or attribute change.
constexpr DWORD WATCHED_CHANGES = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE |
                                  FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_ATTRIBUTES |
                                  FILE_NOTIFY_CHANGE_CREATION;
// A tree's changes: as above, and folders that come or go.
constexpr DWORD TREE_CHANGES = WATCHED_CHANGES | FILE_NOTIFY_CHANGE_DIR_NAME;

}  // namespace

// The system's reports of changes in one folder (and, when asked, the folders
// below it), read without ever waiting: a read of the reports is always
// outstanding, and a question only looks whether it has completed. Reports
// that come while none is outstanding are kept by the system for the folder's
// handle, so nothing is missed between two questions.
class CFolderChanges : private COruNonCopyable {
public:
    ~CFolderChanges() { Stop(); }

    // False when the folder cannot be watched.
    bool Start(const std::string& folderUtf8, bool subtree, DWORD changes);
    bool IsWatching() const { return m_folder.IsOpen(); }
    // Hands the name (relative to the folder, UTF-16, not terminated) of each
    // change reported since the last call to `changed`; an empty name when
    // reports were lost (more came than fit). Returns false, and stops
    // watching, when the folder can no longer be watched (it went away).
    template <typename TChanged>
    bool Drain(TChanged changed);

private:
    bool Request();
    void Stop();

    CDescriptor m_folder;  // opened for overlapped reads of its changes
    CDescriptor m_event;   // signalled when a read of the reports completes
    OVERLAPPED m_overlapped{};
    bool m_bSubtree = false;
    DWORD m_dwChanges = 0;
    alignas(DWORD) unsigned char m_buffer[16 * 1024];  // below the 64 KiB a network folder takes
};

bool CFolderChanges::Start(const std::string& folderUtf8, bool subtree, DWORD changes)
{
    Stop();
    const CWidePath folder(folderUtf8);
    if (!folder.IsValid())
        return false;
    m_folder = CDescriptor(CreateFileW(folder.Get(), FILE_LIST_DIRECTORY,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED,
                                       nullptr));
    m_event = CDescriptor(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    m_bSubtree = subtree;
    m_dwChanges = changes;
    if (!m_folder.IsOpen() || !m_event.IsOpen() || !Request()) {
        Stop();
        return false;
    }
    return true;
}

bool CFolderChanges::Request()
{
    m_overlapped = OVERLAPPED{};
    m_overlapped.hEvent = m_event.Get();
    return ReadDirectoryChangesW(m_folder.Get(), m_buffer, sizeof m_buffer, m_bSubtree, m_dwChanges,
                                 nullptr, &m_overlapped, nullptr) != 0;
}

// The outstanding read writes into the buffer until it is cancelled and has
// finished; only then may the buffer go.
void CFolderChanges::Stop()
{
    if (m_folder.IsOpen() && m_overlapped.hEvent) {
        DWORD ignored = 0;
        CancelIoEx(m_folder.Get(), &m_overlapped);
        GetOverlappedResult(m_folder.Get(), &m_overlapped, &ignored, TRUE);
    }
    m_overlapped = OVERLAPPED{};
    m_folder.Close();
    m_event.Close();
}

template <typename TChanged>
bool CFolderChanges::Drain(TChanged changed)
{
    while (IsWatching()) {
        DWORD bytes = 0;
        if (!GetOverlappedResult(m_folder.Get(), &m_overlapped, &bytes, FALSE)) {
            if (GetLastError() == ERROR_IO_INCOMPLETE)
                return true;
            Stop();
            return false;
        }
        if (bytes == 0)
            changed(std::wstring_view());
        for (DWORD at = 0; bytes > 0 && at + sizeof(FILE_NOTIFY_INFORMATION) <= bytes;) {
            const auto* pInfo = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(m_buffer + at);
            changed(std::wstring_view(pInfo->FileName, pInfo->FileNameLength / sizeof(wchar_t)));
            if (pInfo->NextEntryOffset == 0)
                break;
            at += pInfo->NextEntryOffset;
        }
        if (!Request()) {
            Stop();
            return false;
        }
    }
    return false;
}

namespace {

CFileIdentity IdentityFromInfo(const BY_HANDLE_FILE_INFORMATION& info)
{
    const uint64_t written =
        (uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) | info.ftLastWriteTime.dwLowDateTime;
    CFileIdentity identity;
    identity.m_nDevice = info.dwVolumeSerialNumber;
    identity.m_nInode = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    identity.m_nSize = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    identity.m_nModifiedNs = (static_cast<int64_t>(written) - static_cast<int64_t>(FILETIME_UNIX_EPOCH)) * 100;
    return identity;
}

// The path a symbolic link leads to, or the path itself when it is none (or
// when it cannot be followed: the watch then watches the link's folder).
std::string ResolveLink(const std::string& pathUtf8)
{
    eEntryKind kind = eEntryKind::OTHER;
    if (!EntryKind(pathUtf8, kind) || kind != eEntryKind::LINK)
        return pathUtf8;
    std::string resolved = ResolvedPath(pathUtf8);
    return resolved.empty() ? pathUtf8 : resolved;
}

// Whether a reported name is the watched one; names compare as the file
// system compares them, without regard to case.
bool SameName(std::wstring_view reported, const std::wstring& name)
{
    return !reported.empty() &&
           CompareStringOrdinal(reported.data(), static_cast<int>(reported.size()), name.data(),
                                static_cast<int>(name.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

struct CFileWatch::CState {
    CFolderChanges m_changes;  // not watching when the folder cannot be watched
    std::wstring m_wstrName;   // the file's name in its folder
    std::string m_strPath;     // the watched file, links resolved
    CFileIdentity m_lastSeen;  // without the system's reports: the identity last asked
};

struct CTreeWatch::CState {
    CFolderChanges m_changes;  // not watching when the tree cannot be watched
};

CFileWatch::CFileWatch() = default;
CFileWatch::~CFileWatch() = default;
CTreeWatch::CTreeWatch() = default;
CTreeWatch::~CTreeWatch() = default;

bool FileIdentityOf(NativeHandle handle, CFileIdentity& identity)
{
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info))
        return false;
    identity = IdentityFromInfo(info);
    return true;
}

bool FileIdentityOf(const std::string& pathUtf8, CFileIdentity& identity)
{
    const CDescriptor file = CDescriptor::OpenToQuery(pathUtf8.c_str());
    return file.IsOpen() && FileIdentityOf(file.Get(), identity);
}

void CFileWatch::Start(const std::string& pathUtf8)
{
    m_bStarted = true;
    m_bFirst = true;
    m_pState = std::make_unique<CState>();
    CState& state = *m_pState;
    state.m_strPath = ResolveLink(pathUtf8);
    const size_t slash = state.m_strPath.find_last_of("/\\");
    const std::string folder = slash == std::string::npos ? "." : state.m_strPath.substr(0, slash + 1);
    const CWidePath name(slash == std::string::npos ? state.m_strPath : state.m_strPath.substr(slash + 1));
    if (name.IsValid())
        state.m_wstrName.assign(name.Get(), name.Length());
    if (!name.IsValid() || !state.m_changes.Start(folder, false, WATCHED_CHANGES))
        FileIdentityOf(state.m_strPath, state.m_lastSeen);
}

bool CFileWatch::MayHaveChanged()
{
    if (!m_bStarted)
        return false;
    CState& state = *m_pState;
    bool changed = m_bFirst;
    m_bFirst = false;
    // A report lost to a full buffer (an empty name) may have been this file's.
    if (state.m_changes.IsWatching() && state.m_changes.Drain([&](std::wstring_view reported) {
            if (reported.empty() || SameName(reported, state.m_wstrName))
                changed = true;
        }))
        return changed;
    // Without the system's reports (or once they stop: the folder went away),
    // each question compares the file's identity.
    CFileIdentity now;
    const bool known = FileIdentityOf(state.m_strPath, now);
    changed = changed || !known || !(now == state.m_lastSeen);
    state.m_lastSeen = now;
    return changed;
}

namespace {

// Wine, which runs Windows programs on other systems, accepts a watch of a
// folder's subfolders but reports changes in the folder itself only; there
// the tree cannot be watched, and every question says yes.
bool ReportsChangesBelowFolders()
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return !ntdll || !GetProcAddress(ntdll, "wine_get_version");
}

}  // namespace

void CTreeWatch::Start(const std::string& folderUtf8)
{
    m_bStarted = true;
    m_bFirst = true;
    m_pState = std::make_unique<CState>();
    if (ReportsChangesBelowFolders())
        m_pState->m_changes.Start(folderUtf8, true, TREE_CHANGES);
}

// One watch covers the whole tree, folders made later included. Once it
// stops (the watched folder went away), every call says yes.
bool CTreeWatch::MayHaveChanged()
{
    if (!m_bStarted)
        return false;
    bool changed = m_bFirst;
    m_bFirst = false;
    if (!m_pState->m_changes.Drain([&](std::wstring_view) { changed = true; }))
        return true;
    return changed;
}

}  // namespace oru::platform

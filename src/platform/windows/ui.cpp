#include "platform/ui.h"

#include "core/utf8.h"
#include "crash/crash_report.h"
#include "native_context.h"
#include "platform/fault_signals.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>

// The message boxes and the report window are the system's own windows,
// made by the library itself: no helper program. Each is shown on a thread
// of its own while the caller waits, which keeps the caller's wait modal and
// lets it give up on a window that does not come up within the show limit
// (a display that never answers leaves the window system waiting for ever);
// the text then goes to standard error, as without windows. Once the window
// is up, the wait for the player to close it has no limit.

namespace oru::platform {
namespace {

constexpr unsigned DEFAULT_SHOW_LIMIT_MS = 5000;
std::atomic<unsigned> s_nShowLimitMs{DEFAULT_SHOW_LIMIT_MS};

constexpr const wchar_t* REPORT_CAPTION = L"Oru Exception Handler";
constexpr const wchar_t* REPORT_NOTICE =
    L"Application will be shutdown because of unexpected program error. "
    L"Please send these errors to NORVATH Game Master";

// The report window's controls. The picture and the notice need no id of
// their own; the picture gets one so that its icon can be set.
constexpr WORD ID_SAVE = 4000;
constexpr WORD ID_EXIT = 4001;
constexpr WORD ID_PICTURE = 4002;
constexpr WORD ID_REPORT = 4003;
constexpr WORD ID_NONE = 0xFFFF;

// The predefined window classes, by their atoms.
constexpr WORD CLASS_BUTTON = 0x0080;
constexpr WORD CLASS_EDIT = 0x0081;
constexpr WORD CLASS_STATIC = 0x0082;

// The system's error icon (IDI_ERROR, whose macro follows the narrow or
// wide build).
constexpr WORD ERROR_ICON = 32513;

// Sent by the window to itself once it is up.
constexpr UINT MESSAGE_SHOWN = WM_APP + 1;

bool IsStandardErrorMode()
{
    char mode[16];
    const DWORD length = GetEnvironmentVariableA("ORU_UI", mode, sizeof mode);
    return length > 0 && length < sizeof mode && strcmp(mode, "stderr") == 0;
}

// False for a service or a locked-down session: its windows are never seen.
bool HasVisibleWindowStation()
{
    USEROBJECTFLAGS flags{};
    DWORD needed = 0;
    const HWINSTA hStation = GetProcessWindowStation();
    return hStation &&
           GetUserObjectInformationW(hStation, UOI_FLAGS, &flags, sizeof flags, &needed) &&
           (flags.dwFlags & WSF_VISIBLE) != 0;
}

bool WindowsWanted()
{
    return !IsStandardErrorMode() && HasVisibleWindowStation();
}

// A dialog template in memory: the dialog, then its controls, each on a
// DWORD boundary, with class and title as ordinals or terminated UTF-16.
class CDialogTemplate {
public:
    void Begin(DWORD style, DWORD exStyle, short cx, short cy, const wchar_t* title,
               WORD pointSize, const wchar_t* font)
    {
        m_nSize = 0;
        DLGTEMPLATE dialog{};
        dialog.style = style | DS_SETFONT;
        dialog.dwExtendedStyle = exStyle;
        dialog.cx = cx;
        dialog.cy = cy;
        m_nCountAt = m_nSize + offsetof(DLGTEMPLATE, cdit);
        AddBytes(&dialog, sizeof dialog);
        AddWord(0);  // no menu
        AddWord(0);  // the standard dialog class
        AddText(title);
        AddWord(pointSize);
        AddText(font);
    }

    void AddControl(WORD id, WORD windowClass, const wchar_t* title, DWORD style, short x, short y,
                    short cx, short cy)
    {
        Align();
        DLGITEMTEMPLATE item{};
        item.style = style | WS_CHILD | WS_VISIBLE;
        item.x = x;
        item.y = y;
        item.cx = cx;
        item.cy = cy;
        item.id = id;
        AddBytes(&item, sizeof item);
        AddWord(0xFFFF);
        AddWord(windowClass);
        AddText(title);
        AddWord(0);  // no creation data
        WORD count = 0;
        memcpy(&count, m_buffer + m_nCountAt, sizeof count);
        ++count;
        memcpy(m_buffer + m_nCountAt, &count, sizeof count);
    }

    const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(m_buffer); }

private:
    void AddBytes(const void* p, size_t size)
    {
        if (m_nSize + size > sizeof m_buffer)
            return;
        memcpy(m_buffer + m_nSize, p, size);
        m_nSize += size;
    }
    void AddWord(WORD value) { AddBytes(&value, sizeof value); }
    void AddText(const wchar_t* text) { AddBytes(text, (wcslen(text) + 1) * sizeof(wchar_t)); }
    void Align()
    {
        while (m_nSize % sizeof(DWORD) != 0)
            AddWord(0);
    }

    alignas(DWORD) unsigned char m_buffer[1024] = {};
    size_t m_nSize = 0;
    size_t m_nCountAt = 0;
};

// The layout, in dialog units: the error picture and the notice at the top,
// Save (the default button) and Exit beside them, the report below.
void BuildReportTemplate(CDialogTemplate& dialog)
{
    dialog.Begin(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER, WS_EX_TOPMOST,
                 378, 249, REPORT_CAPTION, 9, L"MS Shell Dlg");
    dialog.AddControl(ID_PICTURE, CLASS_STATIC, L"", SS_ICON | SS_CENTERIMAGE | SS_SUNKEN, 7, 7,
                      33, 33);
    dialog.AddControl(ID_NONE, CLASS_STATIC, REPORT_NOTICE, SS_LEFT, 48, 12, 267, 25);
    dialog.AddControl(ID_SAVE, CLASS_BUTTON, L"&Save", BS_DEFPUSHBUTTON | WS_TABSTOP, 321, 7, 50,
                      14);
    dialog.AddControl(ID_EXIT, CLASS_BUTTON, L"E&xit", BS_PUSHBUTTON | WS_TABSTOP, 321, 24, 50, 14);
    dialog.AddControl(ID_REPORT, CLASS_EDIT, L"",
                      ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | ES_AUTOHSCROLL | WS_BORDER |
                          WS_VSCROLL | WS_HSCROLL | WS_TABSTOP,
                      7, 49, 364, 193);
}

// One window to show, handed to its thread. `m_hShown` is set once the
// window is up; `m_bClosed` once the player has closed it.
struct CWindowJob {
    std::wstring m_strCaption;         // a message box's
    std::wstring m_strMessage;         // a message box's
    const wchar_t* m_pText = nullptr;  // the message, or the whole report
    HANDLE m_hShown = nullptr;
    bool m_bClosed = false;
};

// The report as UTF-16 for the window; static, like the report itself.
wchar_t s_reportText[oru::detail::CReportText::CAPACITY + 1];
CDialogTemplate s_reportTemplate;
CWindowJob s_reportJob;

INT_PTR CALLBACK ReportWindowProc(HWND hWindow, UINT message, WPARAM wParam, LPARAM lParam)
{
    static HFONT s_hFixedFont = nullptr;
    switch (message) {
    case WM_INITDIALOG: {
        const auto& job = *reinterpret_cast<const CWindowJob*>(lParam);
        SetWindowLongPtrW(hWindow, DWLP_USER, lParam);
        SendDlgItemMessageW(hWindow, ID_PICTURE, STM_SETICON,
                            reinterpret_cast<WPARAM>(LoadIconW(nullptr, MAKEINTRESOURCEW(ERROR_ICON))), 0);
        if (!s_hFixedFont)
            s_hFixedFont = CreateFontW(-12, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                       FIXED_PITCH | FF_MODERN, L"Courier New");
        if (s_hFixedFont)
            SendDlgItemMessageW(hWindow, ID_REPORT, WM_SETFONT,
                                reinterpret_cast<WPARAM>(s_hFixedFont), FALSE);
        SendDlgItemMessageW(hWindow, ID_REPORT, EM_SETLIMITTEXT, 0, 0);
        SetDlgItemTextW(hWindow, ID_REPORT, job.m_pText);
        SetForegroundWindow(hWindow);
        SetFocus(GetDlgItem(hWindow, ID_SAVE));
        PostMessageW(hWindow, MESSAGE_SHOWN, 0, 0);
        return FALSE;  // the focus is set
    }
    case MESSAGE_SHOWN: {
        const auto* pJob = reinterpret_cast<const CWindowJob*>(GetWindowLongPtrW(hWindow, DWLP_USER));
        SetEvent(pJob->m_hShown);
        return TRUE;
    }
    case WM_COMMAND:
        // The report was stored before the window opened: Save only
        // closes it, as Exit does and as Escape and the close box (IDCANCEL).
        switch (LOWORD(wParam)) {
        case ID_SAVE:
        case ID_EXIT:
        case IDCANCEL:
            EndDialog(hWindow, LOWORD(wParam));
            return TRUE;
        default:
            return FALSE;
        }
    default:
        return FALSE;
    }
}

DWORD WINAPI RunReportWindow(void* pJob)
{
    auto& job = *static_cast<CWindowJob*>(pJob);
    const INT_PTR result = DialogBoxIndirectParamW(GetModuleHandleW(nullptr), s_reportTemplate.Get(),
                                                   nullptr, ReportWindowProc,
                                                   reinterpret_cast<LPARAM>(pJob));
    job.m_bClosed = result > 0;
    return 0;
}

// The message box in the making on this thread, for the hook that sees it
// come up. Each message box has a thread of its own.
thread_local CWindowJob* t_pMessageJob = nullptr;

LRESULT CALLBACK WatchMessageBox(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_ACTIVATE && t_pMessageJob)
        SetEvent(t_pMessageJob->m_hShown);
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

DWORD WINAPI RunMessageBox(void* pJob)
{
    auto& job = *static_cast<CWindowJob*>(pJob);
    t_pMessageJob = &job;
    const HHOOK hHook = SetWindowsHookExW(WH_CBT, WatchMessageBox, nullptr, GetCurrentThreadId());
    const int result = MessageBoxW(nullptr, job.m_pText, job.m_strCaption.c_str(),
                                   MB_OK | MB_ICONERROR | MB_TASKMODAL | MB_TOPMOST |
                                       MB_SETFOREGROUND);
    if (hHook)
        UnhookWindowsHookEx(hHook);
    job.m_bClosed = result != 0;
    return 0;
}

// Shows the window of `job` on a thread of its own and waits for it. True
// once it has been shown and closed; false when it could not be made or was
// not up within the show limit (its thread is then left waiting on the
// window system, and so is the job, which must outlive the process).
bool RunWindowThread(LPTHREAD_START_ROUTINE pfnRun, CWindowJob& job)
{
    job.m_hShown = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!job.m_hShown)
        return false;
    const HANDLE hThread = CreateThread(nullptr, 0, pfnRun, &job, 0, nullptr);
    if (!hThread)
        return false;
    const HANDLE waits[] = {job.m_hShown, hThread};
    const DWORD first = WaitForMultipleObjects(2, waits, FALSE,
                                               s_nShowLimitMs.load(std::memory_order_relaxed));
    if (first == WAIT_TIMEOUT)
        return false;  // the thread and the event stay with the job
    const bool bShown = WaitForSingleObject(job.m_hShown, 0) == WAIT_OBJECT_0;
    WaitForSingleObject(hThread, INFINITE);
    CloseHandle(hThread);
    CloseHandle(job.m_hShown);
    return bShown && job.m_bClosed;
}

void WriteStderr(std::string_view text)
{
    WriteStandardError(text.data(), text.size());
}

}  // namespace

void SetWindowShowLimit(unsigned milliseconds)
{
    s_nShowLimitMs.store(milliseconds, std::memory_order_relaxed);
}

bool UiHasWindows()
{
    return WindowsWanted();
}

std::string FindReportWindowHelper()
{
    return {};  // the windows are the library's own here
}

void ShowMessageBox(const std::wstring& caption, const std::wstring& text)
{
    if (WindowsWanted()) {
        // Not on the stack: a box that never comes up keeps its job.
        auto* pJob = new (std::nothrow) CWindowJob;
        if (pJob) {
            pJob->m_strCaption = caption;
            pJob->m_strMessage = text;
            pJob->m_pText = pJob->m_strMessage.c_str();
            if (RunWindowThread(RunMessageBox, *pJob)) {
                delete pJob;
                return;
            }
        }
    }
    WriteStderr(oru::detail::ToUtf8Lossy(caption) + ": " + oru::detail::ToUtf8Lossy(text) + "\n");
}

bool ShowCrashReportWindow(std::string_view reportUtf8)
{
    if (!WindowsWanted())
        return false;
    // Text that is not UTF-8 (a message from a crashing game) becomes
    // U+FFFD rather than stopping the conversion.
    const int size = static_cast<int>(reportUtf8.size() < oru::detail::CReportText::CAPACITY
                                          ? reportUtf8.size()
                                          : oru::detail::CReportText::CAPACITY);
    const int n = size > 0 ? MultiByteToWideChar(CP_UTF8, 0, reportUtf8.data(), size,
                                                 s_reportText,
                                                 oru::detail::CReportText::CAPACITY)
                           : 0;
    s_reportText[n > 0 ? n : 0] = L'\0';
    BuildReportTemplate(s_reportTemplate);
    s_reportJob.m_pText = s_reportText;
    return RunWindowThread(RunReportWindow, s_reportJob);
}

void ShowCrashReport(std::string_view reportUtf8)
{
    if (ShowCrashReportWindow(reportUtf8))
        return;
    WriteStderr(reportUtf8);
    WriteStderr("\n");
}

}  // namespace oru::platform

#pragma once

// The user-interface service: the library's modal message boxes and its crash
// report window. With a display (DISPLAY or WAYLAND_DISPLAY set) and the
// helper program oru-report-window found, the service starts the helper and
// waits until its window closes; that wait is what makes the window modal.
// Otherwise, or when ORU_UI=stderr, a message box is the one line
// "CAPTION: TEXT" on standard error and a report is written there whole.
//
// The helper is found through ORU_REPORT_WINDOW (a path) when set, else where
// the build or the install put it.
//
// A display can accept a connection and then never answer, and the helper
// would wait on it for ever. So the helper says when its window is up, and a
// window that is not up within the show limit counts as not shown: the
// helper is ended and the text goes to standard error. Once the window is
// up, the wait for the player to close it has no limit.

#include <string>
#include <string_view>

namespace oru::platform {

// Shows a modal message box with the error icon and an OK button.
void ShowMessageBox(const std::wstring& caption, const std::wstring& text);

// Shows a crash report (UTF-8 text) in the report window and waits until the
// player closes it; without windows, or when the window cannot be shown,
// writes the report whole to standard error instead. Made to run on a
// thread that has just faulted, or in a signal handler: it allocates
// nothing and takes no lock.
void ShowCrashReport(std::string_view reportUtf8);
// The same with the window only: false, writing nothing, when it could not
// be shown.
bool ShowCrashReportWindow(std::string_view reportUtf8);

// How long the helper may take to put its window up; 5 seconds unless set.
void SetWindowShowLimit(unsigned milliseconds);

// True when the service would open windows rather than write to standard
// error.
bool UiHasWindows();

// The path of oru-report-window, or empty when it cannot be found.
std::string FindReportWindowHelper();

}  // namespace oru::platform

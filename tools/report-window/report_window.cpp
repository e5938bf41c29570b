// oru-report-window: the windows of liboru_core, in a process of their own.
//
//   oru-report-window --report                   the crash report window; the
//                                                report comes on standard input
//   oru-report-window --message-box CAPTION TEXT an error message box
//
// The library starts this program and waits for it, which is what makes
// either window modal to the game. A crashing game cannot be trusted to run
// a toolkit any more, so the window lives here and the library only writes
// text to a socket. Once the window is on the screen, this program writes
// one byte back on that socket: the library gives up on a window that does
// not come up in time (a display that accepts the connection but never
// answers leaves the toolkit waiting for ever). Exit status: 0 once the
// window has been closed, 2 when it could not be shown (no display, wrong
// arguments); the library then writes the text to standard error instead.

#include <gtk/gtk.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* REPORT_CAPTION = "Oru Exception Handler";
constexpr const char* REPORT_NOTICE =
    "Application will be shutdown because of unexpected program error. "
    "Please send these errors to NORVATH Game Master";

// How the report window was closed. Nothing depends on it: every way of
// closing ends the game.
enum eReportResult {
    REPORT_CANCEL = 2,  // close box or Escape
    REPORT_SAVE = 4000,
    REPORT_EXIT = 4001,
};

constexpr int EXIT_SHOWN = 0;
constexpr int EXIT_NOT_SHOWN = 2;

constexpr int PICTURE_SIZE = 48;

std::string ReadStandardInput()
{
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n > 0) {
            text.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return text;
    }
}

// Tells the library that the window is up. Only when standard input is the
// library's socket: started by hand from a terminal, nothing is written.
void OnMapped(GtkWidget*, gpointer)
{
    struct stat info{};
    if (fstat(STDIN_FILENO, &info) != 0 || !S_ISSOCK(info.st_mode))
        return;
    const char shown = '1';
    if (write(STDIN_FILENO, &shown, 1) < 0) {
        // The library has gone: nothing more to tell it.
    }
}

// The error picture: a red disc with a white cross, drawn rather than taken
// from an icon theme so that it looks the same on every desktop.
gboolean DrawErrorPicture(GtkWidget* pWidget, cairo_t* pCairo, gpointer)
{
    const double width = gtk_widget_get_allocated_width(pWidget);
    const double height = gtk_widget_get_allocated_height(pWidget);
    const double radius = std::fmin(width, height) / 2.0 - 4.0;
    const double cx = width / 2.0;
    const double cy = height / 2.0;

    cairo_arc(pCairo, cx, cy, radius, 0, 2 * G_PI);
    cairo_set_source_rgb(pCairo, 0.80, 0.10, 0.10);
    cairo_fill_preserve(pCairo);
    cairo_set_source_rgb(pCairo, 0.55, 0.05, 0.05);
    cairo_set_line_width(pCairo, 1.5);
    cairo_stroke(pCairo);

    const double arm = radius * 0.45;
    cairo_set_source_rgb(pCairo, 1, 1, 1);
    cairo_set_line_width(pCairo, radius * 0.28);
    cairo_set_line_cap(pCairo, CAIRO_LINE_CAP_ROUND);
    cairo_move_to(pCairo, cx - arm, cy - arm);
    cairo_line_to(pCairo, cx + arm, cy + arm);
    cairo_move_to(pCairo, cx + arm, cy - arm);
    cairo_line_to(pCairo, cx - arm, cy + arm);
    cairo_stroke(pCairo);
    return TRUE;
}

struct CReportWindow {
    GtkWidget* m_pWindow = nullptr;
    eReportResult m_eResult = REPORT_CANCEL;
};

void CloseWith(CReportWindow& window, eReportResult result)
{
    window.m_eResult = result;
    gtk_widget_destroy(window.m_pWindow);
}

void OnSave(GtkButton*, gpointer pUser)
{
    // The report was stored before the window opened; Save only closes.
    CloseWith(*static_cast<CReportWindow*>(pUser), REPORT_SAVE);
}

void OnExit(GtkButton*, gpointer pUser)
{
    CloseWith(*static_cast<CReportWindow*>(pUser), REPORT_EXIT);
}

gboolean OnKey(GtkWidget*, GdkEventKey* pEvent, gpointer pUser)
{
    if (pEvent->keyval != GDK_KEY_Escape)
        return FALSE;
    CloseWith(*static_cast<CReportWindow*>(pUser), REPORT_CANCEL);
    return TRUE;
}

GtkWidget* MakePicture()
{
    GtkWidget* pFrame = gtk_frame_new(nullptr);
    gtk_frame_set_shadow_type(GTK_FRAME(pFrame), GTK_SHADOW_IN);
    GtkWidget* pArea = gtk_drawing_area_new();
    gtk_widget_set_size_request(pArea, PICTURE_SIZE + 8, PICTURE_SIZE + 8);
    g_signal_connect(pArea, "draw", G_CALLBACK(DrawErrorPicture), nullptr);
    gtk_container_add(GTK_CONTAINER(pFrame), pArea);
    gtk_widget_set_valign(pFrame, GTK_ALIGN_START);
    return pFrame;
}

GtkWidget* MakeReportView(const std::string& report)
{
    GtkWidget* pScroll = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(pScroll), GTK_POLICY_AUTOMATIC,
                                   GTK_POLICY_AUTOMATIC);
    gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(pScroll), GTK_SHADOW_IN);
    gtk_widget_set_hexpand(pScroll, TRUE);
    gtk_widget_set_vexpand(pScroll, TRUE);

    GtkWidget* pView = gtk_text_view_new();
    gtk_text_view_set_editable(GTK_TEXT_VIEW(pView), FALSE);
    gtk_text_view_set_monospace(GTK_TEXT_VIEW(pView), TRUE);
    gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(pView), GTK_WRAP_NONE);
    gtk_text_view_set_left_margin(GTK_TEXT_VIEW(pView), 4);
    gtk_text_view_set_top_margin(GTK_TEXT_VIEW(pView), 2);

    // The report may hold damaged text (a message from a crashing game); the
    // text view accepts UTF-8 only.
    gchar* pValid = g_utf8_make_valid(report.c_str(), static_cast<gssize>(report.size()));
    gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(pView)), pValid, -1);
    g_free(pValid);

    gtk_container_add(GTK_CONTAINER(pScroll), pView);
    return pScroll;
}

int ShowReport(const std::string& report)
{
    CReportWindow window;
    window.m_pWindow = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWindow* pWindow = GTK_WINDOW(window.m_pWindow);
    gtk_window_set_title(pWindow, REPORT_CAPTION);
    gtk_window_set_type_hint(pWindow, GDK_WINDOW_TYPE_HINT_DIALOG);
    gtk_window_set_position(pWindow, GTK_WIN_POS_CENTER);
    gtk_window_set_default_size(pWindow, 680, 460);
    gtk_window_set_keep_above(pWindow, TRUE);
    gtk_window_set_icon_name(pWindow, "dialog-error");
    gtk_container_set_border_width(GTK_CONTAINER(pWindow), 10);

    GtkWidget* pGrid = gtk_grid_new();
    gtk_grid_set_column_spacing(GTK_GRID(pGrid), 12);
    gtk_grid_set_row_spacing(GTK_GRID(pGrid), 10);

    GtkWidget* pNotice = gtk_label_new(REPORT_NOTICE);
    gtk_label_set_line_wrap(GTK_LABEL(pNotice), TRUE);
    gtk_label_set_xalign(GTK_LABEL(pNotice), 0.0f);
    gtk_label_set_max_width_chars(GTK_LABEL(pNotice), 60);
    gtk_widget_set_hexpand(pNotice, TRUE);
    gtk_widget_set_valign(pNotice, GTK_ALIGN_CENTER);

    GtkWidget* pButtons = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
    GtkWidget* pSave = gtk_button_new_with_mnemonic("_Save");
    GtkWidget* pExit = gtk_button_new_with_mnemonic("E_xit");
    gtk_widget_set_size_request(pSave, 90, -1);
    gtk_box_pack_start(GTK_BOX(pButtons), pSave, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(pButtons), pExit, FALSE, FALSE, 0);
    g_signal_connect(pSave, "clicked", G_CALLBACK(OnSave), &window);
    g_signal_connect(pExit, "clicked", G_CALLBACK(OnExit), &window);

    gtk_grid_attach(GTK_GRID(pGrid), MakePicture(), 0, 0, 1, 1);
    gtk_grid_attach(GTK_GRID(pGrid), pNotice, 1, 0, 1, 1);
    gtk_grid_attach(GTK_GRID(pGrid), pButtons, 2, 0, 1, 1);
    gtk_grid_attach(GTK_GRID(pGrid), MakeReportView(report), 0, 1, 3, 1);
    gtk_container_add(GTK_CONTAINER(pWindow), pGrid);

    g_signal_connect(window.m_pWindow, "key-press-event", G_CALLBACK(OnKey), &window);
    g_signal_connect(window.m_pWindow, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
    g_signal_connect(window.m_pWindow, "map", G_CALLBACK(OnMapped), nullptr);

    // Save is the default button: Enter presses it.
    gtk_style_context_add_class(gtk_widget_get_style_context(pSave), "suggested-action");
    gtk_widget_set_can_default(pSave, TRUE);
    gtk_window_set_default(pWindow, pSave);
    gtk_widget_show_all(window.m_pWindow);
    gtk_widget_grab_focus(pSave);
    gtk_main();
    return EXIT_SHOWN;
}

int ShowMessageBox(const char* caption, const char* text)
{
    GtkWidget* pDialog = gtk_dialog_new_with_buttons(caption, nullptr, GTK_DIALOG_MODAL, "_OK",
                                                     GTK_RESPONSE_OK, nullptr);
    GtkWindow* pWindow = GTK_WINDOW(pDialog);
    gtk_window_set_keep_above(pWindow, TRUE);
    gtk_window_set_position(pWindow, GTK_WIN_POS_CENTER);
    gtk_window_set_resizable(pWindow, FALSE);
    gtk_window_set_icon_name(pWindow, "dialog-error");
    gtk_dialog_set_default_response(GTK_DIALOG(pDialog), GTK_RESPONSE_OK);

    GtkWidget* pRow = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 14);
    gtk_container_set_border_width(GTK_CONTAINER(pRow), 12);
    GtkWidget* pText = gtk_label_new(text);
    gtk_label_set_line_wrap(GTK_LABEL(pText), TRUE);
    gtk_label_set_max_width_chars(GTK_LABEL(pText), 60);
    gtk_label_set_xalign(GTK_LABEL(pText), 0.0f);
    gtk_label_set_selectable(GTK_LABEL(pText), TRUE);
    gtk_box_pack_start(GTK_BOX(pRow), MakePicture(), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(pRow), pText, TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(pDialog))), pRow, TRUE,
                       TRUE, 0);
    g_signal_connect(pDialog, "map", G_CALLBACK(OnMapped), nullptr);
    gtk_widget_show_all(pDialog);
    gtk_widget_grab_focus(gtk_dialog_get_widget_for_response(GTK_DIALOG(pDialog), GTK_RESPONSE_OK));
    gtk_dialog_run(GTK_DIALOG(pDialog));
    gtk_widget_destroy(pDialog);
    return EXIT_SHOWN;
}

void PrintUsage()
{
    fputs("usage: oru-report-window --report < report.txt\n"
          "       oru-report-window --message-box CAPTION TEXT\n",
          stderr);
}

}  // namespace

int main(int argc, char** argv)
{
    const bool bReport = argc == 2 && strcmp(argv[1], "--report") == 0;
    const bool bMessageBox = argc == 4 && strcmp(argv[1], "--message-box") == 0;
    if (!bReport && !bMessageBox) {
        PrintUsage();
        return EXIT_NOT_SHOWN;
    }
    // Read the report first: the library writes it all, then waits.
    const std::string report = bReport ? ReadStandardInput() : std::string();
    if (!gtk_init_check(nullptr, nullptr)) {
        fputs("oru-report-window: cannot open the display\n", stderr);
        return EXIT_NOT_SHOWN;
    }
    return bReport ? ShowReport(report) : ShowMessageBox(argv[2], argv[3]);
}

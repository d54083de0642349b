// Linux only: the progress window with GTK 3. Built as the module "arvolauncher_gtk.so"
// (windowbackend_gtkmodule.h), loaded by the launcher only when the window is to be seen.
//
// GTK may only be used on the thread that initialised it, the main thread. Display calls
// from other threads (the updater's) therefore only record what the window should show,
// the latest status line, bar position or marquee and a pending show, and the main thread
// puts that on the screen in its next RunMessages: a burst of updates costs one redraw, and
// nothing piles up while the main thread is busy elsewhere. A message box asked for by
// another thread is queued; the main thread opens it without blocking its own loop, and the
// asking thread waits for the answer. Once the window is gone nothing is queued any more: a
// fatal error from another thread then goes to the diagnostics and a question counts as
// Cancel.
//
// The main loop gives the window a short slot in each of its passes. GLib's iteration
// dispatches only the sources of the highest priority that are ready, so one iteration per
// slot, with the wake-up timer due at every slot, left GTK's layout and redraw (which run
// below the default priority) waiting for ever: the labels changed and the screen did not.
// So the timer runs at a priority below the redraw, and a slot handles everything that is
// ready, not one event.
#include "ferroexe/windowbackend.h"

#include "ferroexe/windowlayout.h"
#include "foundation/dbg.h"
#include "foundation/strtools.h"

#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace
{
// Wakes the main loop at least this often, so one pass of the launcher's main loop never
// waits longer for an event.
const guint k_msWakeTimer = 20;
// The indeterminate bar moves this often (microseconds).
const gint64 k_usPulseInterval = 100000;
// How long Cancel waits for the window to show that it stops (microseconds).
const gint64 k_usStoppingDrawWait = 100000;
// Events handled in one slot after the first, at most: a slot ends even under a flood.
const int k_cMaxEventsPerSlot = 200;

// The controls' font, Tahoma where installed, 12 pixels high at 96 DPI: given in points
// (9 pt), it grows with the display's resolution as the layout does. Controls as tall as
// the layout makes them: the theme's larger minimum sizes would break it.
const char k_pchWindowCSS[] = "#arvolauncher label, #arvolauncher button {"
                              "  font-family: Tahoma, sans-serif; font-size: 9pt; }"
                              "#arvolauncher button { min-height: 0; padding: 0 6px; }"
                              "#arvolauncher progressbar trough, #arvolauncher progressbar progress {"
                              "  min-height: %dpx; }";

// Set by the X library's handlers when the display connection breaks; from then on GTK is
// not called again.
std::atomic<bool> g_bDisplayLost{false};

int OnXIOError(Display *)
{
    g_bDisplayLost = true;
    return 0;
}

void OnXIOErrorExit(Display *, void *)
{
    // Returning (instead of exiting, as the X library and GDK would) leaves the connection
    // dead and every later call on it without effect; the launcher goes on without a window.
    g_bDisplayLost = true;
}

std::string ToUTF8(const wchar16 *pwch)
{
    if (!pwch)
        return std::string();
    int cub = Q_UnicodeToUTF8(pwch, nullptr, 0);
    std::string str((size_t)(cub > 0 ? cub : 1), '\0');
    Q_UnicodeToUTF8(pwch, &str[0], (int)str.size());
    str.resize(strlen(str.c_str()));
    return str;
}

std::u16string ToUTF16(const std::string &str)
{
    std::vector<wchar16> vec(str.size() + 1);
    Q_UTF8ToUnicode(str.c_str(), vec.data(), (int)(vec.size() * sizeof(wchar16)));
    return std::u16string(vec.data());
}

// Initialises GTK once per process, on the calling thread (which becomes the one thread
// that may use it); true when a display could be opened.
bool BOpenDisplay(std::thread::id *pidGtkThread)
{
    static std::thread::id s_idGtkThread;
    static const bool s_bOpened = []()
    {
        const char *pchX11 = g_getenv("DISPLAY");
        const char *pchWayland = g_getenv("WAYLAND_DISPLAY");
        if ((!pchX11 || !*pchX11) && (!pchWayland || !*pchWayland))
            return false;
        // GTK would switch the whole process to the user's locale, and with it the decimal
        // separator of every number the launcher reads and writes.
        gtk_disable_setlocale();
        s_idGtkThread = std::this_thread::get_id();
        if (!gtk_init_check(nullptr, nullptr))
            return false;
        GdkDisplay *pDisplay = gdk_display_get_default();
        if (pDisplay && GDK_IS_X11_DISPLAY(pDisplay))
        {
            // A display that goes away must not end the launcher in the middle of an update.
            XSetIOErrorHandler(OnXIOError);
            XSetIOErrorExitHandler(gdk_x11_display_get_xdisplay(pDisplay), OnXIOErrorExit, nullptr);
        }
        return true;
    }();
    *pidGtkThread = s_idGtkThread;
    return s_bOpened;
}

// A message box wanted by a thread other than the main one. Shared by the asking thread,
// the queue and the open dialog; its state is guarded by the backend's mutex.
struct MessageBoxRequest_t
{
    bool bQuestion = false;
    std::string strTitle;
    std::string strText;
    bool bOpened = false;
    bool bAnswered = false;
    bool bOK = false;
};
typedef std::shared_ptr<MessageBoxRequest_t> MessageBoxRequestPtr_t;

// What the window should show, as last asked for; the flags say what changed since the
// main thread last looked.
struct WantedState_t
{
    std::string strStatus;
    bool bStatusChanged = false;
    bool bMarquee = false;
    int nPosition = 0;
    bool bProgressChanged = false;
    bool bShow = false;
};

class CGtkWindowBackend : public IWindowBackend
{
public:
    ~CGtkWindowBackend() override;

    bool BIsAvailable() override;
    bool BRegisterWindowClass(void *) override { return BIsAvailable(); }
    bool BCreateWindow(const WindowTexts_t &texts, IWindowBackendEvents *pEvents) override;
    void CentreAndShow(int nShowCommand) override;
    void DestroyWindow() override;
    void Shutdown() override { DestroyWindow(); }
    void SetStatusText(const wchar16 *pwchStatus) override;
    void ShowStopping(const wchar16 *pwchStatus) override;
    void SetMarqueeStyle(bool bMarquee) override;
    void StartMarquee() override { SetMarqueeStyle(true); }
    void SetProgressPosition(int nPercent) override;
    void ShowErrorBox(const wchar16 *pwchTitle, const wchar16 *pwchText) override;
    bool BAskOKCancel(const wchar16 *pwchTitle, const wchar16 *pwchText) override;
    void RunMessages() override;
    // GLib's wake-up may come from any thread.
    void WakeMessageWait() override { g_main_context_wakeup(nullptr); }
    bool BDisplayLost() override { return g_bDisplayLost; }

private:
    bool BOnGtkThread() const { return m_bAvailable && std::this_thread::get_id() == m_idGtkThread; }
    // The window exists and its display is still there.
    bool BWindowUsable() const { return m_pWindow && !g_bDisplayLost; }
    // Records a change of the wanted state and gets it onto the screen: at once on the main
    // thread, else in its next slot. Nothing while there is no window.
    template <typename FnChange>
    void ChangeWanted(FnChange fnChange);
    void ScheduleApplyLocked();
    // Main thread: puts the wanted state on the screen and opens the queued message boxes.
    void ApplyWanted();
    void ApplyStatus(const std::string &strStatus);
    // Sizes and places the controls for a status text of cStatusLines lines.
    void ApplyLayout(int cStatusLines);
    bool BTextFits(GtkWidget *pLabel, const std::u16string &str, int nWidth, int cMaxLines);
    int LineHeight();
    void CentreAndShowNow();
    // The parts of BCreateWindow: the style of the controls (once per process), the window
    // and its controls, their layout and texts, and the start of the updates it takes.
    void ApplyWindowStyle(GdkScreen *pScreen, const WindowLayout_t &layout);
    void CreateControls(const WindowTexts_t &texts);
    void LayOutControls(const WindowLayout_t &layout);
    void StartServing();
    bool BMessageBox(bool bQuestion, const wchar16 *pwchTitle, const wchar16 *pwchText);
    GtkWidget *NewMessageDialog(bool bQuestion, const char *pchTitle, const char *pchText);
    void OpenQueuedDialog(const MessageBoxRequestPtr_t &pRequest);
    void AnswerRequest(const MessageBoxRequestPtr_t &pRequest, bool bOK);
    void ForgetWidgets();

    static gboolean ApplyIdle(gpointer pvBackend);
    static gboolean OnTimer(gpointer pvBackend);
    static gboolean OnDeleteEvent(GtkWidget *, GdkEvent *, gpointer pvBackend);
    static void OnCancelClicked(GtkButton *, gpointer pvBackend);
    static void OnRealize(GtkWidget *pWidget, gpointer);
    static gboolean OnControlDrawn(GtkWidget *pWidget, cairo_t *, gpointer pvBackend);
    static void OnDialogResponse(GtkDialog *pDialog, gint nResponse, gpointer pvTicket);
    static void DeleteDialogTicket(gpointer pvTicket, GClosure *);

    // Set by the first BIsAvailable, on the main thread, before any other thread runs.
    bool m_bInitTried = false;
    bool m_bAvailable = false;
    std::thread::id m_idGtkThread;

    // Main thread only.
    GtkWidget *m_pWindow = nullptr;
    GtkWidget *m_pFixed = nullptr;
    GtkWidget *m_pHeading = nullptr;
    GtkWidget *m_pProgress = nullptr;
    GtkWidget *m_pCancel = nullptr;
    GtkWidget *m_pStatus = nullptr;
    std::u16string m_strHeading;
    double m_flScale = 1.0;
    int m_cStatusLines = 1;
    guint m_idTimer = 0;
    bool m_bMarquee = false;
    gint64 m_usLastPulse = 0;
    // After Cancel the window says that it stops, whatever the updater reports meanwhile.
    bool m_bStopping = false;
    // Set whenever the status label is drawn.
    bool m_bStatusDrawn = false;
    IWindowBackendEvents *m_pEvents = nullptr;
    // Open dialogs of queued message boxes.
    std::vector<std::pair<MessageBoxRequestPtr_t, GtkWidget *>> m_vecOpenDialogs;
    // FERRO_TEST_WINDOW_TRACE: each drawing of the heading, the status and Cancel, with its
    // time and text (tests read back what was drawn, and when).
    FILE *m_pTrace = nullptr;

    // Shared with the other threads.
    std::mutex m_Mutex;
    std::condition_variable m_cvAnswered;
    bool m_bServing = false; // the window exists: changes and message boxes are taken
    WantedState_t m_Wanted;
    std::vector<MessageBoxRequestPtr_t> m_vecRequests; // not answered yet
    guint m_idApplyIdle = 0;
};

// What a queued dialog's response handler needs.
struct DialogTicket_t
{
    CGtkWindowBackend *pBackend;
    MessageBoxRequestPtr_t pRequest;
};

CGtkWindowBackend::~CGtkWindowBackend()
{
    DestroyWindow();
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_idApplyIdle && !g_bDisplayLost)
        g_source_remove(m_idApplyIdle);
    m_idApplyIdle = 0;
}

bool CGtkWindowBackend::BIsAvailable()
{
    if (!m_bInitTried)
    {
        m_bInitTried = true;
        m_bAvailable = BOpenDisplay(&m_idGtkThread);
    }
    return m_bAvailable && !g_bDisplayLost;
}

bool CGtkWindowBackend::BCreateWindow(const WindowTexts_t &texts, IWindowBackendEvents *pEvents)
{
    if (!BOnGtkThread() || m_pWindow || g_bDisplayLost)
        return false;
    m_pEvents = pEvents;
    m_bStopping = false;

    // The layout grows with the display's resolution (96 DPI is 1.0), as the font does.
    GdkScreen *pScreen = gdk_screen_get_default();
    double flResolution = pScreen ? gdk_screen_get_resolution(pScreen) : -1.0;
    m_flScale = flResolution > 0 ? flResolution / 96.0 : 1.0;
    WindowLayout_t layout = ComputeWindowLayout(m_flScale, 1, 0);

    ApplyWindowStyle(pScreen, layout);
    CreateControls(texts);
    LayOutControls(layout);
    StartServing();
    return true;
}

void CGtkWindowBackend::ApplyWindowStyle(GdkScreen *pScreen, const WindowLayout_t &layout)
{
    static bool s_bStyled = false;
    if (s_bStyled || !pScreen)
        return;
    s_bStyled = true;
    char rgchCSS[sizeof(k_pchWindowCSS) + 16];
    snprintf(rgchCSS, sizeof(rgchCSS), k_pchWindowCSS, layout.progress.nHeight);
    GtkCssProvider *pCSS = gtk_css_provider_new();
    gtk_css_provider_load_from_data(pCSS, rgchCSS, -1, nullptr);
    gtk_style_context_add_provider_for_screen(pScreen, GTK_STYLE_PROVIDER(pCSS),
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(pCSS);
}

void CGtkWindowBackend::CreateControls(const WindowTexts_t &texts)
{
    m_pWindow = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_widget_set_name(m_pWindow, "arvolauncher");
    gtk_window_set_title(GTK_WINDOW(m_pWindow), ToUTF8(texts.m_pwchTitle).c_str());
    gtk_window_set_resizable(GTK_WINDOW(m_pWindow), FALSE);
    g_signal_connect(m_pWindow, "delete-event", G_CALLBACK(OnDeleteEvent), this);
    g_signal_connect(m_pWindow, "realize", G_CALLBACK(OnRealize), nullptr);

    // The layout in pixels, as on Windows.
    m_pFixed = gtk_fixed_new();
    gtk_container_add(GTK_CONTAINER(m_pWindow), m_pFixed);

    m_strHeading = texts.m_pwchHeading ? std::u16string(texts.m_pwchHeading) : std::u16string();
    m_pHeading = gtk_label_new("");
    gtk_label_set_xalign(GTK_LABEL(m_pHeading), 0.0f);
    gtk_label_set_yalign(GTK_LABEL(m_pHeading), 0.0f);
    gtk_fixed_put(GTK_FIXED(m_pFixed), m_pHeading, 0, 0);

    m_pProgress = gtk_progress_bar_new();
    gtk_fixed_put(GTK_FIXED(m_pFixed), m_pProgress, 0, 0);

    m_pCancel = gtk_button_new_with_label(ToUTF8(texts.m_pwchCancel).c_str());
    g_signal_connect(m_pCancel, "clicked", G_CALLBACK(OnCancelClicked), this);
    gtk_fixed_put(GTK_FIXED(m_pFixed), m_pCancel, 0, 0);

    // Broken into its lines by ApplyStatus (a wrapping label in a fixed layout asks for the
    // wrong size); what still does not fit is cut by FitWindowText.
    m_pStatus = gtk_label_new("");
    gtk_label_set_xalign(GTK_LABEL(m_pStatus), 0.0f);
    gtk_label_set_yalign(GTK_LABEL(m_pStatus), 0.0f);
    gtk_fixed_put(GTK_FIXED(m_pFixed), m_pStatus, 0, 0);

    const char *pchTrace = getenv("FERRO_TEST_WINDOW_TRACE");
    if (pchTrace && *pchTrace && !m_pTrace)
        m_pTrace = fopen(pchTrace, "a");
    g_signal_connect_after(m_pHeading, "draw", G_CALLBACK(OnControlDrawn), this);
    g_signal_connect_after(m_pCancel, "draw", G_CALLBACK(OnControlDrawn), this);
    g_signal_connect_after(m_pStatus, "draw", G_CALLBACK(OnControlDrawn), this);
}

void CGtkWindowBackend::LayOutControls(const WindowLayout_t &layout)
{
    m_cStatusLines = 1;
    ApplyLayout(1);
    // The heading keeps one line; a translation too long for it loses whole words.
    std::u16string strHeading =
        FitWindowText(m_strHeading, [&](const std::u16string &str)
                      { return BTextFits(m_pHeading, str, layout.heading.nWidth, 1); });
    gtk_label_set_text(GTK_LABEL(m_pHeading), ToUTF8(strHeading.c_str()).c_str());
    gtk_widget_show_all(m_pFixed);
}

void CGtkWindowBackend::StartServing()
{
    m_bMarquee = false;
    // Below GTK's redraw priority: a due timer must never hold back a redraw.
    m_idTimer = g_timeout_add_full(G_PRIORITY_LOW, k_msWakeTimer, OnTimer, this, nullptr);
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_bServing = true;
    m_Wanted = WantedState_t();
}

int CGtkWindowBackend::LineHeight()
{
    PangoLayout *pLayout = gtk_widget_create_pango_layout(m_pStatus, "Ag");
    int nWidth = 0, nHeight = 0;
    pango_layout_get_pixel_size(pLayout, &nWidth, &nHeight);
    g_object_unref(pLayout);
    return nHeight;
}

// The text as the label shows it in nWidth pixels: wrapped at word boundaries (inside a
// word only when it is longer than a line) into lines joined by line feeds.
std::string WrapText(GtkWidget *pLabel, const std::string &strText, int nWidth)
{
    PangoLayout *pLayout = gtk_widget_create_pango_layout(pLabel, strText.c_str());
    pango_layout_set_width(pLayout, nWidth * PANGO_SCALE);
    pango_layout_set_wrap(pLayout, PANGO_WRAP_WORD_CHAR);
    std::string strWrapped;
    for (GSList *pLine = pango_layout_get_lines_readonly(pLayout); pLine; pLine = pLine->next)
    {
        const PangoLayoutLine *pLayoutLine = static_cast<const PangoLayoutLine *>(pLine->data);
        std::string strLine = strText.substr((size_t)pLayoutLine->start_index, (size_t)pLayoutLine->length);
        while (!strLine.empty() && (strLine.back() == ' ' || strLine.back() == '\n'))
            strLine.pop_back();
        if (!strWrapped.empty())
            strWrapped += '\n';
        strWrapped += strLine;
    }
    g_object_unref(pLayout);
    return strWrapped;
}

bool CGtkWindowBackend::BTextFits(GtkWidget *pLabel, const std::u16string &str, int nWidth, int cMaxLines)
{
    PangoLayout *pLayout = gtk_widget_create_pango_layout(pLabel, ToUTF8(str.c_str()).c_str());
    pango_layout_set_width(pLayout, nWidth * PANGO_SCALE);
    pango_layout_set_wrap(pLayout, PANGO_WRAP_WORD_CHAR);
    int cLines = pango_layout_get_line_count(pLayout);
    int nTextWidth = 0, nTextHeight = 0;
    pango_layout_get_pixel_size(pLayout, &nTextWidth, &nTextHeight);
    g_object_unref(pLayout);
    // A word longer than the line is broken inside; one line must also not be wider.
    return cLines <= cMaxLines && nTextWidth <= nWidth;
}

void CGtkWindowBackend::ApplyLayout(int cStatusLines)
{
    WindowLayout_t layout = ComputeWindowLayout(m_flScale, cStatusLines, LineHeight());
    auto Place = [&](GtkWidget *pWidget, const WindowRect_t &rect)
    {
        gtk_widget_set_size_request(pWidget, rect.nWidth, rect.nHeight);
        gtk_fixed_move(GTK_FIXED(m_pFixed), pWidget, rect.x, rect.y);
    };
    Place(m_pHeading, layout.heading);
    Place(m_pProgress, layout.progress);
    Place(m_pCancel, layout.cancel);
    Place(m_pStatus, layout.status);
    gtk_widget_set_size_request(m_pWindow, layout.nWindowWidth, layout.nWindowHeight);
    gtk_window_resize(GTK_WINDOW(m_pWindow), layout.nWindowWidth, layout.nWindowHeight);
}

void CGtkWindowBackend::ApplyStatus(const std::string &strStatus)
{
    WindowLayout_t layout = ComputeWindowLayout(m_flScale, 1, 0);
    std::u16string strFitted =
        FitWindowText(ToUTF16(strStatus), [&](const std::u16string &str)
                      { return BTextFits(m_pStatus, str, layout.status.nWidth, k_cMaxStatusLines); });
    int cLines = BTextFits(m_pStatus, strFitted, layout.status.nWidth, 1) ? 1 : k_cMaxStatusLines;
    if (cLines != m_cStatusLines)
    {
        m_cStatusLines = cLines;
        ApplyLayout(cLines);
    }
    gtk_label_set_text(GTK_LABEL(m_pStatus),
                       WrapText(m_pStatus, ToUTF8(strFitted.c_str()), layout.status.nWidth).c_str());
}

template <typename FnChange>
void CGtkWindowBackend::ChangeWanted(FnChange fnChange)
{
    bool bApplyNow = false;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (!m_bServing || g_bDisplayLost)
            return;
        fnChange(m_Wanted);
        bApplyNow = BOnGtkThread();
        if (!bApplyNow)
            ScheduleApplyLocked();
    }
    if (bApplyNow)
        ApplyWanted();
}

void CGtkWindowBackend::ScheduleApplyLocked()
{
    // One pending idle at a time, whatever the number of changes. (GLib's source functions
    // may be called from any thread.)
    if (!m_idApplyIdle)
        m_idApplyIdle = g_idle_add_full(G_PRIORITY_DEFAULT, ApplyIdle, this, nullptr);
}

gboolean CGtkWindowBackend::ApplyIdle(gpointer pvBackend)
{
    CGtkWindowBackend *pBackend = static_cast<CGtkWindowBackend *>(pvBackend);
    {
        std::lock_guard<std::mutex> lock(pBackend->m_Mutex);
        pBackend->m_idApplyIdle = 0;
    }
    pBackend->ApplyWanted();
    return G_SOURCE_REMOVE;
}

void CGtkWindowBackend::ApplyWanted()
{
    WantedState_t wanted;
    std::vector<MessageBoxRequestPtr_t> vecToOpen;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        wanted = m_Wanted;
        m_Wanted.bStatusChanged = false;
        m_Wanted.bProgressChanged = false;
        m_Wanted.bShow = false;
        for (const MessageBoxRequestPtr_t &pRequest : m_vecRequests)
        {
            if (!pRequest->bOpened)
            {
                pRequest->bOpened = true;
                vecToOpen.push_back(pRequest);
            }
        }
    }
    if (!BWindowUsable())
        return;
    if (wanted.bStatusChanged && !m_bStopping)
        ApplyStatus(wanted.strStatus);
    if (wanted.bProgressChanged)
    {
        if (wanted.bMarquee && !m_bMarquee)
        {
            // Activity mode at once; the timer keeps the block moving.
            m_bMarquee = true;
            m_usLastPulse = g_get_monotonic_time();
            gtk_progress_bar_pulse(GTK_PROGRESS_BAR(m_pProgress));
        }
        else if (!wanted.bMarquee)
        {
            m_bMarquee = false;
            gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(m_pProgress), wanted.nPosition / 100.0);
        }
    }
    if (wanted.bShow)
        CentreAndShowNow();
    for (const MessageBoxRequestPtr_t &pRequest : vecToOpen)
        OpenQueuedDialog(pRequest);
}

void CGtkWindowBackend::CentreAndShow(int)
{
    // The show command of the Windows entry has no counterpart here: the window is shown.
    ChangeWanted([](WantedState_t &wanted) { wanted.bShow = true; });
}

void CGtkWindowBackend::CentreAndShowNow()
{
    gtk_widget_realize(m_pWindow);
    GdkDisplay *pDisplay = gtk_widget_get_display(m_pWindow);
    GdkMonitor *pMonitor = gdk_display_get_monitor_at_window(pDisplay, gtk_widget_get_window(m_pWindow));
    if (!pMonitor)
        pMonitor = gdk_display_get_primary_monitor(pDisplay);
    if (!pMonitor && gdk_display_get_n_monitors(pDisplay) > 0)
        pMonitor = gdk_display_get_monitor(pDisplay, 0);
    if (pMonitor)
    {
        // The whole monitor, not its work area.
        GdkRectangle rect;
        gdk_monitor_get_geometry(pMonitor, &rect);
        WindowLayout_t layout = ComputeWindowLayout(m_flScale, 1, 0);
        gtk_window_move(GTK_WINDOW(m_pWindow), rect.x + (rect.width - layout.nWindowWidth) / 2,
                        rect.y + (rect.height - layout.nWindowHeight) / 2);
    }
    gtk_window_present(GTK_WINDOW(m_pWindow));
}

void CGtkWindowBackend::ForgetWidgets()
{
    m_pWindow = nullptr;
    m_pFixed = nullptr;
    m_pHeading = nullptr;
    m_pProgress = nullptr;
    m_pCancel = nullptr;
    m_pStatus = nullptr;
}

void CGtkWindowBackend::DestroyWindow()
{
    if (!BOnGtkThread())
        return;
    std::vector<MessageBoxRequestPtr_t> vecUnanswered;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_bServing = false;
        m_Wanted = WantedState_t();
        vecUnanswered.swap(m_vecRequests);
        for (const MessageBoxRequestPtr_t &pRequest : vecUnanswered)
        {
            pRequest->bAnswered = true;
            pRequest->bOK = false;
        }
    }
    m_cvAnswered.notify_all();
    if (m_pTrace)
        fclose(m_pTrace);
    m_pTrace = nullptr;
    if (g_bDisplayLost)
    {
        // Nothing can be destroyed on a display that is gone.
        m_vecOpenDialogs.clear();
        m_idTimer = 0;
        ForgetWidgets();
        return;
    }
    for (auto &openDialog : m_vecOpenDialogs)
        gtk_widget_destroy(openDialog.second);
    m_vecOpenDialogs.clear();
    if (m_idTimer)
        g_source_remove(m_idTimer);
    m_idTimer = 0;
    if (m_pWindow)
    {
        gtk_widget_destroy(m_pWindow);
        // The client started next owns the main thread and may never run this main loop:
        // tell the display server now.
        gdk_display_flush(gdk_display_get_default());
    }
    ForgetWidgets();
}

void CGtkWindowBackend::SetStatusText(const wchar16 *pwchStatus)
{
    std::string strStatus = ToUTF8(pwchStatus);
    ChangeWanted(
        [&](WantedState_t &wanted)
        {
            wanted.strStatus = strStatus;
            wanted.bStatusChanged = true;
        });
}

void CGtkWindowBackend::ShowStopping(const wchar16 *pwchStatus)
{
    if (!BOnGtkThread() || !BWindowUsable())
        return;
    m_bStopping = true;
    ApplyStatus(ToUTF8(pwchStatus));
    gtk_widget_set_sensitive(m_pCancel, FALSE);
    // The main loop goes straight to its shutdown and may not give the window another slot
    // before it is destroyed: draw it now (the timer bounds each wait).
    m_bStatusDrawn = false;
    gint64 usGiveUp = g_get_monotonic_time() + k_usStoppingDrawWait;
    while (!m_bStatusDrawn && !g_bDisplayLost && g_get_monotonic_time() < usGiveUp)
        g_main_context_iteration(nullptr, TRUE);
}

void CGtkWindowBackend::SetMarqueeStyle(bool bMarquee)
{
    ChangeWanted(
        [&](WantedState_t &wanted)
        {
            wanted.bMarquee = bMarquee;
            wanted.bProgressChanged = true;
        });
}

void CGtkWindowBackend::SetProgressPosition(int nPercent)
{
    ChangeWanted(
        [&](WantedState_t &wanted)
        {
            wanted.nPosition = nPercent;
            wanted.bProgressChanged = true;
        });
}

void CGtkWindowBackend::ShowErrorBox(const wchar16 *pwchTitle, const wchar16 *pwchText)
{
    BMessageBox(false, pwchTitle, pwchText);
}

bool CGtkWindowBackend::BAskOKCancel(const wchar16 *pwchTitle, const wchar16 *pwchText)
{
    return BMessageBox(true, pwchTitle, pwchText);
}

GtkWidget *CGtkWindowBackend::NewMessageDialog(bool bQuestion, const char *pchTitle, const char *pchText)
{
    GtkWidget *pDialog =
        gtk_message_dialog_new(m_pWindow ? GTK_WINDOW(m_pWindow) : nullptr, GTK_DIALOG_MODAL,
                               bQuestion ? GTK_MESSAGE_WARNING : GTK_MESSAGE_ERROR,
                               bQuestion ? GTK_BUTTONS_OK_CANCEL : GTK_BUTTONS_OK, "%s", pchText);
    gtk_window_set_title(GTK_WINDOW(pDialog), pchTitle);
    if (bQuestion)
        gtk_dialog_set_default_response(GTK_DIALOG(pDialog), GTK_RESPONSE_CANCEL);
    // Before the updater shows the window its owner is hidden: centre on the screen then.
    bool bOwnerVisible = m_pWindow && gtk_widget_get_visible(m_pWindow);
    gtk_window_set_position(GTK_WINDOW(pDialog),
                            bOwnerVisible ? GTK_WIN_POS_CENTER_ON_PARENT : GTK_WIN_POS_CENTER);
    // In front of the progress window and anything else: the player must see it.
    gtk_window_set_keep_above(GTK_WINDOW(pDialog), TRUE);
    return pDialog;
}

bool CGtkWindowBackend::BMessageBox(bool bQuestion, const wchar16 *pwchTitle, const wchar16 *pwchText)
{
    std::string strTitle = ToUTF8(pwchTitle);
    std::string strText = ToUTF8(pwchText);
    if (g_bDisplayLost)
    {
        Msg("%s: %s\n", strTitle.c_str(), strText.c_str());
        return false;
    }
    if (BOnGtkThread())
    {
        GtkWidget *pDialog = NewMessageDialog(bQuestion, strTitle.c_str(), strText.c_str());
        gtk_window_present(GTK_WINDOW(pDialog));
        gint nResponse = gtk_dialog_run(GTK_DIALOG(pDialog));
        if (!g_bDisplayLost)
            gtk_widget_destroy(pDialog);
        return nResponse == GTK_RESPONSE_OK;
    }

    MessageBoxRequestPtr_t pRequest = std::make_shared<MessageBoxRequest_t>();
    pRequest->bQuestion = bQuestion;
    pRequest->strTitle = strTitle;
    pRequest->strText = strText;
    std::unique_lock<std::mutex> lock(m_Mutex);
    if (!m_bServing)
    {
        // No main loop to show it in: say it where it can still be read.
        lock.unlock();
        Msg("%s: %s\n", strTitle.c_str(), strText.c_str());
        return false;
    }
    m_vecRequests.push_back(pRequest);
    ScheduleApplyLocked();
    m_cvAnswered.wait(lock, [&]() { return pRequest->bAnswered; });
    return pRequest->bOK;
}

void CGtkWindowBackend::OpenQueuedDialog(const MessageBoxRequestPtr_t &pRequest)
{
    GtkWidget *pDialog =
        NewMessageDialog(pRequest->bQuestion, pRequest->strTitle.c_str(), pRequest->strText.c_str());
    g_signal_connect_data(pDialog, "response", G_CALLBACK(OnDialogResponse),
                          new DialogTicket_t{this, pRequest}, DeleteDialogTicket, GConnectFlags(0));
    m_vecOpenDialogs.emplace_back(pRequest, pDialog);
    gtk_window_present(GTK_WINDOW(pDialog));
}

void CGtkWindowBackend::AnswerRequest(const MessageBoxRequestPtr_t &pRequest, bool bOK)
{
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (pRequest->bAnswered)
            return;
        pRequest->bAnswered = true;
        pRequest->bOK = bOK;
        for (size_t i = 0; i < m_vecRequests.size(); ++i)
        {
            if (m_vecRequests[i] == pRequest)
            {
                m_vecRequests.erase(m_vecRequests.begin() + (ptrdiff_t)i);
                break;
            }
        }
    }
    m_cvAnswered.notify_all();
}

void CGtkWindowBackend::OnDialogResponse(GtkDialog *pDialog, gint nResponse, gpointer pvTicket)
{
    DialogTicket_t *pTicket = static_cast<DialogTicket_t *>(pvTicket);
    CGtkWindowBackend *pBackend = pTicket->pBackend;
    MessageBoxRequestPtr_t pRequest = pTicket->pRequest;
    pBackend->AnswerRequest(pRequest, nResponse == GTK_RESPONSE_OK);
    for (size_t i = 0; i < pBackend->m_vecOpenDialogs.size(); ++i)
    {
        if (pBackend->m_vecOpenDialogs[i].second == GTK_WIDGET(pDialog))
        {
            pBackend->m_vecOpenDialogs.erase(pBackend->m_vecOpenDialogs.begin() + (ptrdiff_t)i);
            break;
        }
    }
    gtk_widget_destroy(GTK_WIDGET(pDialog));
}

void CGtkWindowBackend::DeleteDialogTicket(gpointer pvTicket, GClosure *)
{
    delete static_cast<DialogTicket_t *>(pvTicket);
}

void CGtkWindowBackend::RunMessages()
{
    if (!BOnGtkThread())
        return;
    if (!g_bDisplayLost && m_pWindow)
    {
        // The window's timer ends the wait within 20 ms; then whatever else is ready (the
        // texts from the updater, the layout and the redraw they caused) is handled too.
        g_main_context_iteration(nullptr, TRUE);
        for (int i = 0; i < k_cMaxEventsPerSlot && !g_bDisplayLost && g_main_context_pending(nullptr); ++i)
            g_main_context_iteration(nullptr, FALSE);
        return;
    }
    if (!g_bDisplayLost)
        g_main_context_iteration(nullptr, FALSE);
    g_usleep(k_msWakeTimer * 1000);
}

gboolean CGtkWindowBackend::OnTimer(gpointer pvBackend)
{
    CGtkWindowBackend *pBackend = static_cast<CGtkWindowBackend *>(pvBackend);
    if (g_bDisplayLost || !pBackend->m_pProgress)
        return G_SOURCE_CONTINUE;
    // By the clock, not by ticks: the main loop decides how often the timer gets to run.
    gint64 usNow = g_get_monotonic_time();
    if (pBackend->m_bMarquee && usNow - pBackend->m_usLastPulse >= k_usPulseInterval)
    {
        pBackend->m_usLastPulse = usNow;
        gtk_progress_bar_pulse(GTK_PROGRESS_BAR(pBackend->m_pProgress));
    }
    return G_SOURCE_CONTINUE;
}

gboolean CGtkWindowBackend::OnDeleteEvent(GtkWidget *, GdkEvent *, gpointer pvBackend)
{
    // The close box means "stop", as Cancel does; the window stays until the main flow
    // destroys it on its way out, so the main loop keeps its timer.
    CGtkWindowBackend *pBackend = static_cast<CGtkWindowBackend *>(pvBackend);
    if (pBackend->m_pEvents)
        pBackend->m_pEvents->OnCancelRequested();
    return TRUE;
}

void CGtkWindowBackend::OnCancelClicked(GtkButton *, gpointer pvBackend)
{
    CGtkWindowBackend *pBackend = static_cast<CGtkWindowBackend *>(pvBackend);
    if (pBackend->m_pEvents)
        pBackend->m_pEvents->OnCancelRequested();
}

void CGtkWindowBackend::OnRealize(GtkWidget *pWidget, gpointer)
{
    // The wait cursor over the window, as the launcher is busy while it is up.
    GdkCursor *pCursor = gdk_cursor_new_from_name(gtk_widget_get_display(pWidget), "wait");
    if (pCursor)
    {
        gdk_window_set_cursor(gtk_widget_get_window(pWidget), pCursor);
        g_object_unref(pCursor);
    }
}

gboolean CGtkWindowBackend::OnControlDrawn(GtkWidget *pWidget, cairo_t *, gpointer pvBackend)
{
    CGtkWindowBackend *pBackend = static_cast<CGtkWindowBackend *>(pvBackend);
    if (pWidget == pBackend->m_pStatus)
        pBackend->m_bStatusDrawn = true;
    if (!pBackend->m_pTrace)
        return FALSE;
    // One line per drawing: the monotonic clock in microseconds, the control, its text.
    const char *pchControl = "status";
    std::string strText;
    if (pWidget == pBackend->m_pCancel)
    {
        pchControl = "cancel";
        strText = gtk_button_get_label(GTK_BUTTON(pWidget));
    }
    else
    {
        pchControl = pWidget == pBackend->m_pHeading ? "heading" : "status";
        strText = gtk_label_get_text(GTK_LABEL(pWidget));
    }
    for (char &ch : strText)
    {
        if (ch == '\n' || ch == '\r')
            ch = ' ';
    }
    fprintf(pBackend->m_pTrace, "%lld %s %s\n", (long long)g_get_monotonic_time(), pchControl,
            strText.c_str());
    fflush(pBackend->m_pTrace);
    return FALSE;
}
} // namespace

// The module's one export (see windowbackend_gtkmodule.h).
extern "C" __attribute__((visibility("default"))) IWindowBackend *CreateGtkWindowBackend()
{
    return new CGtkWindowBackend();
}

// Linux only: the progress window with GTK 3.
//
// GTK may only be used on the thread that initialised it, the main thread. Display calls
// from other threads (the updater's) therefore only record what the window should show,
// the latest status line, bar position or marquee and a pending show, and the main thread
// puts that on the screen in its next main-loop iteration: a burst of updates costs one
// redraw, and nothing piles up while the main thread is busy elsewhere. A message box asked
// for by another thread is queued; the main thread opens it without blocking its own loop,
// and the asking thread waits for the answer. Once the window is gone nothing is queued
// any more: a fatal error from another thread then goes to the diagnostics and a question
// counts as Cancel.
#include "ferroexe/windowbackend.h"

#include "foundation/dbg.h"
#include "foundation/strtools.h"

#include <gtk/gtk.h>

#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace
{
const int k_nWindowWidth = 400;
const int k_nWindowHeight = 129;
// Wakes the main loop at least this often, so one pass of the launcher's main loop never
// waits longer for an event.
const guint k_msWakeTimer = 20;
// The indeterminate bar moves every this many timer ticks (100 ms).
const int k_nTicksPerPulse = 5;

// The controls' font (Tahoma where installed, 12 pixels high), and controls as tall as
// the layout makes them: the theme's larger minimum sizes would break it.
const char k_pchWindowCSS[] = "#arvolauncher label, #arvolauncher button {"
                              "  font-family: Tahoma, sans-serif; font-size: 12px; }"
                              "#arvolauncher button { min-height: 0; padding: 0 6px; }"
                              "#arvolauncher progressbar trough, #arvolauncher progressbar progress {"
                              "  min-height: 14px; }";

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
        return gtk_init_check(nullptr, nullptr) != FALSE;
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
    bool BCreateWindow(const wchar16 *pwchTitle, const wchar16 *pwchHeading,
                       IWindowBackendEvents *pEvents) override;
    void CentreAndShow(int nShowCommand) override;
    void DestroyWindow() override;
    void Shutdown() override { DestroyWindow(); }
    void SetStatusText(const wchar16 *pwchStatus) override;
    void SetMarqueeStyle(bool bMarquee) override;
    void StartMarquee() override { SetMarqueeStyle(true); }
    void SetProgressPosition(int nPercent) override;
    void ShowErrorBox(const wchar16 *pwchTitle, const wchar16 *pwchText) override;
    bool BAskOKCancel(const wchar16 *pwchTitle, const wchar16 *pwchText) override;
    void RunOneMessage() override;

private:
    bool BOnGtkThread() const { return m_bAvailable && std::this_thread::get_id() == m_idGtkThread; }
    // Records a change of the wanted state and gets it onto the screen: at once on the main
    // thread, else in its next iteration. Nothing while there is no window.
    template <typename FnChange>
    void ChangeWanted(FnChange fnChange);
    void ScheduleApplyLocked();
    // Main thread: puts the wanted state on the screen and opens the queued message boxes.
    void ApplyWanted();
    void CentreAndShowNow();
    bool BMessageBox(bool bQuestion, const wchar16 *pwchTitle, const wchar16 *pwchText);
    GtkWidget *NewMessageDialog(bool bQuestion, const char *pchTitle, const char *pchText);
    void OpenQueuedDialog(const MessageBoxRequestPtr_t &pRequest);
    void AnswerRequest(const MessageBoxRequestPtr_t &pRequest, bool bOK);

    static gboolean ApplyIdle(gpointer pvBackend);
    static gboolean OnTimer(gpointer pvBackend);
    static gboolean OnDeleteEvent(GtkWidget *, GdkEvent *, gpointer pvBackend);
    static void OnCancelClicked(GtkButton *, gpointer pvBackend);
    static void OnRealize(GtkWidget *pWidget, gpointer);
    static void OnDialogResponse(GtkDialog *pDialog, gint nResponse, gpointer pvTicket);
    static void DeleteDialogTicket(gpointer pvTicket, GClosure *);

    // Set by the first BIsAvailable, on the main thread, before any other thread runs.
    bool m_bInitTried = false;
    bool m_bAvailable = false;
    std::thread::id m_idGtkThread;

    // Main thread only.
    GtkWidget *m_pWindow = nullptr;
    GtkWidget *m_pProgress = nullptr;
    GtkWidget *m_pStatus = nullptr;
    guint m_idTimer = 0;
    bool m_bMarquee = false;
    int m_nTicksSincePulse = 0;
    IWindowBackendEvents *m_pEvents = nullptr;
    // Open dialogs of queued message boxes.
    std::vector<std::pair<MessageBoxRequestPtr_t, GtkWidget *>> m_vecOpenDialogs;

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
    if (m_idApplyIdle)
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
    return m_bAvailable;
}

bool CGtkWindowBackend::BCreateWindow(const wchar16 *pwchTitle, const wchar16 *pwchHeading,
                                      IWindowBackendEvents *pEvents)
{
    if (!BOnGtkThread() || m_pWindow)
        return false;
    m_pEvents = pEvents;

    GtkCssProvider *pCSS = gtk_css_provider_new();
    gtk_css_provider_load_from_data(pCSS, k_pchWindowCSS, -1, nullptr);
    gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(pCSS),
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(pCSS);

    m_pWindow = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_widget_set_name(m_pWindow, "arvolauncher");
    gtk_window_set_title(GTK_WINDOW(m_pWindow), ToUTF8(pwchTitle).c_str());
    gtk_window_set_resizable(GTK_WINDOW(m_pWindow), FALSE);
    gtk_widget_set_size_request(m_pWindow, k_nWindowWidth, k_nWindowHeight);
    g_signal_connect(m_pWindow, "delete-event", G_CALLBACK(OnDeleteEvent), this);
    g_signal_connect(m_pWindow, "realize", G_CALLBACK(OnRealize), nullptr);

    // The layout in pixels, as on Windows.
    GtkWidget *pFixed = gtk_fixed_new();
    gtk_container_add(GTK_CONTAINER(m_pWindow), pFixed);

    GtkWidget *pHeading = gtk_label_new(ToUTF8(pwchHeading).c_str());
    gtk_widget_set_size_request(pHeading, 365, 25);
    gtk_label_set_xalign(GTK_LABEL(pHeading), 0.0f);
    gtk_label_set_yalign(GTK_LABEL(pHeading), 0.0f);
    gtk_label_set_ellipsize(GTK_LABEL(pHeading), PANGO_ELLIPSIZE_END);
    gtk_fixed_put(GTK_FIXED(pFixed), pHeading, 15, 15);

    m_pProgress = gtk_progress_bar_new();
    gtk_widget_set_size_request(m_pProgress, 365, 14);
    gtk_fixed_put(GTK_FIXED(pFixed), m_pProgress, 15, 40);

    GtkWidget *pCancel = gtk_button_new_with_label("Cancel");
    gtk_widget_set_size_request(pCancel, 75, 25);
    g_signal_connect(pCancel, "clicked", G_CALLBACK(OnCancelClicked), this);
    gtk_fixed_put(GTK_FIXED(pFixed), pCancel, 305, 64);

    // Ellipsized, so that a line wider than its 270 pixels in the local font does not push
    // the layout apart.
    m_pStatus = gtk_label_new("");
    gtk_widget_set_size_request(m_pStatus, 270, 25);
    gtk_label_set_xalign(GTK_LABEL(m_pStatus), 0.0f);
    gtk_label_set_yalign(GTK_LABEL(m_pStatus), 0.0f);
    gtk_label_set_ellipsize(GTK_LABEL(m_pStatus), PANGO_ELLIPSIZE_END);
    gtk_fixed_put(GTK_FIXED(pFixed), m_pStatus, 15, 64);

    gtk_widget_show_all(pFixed);
    m_bMarquee = false;
    m_idTimer = g_timeout_add(k_msWakeTimer, OnTimer, this);
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_bServing = true;
        m_Wanted = WantedState_t();
    }
    return true;
}

template <typename FnChange>
void CGtkWindowBackend::ChangeWanted(FnChange fnChange)
{
    bool bApplyNow = false;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (!m_bServing)
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
    // One pending idle at a time, whatever the number of changes.
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
    if (!m_pWindow)
        return;
    if (wanted.bStatusChanged)
        gtk_label_set_text(GTK_LABEL(m_pStatus), wanted.strStatus.c_str());
    if (wanted.bProgressChanged)
    {
        if (wanted.bMarquee && !m_bMarquee)
        {
            // Activity mode at once; the timer keeps the block moving.
            m_bMarquee = true;
            m_nTicksSincePulse = 0;
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
        gtk_window_move(GTK_WINDOW(m_pWindow), rect.x + (rect.width - k_nWindowWidth) / 2,
                        rect.y + (rect.height - k_nWindowHeight) / 2);
    }
    gtk_window_present(GTK_WINDOW(m_pWindow));
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
    m_pWindow = nullptr;
    m_pProgress = nullptr;
    m_pStatus = nullptr;
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
    return pDialog;
}

bool CGtkWindowBackend::BMessageBox(bool bQuestion, const wchar16 *pwchTitle, const wchar16 *pwchText)
{
    std::string strTitle = ToUTF8(pwchTitle);
    std::string strText = ToUTF8(pwchText);
    if (BOnGtkThread())
    {
        GtkWidget *pDialog = NewMessageDialog(bQuestion, strTitle.c_str(), strText.c_str());
        gint nResponse = gtk_dialog_run(GTK_DIALOG(pDialog));
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
    gtk_widget_show(pDialog);
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

void CGtkWindowBackend::RunOneMessage()
{
    if (!BOnGtkThread())
        return;
    if (m_pWindow)
    {
        // The window's timer ends the wait within 20 ms.
        g_main_context_iteration(nullptr, TRUE);
        return;
    }
    g_main_context_iteration(nullptr, FALSE);
    g_usleep(k_msWakeTimer * 1000);
}

gboolean CGtkWindowBackend::OnTimer(gpointer pvBackend)
{
    CGtkWindowBackend *pBackend = static_cast<CGtkWindowBackend *>(pvBackend);
    if (pBackend->m_bMarquee && ++pBackend->m_nTicksSincePulse >= k_nTicksPerPulse)
    {
        pBackend->m_nTicksSincePulse = 0;
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
} // namespace

IWindowBackend *CreateWindowBackend()
{
    return new CGtkWindowBackend();
}

// The GTK window itself, looked at through its widgets: layout, texts, updates from another
// thread, Cancel and the close box, message boxes on both threads. These tests need a
// display; without one they are skipped (tests/e2e/test_window.py runs them under Xvfb).
#include "ferroexe/win32updateui.h"

#include "ferroexe/windowbackend_gtkmodule.h"

#include "ferroexe/windowlayout.h"
#include "support/testsupport.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

namespace
{
const char k_pchFatalErrorTitle[] = "Arvo Launcher - Fatal Error";
const char k_pchWarningTitle[] = "Arvo Launcher - Warning";

bool BHaveDisplay()
{
    const char *pchX11 = getenv("DISPLAY");
    const char *pchWayland = getenv("WAYLAND_DISPLAY");
    return (pchX11 && *pchX11) || (pchWayland && *pchWayland);
}

#define SKIP_WITHOUT_DISPLAY()                                                                               \
    do                                                                                                       \
    {                                                                                                        \
        if (!BHaveDisplay())                                                                                 \
            GTEST_SKIP() << "no display; tests/e2e/test_window.py runs these under Xvfb";                    \
    } while (0)

// The one top-level window with this title, or null.
GtkWindow *FindToplevel(const char *pchTitle)
{
    GtkWindow *pFound = nullptr;
    GList *pList = gtk_window_list_toplevels();
    for (GList *p = pList; p; p = p->next)
    {
        const char *pchWindowTitle = gtk_window_get_title(GTK_WINDOW(p->data));
        if (pchWindowTitle && strcmp(pchWindowTitle, pchTitle) == 0)
            pFound = GTK_WINDOW(p->data);
    }
    g_list_free(pList);
    return pFound;
}

// The control placed at (x, y) of the window's layout.
GtkWidget *ControlAt(GtkWindow *pWindow, int x, int y)
{
    GtkWidget *pLayout = gtk_bin_get_child(GTK_BIN(pWindow));
    GtkWidget *pFound = nullptr;
    GList *pChildren = gtk_container_get_children(GTK_CONTAINER(pLayout));
    for (GList *p = pChildren; p; p = p->next)
    {
        int xChild = -1, yChild = -1;
        gtk_container_child_get(GTK_CONTAINER(pLayout), GTK_WIDGET(p->data), "x", &xChild, "y", &yChild,
                                nullptr);
        if (xChild == x && yChild == y)
            pFound = GTK_WIDGET(p->data);
    }
    g_list_free(pChildren);
    return pFound;
}

// A label's text with its line breaks as spaces.
std::string OneLine(const char *pchText)
{
    std::string str = pchText;
    for (char &ch : str)
    {
        if (ch == '\n')
            ch = ' ';
    }
    return str;
}

void ExpectSize(GtkWidget *pWidget, int nWidth, int nHeight)
{
    int nRequestedWidth = 0, nRequestedHeight = 0;
    gtk_widget_get_size_request(pWidget, &nRequestedWidth, &nRequestedHeight);
    EXPECT_EQ(nWidth, nRequestedWidth);
    EXPECT_EQ(nHeight, nRequestedHeight);
}

// Runs frames until the condition holds; at most 500 (each ends within about 20 ms).
template <typename FnCondition>
bool BRunFramesUntil(CWin32UpdateUI &ui, FnCondition fnCondition)
{
    for (int i = 0; i < 500; ++i)
    {
        if (fnCondition())
            return true;
        ui.BRunFrame(nullptr);
    }
    return fnCondition();
}

// Waits (without running frames) until the flag is set; at most 10 s.
bool BWaitFor(const std::atomic<bool> &bFlag)
{
    return BWaitUntil([&bFlag] { return bFlag.load(); }, 10000);
}

int RecordAnswer(int nAnswer, void *pvContext)
{
    *static_cast<int *>(pvContext) = nAnswer;
    return 100 + nAnswer;
}

// Answers the first visible dialog with the title from within the main loop: for message
// boxes that the main thread itself runs.
struct DialogAnswer_t
{
    const char *pchTitle;
    bool bActivateDefault; // as pressing Enter would; otherwise the response below
    gint nResponse;
    int nMessageType;
};

gboolean AnswerDialogWhenShown(gpointer pvAnswer)
{
    DialogAnswer_t *pAnswer = static_cast<DialogAnswer_t *>(pvAnswer);
    GtkWindow *pDialog = FindToplevel(pAnswer->pchTitle);
    if (!pDialog || !gtk_widget_get_visible(GTK_WIDGET(pDialog)))
        return G_SOURCE_CONTINUE;
    GtkMessageType eType = GTK_MESSAGE_OTHER;
    g_object_get(pDialog, "message-type", &eType, nullptr);
    pAnswer->nMessageType = eType;
    if (pAnswer->bActivateDefault)
        gtk_window_activate_default(pDialog);
    else
        gtk_dialog_response(GTK_DIALOG(pDialog), pAnswer->nResponse);
    return G_SOURCE_REMOVE;
}

// The GTK backend as the launcher gets it, from its module beside the executable.
IWindowBackend *NewGtkBackend()
{
    CUtlString strError;
    IWindowBackend *pBackend = LoadGtkWindowBackend(&strError);
    if (!pBackend)
    {
        fprintf(stderr, "The GTK window module does not load: %s\n", strError.Get());
        abort();
    }
    return pBackend;
}

struct GtkBackendHolder_t
{
    std::unique_ptr<IWindowBackend> m_pGtkBackend{NewGtkBackend()};
};

// The window UI over a GTK backend of its own, which outlives it.
class CGtkWindowUI : private GtkBackendHolder_t, public CWin32UpdateUI
{
public:
    CGtkWindowUI() : CWin32UpdateUI(m_pGtkBackend.get()) {}
};

// A window UI with its window created.
class GtkWindowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_DISPLAY();
        ASSERT_TRUE(m_UI.BCanShowWindow());
        // 96 DPI unless a test asks for more (the layout follows the font resolution).
        gdk_screen_set_resolution(gdk_screen_get_default(), 96.0);
        ASSERT_TRUE(m_UI.BInit(nullptr, nullptr));
        ASSERT_TRUE(m_UI.BCreateWindow());
        m_pWindow = FindToplevel(m_UI.GetWindowTitle());
        ASSERT_NE(nullptr, m_pWindow);
    }
    void TearDown() override
    {
        m_UI.DestroyWindow();
        m_UI.Shutdown();
    }
    void ShowAndWaitUntilMapped()
    {
        ASSERT_TRUE(m_UI.BShowWindow());
        ASSERT_TRUE(BRunFramesUntil(m_UI, [&]() { return gtk_widget_get_mapped(GTK_WIDGET(m_pWindow)); }));
    }

    CGtkWindowUI m_UI;
    GtkWindow *m_pWindow = nullptr;
};
} // namespace

TEST_F(GtkWindowTest, LayoutTextsAndUpdatesFromTheUpdaterThread)
{
    // Hidden until shown, fixed at 400 x 129, the controls where the layout puts them.
    EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(m_pWindow)));
    EXPECT_STREQ("arvolauncher", gtk_widget_get_name(GTK_WIDGET(m_pWindow)));
    EXPECT_FALSE(gtk_window_get_resizable(m_pWindow));
    ExpectSize(GTK_WIDGET(m_pWindow), 400, 129);

    GtkWidget *pHeading = ControlAt(m_pWindow, 15, 15);
    GtkWidget *pProgress = ControlAt(m_pWindow, 15, 40);
    GtkWidget *pCancel = ControlAt(m_pWindow, 305, 64);
    GtkWidget *pStatus = ControlAt(m_pWindow, 15, 64);
    ASSERT_TRUE(pHeading && GTK_IS_LABEL(pHeading));
    ASSERT_TRUE(pProgress && GTK_IS_PROGRESS_BAR(pProgress));
    ASSERT_TRUE(pCancel && GTK_IS_BUTTON(pCancel));
    ASSERT_TRUE(pStatus && GTK_IS_LABEL(pStatus));
    ExpectSize(pHeading, 365, 25);
    ExpectSize(pProgress, 365, 14);
    ExpectSize(pCancel, 75, 25);
    ExpectSize(pStatus, 270, 25);
    EXPECT_STREQ(m_UI.GetHeading(), gtk_label_get_text(GTK_LABEL(pHeading)));
    EXPECT_STREQ("Cancel", m_UI.GetCancelText());
    EXPECT_STREQ(m_UI.GetCancelText(), gtk_button_get_label(GTK_BUTTON(pCancel)));
    EXPECT_STREQ("", gtk_label_get_text(GTK_LABEL(pStatus)));

    // The updater shows the window and reports from its own thread; none of it waits for
    // the main thread, which puts the last state on the screen.
    std::thread updater(
        [&]()
        {
            m_UI.BShowWindow();
            m_UI.SetProgress(-1);
            m_UI.SetStatusText("Checking for an update");
            m_UI.SetStatusText("Downloading update (1,234 of 56,789 KB) from the content server");
            m_UI.SetProgress(40);
        });
    updater.join();
    ASSERT_TRUE(BRunFramesUntil(
        m_UI, [&]()
        { return gtk_widget_get_mapped(GTK_WIDGET(m_pWindow)) && *gtk_label_get_text(GTK_LABEL(pStatus)); }));
    // Too long for one line: whole on two, the label and the window taller by the second.
    EXPECT_EQ("Downloading update (1,234 of 56,789 KB) from the content server",
              OneLine(gtk_label_get_text(GTK_LABEL(pStatus))));
    EXPECT_NE(nullptr, strchr(gtk_label_get_text(GTK_LABEL(pStatus)), '\n'));
    EXPECT_DOUBLE_EQ(0.4, gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(pProgress)));
    int nStatusWidth = 0, nStatusHeight = 0, nGrownWidth = 0, nGrownHeight = 0;
    gtk_widget_get_size_request(pStatus, &nStatusWidth, &nStatusHeight);
    gtk_widget_get_size_request(GTK_WIDGET(m_pWindow), &nGrownWidth, &nGrownHeight);
    EXPECT_EQ(270, nStatusWidth);
    EXPECT_GT(nStatusHeight, 25);
    EXPECT_EQ(400, nGrownWidth);
    EXPECT_EQ(129 + nStatusHeight - 25, nGrownHeight);
    ExpectSize(pCancel, 75, 25);
    m_UI.SetStatusText("Checking for an update");
    ASSERT_TRUE(BRunFramesUntil(
        m_UI, [&]() { return !strcmp("Checking for an update", gtk_label_get_text(GTK_LABEL(pStatus))); }));
    ExpectSize(pStatus, 270, 25);
    ExpectSize(GTK_WIDGET(m_pWindow), 400, 129);

    // Centred on its monitor, at the size of the layout.
    GdkDisplay *pDisplay = gdk_display_get_default();
    GdkMonitor *pMonitor =
        gdk_display_get_monitor_at_window(pDisplay, gtk_widget_get_window(GTK_WIDGET(m_pWindow)));
    ASSERT_NE(nullptr, pMonitor);
    GdkRectangle rect;
    gdk_monitor_get_geometry(pMonitor, &rect);
    int x = -1, y = -1, nWidth = 0, nHeight = 0;
    EXPECT_TRUE(BRunFramesUntil(m_UI,
                                [&]()
                                {
                                    gtk_window_get_size(m_pWindow, &nWidth, &nHeight);
                                    return nHeight == 129;
                                }));
    gtk_window_get_position(m_pWindow, &x, &y);
    EXPECT_EQ(rect.x + (rect.width - 400) / 2, x);
    EXPECT_EQ(rect.y + (rect.height - 129) / 2, y);
    EXPECT_EQ(400, nWidth);
    EXPECT_EQ(129, nHeight);

    // Back from the main thread: at once, and a valid percentage after an unknown one.
    m_UI.SetProgress(-1);
    m_UI.SetProgress(0);
    EXPECT_DOUBLE_EQ(0.0, gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(pProgress)));
    m_UI.SetStatusText("Fertig \xe2\x80\x93 gr\xc3\xbc\xc3\x9f"
                       "e");
    EXPECT_STREQ("Fertig \xe2\x80\x93 gr\xc3\xbc\xc3\x9f"
                 "e",
                 gtk_label_get_text(GTK_LABEL(pStatus)));

    // Destroyed once, on the first request.
    m_UI.DestroyWindow();
    EXPECT_EQ(nullptr, FindToplevel(m_UI.GetWindowTitle()));
    m_UI.DestroyWindow();
}

TEST_F(GtkWindowTest, CancelAndTheCloseBoxBothCancelAndTheWindowStays)
{
    ShowAndWaitUntilMapped();
    EXPECT_FALSE(m_UI.BUserCancelled());

    // The close box: Cancel, and the window (with its timer) stays for the main loop. It
    // says at once that it stops, Cancel greyed out, and keeps saying so.
    gtk_window_close(m_pWindow);
    ASSERT_TRUE(BRunFramesUntil(m_UI, [&]() { return m_UI.BUserCancelled(); }));
    EXPECT_EQ(m_pWindow, FindToplevel(m_UI.GetWindowTitle()));
    EXPECT_TRUE(gtk_widget_get_visible(GTK_WIDGET(m_pWindow)));
    GtkWidget *pStatus = ControlAt(m_pWindow, 15, 64);
    EXPECT_STREQ(m_UI.GetStoppingText(), gtk_label_get_text(GTK_LABEL(pStatus)));
    EXPECT_FALSE(gtk_widget_get_sensitive(ControlAt(m_pWindow, 305, 64)));
    std::thread updater([&]() { m_UI.SetStatusText("Download Complete."); });
    updater.join();
    for (int i = 0; i < 20; ++i)
        m_UI.BRunFrame(nullptr);
    EXPECT_TRUE(m_UI.BUserCancelled());
    EXPECT_STREQ(m_UI.GetStoppingText(), gtk_label_get_text(GTK_LABEL(pStatus)));

    // The button, in a second window: Cancel stays set over any number of frames.
    CGtkWindowUI other;
    m_UI.DestroyWindow();
    ASSERT_TRUE(other.BInit(nullptr, nullptr));
    ASSERT_TRUE(other.BCreateWindow());
    GtkWindow *pOther = FindToplevel(other.GetWindowTitle());
    ASSERT_NE(nullptr, pOther);
    ASSERT_TRUE(other.BShowWindow());
    EXPECT_FALSE(other.BUserCancelled());
    gtk_button_clicked(GTK_BUTTON(ControlAt(pOther, 305, 64)));
    EXPECT_TRUE(other.BUserCancelled());
    for (int i = 0; i < 20; ++i)
        other.BRunFrame(nullptr);
    EXPECT_TRUE(other.BUserCancelled());
    other.DestroyWindow();
    other.Shutdown();
}

TEST_F(GtkWindowTest, MessageBoxesOfTheMainThreadRunTheirOwnLoop)
{
    ShowAndWaitUntilMapped();

    // Enter picks Cancel, the default button of a question.
    DialogAnswer_t answer = {k_pchWarningTitle, true, GTK_RESPONSE_NONE, -1};
    g_timeout_add(20, AnswerDialogWhenShown, &answer);
    int nAnswer = -1;
    EXPECT_EQ(101, m_UI.AskYesNo("Replace the files?", &RecordAnswer, &nAnswer));
    EXPECT_EQ(1, nAnswer);
    EXPECT_EQ(GTK_MESSAGE_WARNING, answer.nMessageType);

    answer = {k_pchWarningTitle, false, GTK_RESPONSE_OK, -1};
    g_timeout_add(20, AnswerDialogWhenShown, &answer);
    EXPECT_EQ(100, m_UI.AskYesNo("Replace the files?", &RecordAnswer, &nAnswer));
    EXPECT_EQ(0, nAnswer);

    answer = {k_pchFatalErrorTitle, true, GTK_RESPONSE_NONE, -1};
    g_timeout_add(20, AnswerDialogWhenShown, &answer);
    m_UI.ShowFatalError("Ferro can't write to it's install dir.");
    EXPECT_EQ(GTK_MESSAGE_ERROR, answer.nMessageType);
    EXPECT_EQ(nullptr, FindToplevel(k_pchFatalErrorTitle));
}

TEST_F(GtkWindowTest, MessageBoxesOfTheUpdaterThreadWaitForTheAnswerOrTheWindowsEnd)
{
    ShowAndWaitUntilMapped();

    // The question opens in the main loop, owned by the window; the asking thread waits
    // while frames keep running.
    std::atomic<bool> bAnswered{false};
    int nAnswer = -1;
    std::thread asker(
        [&]()
        {
            m_UI.AskYesNo("Install the update now?", &RecordAnswer, &nAnswer);
            bAnswered = true;
        });
    GtkWindow *pDialog = nullptr;
    bool bShown = BRunFramesUntil(m_UI,
                                  [&]()
                                  {
                                      pDialog = FindToplevel(k_pchWarningTitle);
                                      return pDialog && gtk_widget_get_visible(GTK_WIDGET(pDialog));
                                  });
    EXPECT_TRUE(bShown);
    if (bShown)
    {
        EXPECT_TRUE(gtk_window_get_modal(pDialog));
        EXPECT_EQ(m_pWindow, gtk_window_get_transient_for(pDialog));
        char *pchText = nullptr;
        g_object_get(pDialog, "text", &pchText, nullptr);
        EXPECT_STREQ("Install the update now?", pchText);
        g_free(pchText);
        for (int i = 0; i < 5; ++i)
            m_UI.BRunFrame(nullptr);
        EXPECT_FALSE(bAnswered);
        gtk_dialog_response(GTK_DIALOG(pDialog), GTK_RESPONSE_OK);
    }
    EXPECT_TRUE(BWaitFor(bAnswered));
    asker.join();
    EXPECT_EQ(0, nAnswer);
    EXPECT_EQ(nullptr, FindToplevel(k_pchWarningTitle));

    // A fatal error still open when the main flow destroys the window: its thread goes on.
    std::atomic<bool> bReturned{false};
    std::thread reporter(
        [&]()
        {
            m_UI.ShowFatalError("Disk full");
            bReturned = true;
        });
    EXPECT_TRUE(BRunFramesUntil(m_UI, [&]() { return FindToplevel(k_pchFatalErrorTitle) != nullptr; }));
    EXPECT_FALSE(bReturned);
    m_UI.DestroyWindow();
    EXPECT_TRUE(BWaitFor(bReturned));
    reporter.join();
    EXPECT_EQ(nullptr, FindToplevel(k_pchFatalErrorTitle));

    // Without the window another thread's boxes go to the diagnostics; a question is Cancel.
    CSpewCapture capture;
    std::thread late(
        [&]()
        {
            m_UI.ShowFatalError("Too late");
            m_UI.AskYesNo("Still there?", &RecordAnswer, &nAnswer);
        });
    late.join();
    EXPECT_TRUE(capture.BContains("Arvo Launcher - Fatal Error: Too late\n"));
    EXPECT_TRUE(capture.BContains("Arvo Launcher - Warning: Still there?\n"));
    EXPECT_EQ(1, nAnswer);
}

TEST_F(GtkWindowTest, TextsFitAtEveryResolutionAndNumbersAreNeverCut)
{
    m_UI.DestroyWindow();
    const char *const rgpchTexts[] = {
        "Downloading update (177,546 of 302,396 KB)...",
        "Update wird heruntergeladen (54.525 von 302.396 KB)...",
        "Update wird heruntergeladen (1.154.525 von 12.302.396 KB)...",
    };
    for (double flResolution : {96.0, 144.0})
    {
        gdk_screen_set_resolution(gdk_screen_get_default(), flResolution);
        CGtkWindowUI ui;
        ASSERT_TRUE(ui.BInit(nullptr, nullptr));
        ASSERT_TRUE(ui.BCreateWindow());
        GtkWindow *pWindow = FindToplevel(ui.GetWindowTitle());
        ASSERT_NE(nullptr, pWindow);
        const double flScale = flResolution / 96.0;
        const WindowLayout_t layout = ComputeWindowLayout(flScale, 1, 0);
        GtkWidget *pHeading = ControlAt(pWindow, layout.heading.x, layout.heading.y);
        GtkWidget *pStatus = ControlAt(pWindow, layout.status.x, layout.status.y);
        ASSERT_TRUE(pHeading && pStatus);
        ExpectSize(pHeading, layout.heading.nWidth, layout.heading.nHeight);

        auto Lines = [&](GtkWidget *pLabel, int nWidth)
        {
            PangoLayout *pLayout =
                gtk_widget_create_pango_layout(pLabel, gtk_label_get_text(GTK_LABEL(pLabel)));
            pango_layout_set_width(pLayout, nWidth * PANGO_SCALE);
            pango_layout_set_wrap(pLayout, PANGO_WRAP_WORD_CHAR);
            int cLines = pango_layout_get_line_count(pLayout);
            g_object_unref(pLayout);
            return cLines;
        };
        EXPECT_EQ(1, Lines(pHeading, layout.heading.nWidth)) << flResolution;
        for (const char *pchText : rgpchTexts)
        {
            ui.SetStatusText(pchText);
            EXPECT_EQ(pchText, OneLine(gtk_label_get_text(GTK_LABEL(pStatus)))) << flResolution;
            EXPECT_LE(Lines(pStatus, layout.status.nWidth), 2) << pchText << " at " << flResolution;
        }

        // Too long even for two lines: cut after a whole word, never inside a number.
        std::string strLong = "Update wird heruntergeladen (54.525 von 302.396 KB) " + std::string(40, 'x') +
                              " 12.345.678 99.999.999.999 88.888.888.888 77.777.777.777";
        ui.SetStatusText(strLong.c_str());
        std::string strShown = OneLine(gtk_label_get_text(GTK_LABEL(pStatus)));
        ASSERT_GT(strShown.size(), 3u);
        EXPECT_EQ("...", strShown.substr(strShown.size() - 3));
        EXPECT_EQ(0u, strLong.find(strShown.substr(0, strShown.size() - 3))) << strShown;
        EXPECT_EQ(' ', strLong[strShown.size() - 3]) << strShown;
        EXPECT_LE(Lines(pStatus, layout.status.nWidth), 2);

        // Ten thousand characters, or invalid UTF-8: shown cut, nothing breaks.
        ui.SetStatusText(std::string(10000, 'w').c_str());
        EXPECT_LE(Lines(pStatus, layout.status.nWidth), 2);
        ui.SetStatusText("ok\xff\xfe ok");
        EXPECT_STREQ("ok?? ok", gtk_label_get_text(GTK_LABEL(pStatus)));
        ui.DestroyWindow();
        ui.Shutdown();
    }
    gdk_screen_set_resolution(gdk_screen_get_default(), 96.0);
}

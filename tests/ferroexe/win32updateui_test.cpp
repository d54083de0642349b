// The progress window's own logic over a recording backend: the status line, the bar's
// modes, the cancelled flag, the message boxes, the window's lifetime.
#include "ferroexe/win32updateui.h"

#include "ferroexe/localizedtext.h"
#include "foundation/clock.h"
#include "support/testsupport.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace
{
std::string Narrow(const std::u16string &str)
{
    std::string strOut;
    for (char16_t wch : str)
        strOut += wch < 0x80 ? (char)wch : '#';
    return strOut;
}

// Records every call as a line; message boxes answer with m_bAnswerOK.
class CRecordingBackend : public IWindowBackend
{
public:
    bool BIsAvailable() override { return m_bAvailable; }
    bool BRegisterWindowClass(void *hInstance) override
    {
        m_pvInstance = hInstance;
        m_vecCalls.push_back("register");
        return m_bRegisterResult;
    }
    bool BCreateWindow(const WindowTexts_t &texts, IWindowBackendEvents *pEvents) override
    {
        m_strTitle = texts.m_pwchTitle;
        m_strHeading = texts.m_pwchHeading;
        m_strCancel = texts.m_pwchCancel;
        m_pEvents = pEvents;
        m_vecCalls.push_back("create");
        return true;
    }
    void CentreAndShow(int nShowCommand) override
    {
        m_vecCalls.push_back("show " + std::to_string(nShowCommand));
    }
    void DestroyWindow() override { m_vecCalls.push_back("destroy"); }
    void Shutdown() override { m_vecCalls.push_back("shutdown"); }
    void SetStatusText(const wchar16 *pwchStatus) override
    {
        m_strStatus = pwchStatus;
        m_vecCalls.push_back("status");
    }
    void ShowStopping(const wchar16 *pwchStatus) override
    {
        m_strStatus = pwchStatus;
        m_vecCalls.push_back("stopping");
    }
    void SetMarqueeStyle(bool bMarquee) override
    {
        m_vecCalls.push_back(bMarquee ? "marquee on" : "marquee off");
    }
    void StartMarquee() override { m_vecCalls.push_back("start marquee"); }
    void SetProgressPosition(int nPercent) override
    {
        m_vecCalls.push_back("position " + std::to_string(nPercent));
    }
    void ShowErrorBox(const wchar16 *pwchTitle, const wchar16 *pwchText) override
    {
        m_strBoxTitle = pwchTitle;
        m_strBoxText = pwchText;
        m_vecCalls.push_back("error box");
    }
    bool BAskOKCancel(const wchar16 *pwchTitle, const wchar16 *pwchText) override
    {
        m_strBoxTitle = pwchTitle;
        m_strBoxText = pwchText;
        m_vecCalls.push_back("question box");
        return m_bAnswerOK;
    }
    void RunMessages() override { ++m_cMessages; }
    bool BDisplayLost() override { return m_bDisplayLost; }

    std::vector<std::string> TakeCalls()
    {
        std::vector<std::string> vec;
        vec.swap(m_vecCalls);
        return vec;
    }

    bool m_bAvailable = true;
    bool m_bRegisterResult = true;
    bool m_bAnswerOK = false;
    bool m_bDisplayLost = false;
    void *m_pvInstance = nullptr;
    IWindowBackendEvents *m_pEvents = nullptr;
    std::u16string m_strTitle, m_strHeading, m_strCancel, m_strStatus, m_strBoxTitle, m_strBoxText;
    std::vector<std::string> m_vecCalls;
    int m_cMessages = 0;
};

int RecordAnswer(int nAnswer, void *pvContext)
{
    *static_cast<int *>(pvContext) = nAnswer;
    return 100 + nAnswer;
}

// Calls SetStatusText and returns what the backend was given.
std::u16string StatusShown(CWin32UpdateUI &ui, CRecordingBackend &backend, const char *pchText)
{
    backend.m_strStatus = u"(not set)";
    ui.SetStatusText(pchText);
    return backend.m_strStatus;
}
} // namespace

TEST(Win32UpdateUI, TheWholeStatusTextGoesToTheWindowWhichFitsIt)
{
    CRecordingBackend backend;
    CWin32UpdateUI ui(&backend);

    // No cut at a fixed length: the backend fits the text into its lines.
    const char *pchGerman = "Update wird heruntergeladen (54.525 von 302.396 KB)...";
    EXPECT_EQ(u"Update wird heruntergeladen (54.525 von 302.396 KB)...", StatusShown(ui, backend, pchGerman));
    EXPECT_EQ(u"", StatusShown(ui, backend, ""));
    EXPECT_EQ(u"", StatusShown(ui, backend, nullptr));
    std::string strEuros;
    for (int i = 0; i < 60; ++i)
        strEuros += "\xe2\x82\xac";
    EXPECT_EQ(std::u16string(60, u'\u20ac'), StatusShown(ui, backend, strEuros.c_str()));

    // Invalid UTF-8 shows as "?"; a text beyond the 2048-byte buffer keeps its first 1023
    // units (the backend cuts the rest to what fits).
    EXPECT_EQ(u"ok?ok", StatusShown(ui, backend, "ok\xffok"));
    std::string strHuge(10000, 'z');
    EXPECT_EQ(std::u16string(1023, u'z'), StatusShown(ui, backend, strHuge.c_str()));
}

TEST(Win32UpdateUI, ProgressOutsideZeroToHundredTurnsTheBarIndeterminate)
{
    CRecordingBackend backend;
    CWin32UpdateUI ui(&backend);

    ui.SetProgress(0);
    ui.SetProgress(100);
    EXPECT_EQ((std::vector<std::string>{"position 0", "position 100"}), backend.TakeCalls());

    // -1: the marquee style once, the animation on every call.
    ui.SetProgress(-1);
    ui.SetProgress(-1);
    EXPECT_EQ((std::vector<std::string>{"marquee on", "start marquee", "start marquee"}),
              backend.TakeCalls());

    // Back to a normal bar at 0.
    ui.SetProgress(0);
    ui.SetProgress(42);
    EXPECT_EQ((std::vector<std::string>{"marquee off", "position 0", "position 42"}), backend.TakeCalls());

    // 101 behaves as -1, and so do the extremes.
    ui.SetProgress(101);
    ui.SetProgress(INT_MIN);
    ui.SetProgress(INT_MAX);
    EXPECT_EQ((std::vector<std::string>{"marquee on", "start marquee", "start marquee", "start marquee"}),
              backend.TakeCalls());
    ui.SetProgress(100);
    EXPECT_EQ((std::vector<std::string>{"marquee off", "position 100"}), backend.TakeCalls());
}

TEST(Win32UpdateUI, CancelStaysSetAndTheWindowSaysAtOnceThatItStops)
{
    CRecordingBackend backend;
    CWin32UpdateUI ui(&backend);
    EXPECT_TRUE(ui.BCreateWindow());
    ASSERT_NE(nullptr, backend.m_pEvents);
    EXPECT_FALSE(ui.BUserCancelled());
    backend.TakeCalls();

    // The backend reports Cancel and the close box the same way; the window is told once.
    backend.m_pEvents->OnCancelRequested();
    EXPECT_TRUE(ui.BUserCancelled());
    EXPECT_EQ(u"Cancelling...", backend.m_strStatus);
    for (int i = 0; i < 1000; ++i)
        EXPECT_TRUE(ui.BRunFrame(nullptr));
    EXPECT_EQ(1000, backend.m_cMessages);
    EXPECT_TRUE(ui.BUserCancelled());
    backend.m_pEvents->OnCancelRequested();
    EXPECT_TRUE(ui.BUserCancelled());

    // What the updater reports on its way out does not replace it; the bar still moves.
    ui.SetStatusText("Download Complete.");
    ui.SetProgress(50);
    EXPECT_EQ(u"Cancelling...", backend.m_strStatus);
    EXPECT_EQ((std::vector<std::string>{"stopping", "position 50"}), backend.TakeCalls());
    EXPECT_TRUE(ui.BReadyToLaunchClient());
}

TEST(Win32UpdateUI, WithoutItsDisplayTheWindowsTextsGoToTheConsole)
{
    CRecordingBackend backend;
    CWin32UpdateUI ui(&backend);
    EXPECT_TRUE(ui.BCreateWindow());
    backend.TakeCalls();
    backend.m_bDisplayLost = true;

    CSpewCapture capture;
    testing::internal::CaptureStdout();
    ui.SetProgress(42);
    ui.SetStatusText("Downloading update (1,000 of 2,000 KB)...");
    ui.ShowFatalError("Failed to verify manifest");
    ui.SetProgress(-1);
    std::string strOut = testing::internal::GetCapturedStdout();
    EXPECT_EQ("[ 42%] Downloading update (1,000 of 2,000 KB)...\n"
              "[ 42%] !!! Fatal Error: Failed to verify manifest\n",
              strOut);
    EXPECT_TRUE(capture.BContains("showing progress on the console"));
    EXPECT_TRUE(backend.TakeCalls().empty());
}

TEST(Win32UpdateUI, WindowLifetimeAndTheBackendCalls)
{
    CScopedManualClock clock;
    CRecordingBackend backend;
    CWin32UpdateUI ui(&backend);

    EXPECT_TRUE(ui.BCanShowWindow());
    backend.m_bAvailable = false;
    EXPECT_FALSE(ui.BCanShowWindow());

    // Registration decides BInit; the module instance travels with it.
    int nModule = 0;
    ui.SetInstanceHandle(&nModule);
    EXPECT_TRUE(ui.BInit(nullptr, nullptr));
    EXPECT_EQ(&nModule, backend.m_pvInstance);
    backend.m_bRegisterResult = false;
    EXPECT_FALSE(ui.BInit(nullptr, nullptr));

    // Before the window exists a frame waits (20 ms at most) for the updater to wake it,
    // not for a message.
    uint64 ulStart = Clock_GetTicks();
    ui.WakeFrame();
    ui.BRunFrame(nullptr);
    EXPECT_EQ(0, backend.m_cMessages);
    EXPECT_EQ(ulStart, Clock_GetTicks());

    // The title and the heading are the lookup's texts, in UTF-16.
    EXPECT_STREQ(LocalizeBootstrapperText("#FerroBootstrapper_WindowTitle", nullptr, "Arvo Launcher"),
                 ui.GetWindowTitle());
    EXPECT_STREQ(
        LocalizeBootstrapperText("#FerroBootstrapper_UpdatingFerro", nullptr, "Updating Arvo Launcher..."),
        ui.GetHeading());
    backend.TakeCalls();
    EXPECT_TRUE(ui.BCreateWindow());
    EXPECT_EQ(ui.GetWindowTitle(), Narrow(backend.m_strTitle));
    EXPECT_EQ(ui.GetHeading(), Narrow(backend.m_strHeading));
    EXPECT_EQ(ui.GetCancelText(), Narrow(backend.m_strCancel));

    // Shown with the entry's show command ("show normally" unless it gave one).
    EXPECT_TRUE(ui.BShowWindow());
    ui.SetShowCommand(3);
    EXPECT_TRUE(ui.BShowWindow());

    // Destroyed once however often asked (before the launch and again at the exit); then
    // frames wait without the window.
    ui.DestroyWindow();
    ui.DestroyWindow();
    ui.WakeFrame();
    ui.BRunFrame(nullptr);
    EXPECT_EQ(0, backend.m_cMessages);
    ui.Shutdown();
    EXPECT_EQ((std::vector<std::string>{"create", "show 1", "show 3", "destroy", "shutdown"}),
              backend.TakeCalls());
}

TEST(Win32UpdateUI, MessageBoxesCarryTheirTitlesAndTheAnswer)
{
    CRecordingBackend backend;
    CWin32UpdateUI ui(&backend);

    ui.ShowFatalError("Kein Zugriff auf C:\\Spiele\\\xc3\xbc");
    EXPECT_EQ(u"Arvo Launcher - Fatal Error", backend.m_strBoxTitle);
    EXPECT_EQ(u"Kein Zugriff auf C:\\Spiele\\\u00fc", backend.m_strBoxText);
    // The text is converted into 2048 bytes: 1023 units and the terminator.
    std::string strLong(3000, 'e');
    ui.ShowFatalError(strLong.c_str());
    EXPECT_EQ(std::u16string(1023, u'e'), backend.m_strBoxText);
    ui.ShowFatalError(nullptr);
    EXPECT_EQ(u"", backend.m_strBoxText);

    // OK is 0, anything else 1; the answer function's result comes back.
    int nAnswer = -1;
    backend.m_bAnswerOK = true;
    EXPECT_EQ(100, ui.AskYesNo("Install now?", &RecordAnswer, &nAnswer));
    EXPECT_EQ(0, nAnswer);
    EXPECT_EQ(u"Arvo Launcher - Warning", backend.m_strBoxTitle);
    EXPECT_EQ(u"Install now?", backend.m_strBoxText);
    backend.m_bAnswerOK = false;
    EXPECT_EQ(101, ui.AskYesNo("Install now?", &RecordAnswer, &nAnswer));
    EXPECT_EQ(1, nAnswer);

    // Without an answer function: reported, and the plain answer.
    CSpewCapture capture;
    EXPECT_EQ(1, ui.AskYesNo("Install now?", nullptr, nullptr));
    EXPECT_EQ((std::vector<std::string>{"Assertion Failed: pfnAnswer\n"}), capture.Assertions());
    EXPECT_EQ((std::vector<std::string>{"error box", "error box", "error box", "question box", "question box",
                                        "question box"}),
              backend.TakeCalls());
}

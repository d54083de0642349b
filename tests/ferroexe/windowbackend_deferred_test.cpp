// The window backend that loads the toolkit only when the window is to be seen: nothing is
// loaded for a run that never shows it, what the window would show is kept and handed on,
// other threads' requests are served by the owner's loop, and a backend that cannot be had
// sends the window's texts to the console.
#include "ferroexe/windowbackend_deferred.h"

#include "ferroexe/win32updateui.h"
#include "foundation/clock.h"
#include "foundation/strtools.h"
#include "support/testsupport.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace
{
// What the real backend was asked, in order (from any thread).
struct CallLog_t
{
    std::mutex m_Mutex;
    std::vector<std::string> m_vecCalls;
    int m_cLoads = 0;

    void Add(const std::string &str)
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_vecCalls.push_back(str);
    }
    std::vector<std::string> Take()
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        std::vector<std::string> vec;
        vec.swap(m_vecCalls);
        return vec;
    }
    bool BHas(const std::string &str)
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        for (const std::string &strCall : m_vecCalls)
        {
            if (strCall == str)
                return true;
        }
        return false;
    }
};

std::string Narrow(const wchar16 *pwch)
{
    char rgch[256];
    Q_UnicodeToUTF8(pwch ? pwch : u"", rgch, sizeof(rgch));
    return rgch;
}

class CLoggingBackend : public IWindowBackend
{
public:
    explicit CLoggingBackend(CallLog_t &log) : m_Log(log) {}
    bool BIsAvailable() override { return true; }
    bool BRegisterWindowClass(void *) override { return true; }
    bool BCreateWindow(const WindowTexts_t &texts, IWindowBackendEvents *) override
    {
        m_Log.Add("create " + Narrow(texts.m_pwchTitle));
        return true;
    }
    void CentreAndShow(int nShowCommand) override { m_Log.Add("show " + std::to_string(nShowCommand)); }
    void DestroyWindow() override { m_Log.Add("destroy"); }
    void Shutdown() override {}
    void SetStatusText(const wchar16 *pwch) override { m_Log.Add("status " + Narrow(pwch)); }
    void ShowStopping(const wchar16 *) override {}
    void SetMarqueeStyle(bool bMarquee) override { m_Log.Add(bMarquee ? "marquee on" : "marquee off"); }
    void StartMarquee() override { m_Log.Add("marquee"); }
    void SetProgressPosition(int n) override { m_Log.Add("position " + std::to_string(n)); }
    void ShowErrorBox(const wchar16 *, const wchar16 *pwchText) override
    {
        m_Log.Add("error " + Narrow(pwchText));
    }
    bool BAskOKCancel(const wchar16 *, const wchar16 *pwchText) override
    {
        m_Log.Add("ask " + Narrow(pwchText));
        return true;
    }
    void RunMessages() override {}
    bool BDisplayLost() override { return false; }

private:
    CallLog_t &m_Log;
};

// A deferred backend whose loads are counted; bLoads false plays a missing module.
CDeferredWindowBackend::FnLoad_t Loader(CallLog_t &log, bool bLoads = true)
{
    return [&log, bLoads](CUtlString *pstrError) -> IWindowBackend *
    {
        ++log.m_cLoads;
        if (!bLoads)
        {
            *pstrError = "module missing";
            return nullptr;
        }
        return new CLoggingBackend(log);
    };
}

bool BMayShow()
{
    return true;
}

int TakeAnswer(int nAnswer, void *)
{
    return nAnswer;
}

// Runs frames of the owner's loop until the log has the call; at most 500 (each waits
// 20 ms at most).
bool BRunFramesUntilCall(CWin32UpdateUI &ui, CallLog_t &log, const std::string &strCall)
{
    for (int i = 0; i < 500 && !log.BHas(strCall); ++i)
        ui.BRunFrame(nullptr);
    return log.BHas(strCall);
}
} // namespace

TEST(DeferredWindowBackend, ARunThatNeverShowsTheWindowLoadsNothing)
{
    CScopedManualClock clock;
    CallLog_t log;
    CDeferredWindowBackend backend(BMayShow, Loader(log));
    CWin32UpdateUI ui(&backend);

    EXPECT_TRUE(ui.BCanShowWindow());
    EXPECT_TRUE(ui.BInit(nullptr, nullptr));
    EXPECT_TRUE(ui.BCreateWindow());
    ui.SetProgress(-1);
    ui.SetStatusText("Verifying installation...");
    // The frames of the main loop wait for the updater's wake, not for the window's timer.
    std::thread updater([&]() { ui.WakeFrame(); });
    ui.BRunFrame(nullptr);
    updater.join();
    ui.DestroyWindow();
    ui.Shutdown();
    EXPECT_EQ(0, log.m_cLoads);
    EXPECT_FALSE(backend.BLoaded());
    EXPECT_TRUE(log.Take().empty());
}

TEST(DeferredWindowBackend, TheWindowShownFromAnotherThreadCarriesWhatWasKept)
{
    CallLog_t log;
    CDeferredWindowBackend backend(BMayShow, Loader(log));
    CWin32UpdateUI ui(&backend);
    ASSERT_TRUE(ui.BInit(nullptr, nullptr));
    ASSERT_TRUE(ui.BCreateWindow());
    ui.SetStatusText("first");
    ui.SetStatusText("Downloading Update...");
    ui.SetProgress(42);

    // The updater asks; the owner's next frame loads the toolkit and hands everything on,
    // in the order of a window created at once.
    std::thread updater([&]() { ui.BShowWindow(); });
    updater.join();
    EXPECT_EQ(0, log.m_cLoads);
    ASSERT_TRUE(BRunFramesUntilCall(ui, log, "show 1"));
    EXPECT_EQ(1, log.m_cLoads);
    EXPECT_EQ((std::vector<std::string>{"create " + std::string(ui.GetWindowTitle()),
                                        "status Downloading Update...", "position 42", "show 1"}),
              log.Take());

    // From then on every call goes straight to it; nothing is loaded twice.
    ui.SetProgress(-1);
    ui.SetStatusText("Extracting package...");
    ui.BShowWindow();
    ui.DestroyWindow();
    EXPECT_EQ((std::vector<std::string>{"marquee on", "marquee", "status Extracting package...", "show 1",
                                        "destroy"}),
              log.Take());
    EXPECT_EQ(1, log.m_cLoads);
}

TEST(DeferredWindowBackend, MessageBoxesOfOtherThreadsWaitForTheOwnerOrGoToTheDiagnostics)
{
    CallLog_t log;
    CDeferredWindowBackend backend(BMayShow, Loader(log));
    CWin32UpdateUI ui(&backend);
    ASSERT_TRUE(ui.BInit(nullptr, nullptr));
    ASSERT_TRUE(ui.BCreateWindow());

    // A question from the updater before the window was shown: the owner loads the toolkit
    // (the window stays hidden) and the real backend asks.
    int nAnswer = -1;
    std::thread updater([&]() { nAnswer = ui.AskYesNo("Go on?", TakeAnswer, nullptr); });
    for (int i = 0; i < 500 && !backend.BLoaded(); ++i)
        ui.BRunFrame(nullptr);
    updater.join();
    EXPECT_TRUE(log.BHas("ask Go on?"));
    EXPECT_EQ(0, nAnswer);
    EXPECT_FALSE(log.BHas("show 1"));

    // Once the window is gone nobody serves another thread: the box goes to the
    // diagnostics, a question counts as Cancel, and nothing waits.
    CallLog_t log2;
    CDeferredWindowBackend backend2(BMayShow, Loader(log2));
    CWin32UpdateUI ui2(&backend2);
    ASSERT_TRUE(ui2.BCreateWindow());
    ui2.DestroyWindow();
    CSpewCapture capture;
    std::thread late(
        [&]()
        {
            ui2.ShowFatalError("Too late");
            nAnswer = ui2.AskYesNo("Still there?", TakeAnswer, nullptr);
        });
    late.join();
    EXPECT_EQ(1, nAnswer);
    EXPECT_TRUE(capture.BContains(": Too late\n"));
    EXPECT_EQ(0, log2.m_cLoads);

    // The owner's own box after the window is gone (a client that fails to load) still
    // loads the toolkit and is shown.
    ui2.ShowFatalError("Failed to load ferro.so");
    EXPECT_TRUE(log2.BHas("error Failed to load ferro.so"));
    EXPECT_EQ(1, log2.m_cLoads);
}

TEST(DeferredWindowBackend, AToolkitThatCannotBeLoadedSendsTheWindowsTextsToTheConsole)
{
    CallLog_t log;
    CDeferredWindowBackend backend(BMayShow, Loader(log, false));
    CWin32UpdateUI ui(&backend);
    ASSERT_TRUE(ui.BCreateWindow());

    CSpewCapture capture;
    testing::internal::CaptureStdout();
    ui.BShowWindow();
    ui.SetProgress(5);
    ui.SetStatusText("Downloading update (1 of 20 KB)...");
    std::string strOut = testing::internal::GetCapturedStdout();
    EXPECT_EQ("[  5%] Downloading update (1 of 20 KB)...\n", strOut);
    EXPECT_TRUE(capture.BContains("The progress window cannot be shown (module missing)"));
    EXPECT_FALSE(ui.BCanShowWindow());
    // Tried once, not at every call.
    ui.BShowWindow();
    EXPECT_EQ(1, log.m_cLoads);
}

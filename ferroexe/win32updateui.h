// CWin32UpdateUI: the progress window, the update status UI of every run without
// "-textclient". A small fixed-size window with a heading, a progress bar, a one-line
// status text and a Cancel button, plus modal boxes for fatal errors and questions.
//
// This class holds what the window shows and decides how: the localized title and heading,
// the status line cut to 50 characters, when the bar turns indeterminate, the message box
// titles, the cancelled flag. The toolkit work is done by an IWindowBackend (Win32 on
// Windows, GTK 3 on Linux).
//
// Threads: created by the process entry on the main thread; the main flow calls from the
// main thread, the updater calls the display operations (BShowWindow, SetStatusText,
// SetProgress, BUserCancelled, ShowFatalError, AskYesNo) from its own. The backend owns
// the window and marshals what it must.
#pragma once

#include "ferroexe/crashhandler.h"
#include "ferroexe/updatestatusui.h"
#include "ferroexe/windowbackend.h"
#include "foundation/utlstring.h"

#include <atomic>
#include <memory>

// The status line shows at most this many UTF-16 units; a longer text shows its first
// k_cchStatusLineCut units and "...".
constexpr int k_cchStatusLineMax = 50;
constexpr int k_cchStatusLineCut = 46;
// Bytes of the UTF-16 buffer a text is converted into before it is shown.
constexpr int k_cubWindowTextBuffer = 2048;

class CWin32UpdateUI : public IUpdateStatusUI, private IWindowBackendEvents
{
public:
    // The process-wide instance with this build's backend, created on first use and never
    // deleted (the updater thread may still report after the main flow returned).
    static CWin32UpdateUI *GetInstance();

    // Both look up the window title and the heading (the first lookups of the process load
    // the language files). The first uses this build's backend; the second one the caller
    // keeps alive for the object's lifetime (tests).
    CWin32UpdateUI();
    explicit CWin32UpdateUI(IWindowBackend *pBackend);
    ~CWin32UpdateUI();
    CWin32UpdateUI(const CWin32UpdateUI &) = delete;
    CWin32UpdateUI &operator=(const CWin32UpdateUI &) = delete;

    const char *GetWindowTitle() const { return m_strWindowTitle.Get(); }
    const char *GetHeading() const { return m_strHeading.Get(); }

    // From the process entry, before the main flow starts.
    void SetShowCommand(int nShowCommand) { m_nShowCommand = nShowCommand; }
    void SetInstanceHandle(void *hInstance) { m_hInstance = hInstance; }

    // Whether the window can be shown in this session at all. Always true on Windows; on
    // Linux false when no display can be opened, and the main flow then uses the console.
    bool BCanShowWindow();

    bool BInit(int *pArgc, char ***pArgv) override;
    bool BCreateWindow() override;
    bool BShowWindow() override;
    void DestroyWindow() override;
    void Shutdown() override;
    void SetStatusText(const char *pchText) override;
    void SetProgress(int nPercent) override;
    bool BUserCancelled() override { return m_bCancelled.load(); }
    void ShowFatalError(const char *pchText) override;
    int AskYesNo(const char *pchQuestion, FnAskYesNoAnswer pfnAnswer, void *pvContext) override;
    // Handles at most one window message; the window's 20 ms timer bounds the wait. The
    // deadline is not read.
    bool BRunFrame(const uint64 *pulTicksDeadline) override;
    bool BReadyToLaunchClient() override { return true; }

private:
    // Cancel and the close box both mean "stop": the close box does not destroy the
    // window, so the main loop keeps its timer and ends through BUserCancelled.
    void OnCancelRequested() override { m_bCancelled = true; }

    std::unique_ptr<IWindowBackend> m_pOwnedBackend;
    IWindowBackend *m_pBackend;

    CUtlString m_strWindowTitle;
    CUtlString m_strHeading;
    // The entry's show command; "show normally" unless the entry says otherwise.
    int m_nShowCommand = 1;
    void *m_hInstance = nullptr;
    bool m_bSocketsStarted = false;
    CCrashHandlerRegistration m_CrashHandler;

    std::atomic<bool> m_bCancelled{false};
    std::atomic<bool> m_bWindowCreated{false};
    // Whether the bar is in marquee mode.
    std::atomic<bool> m_bIndeterminate{false};
};

// Fills the status line from a UTF-16 text: the whole text when it has at most 50 units,
// else its first 46 units (45 when the 46th would split a surrogate pair) and "...".
// pwchLine has room for k_cchStatusLineMax + 1 units.
void BuildStatusLine(const wchar16 *pwchText, wchar16 *pwchLine);

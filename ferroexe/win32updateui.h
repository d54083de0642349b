// CWin32UpdateUI: the progress window, the update status UI of every run without
// "-textclient". A small fixed-size window with a heading, a progress bar, a one-line
// status text and a Cancel button, plus modal boxes for fatal errors and questions.
//
// This class holds what the window shows and decides how: the localized texts (title,
// heading, Cancel, the message box titles), when the bar turns indeterminate, the cancelled
// flag and what the window says once Cancel was pressed. The toolkit work, down to fitting
// the texts into the window, is done by an IWindowBackend (Win32 on Windows, GTK 3 on
// Linux). When the backend loses its display, what the window would show goes to the
// console instead.
//
// Threads: created by the process entry on the main thread; the main flow calls from the
// main thread, the updater calls the display operations (BShowWindow, SetStatusText,
// SetProgress, BUserCancelled, ShowFatalError, AskYesNo) from its own. The backend owns
// the window and marshals what it must.
#pragma once

#include "ferroexe/crashhandler.h"
#include "ferroexe/updatestatusui.h"
#include "ferroexe/windowbackend.h"
#include "foundation/threadtools.h"
#include "foundation/utlstring.h"

#include <atomic>
#include <memory>

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
    const char *GetCancelText() const { return m_strCancel.Get(); }
    const char *GetStoppingText() const { return m_strStopping.Get(); }

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
    // Waits for the next window message (the window's 20 ms timer bounds the wait) and
    // handles it and those already waiting; without a window, waits 20 ms or until
    // WakeFrame. The deadline is not read.
    bool BRunFrame(const uint64 *pulTicksDeadline) override;
    void WakeFrame() override;
    bool BReadyToLaunchClient() override { return true; }
    void ShowFatalErrorWithCause(const char *pchCause, const char *pchText) override;

private:
    // Cancel and the close box both mean "stop": the close box does not destroy the
    // window, so the main loop keeps its timer and ends through BUserCancelled. The window
    // says at once that the launcher stops.
    void OnCancelRequested() override;
    // Where the window's texts go once its display is gone: the console, with one line that
    // says why.
    IUpdateStatusUI *Fallback();

    std::unique_ptr<IWindowBackend> m_pOwnedBackend;
    IWindowBackend *m_pBackend;

    CUtlString m_strWindowTitle;
    CUtlString m_strHeading;
    CUtlString m_strCancel;
    CUtlString m_strStopping;
    CUtlString m_strFatalErrorTitle;
    CUtlString m_strWarningTitle;
    // The entry's show command; "show normally" unless the entry says otherwise.
    int m_nShowCommand = 1;
    void *m_hInstance = nullptr;
    bool m_bSocketsStarted = false;
    CCrashHandlerRegistration m_CrashHandler;

    std::atomic<bool> m_bCancelled{false};
    std::atomic<bool> m_bWindowCreated{false};
    // Whether the bar is in marquee mode.
    std::atomic<bool> m_bIndeterminate{false};
    std::atomic<bool> m_bFallbackAnnounced{false};
    // Ends a frame's wait while there is no window (auto-reset).
    CThreadEvent m_WakeEvent;
};

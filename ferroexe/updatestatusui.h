// IUpdateStatusUI: the one channel through which the main flow and the updater show what is
// happening (status line, percentage, fatal errors, a yes/no question), run the wait of
// each main-loop pass and learn whether the user cancelled.
//
// Two implementations: CConsoleUpdateUI (lines on standard output, "-textclient") and
// CWin32UpdateUI (the progress window). Each is a process-wide instance created on first
// use and never deleted; the main flow stores its choice with SetPUpdateStatusUI.
//
// Threads: the main flow calls from the main thread; the updater calls the display
// operations from its own thread. Texts are NUL-terminated UTF-8.
#pragma once

#include "foundation/basetypes.h"

// The answer function of AskYesNo: nAnswer is 0 when the user agreed, 1 otherwise; its
// result is what AskYesNo returns.
typedef int (*FnAskYesNoAnswer)(int nAnswer, void *pvContext);

class IUpdateStatusUI
{
public:
    // Starts the socket library and registers with the crash handler. The arguments are
    // the process's argument count and vector (not read).
    virtual bool BInit(int *pArgc, char ***pArgv) = 0;
    virtual bool BCreateWindow() = 0;
    virtual bool BShowWindow() = 0;
    // May run twice; the second call does nothing.
    virtual void DestroyWindow() = 0;
    virtual void Shutdown() = 0;
    virtual void SetStatusText(const char *pchText) = 0;
    // 0 to 100; any other value means "unknown" (indeterminate).
    virtual void SetProgress(int nPercent) = 0;
    virtual bool BUserCancelled() = 0;
    virtual void ShowFatalError(const char *pchText) = 0;
    virtual int AskYesNo(const char *pchQuestion, FnAskYesNoAnswer pfnAnswer, void *pvContext) = 0;
    // The wait of one main-loop pass, until the deadline in clock ticks (Clock_GetTicks);
    // null: a short default wait. Always true.
    virtual bool BRunFrame(const uint64 *pulTicksDeadline) = 0;
    virtual bool BReadyToLaunchClient() = 0;
    // A fatal error with what caused it (may be empty or null): the console prints the
    // cause on a line of its own before the fatal error's line, the window shows both in
    // one box, the cause first.
    virtual void ShowFatalErrorWithCause(const char *pchCause, const char *pchText) = 0;
    // Ends the wait of the current BRunFrame early, or that of the next one when none waits
    // now: the updater has news for the main loop (its outcome). Any thread.
    virtual void WakeFrame() = 0;

protected:
    // The instances live until the process ends; nobody deletes through this interface.
    ~IUpdateStatusUI() {}
};

// The UI the main flow chose, or null before it chose.
IUpdateStatusUI *GetPUpdateStatusUI();
void SetPUpdateStatusUI(IUpdateStatusUI *pUI);

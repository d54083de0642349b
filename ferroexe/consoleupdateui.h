// CConsoleUpdateUI: the update status UI of "-textclient". Every status text and fatal
// error becomes one line on standard output, prefixed with the current percentage
// ("[ 42%] ") or "[----] " when the percentage is unknown; the question of AskYesNo is
// answered with one character from standard input. Lines are flushed one by one, so a
// pipe sees each line as soon as it is written.
#pragma once

#include "ferroexe/crashhandler.h"
#include "ferroexe/updatestatusui.h"
#include "foundation/threadtools.h"

#include <atomic>
#include <cstdio>

class CConsoleUpdateUI : public IUpdateStatusUI
{
public:
    // The process-wide instance (standard output and input), created on first use.
    static CConsoleUpdateUI *GetInstance();

    // For tests: lines go to pOut, answers come from pIn (neither is closed).
    CConsoleUpdateUI(FILE *pOut, FILE *pIn) : m_pOut(pOut), m_pIn(pIn) {}

    bool BInit(int *pArgc, char ***pArgv) override;
    bool BCreateWindow() override { return true; }
    bool BShowWindow() override { return true; }
    void DestroyWindow() override {}
    void Shutdown() override {}
    void SetStatusText(const char *pchText) override;
    void SetProgress(int nPercent) override { m_nPercent = nPercent; }
    bool BUserCancelled() override { return false; }
    void ShowFatalError(const char *pchText) override;
    int AskYesNo(const char *pchQuestion, FnAskYesNoAnswer pfnAnswer, void *pvContext) override;
    // Waits until the deadline (whole milliseconds) or until WakeFrame, whichever comes first.
    bool BRunFrame(const uint64 *pulTicksDeadline) override;
    bool BReadyToLaunchClient() override { return true; }
    void ShowFatalErrorWithCause(const char *pchCause, const char *pchText) override;
    void WakeFrame() override { m_WakeEvent.Set(); }

private:
    // The first format takes the percentage and the text, the second only the text.
    void PrintLine(const char *pchFormatWithPercent, const char *pchFormatUnknown, const char *pchText);

    FILE *m_pOut;
    FILE *m_pIn;
    std::atomic<int> m_nPercent{0}; // set by the updater thread, read by both
    CCrashHandlerRegistration m_CrashHandler;
    CThreadEvent m_WakeEvent; // auto-reset: one wake ends one wait
};

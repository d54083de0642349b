// Stand-ins for the operations that later work supplies under the same names. Each does the
// simplest thing its job allows, so that the main flow runs end to end today. Delete this
// pair of files as a block (and include the real headers instead) when the real ones land.
#pragma once

#include "common/framefunctionmgr.h"
#include "common/httpclient.h"
#include "ferroexe/crashhandler.h"
#include "ferroexe/updatestatusui.h"
#include "foundation/basetypes.h"
#include "foundation/thread.h"
#include "foundation/threadtools.h"
#include "foundation/utlstring.h"

#include <atomic>

class KeyValues;

// Temporary: the progress window; it shows nothing and writes fatal errors to standard error.
class CWin32UpdateUI : public IUpdateStatusUI
{
public:
    static CWin32UpdateUI *GetInstance();

    // Looks up the window title and the heading (which loads the language files).
    CWin32UpdateUI();
    const char *GetWindowTitle() const { return m_strWindowTitle.Get(); }
    const char *GetHeading() const { return m_strHeading.Get(); }

    void SetShowCommand(int nShowCommand) { m_nShowCommand = nShowCommand; }
    void SetInstanceHandle(void *hInstance) { m_hInstance = hInstance; }

    bool BInit(int *pArgc, char ***pArgv) override;
    bool BCreateWindow() override { return true; }
    bool BShowWindow() override { return true; }
    void DestroyWindow() override {}
    void Shutdown() override;
    void SetStatusText(const char *) override {}
    void SetProgress(int) override {}
    bool BUserCancelled() override { return false; }
    void ShowFatalError(const char *pchText) override;
    // No window to ask in: the answer is "Cancel".
    int AskYesNo(const char *pchQuestion, FnAskYesNoAnswer pfnAnswer, void *pvContext) override;
    // Waits about 20 ms so that an idle main loop does not spin.
    bool BRunFrame(const uint64 *pulTicksDeadline) override;
    bool BReadyToLaunchClient() override { return true; }

private:
    CUtlString m_strWindowTitle;
    CUtlString m_strHeading;
    int m_nShowCommand = 0;
    void *m_hInstance = nullptr;
    bool m_bSocketsStarted = false;
    CCrashHandlerRegistration m_CrashHandler;
};

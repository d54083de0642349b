#include "ferroexe/win32updateui.h"

#include "ferroexe/consoleupdateui.h"
#include "ferroexe/localizedtext.h"
#include "foundation/commandline.h"
#include "foundation/dbg.h"
#include "foundation/platform/sockets_init.h"
#include "foundation/strtools.h"

#include <string>

static CCommandLineOption g_OptionFullMemoryDump("-full_memory_dump", "");

namespace
{
// A UTF-8 text as the window shows it: UTF-16 in a buffer of k_cubWindowTextBuffer bytes,
// cut there, invalid sequences shown as "?".
class CWindowText
{
public:
    explicit CWindowText(const char *pchUTF8)
    {
        Q_UTF8ToUnicode(pchUTF8 ? pchUTF8 : "", m_rgwch, sizeof(m_rgwch));
    }
    const wchar16 *Get() const { return m_rgwch; }

private:
    wchar16 m_rgwch[k_cubWindowTextBuffer / sizeof(wchar16)];
};
} // namespace

CWin32UpdateUI *CWin32UpdateUI::GetInstance()
{
    static CWin32UpdateUI *s_pInstance = new CWin32UpdateUI();
    return s_pInstance;
}

CWin32UpdateUI::CWin32UpdateUI() : CWin32UpdateUI(CreateWindowBackend())
{
    m_pOwnedBackend.reset(m_pBackend);
}

CWin32UpdateUI::CWin32UpdateUI(IWindowBackend *pBackend) : m_pBackend(pBackend)
{
    // The lookup's buffer is reused by the next lookup: keep copies. All are looked up now,
    // so that nothing is looked up while the window answers Cancel.
    m_strWindowTitle = LocalizeBootstrapperText("#FerroBootstrapper_WindowTitle", nullptr, "Arvo Launcher");
    m_strHeading =
        LocalizeBootstrapperText("#FerroBootstrapper_UpdatingFerro", nullptr, "Updating Arvo Launcher...");
    m_strCancel = LocalizeBootstrapperText("#FerroBootstrapper_Cancel", nullptr, "Cancel");
    m_strStopping = LocalizeBootstrapperText("#FerroBootstrapper_Cancelling", nullptr, "Cancelling...");
    m_strFatalErrorTitle = LocalizeBootstrapperText("#FerroBootstrapper_FatalErrorTitle", nullptr,
                                                    "Arvo Launcher - Fatal Error");
    m_strWarningTitle =
        LocalizeBootstrapperText("#FerroBootstrapper_WarningTitle", nullptr, "Arvo Launcher - Warning");
}

CWin32UpdateUI::~CWin32UpdateUI()
{
    DestroyWindow();
}

bool CWin32UpdateUI::BCanShowWindow()
{
    return m_pBackend->BIsAvailable();
}

bool CWin32UpdateUI::BInit(int *, char ***)
{
    // The network layer needs the socket library whatever the UI; a failure shows later
    // as a failed connection.
    m_bSocketsStarted = PLAT_StartSockets();
    m_CrashHandler.Register(GetCommandLineObject()->FindOption(g_OptionFullMemoryDump.GetHandle()) !=
                            nullptr);
    return m_pBackend->BRegisterWindowClass(m_hInstance);
}

bool CWin32UpdateUI::BCreateWindow()
{
    CWindowText title(m_strWindowTitle.Get());
    CWindowText heading(m_strHeading.Get());
    CWindowText cancel(m_strCancel.Get());
    bool bCreated = m_pBackend->BCreateWindow({title.Get(), heading.Get(), cancel.Get()}, this);
    // Even a failed creation may have left a window behind for DestroyWindow.
    m_bWindowCreated = true;
    return bCreated;
}

bool CWin32UpdateUI::BShowWindow()
{
    m_pBackend->CentreAndShow(m_nShowCommand);
    return true;
}

void CWin32UpdateUI::DestroyWindow()
{
    if (m_bWindowCreated.exchange(false))
        m_pBackend->DestroyWindow();
}

void CWin32UpdateUI::Shutdown()
{
    if (m_bSocketsStarted)
        PLAT_StopSockets();
    m_bSocketsStarted = false;
    m_CrashHandler.Release();
    m_pBackend->Shutdown();
}

IUpdateStatusUI *CWin32UpdateUI::Fallback()
{
    if (!m_pBackend->BDisplayLost())
        return nullptr;
    if (!m_bFallbackAnnounced.exchange(true))
        Msg("No display for the progress window: showing progress on the console\n");
    return CConsoleUpdateUI::GetInstance();
}

void CWin32UpdateUI::OnCancelRequested()
{
    if (m_bCancelled.exchange(true))
        return;
    CWindowText stopping(m_strStopping.Get());
    m_pBackend->ShowStopping(stopping.Get());
}

void CWin32UpdateUI::SetStatusText(const char *pchText)
{
    if (IUpdateStatusUI *pFallback = Fallback())
        return pFallback->SetStatusText(pchText);
    // Once Cancel was pressed the window says that the launcher stops; what the updater
    // reports on its way out would only contradict that.
    if (m_bCancelled)
        return;
    CWindowText text(pchText);
    m_pBackend->SetStatusText(text.Get());
}

void CWin32UpdateUI::SetProgress(int nPercent)
{
    if (IUpdateStatusUI *pFallback = Fallback())
        return pFallback->SetProgress(nPercent);
    // Unsigned, so that negative values count as "unknown" too.
    if ((uint32)nPercent <= 100u)
    {
        if (m_bIndeterminate.exchange(false))
            m_pBackend->SetMarqueeStyle(false);
        m_pBackend->SetProgressPosition(nPercent);
    }
    else
    {
        if (!m_bIndeterminate.exchange(true))
            m_pBackend->SetMarqueeStyle(true);
        m_pBackend->StartMarquee();
    }
}

void CWin32UpdateUI::ShowFatalError(const char *pchText)
{
    if (IUpdateStatusUI *pFallback = Fallback())
        return pFallback->ShowFatalError(pchText);
    CWindowText title(m_strFatalErrorTitle.Get());
    CWindowText text(pchText);
    m_pBackend->ShowErrorBox(title.Get(), text.Get());
    // A toolkit loaded only for this box may have found no display: the console says it.
    if (IUpdateStatusUI *pFallback = Fallback())
        pFallback->ShowFatalError(pchText);
}

void CWin32UpdateUI::ShowFatalErrorWithCause(const char *pchCause, const char *pchText)
{
    if (!pchCause || !*pchCause)
        return ShowFatalError(pchText);
    if (IUpdateStatusUI *pFallback = Fallback())
        return pFallback->ShowFatalErrorWithCause(pchCause, pchText);
    std::string strText = std::string(pchCause) + "\n\n" + (pchText ? pchText : "");
    ShowFatalError(strText.c_str());
}

int CWin32UpdateUI::AskYesNo(const char *pchQuestion, FnAskYesNoAnswer pfnAnswer, void *pvContext)
{
    if (IUpdateStatusUI *pFallback = Fallback())
        return pFallback->AskYesNo(pchQuestion, pfnAnswer, pvContext);
    CWindowText title(m_strWarningTitle.Get());
    CWindowText question(pchQuestion);
    int nAnswer = m_pBackend->BAskOKCancel(title.Get(), question.Get()) ? 0 : 1;
    if (!pfnAnswer)
    {
        AssertMsg(pfnAnswer, "pfnAnswer");
        return nAnswer;
    }
    return pfnAnswer(nAnswer, pvContext);
}

bool CWin32UpdateUI::BRunFrame(const uint64 *)
{
    // Without a window no timer ends the wait: at most as long as the timer would.
    if (!m_bWindowCreated)
        m_WakeEvent.Wait(20);
    else
        m_pBackend->RunMessages();
    return true;
}

void CWin32UpdateUI::WakeFrame()
{
    m_WakeEvent.Set();
    m_pBackend->WakeMessageWait();
}

#include "ferroexe/win32updateui.h"

#include "ferroexe/localizedtext.h"
#include "foundation/clock.h"
#include "foundation/commandline.h"
#include "foundation/dbg.h"
#include "foundation/platform/sockets_init.h"
#include "foundation/strtools.h"

#include <cstring>
#include <mutex>

static CCommandLineOption g_OptionFullMemoryDump("-full_memory_dump", "");

namespace
{
const wchar16 k_pwchFatalErrorTitle[] = u"Arvo Launcher - Fatal Error";
const wchar16 k_pwchWarningTitle[] = u"Arvo Launcher - Warning";

// The status line last set. One window per process, so one line; the updater thread sets
// it, and the main thread may too.
std::mutex g_StatusLineMutex;
wchar16 g_rgwchStatusLine[k_cchStatusLineMax + 1];

bool BIsHighSurrogate(wchar16 wch)
{
    return wch >= 0xD800 && wch <= 0xDBFF;
}

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

void BuildStatusLine(const wchar16 *pwchText, wchar16 *pwchLine)
{
    const int cubLine = (k_cchStatusLineMax + 1) * (int)sizeof(wchar16);
    if (Q_wcslen(pwchText) <= k_cchStatusLineMax)
    {
        Q_wcsncpy(pwchLine, pwchText, cubLine);
        return;
    }
    // Half a surrogate pair before the dots would show as a box.
    int cchKeep = k_cchStatusLineCut;
    if (BIsHighSurrogate(pwchText[cchKeep - 1]))
        --cchKeep;
    memcpy(pwchLine, pwchText, (size_t)cchKeep * sizeof(wchar16));
    pwchLine[cchKeep] = u'.';
    pwchLine[cchKeep + 1] = u'.';
    pwchLine[cchKeep + 2] = u'.';
    pwchLine[cchKeep + 3] = 0;
}

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
    // The lookup's buffer is reused by the next lookup: keep copies.
    m_strWindowTitle = LocalizeBootstrapperText("#FerroBootstrapper_WindowTitle", nullptr, "Arvo Launcher");
    m_strHeading =
        LocalizeBootstrapperText("#FerroBootstrapper_UpdatingFerro", nullptr, "Updating Arvo Launcher...");
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
    bool bCreated = m_pBackend->BCreateWindow(title.Get(), heading.Get(), this);
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

void CWin32UpdateUI::SetStatusText(const char *pchText)
{
    CWindowText text(pchText);
    wchar16 rgwchLine[k_cchStatusLineMax + 1];
    {
        std::lock_guard<std::mutex> lock(g_StatusLineMutex);
        BuildStatusLine(text.Get(), g_rgwchStatusLine);
        memcpy(rgwchLine, g_rgwchStatusLine, sizeof(rgwchLine));
    }
    // Outside the lock: on Windows this waits for the main thread to handle the message.
    m_pBackend->SetStatusText(rgwchLine);
}

void CWin32UpdateUI::SetProgress(int nPercent)
{
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
    CWindowText text(pchText);
    m_pBackend->ShowErrorBox(k_pwchFatalErrorTitle, text.Get());
}

int CWin32UpdateUI::AskYesNo(const char *pchQuestion, FnAskYesNoAnswer pfnAnswer, void *pvContext)
{
    CWindowText question(pchQuestion);
    int nAnswer = m_pBackend->BAskOKCancel(k_pwchWarningTitle, question.Get()) ? 0 : 1;
    if (!pfnAnswer)
    {
        AssertMsg(pfnAnswer, "pfnAnswer");
        return nAnswer;
    }
    return pfnAnswer(nAnswer, pvContext);
}

bool CWin32UpdateUI::BRunFrame(const uint64 *)
{
    // Without a window no timer wakes the wait: pause as long as the timer would.
    if (!m_bWindowCreated)
        Clock_Sleep(20);
    else
        m_pBackend->RunOneMessage();
    return true;
}

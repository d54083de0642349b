// Win32 only: the progress window with the Win32 user interface and common controls.
//
// The window belongs to the main thread. A control's messages sent from another thread
// wait until the main thread handles them, and the main thread waits for the updater
// thread when it shuts down: so the updater thread never sends. Its calls record what the
// window should show (the latest status text, bar position or marquee, a pending show) and
// post one private message; the main thread puts the state on the screen when it handles
// that message in its next RunMessages. A message box asked for by another thread has no
// owner (an owner of another thread would be disabled and enabled by sent messages) and
// stays on top of every window instead.
//
// Drawing: the labels paint their own opaque background and the main window clips its
// children, so a new status text repaints only its label and nothing is ever erased to
// blank in between.
#include "ferroexe/windowbackend.h"

#include "ferroexe/windowlayout.h"

#include <windows.h>

#include <commctrl.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace
{
const wchar_t k_pwchWindowClass[] = L"arvolauncher";
// Wakes the message loop at least this often, so one pass of the main loop never waits
// longer for a message.
const UINT_PTR k_idWakeTimer = 0;
const UINT k_msWakeTimer = 20;
const WORD k_idIconResource = 101;
// Messages handled in one slot after the first, at most: a slot ends even under a flood.
const int k_cMaxMessagesPerSlot = 200;
// Posted by other threads: the wanted state changed.
const UINT k_unMsgApplyWanted = WM_APP + 1;

// What the window should show, as last asked for; the flags say what changed since the
// main thread last looked.
struct WantedState_t
{
    std::u16string strStatus;
    bool bStatusChanged = false;
    bool bMarqueeChanged = false;
    bool bMarquee = false;
    bool bStartMarquee = false;
    bool bPositionChanged = false;
    int nPosition = 0;
    bool bShow = false;
    int nShowCommand = SW_SHOWNORMAL;
};

class CWin32WindowBackend : public IWindowBackend
{
public:
    ~CWin32WindowBackend() override;

    bool BIsAvailable() override { return true; }
    bool BRegisterWindowClass(void *hInstance) override;
    bool BCreateWindow(const WindowTexts_t &texts, IWindowBackendEvents *pEvents) override;
    void CentreAndShow(int nShowCommand) override;
    void DestroyWindow() override;
    void Shutdown() override {}
    void SetStatusText(const wchar16 *pwchStatus) override;
    void ShowStopping(const wchar16 *pwchStatus) override;
    void SetMarqueeStyle(bool bMarquee) override;
    void StartMarquee() override;
    void SetProgressPosition(int nPercent) override;
    void ShowErrorBox(const wchar16 *pwchTitle, const wchar16 *pwchText) override;
    bool BAskOKCancel(const wchar16 *pwchTitle, const wchar16 *pwchText) override;
    void RunMessages() override;
    bool BDisplayLost() override { return false; }

private:
    static LRESULT CALLBACK WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
    // A control asks for its colours when it paints: the trace notes what it paints.
    void TracePaint(HWND hControl);
    // The main window while it exists (other threads read it), else null.
    HWND LiveWindow() const { return m_hWnd.load(); }
    bool BOnWindowThread() const { return GetCurrentThreadId() == m_dwWindowThread; }
    HWND CreateChild(const wchar_t *pwchClass, const wchar_t *pwchText, DWORD dwStyle);
    // Records a change and gets it onto the screen: at once on the window's thread, else
    // through a posted message.
    template <typename FnChange>
    void ChangeWanted(FnChange fnChange);
    // The window's thread: puts the wanted state on the screen.
    void ApplyWanted();
    void ApplyStatus(const std::u16string &strStatus);
    void ApplyLayout(int cStatusLines);
    bool BTextFits(const std::u16string &str, int nWidth, int cMaxLines);
    void CentreAndShowNow(int nShowCommand);
    int MessageBoxFor(const wchar16 *pwchTitle, const wchar16 *pwchText, UINT uType);

    HINSTANCE m_hInstance = nullptr;
    std::atomic<HWND> m_hWnd{nullptr};
    DWORD m_dwWindowThread = 0;
    HWND m_hHeading = nullptr;
    HWND m_hProgress = nullptr;
    HWND m_hCancel = nullptr;
    HWND m_hStatus = nullptr;
    HFONT m_hFont = nullptr;
    IWindowBackendEvents *m_pEvents = nullptr;
    // The window's thread only.
    double m_flScale = 1.0;
    int m_nLineHeight = 0;
    int m_cStatusLines = 1;
    bool m_bStopping = false;
    // FERRO_TEST_WINDOW_TRACE: each painting of the heading, the status and Cancel, with its
    // time and text (tests read back what was drawn).
    FILE *m_pTrace = nullptr;

    std::mutex m_Mutex;
    WantedState_t m_Wanted;      // under m_Mutex
    bool m_bApplyPosted = false; // under m_Mutex
};

// The window procedure has no pointer of its own: one window per process.
CWin32WindowBackend *g_pWindowBackend = nullptr;

const wchar_t *AsWide(const wchar16 *pwch)
{
    static_assert(sizeof(wchar_t) == sizeof(wchar16), "UTF-16 wchar_t");
    return reinterpret_cast<const wchar_t *>(pwch ? pwch : u"");
}

CWin32WindowBackend::~CWin32WindowBackend()
{
    DestroyWindow();
    if (g_pWindowBackend == this)
        g_pWindowBackend = nullptr;
}

bool CWin32WindowBackend::BRegisterWindowClass(void *hInstance)
{
    m_hInstance = static_cast<HINSTANCE>(hInstance);
    // A Unicode window: a translated title or text is never squeezed through a code page.
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = WindowProc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = 0;
    wc.hInstance = m_hInstance;
    // Null when the executable carries no icon: the class simply has none.
    wc.hIcon = LoadIconW(m_hInstance, MAKEINTRESOURCEW(k_idIconResource));
    wc.hIconSm = LoadIconW(m_hInstance, MAKEINTRESOURCEW(k_idIconResource));
    wc.hCursor = LoadCursorW(nullptr, (LPCWSTR)IDC_WAIT);
    wc.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    wc.lpszMenuName = nullptr;
    wc.lpszClassName = k_pwchWindowClass;
    return RegisterClassExW(&wc) != 0;
}

HWND CWin32WindowBackend::CreateChild(const wchar_t *pwchClass, const wchar_t *pwchText, DWORD dwStyle)
{
    // Placed by ApplyLayout.
    HWND hControl = CreateWindowExW(0, pwchClass, pwchText, WS_CHILD | WS_VISIBLE | dwStyle, 0, 0, 0, 0,
                                    LiveWindow(), nullptr, m_hInstance, nullptr);
    // Without redraw: the controls are not visible yet.
    if (hControl && m_hFont)
        SendMessageW(hControl, WM_SETFONT, (WPARAM)m_hFont, FALSE);
    return hControl;
}

bool CWin32WindowBackend::BCreateWindow(const WindowTexts_t &texts, IWindowBackendEvents *pEvents)
{
    m_pEvents = pEvents;
    g_pWindowBackend = this;
    m_dwWindowThread = GetCurrentThreadId();
    m_bStopping = false;
    m_cStatusLines = 1;

    // The layout and the font grow with the display's DPI (96 is 1.0). A process that does
    // not declare itself DPI-aware is told 96 and scaled by the system instead.
    HDC hScreen = GetDC(nullptr);
    int nDPI = hScreen ? GetDeviceCaps(hScreen, LOGPIXELSY) : 96;
    if (hScreen)
        ReleaseDC(nullptr, hScreen);
    m_flScale = nDPI > 0 ? nDPI / 96.0 : 1.0;
    WindowLayout_t layout = ComputeWindowLayout(m_flScale, 1, 0);

    // Created at y 0; BShowWindow centres it before it is first seen. Its children are
    // clipped out of its own painting.
    HWND hWnd = CreateWindowExW(
        0, k_pwchWindowClass, L"", WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN, CW_USEDEFAULT,
        0, layout.nWindowWidth, layout.nWindowHeight, nullptr, nullptr, m_hInstance, nullptr);
    m_hWnd = hWnd;
    SetWindowTextW(hWnd, AsWide(texts.m_pwchTitle));

    INITCOMMONCONTROLSEX icc = {};
    icc.dwSize = sizeof(icc);
    icc.dwICC = ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS;
    InitCommonControlsEx(&icc);

    m_hFont = CreateFontA(-ScaleWindowLength(k_nWindowFontPixels, m_flScale), 0, 0, 0, FW_NORMAL, FALSE,
                          FALSE, FALSE, DEFAULT_CHARSET, OUT_OUTLINE_PRECIS, CLIP_DEFAULT_PRECIS,
                          CLEARTYPE_QUALITY, VARIABLE_PITCH, "Tahoma");
    if (HDC hdc = GetDC(hWnd))
    {
        HGDIOBJ hOld = SelectObject(hdc, m_hFont);
        TEXTMETRICW tm = {};
        GetTextMetricsW(hdc, &tm);
        m_nLineHeight = tm.tmHeight;
        SelectObject(hdc, hOld);
        ReleaseDC(hWnd, hdc);
    }

    // One line, cut by FitWindowText when a translation is too long for it.
    m_hHeading = CreateChild(L"STATIC", L"", SS_LEFTNOWORDWRAP | SS_NOPREFIX);
    m_hCancel = CreateChild(L"BUTTON", AsWide(texts.m_pwchCancel), BS_PUSHBUTTON);
    m_hProgress = CreateChild(L"msctls_progress32", L"", 0);
    SendMessageW(m_hProgress, PBM_SETRANGE32, 0, 100);
    // Wraps at word boundaries into its lines.
    m_hStatus = CreateChild(L"STATIC", L"", SS_LEFT | SS_NOPREFIX);
    ApplyLayout(1);

    std::u16string strHeading =
        FitWindowText(texts.m_pwchHeading ? texts.m_pwchHeading : u"",
                      [&](const std::u16string &str) { return BTextFits(str, layout.heading.nWidth, 1); });
    SetWindowTextW(m_hHeading, AsWide(strHeading.c_str()));

    const char *pchTrace = getenv("FERRO_TEST_WINDOW_TRACE");
    if (pchTrace && *pchTrace && !m_pTrace)
        m_pTrace = fopen(pchTrace, "a");

    SetTimer(hWnd, k_idWakeTimer, k_msWakeTimer, nullptr);
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Wanted = WantedState_t();
        m_bApplyPosted = false;
    }
    return m_hFont && m_hCancel && m_hProgress;
}

bool CWin32WindowBackend::BTextFits(const std::u16string &str, int nWidth, int cMaxLines)
{
    HWND hWnd = LiveWindow();
    HDC hdc = GetDC(hWnd);
    if (!hdc)
        return true;
    HGDIOBJ hOld = SelectObject(hdc, m_hFont);
    RECT rc = {0, 0, nWidth, 0};
    DrawTextW(hdc, AsWide(str.c_str()), (int)str.size(), &rc,
              DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX | DT_LEFT);
    SelectObject(hdc, hOld);
    ReleaseDC(hWnd, hdc);
    // A word wider than the line makes the rectangle wider: that does not fit either.
    int nLineHeight = m_nLineHeight > 0 ? m_nLineHeight : 1;
    return rc.right - rc.left <= nWidth && (rc.bottom - rc.top + nLineHeight - 1) / nLineHeight <= cMaxLines;
}

void CWin32WindowBackend::ApplyLayout(int cStatusLines)
{
    HWND hWnd = LiveWindow();
    WindowLayout_t layout = ComputeWindowLayout(m_flScale, cStatusLines, m_nLineHeight);
    SetWindowPos(hWnd, nullptr, 0, 0, layout.nWindowWidth, layout.nWindowHeight,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    auto Place = [](HWND hControl, const WindowRect_t &rect)
    {
        SetWindowPos(hControl, nullptr, rect.x, rect.y, rect.nWidth, rect.nHeight,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    };
    Place(m_hHeading, layout.heading);
    Place(m_hProgress, layout.progress);
    Place(m_hCancel, layout.cancel);
    Place(m_hStatus, layout.status);
}

void CWin32WindowBackend::ApplyStatus(const std::u16string &strStatus)
{
    WindowLayout_t layout = ComputeWindowLayout(m_flScale, 1, m_nLineHeight);
    std::u16string strFitted =
        FitWindowText(strStatus, [&](const std::u16string &str)
                      { return BTextFits(str, layout.status.nWidth, k_cMaxStatusLines); });
    int cLines = BTextFits(strFitted, layout.status.nWidth, 1) ? 1 : k_cMaxStatusLines;
    if (cLines != m_cStatusLines)
    {
        m_cStatusLines = cLines;
        ApplyLayout(cLines);
    }
    // The label repaints itself, opaque: the rest of the window is not touched.
    SetWindowTextW(m_hStatus, AsWide(strFitted.c_str()));
}

template <typename FnChange>
void CWin32WindowBackend::ChangeWanted(FnChange fnChange)
{
    HWND hWnd = LiveWindow();
    if (!hWnd)
        return;
    bool bPost = false;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        fnChange(m_Wanted);
        if (!BOnWindowThread() && !m_bApplyPosted)
        {
            m_bApplyPosted = true;
            bPost = true;
        }
    }
    if (BOnWindowThread())
        ApplyWanted();
    else if (bPost && !PostMessageW(hWnd, k_unMsgApplyWanted, 0, 0))
    {
        // The window went meanwhile; the next change tries again.
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_bApplyPosted = false;
    }
}

void CWin32WindowBackend::ApplyWanted()
{
    WantedState_t wanted;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        wanted = m_Wanted;
        m_Wanted.bStatusChanged = false;
        m_Wanted.bMarqueeChanged = false;
        m_Wanted.bStartMarquee = false;
        m_Wanted.bPositionChanged = false;
        m_Wanted.bShow = false;
        m_bApplyPosted = false;
    }
    if (!LiveWindow())
        return;
    if (wanted.bStatusChanged && !m_bStopping)
        ApplyStatus(wanted.strStatus);
    if (wanted.bMarqueeChanged)
        SetWindowLongW(m_hProgress, GWL_STYLE, WS_CHILD | WS_VISIBLE | (wanted.bMarquee ? PBS_MARQUEE : 0));
    if (wanted.bStartMarquee && wanted.bMarquee)
        SendMessageW(m_hProgress, PBM_SETMARQUEE, 1, 0);
    if (wanted.bPositionChanged && !wanted.bMarquee)
        SendMessageW(m_hProgress, PBM_SETPOS, (WPARAM)wanted.nPosition, 0);
    if (wanted.bShow)
        CentreAndShowNow(wanted.nShowCommand);
}

void CWin32WindowBackend::CentreAndShow(int nShowCommand)
{
    ChangeWanted(
        [&](WantedState_t &wanted)
        {
            wanted.bShow = true;
            wanted.nShowCommand = nShowCommand;
        });
}

void CWin32WindowBackend::CentreAndShowNow(int nShowCommand)
{
    HWND hWnd = LiveWindow();
    // The whole monitor, not its work area. A window whose monitor cannot be told is
    // centred on the primary one; without any monitor information it stays where it is.
    MONITORINFO mi = {};
    mi.cbSize = sizeof(mi);
    bool bHaveMonitor = GetMonitorInfoA(MonitorFromWindow(hWnd, MONITOR_DEFAULTTOPRIMARY), &mi) != FALSE;
    if (!bHaveMonitor)
    {
        POINT ptOrigin = {0, 0};
        bHaveMonitor = GetMonitorInfoA(MonitorFromPoint(ptOrigin, MONITOR_DEFAULTTOPRIMARY), &mi) != FALSE;
    }
    RECT rcWindow;
    GetWindowRect(hWnd, &rcWindow);
    int nWidth = rcWindow.right - rcWindow.left;
    int nHeight = rcWindow.bottom - rcWindow.top;
    if (bHaveMonitor)
    {
        const RECT &rc = mi.rcMonitor;
        int x = rc.left + (rc.right - rc.left - nWidth) / 2;
        int y = rc.top + (rc.bottom - rc.top - nHeight) / 2;
        MoveWindow(hWnd, x, y, nWidth, nHeight, TRUE);
    }
    ShowWindow(hWnd, nShowCommand);
    UpdateWindow(hWnd);
    if (m_pTrace)
    {
        // Where the client area lies in the window, for a test that looks at the screen.
        POINT ptClient = {0, 0};
        ClientToScreen(hWnd, &ptClient);
        GetWindowRect(hWnd, &rcWindow);
        fprintf(m_pTrace, "%llu client %ld %ld\n", (unsigned long long)GetTickCount64() * 1000ull,
                (long)(ptClient.x - rcWindow.left), (long)(ptClient.y - rcWindow.top));
        fflush(m_pTrace);
    }
}

void CWin32WindowBackend::TracePaint(HWND hControl)
{
    const char *pchControl = hControl == m_hStatus    ? "status"
                             : hControl == m_hHeading ? "heading"
                             : hControl == m_hCancel  ? "cancel"
                                                      : nullptr;
    if (!m_pTrace || !pchControl)
        return;
    wchar_t rgwchText[1024];
    int cch = GetWindowTextW(hControl, rgwchText, sizeof(rgwchText) / sizeof(rgwchText[0]));
    for (int i = 0; i < cch; ++i)
    {
        if (rgwchText[i] == L'\r' || rgwchText[i] == L'\n')
            rgwchText[i] = L' ';
    }
    char rgchText[4096];
    int cub =
        WideCharToMultiByte(CP_UTF8, 0, rgwchText, cch, rgchText, sizeof(rgchText) - 1, nullptr, nullptr);
    rgchText[cub > 0 ? cub : 0] = 0;
    fprintf(m_pTrace, "%llu %s %s\n", (unsigned long long)GetTickCount64() * 1000ull, pchControl, rgchText);
    fflush(m_pTrace);
}

void CWin32WindowBackend::DestroyWindow()
{
    HWND hWnd = m_hWnd.exchange(nullptr);
    if (hWnd)
        ::DestroyWindow(hWnd);
    if (m_pTrace)
        fclose(m_pTrace);
    m_pTrace = nullptr;
    m_hHeading = m_hProgress = m_hCancel = m_hStatus = nullptr;
}

void CWin32WindowBackend::SetStatusText(const wchar16 *pwchStatus)
{
    std::u16string strStatus = pwchStatus ? pwchStatus : u"";
    ChangeWanted(
        [&](WantedState_t &wanted)
        {
            wanted.strStatus = strStatus;
            wanted.bStatusChanged = true;
        });
}

void CWin32WindowBackend::ShowStopping(const wchar16 *pwchStatus)
{
    if (!LiveWindow() || !BOnWindowThread())
        return;
    m_bStopping = true;
    ApplyStatus(pwchStatus ? pwchStatus : u"");
    EnableWindow(m_hCancel, FALSE);
    // Seen now, not when the main loop gets to the window again.
    UpdateWindow(m_hStatus);
}

void CWin32WindowBackend::SetMarqueeStyle(bool bMarquee)
{
    ChangeWanted(
        [&](WantedState_t &wanted)
        {
            wanted.bMarquee = bMarquee;
            wanted.bMarqueeChanged = true;
        });
}

void CWin32WindowBackend::StartMarquee()
{
    ChangeWanted([](WantedState_t &wanted) { wanted.bStartMarquee = true; });
}

void CWin32WindowBackend::SetProgressPosition(int nPercent)
{
    ChangeWanted(
        [&](WantedState_t &wanted)
        {
            wanted.nPosition = nPercent;
            wanted.bPositionChanged = true;
        });
}

int CWin32WindowBackend::MessageBoxFor(const wchar16 *pwchTitle, const wchar16 *pwchText, UINT uType)
{
    // Owned by the window when it is shown and of this thread: an owned box stays in front
    // of its owner. Otherwise in front of everything.
    HWND hWnd = LiveWindow();
    HWND hOwner = hWnd && BOnWindowThread() && IsWindowVisible(hWnd) ? hWnd : nullptr;
    if (!hOwner)
        uType |= MB_TOPMOST;
    return MessageBoxW(hOwner, AsWide(pwchText), AsWide(pwchTitle), uType | MB_SETFOREGROUND);
}

void CWin32WindowBackend::ShowErrorBox(const wchar16 *pwchTitle, const wchar16 *pwchText)
{
    MessageBoxFor(pwchTitle, pwchText, MB_OK | MB_ICONERROR);
}

bool CWin32WindowBackend::BAskOKCancel(const wchar16 *pwchTitle, const wchar16 *pwchText)
{
    return MessageBoxFor(pwchTitle, pwchText, MB_OKCANCEL | MB_ICONWARNING | MB_DEFBUTTON2) == IDOK;
}

void CWin32WindowBackend::RunMessages()
{
    MSG msg;
    if (!LiveWindow())
    {
        // No window, so no timer to end the wait: wait as long as the timer would have.
        MsgWaitForMultipleObjects(0, nullptr, FALSE, k_msWakeTimer, QS_ALLINPUT);
    }
    else if (GetMessageW(&msg, nullptr, 0, 0) > 0)
    {
        // GetMessage is -1 on failure and 0 for a quit message: neither is dispatched.
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    // Then whatever else waits (a repaint comes only after the posted messages): one message
    // per slot would leave it for later slots.
    for (int i = 0; i < k_cMaxMessagesPerSlot && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE); ++i)
    {
        if (msg.message == WM_QUIT)
            break;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

LRESULT CALLBACK CWin32WindowBackend::WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    CWin32WindowBackend *pBackend = g_pWindowBackend;
    switch (uMsg)
    {
    case WM_COMMAND:
        if (pBackend && pBackend->m_pEvents && (HWND)lParam == pBackend->m_hCancel && lParam != 0)
            pBackend->m_pEvents->OnCancelRequested();
        return 0;
    case WM_CLOSE:
        // Left to default processing the close box would destroy the window and with it
        // the timer that keeps the main loop's wait short; the user wants to stop, so it
        // counts as Cancel and the main flow destroys the window on its way out.
        if (pBackend && pBackend->m_pEvents)
            pBackend->m_pEvents->OnCancelRequested();
        return 0;
    case WM_DESTROY:
        // No quit message: the main loop does not read one.
        return 0;
    case k_unMsgApplyWanted:
        if (pBackend)
            pBackend->ApplyWanted();
        return 0;
    case WM_PAINT:
    {
        PAINTSTRUCT ps;
        HDC hdc = BeginPaint(hWnd, &ps);
        if (hdc && pBackend && pBackend->m_hFont)
            SelectObject(hdc, pBackend->m_hFont);
        EndPaint(hWnd, &ps);
        return 0;
    }
    case WM_CTLCOLORBTN:
        if (pBackend)
            pBackend->TracePaint((HWND)lParam);
        return DefWindowProcW(hWnd, uMsg, wParam, lParam);
    case WM_CTLCOLORSTATIC:
        if (pBackend)
            pBackend->TracePaint((HWND)lParam);
        // The labels paint the window's colour behind their text themselves: nothing shows
        // through, and nothing behind them needs erasing first.
        SetBkMode((HDC)wParam, OPAQUE);
        SetBkColor((HDC)wParam, GetSysColor(COLOR_WINDOW));
        SetTextColor((HDC)wParam, GetSysColor(COLOR_WINDOWTEXT));
        return (LRESULT)GetSysColorBrush(COLOR_WINDOW);
    default:
        return DefWindowProcW(hWnd, uMsg, wParam, lParam);
    }
}
} // namespace

IWindowBackend *CreateWindowBackend()
{
    return new CWin32WindowBackend();
}

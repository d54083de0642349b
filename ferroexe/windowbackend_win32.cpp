// Win32 only: the progress window with the Win32 user interface and common controls.
//
// Calls from the updater thread work as Windows makes them work: messages sent to the
// window wait until the main thread's message loop handles them, and a message box runs
// its own modal loop on the calling thread.
#include "ferroexe/windowbackend.h"

#include <windows.h>

#include <commctrl.h>

#include <atomic>

namespace
{
const char k_pchWindowClass[] = "arvolauncher";
const int k_nWindowWidth = 400;
const int k_nWindowHeight = 129;
// Wakes the message loop at least this often, so one pass of the main loop never waits
// longer for a message.
const UINT_PTR k_idWakeTimer = 0;
const UINT k_msWakeTimer = 20;
const WORD k_idIconResource = 101;

class CWin32WindowBackend : public IWindowBackend
{
public:
    ~CWin32WindowBackend() override;

    bool BIsAvailable() override { return true; }
    bool BRegisterWindowClass(void *hInstance) override;
    bool BCreateWindow(const wchar16 *pwchTitle, const wchar16 *pwchHeading,
                       IWindowBackendEvents *pEvents) override;
    void CentreAndShow(int nShowCommand) override;
    void DestroyWindow() override;
    void Shutdown() override {}
    void SetStatusText(const wchar16 *pwchStatus) override;
    void SetMarqueeStyle(bool bMarquee) override;
    void StartMarquee() override;
    void SetProgressPosition(int nPercent) override;
    void ShowErrorBox(const wchar16 *pwchTitle, const wchar16 *pwchText) override;
    bool BAskOKCancel(const wchar16 *pwchTitle, const wchar16 *pwchText) override;
    void RunOneMessage() override;

private:
    static LRESULT CALLBACK WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
    // The main window while it exists (the updater thread reads it), else null.
    HWND LiveWindow() const { return m_hWnd.load(); }
    HWND CreateChild(DWORD dwExStyle, const char *pchClass, const char *pchText, int x, int y, int nWidth,
                     int nHeight);
    void GiveFont(HWND hControl);

    HINSTANCE m_hInstance = nullptr;
    std::atomic<HWND> m_hWnd{nullptr};
    HWND m_hHeading = nullptr;
    HWND m_hProgress = nullptr;
    HWND m_hCancel = nullptr;
    HWND m_hStatus = nullptr;
    HFONT m_hFont = nullptr;
    IWindowBackendEvents *m_pEvents = nullptr;
};

// The window procedure has no pointer of its own: one window per process.
CWin32WindowBackend *g_pWindowBackend = nullptr;

const wchar_t *AsWide(const wchar16 *pwch)
{
    static_assert(sizeof(wchar_t) == sizeof(wchar16), "UTF-16 wchar_t");
    return reinterpret_cast<const wchar_t *>(pwch);
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
    WNDCLASSEXA wc = {};
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = WindowProc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = 0;
    wc.hInstance = m_hInstance;
    // Null when the executable carries no icon: the class simply has none.
    wc.hIcon = LoadIconA(m_hInstance, MAKEINTRESOURCEA(k_idIconResource));
    wc.hIconSm = LoadIconA(m_hInstance, MAKEINTRESOURCEA(k_idIconResource));
    wc.hCursor = LoadCursorA(nullptr, (LPCSTR)IDC_WAIT);
    wc.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    wc.lpszMenuName = nullptr;
    wc.lpszClassName = k_pchWindowClass;
    return RegisterClassExA(&wc) != 0;
}

HWND CWin32WindowBackend::CreateChild(DWORD dwExStyle, const char *pchClass, const char *pchText, int x,
                                      int y, int nWidth, int nHeight)
{
    return CreateWindowExA(dwExStyle, pchClass, pchText, WS_CHILD | WS_VISIBLE, x, y, nWidth, nHeight,
                           LiveWindow(), nullptr, m_hInstance, nullptr);
}

void CWin32WindowBackend::GiveFont(HWND hControl)
{
    // Without redraw: the controls are not visible yet.
    SendMessageA(hControl, WM_SETFONT, (WPARAM)m_hFont, FALSE);
}

bool CWin32WindowBackend::BCreateWindow(const wchar16 *pwchTitle, const wchar16 *pwchHeading,
                                        IWindowBackendEvents *pEvents)
{
    m_pEvents = pEvents;
    g_pWindowBackend = this;

    // Created at y 0; BShowWindow centres it before it is first seen.
    HWND hWnd =
        CreateWindowExA(0, k_pchWindowClass, "", WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT, 0,
                        k_nWindowWidth, k_nWindowHeight, nullptr, nullptr, m_hInstance, nullptr);
    m_hWnd = hWnd;
    SetWindowTextW(hWnd, AsWide(pwchTitle ? pwchTitle : u""));

    INITCOMMONCONTROLSEX icc = {};
    icc.dwSize = sizeof(icc);
    icc.dwICC = ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS;
    InitCommonControlsEx(&icc);

    m_hFont = CreateFontA(-12, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_OUTLINE_PRECIS,
                          CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, VARIABLE_PITCH, "Tahoma");

    m_hHeading = CreateChild(WS_EX_TRANSPARENT, "STATIC", "", 15, 15, 365, 25);
    GiveFont(m_hHeading);
    SendMessageW(m_hHeading, WM_SETTEXT, 0, (LPARAM)AsWide(pwchHeading ? pwchHeading : u""));

    m_hCancel = CreateChild(0, "BUTTON", "Cancel", 305, 64, 75, 25);
    GiveFont(m_hCancel);

    m_hProgress = CreateChild(0, "msctls_progress32", nullptr, 15, 40, 365, 14);
    SendMessageA(m_hProgress, PBM_SETRANGE32, 0, 100);

    m_hStatus = CreateChild(WS_EX_TRANSPARENT, "STATIC", "", 15, 64, 270, 25);
    GiveFont(m_hStatus);

    SetTimer(hWnd, k_idWakeTimer, k_msWakeTimer, nullptr);
    return m_hFont && m_hCancel && m_hProgress;
}

void CWin32WindowBackend::CentreAndShow(int nShowCommand)
{
    HWND hWnd = LiveWindow();
    if (!hWnd)
        return;
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
    if (bHaveMonitor)
    {
        const RECT &rc = mi.rcMonitor;
        int x = rc.left + (rc.right - rc.left - k_nWindowWidth) / 2;
        int y = rc.top + (rc.bottom - rc.top - k_nWindowHeight) / 2;
        MoveWindow(hWnd, x, y, k_nWindowWidth, k_nWindowHeight, TRUE);
    }
    ShowWindow(hWnd, nShowCommand);
    UpdateWindow(hWnd);
}

void CWin32WindowBackend::DestroyWindow()
{
    HWND hWnd = m_hWnd.exchange(nullptr);
    if (hWnd)
        ::DestroyWindow(hWnd);
}

void CWin32WindowBackend::SetStatusText(const wchar16 *pwchStatus)
{
    HWND hWnd = LiveWindow();
    if (!hWnd)
        return;
    // The labels are transparent: the window behind them is erased first, or the old
    // text would show through the new one.
    InvalidateRect(hWnd, nullptr, TRUE);
    SendMessageW(m_hStatus, WM_SETTEXT, 0, (LPARAM)AsWide(pwchStatus));
    SendMessageA(hWnd, WM_PAINT, 0, 0);
    // That erase covers the labels too (the window does not clip its children), and
    // nothing invalidated them: they draw their texts again on the fresh background.
    RedrawWindow(hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
}

void CWin32WindowBackend::SetMarqueeStyle(bool bMarquee)
{
    if (!LiveWindow())
        return;
    SetWindowLongA(m_hProgress, GWL_STYLE, WS_CHILD | WS_VISIBLE | (bMarquee ? PBS_MARQUEE : 0));
}

void CWin32WindowBackend::StartMarquee()
{
    if (LiveWindow())
        SendMessageA(m_hProgress, PBM_SETMARQUEE, 1, 0);
}

void CWin32WindowBackend::SetProgressPosition(int nPercent)
{
    if (LiveWindow())
        SendMessageA(m_hProgress, PBM_SETPOS, (WPARAM)nPercent, 0);
}

void CWin32WindowBackend::ShowErrorBox(const wchar16 *pwchTitle, const wchar16 *pwchText)
{
    MessageBoxW(LiveWindow(), AsWide(pwchText), AsWide(pwchTitle), MB_OK | MB_ICONERROR);
}

bool CWin32WindowBackend::BAskOKCancel(const wchar16 *pwchTitle, const wchar16 *pwchText)
{
    int nResult = MessageBoxW(LiveWindow(), AsWide(pwchText), AsWide(pwchTitle),
                              MB_OKCANCEL | MB_ICONWARNING | MB_DEFBUTTON2);
    return nResult == IDOK;
}

void CWin32WindowBackend::RunOneMessage()
{
    MSG msg;
    if (!LiveWindow())
    {
        // No window, so no timer to end the wait: wait as long as the timer would have.
        MsgWaitForMultipleObjects(0, nullptr, FALSE, k_msWakeTimer, QS_ALLINPUT);
        if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE) && msg.message != WM_QUIT)
        {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        return;
    }
    // GetMessage is -1 on failure and 0 for a quit message: neither is dispatched.
    if (GetMessageA(&msg, nullptr, 0, 0) > 0)
    {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
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
    case WM_PAINT:
    {
        PAINTSTRUCT ps;
        HDC hdc = BeginPaint(hWnd, &ps);
        if (hdc && pBackend && pBackend->m_hFont)
            SelectObject(hdc, pBackend->m_hFont);
        EndPaint(hWnd, &ps);
        return 0;
    }
    case WM_CTLCOLORSTATIC:
        // The labels show the window's background.
        SetBkMode((HDC)wParam, TRANSPARENT);
        return (LRESULT)GetStockObject(NULL_BRUSH);
    default:
        return DefWindowProcA(hWnd, uMsg, wParam, lParam);
    }
}
} // namespace

IWindowBackend *CreateWindowBackend()
{
    return new CWin32WindowBackend();
}

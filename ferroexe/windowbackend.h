// IWindowBackend: the toolkit half of the progress window. CWin32UpdateUI decides what the
// window shows (texts, the 50-character status line, when the bar turns indeterminate,
// message box titles, the cancelled flag); a backend only puts it on the screen.
//
// One backend is built into each executable: Win32 (windowbackend_win32.cpp) on Windows,
// GTK 3 (windowbackend_gtk.cpp) on Linux. CreateWindowBackend returns it.
//
// Threads: the thread that calls BIsAvailable / BRegisterWindowClass and BCreateWindow
// owns the window and must be the one that calls RunMessages (the main thread). The
// display operations (CentreAndShow, SetStatusText, the progress calls, the message boxes)
// may also come from another thread (the updater's): they only record what the window
// should show and never wait for the window's thread, which puts it on the screen in its
// next RunMessages. So the main thread may wait for the updater thread (at shutdown)
// without a deadlock. A message box asked for by another thread blocks that thread only.
//
// Texts are NUL-terminated UTF-16. Both backends lay the window out with windowlayout.h
// at the display's DPI and fit the texts into it there.
#pragma once

#include "foundation/basetypes.h"

// The fixed texts of the window.
struct WindowTexts_t
{
    const wchar16 *m_pwchTitle;
    const wchar16 *m_pwchHeading;
    const wchar16 *m_pwchCancel;
};

// What the window tells its owner. Called on the window's thread, from RunMessages (or
// from the nested wait of a message box).
class IWindowBackendEvents
{
public:
    // The Cancel button was pressed, or the window's close box was used. The window may be
    // told at once that the launcher stops (ShowStopping).
    virtual void OnCancelRequested() = 0;

protected:
    ~IWindowBackendEvents() {}
};

class IWindowBackend
{
public:
    virtual ~IWindowBackend() {}

    // Whether a window can be shown at all in this session (on Linux: whether a display
    // could be opened). Cheap after the first call.
    virtual bool BIsAvailable() = 0;
    // Registers the window class with the executable's module instance (may be null).
    virtual bool BRegisterWindowClass(void *hInstance) = 0;
    // Creates the hidden window, 400 x 129 at 96 DPI, with its heading, progress bar (range
    // 0..100), status label and Cancel button, and starts the 20 ms timer that bounds the
    // wait of RunMessages. True when the font, the Cancel button and the progress bar exist.
    virtual bool BCreateWindow(const WindowTexts_t &texts, IWindowBackendEvents *pEvents) = 0;
    // Centres the window on its monitor (the primary monitor when that is unknown) and shows
    // it with the show command of the process entry.
    virtual void CentreAndShow(int nShowCommand) = 0;
    // Destroys the window; does nothing when there is none.
    virtual void DestroyWindow() = 0;
    // Releases what the backend holds for the session; a message box still waited for on
    // another thread returns as if closed.
    virtual void Shutdown() = 0;

    // The whole status text: the backend shows it on one or two lines (the window grows for
    // the second) and cuts only what still does not fit (FitWindowText).
    virtual void SetStatusText(const wchar16 *pwchStatus) = 0;
    // The window's thread, in answer to OnCancelRequested: shows the text as the status at
    // once and disables Cancel.
    virtual void ShowStopping(const wchar16 *pwchStatus) = 0;
    // Turns the bar's indeterminate (marquee) style on or off.
    virtual void SetMarqueeStyle(bool bMarquee) = 0;
    // Starts (or keeps running) the marquee animation.
    virtual void StartMarquee() = 0;
    virtual void SetProgressPosition(int nPercent) = 0;

    // Modal message box in front of everything, owned by the window: an error icon and OK.
    virtual void ShowErrorBox(const wchar16 *pwchTitle, const wchar16 *pwchText) = 0;
    // Modal message box owned by the window: a warning icon, OK and Cancel, Cancel the
    // default. True when OK was chosen.
    virtual bool BAskOKCancel(const wchar16 *pwchTitle, const wchar16 *pwchText) = 0;

    // Waits for the next message or event of this thread (at most about 20 ms while the
    // window exists, thanks to its timer), then handles it and every other one already
    // waiting (a bounded number): a redraw is never left for a later pass.
    virtual void RunMessages() = 0;
    // Ends the wait of RunMessages early (or that of the next one). Any thread. A backend
    // whose wait the window's timer bounds anyway may leave it out.
    virtual void WakeMessageWait() {}

    // The connection to the display was lost (the X server went away): nothing is shown any
    // more, and the owner says what it has to say elsewhere.
    virtual bool BDisplayLost() = 0;
};

// The backend of this build. The caller owns it.
IWindowBackend *CreateWindowBackend();

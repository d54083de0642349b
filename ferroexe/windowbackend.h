// IWindowBackend: the toolkit half of the progress window. CWin32UpdateUI decides what the
// window shows (texts, the 50-character status line, when the bar turns indeterminate,
// message box titles, the cancelled flag); a backend only puts it on the screen.
//
// One backend is built into each executable: Win32 (windowbackend_win32.cpp) on Windows,
// GTK 3 (windowbackend_gtk.cpp) on Linux. CreateWindowBackend returns it.
//
// Threads: the thread that calls BIsAvailable / BRegisterWindowClass and BCreateWindow
// owns the window and must be the one that calls RunOneMessage (the main thread). The
// display operations (CentreAndShow, SetStatusText, the progress calls, the message boxes)
// may also come from another thread (the updater's); each backend makes that safe in its
// own way. A message box asked for by another thread blocks that thread only.
//
// Texts are NUL-terminated UTF-16.
#pragma once

#include "foundation/basetypes.h"

// What the window tells its owner. Called on the window's thread, from RunOneMessage (or
// from the nested wait of a message box).
class IWindowBackendEvents
{
public:
    // The Cancel button was pressed, or the window's close box was used.
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
    // Creates the hidden window, 400 x 129, with its heading, progress bar (range 0..100),
    // status label and Cancel button, and starts the 20 ms timer that bounds the wait of
    // RunOneMessage. True when the font, the Cancel button and the progress bar exist.
    virtual bool BCreateWindow(const wchar16 *pwchTitle, const wchar16 *pwchHeading,
                               IWindowBackendEvents *pEvents) = 0;
    // Centres the window on its monitor (the primary monitor when that is unknown) and shows
    // it with the show command of the process entry.
    virtual void CentreAndShow(int nShowCommand) = 0;
    // Destroys the window; does nothing when there is none.
    virtual void DestroyWindow() = 0;
    // Releases what the backend holds for the session; a message box still waited for on
    // another thread returns as if closed.
    virtual void Shutdown() = 0;

    virtual void SetStatusText(const wchar16 *pwchStatus) = 0;
    // Turns the bar's indeterminate (marquee) style on or off.
    virtual void SetMarqueeStyle(bool bMarquee) = 0;
    // Starts (or keeps running) the marquee animation.
    virtual void StartMarquee() = 0;
    virtual void SetProgressPosition(int nPercent) = 0;

    // Modal message box owned by the window: an error icon and OK.
    virtual void ShowErrorBox(const wchar16 *pwchTitle, const wchar16 *pwchText) = 0;
    // Modal message box owned by the window: a warning icon, OK and Cancel, Cancel the
    // default. True when OK was chosen.
    virtual bool BAskOKCancel(const wchar16 *pwchTitle, const wchar16 *pwchText) = 0;

    // Waits for the next message or event of this thread (at most about 20 ms while the
    // window exists, thanks to its timer) and handles it.
    virtual void RunOneMessage() = 0;
};

// The backend of this build. The caller owns it.
IWindowBackend *CreateWindowBackend();

// CDeferredWindowBackend: a window backend that loads the real one (the toolkit) only when
// the window is to be seen. A start that finds the installation intact never shows its
// window, and a run with "-textclient" never uses it: neither loads the toolkit nor waits
// for it to start.
//
// Until then it keeps what the window would show (its texts, the last status line, the
// bar) and its RunMessages is a plain wait that WakeMessageWait ends. The owner's thread
// (the one that called BCreateWindow, the main thread) loads the real backend in its own
// calls: at once when it asks for the window or a message box itself, in its next
// RunMessages when another thread (the updater's) asked, which waits for that meanwhile.
// The real backend then gets the window with everything kept, and every later call.
// A backend that cannot be loaded, or has no display, counts as a lost display: the owner
// of the UI says elsewhere what the window would have said.
#pragma once

#include "ferroexe/windowbackend.h"
#include "foundation/threadtools.h"
#include "foundation/utlstring.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class CDeferredWindowBackend : public IWindowBackend
{
public:
    // Whether a window may be shown at all, answered without loading anything.
    typedef std::function<bool()> FnMayShow_t;
    // Loads the real backend (owned by the caller from then on), or null with the reason.
    typedef std::function<IWindowBackend *(CUtlString *pstrError)> FnLoad_t;

    CDeferredWindowBackend(FnMayShow_t fnMayShow, FnLoad_t fnLoad);
    ~CDeferredWindowBackend() override;

    // Whether the real backend was loaded (tests; the time of a start depends on it).
    bool BLoaded();

    bool BIsAvailable() override;
    bool BRegisterWindowClass(void *hInstance) override;
    bool BCreateWindow(const WindowTexts_t &texts, IWindowBackendEvents *pEvents) override;
    void CentreAndShow(int nShowCommand) override;
    void DestroyWindow() override;
    void Shutdown() override;
    void SetStatusText(const wchar16 *pwchStatus) override;
    void ShowStopping(const wchar16 *pwchStatus) override;
    void SetMarqueeStyle(bool bMarquee) override;
    void StartMarquee() override;
    void SetProgressPosition(int nPercent) override;
    void ShowErrorBox(const wchar16 *pwchTitle, const wchar16 *pwchText) override;
    bool BAskOKCancel(const wchar16 *pwchTitle, const wchar16 *pwchText) override;
    void RunMessages() override;
    void WakeMessageWait() override;
    bool BDisplayLost() override;

private:
    // What the window would show, kept until the real backend has it.
    struct Kept_t
    {
        std::u16string strTitle, strHeading, strCancel;
        bool bWindow = false; // BCreateWindow was called and the window not destroyed since
        bool bShow = false;
        int nShowCommand = 1;
        bool bStatus = false;
        std::u16string strStatus;
        bool bMarqueeKnown = false;
        bool bMarquee = false;
        bool bPosition = false;
        int nPosition = 0;
    };

    bool BOnOwnerThread() const { return std::this_thread::get_id() == m_idOwner; }
    // The real backend, or null while it is not loaded. Records the change when it is not.
    template <typename FnKeep>
    IWindowBackend *InnerOrKeep(FnKeep fnKeep);
    // The owner's thread: loads the real backend and hands it what was kept; true when it is
    // there (now or before).
    bool BLoadOnOwnerThread();
    bool BStartInner(IWindowBackend *pInner);
    // The real backend for a message box, loaded by the owner (waited for on another
    // thread); null when there is none (then the box is written to the diagnostics).
    IWindowBackend *InnerForMessageBox();

    FnMayShow_t m_fnMayShow;
    FnLoad_t m_fnLoad;
    std::thread::id m_idOwner;
    void *m_hInstance = nullptr;
    IWindowBackendEvents *m_pEvents = nullptr;
    CThreadEvent m_WakeEvent; // auto-reset: ends the wait of RunMessages

    std::mutex m_Mutex;
    std::condition_variable m_cvLoaded;
    std::unique_ptr<IWindowBackend> m_pInner; // set once, under m_Mutex
    bool m_bLoadFailed = false;
    bool m_bLoadWanted = false; // another thread waits for the real backend
    Kept_t m_Kept;
};

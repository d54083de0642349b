#include "ferroexe/windowbackend_deferred.h"

#include "foundation/dbg.h"
#include "foundation/strtools.h"

namespace
{
// The wait of one RunMessages while there is no window: as long as the window's timer
// would let it wait.
const uint32 k_msMessageWait = 20;

std::u16string Copy(const wchar16 *pwch)
{
    return pwch ? std::u16string(pwch) : std::u16string();
}

std::string Narrow(const wchar16 *pwch)
{
    char rgch[2048];
    Q_UnicodeToUTF8(pwch ? pwch : u"", rgch, sizeof(rgch));
    return rgch;
}
} // namespace

CDeferredWindowBackend::CDeferredWindowBackend(FnMayShow_t fnMayShow, FnLoad_t fnLoad)
    : m_fnMayShow(std::move(fnMayShow)), m_fnLoad(std::move(fnLoad)), m_idOwner(std::this_thread::get_id())
{
}

CDeferredWindowBackend::~CDeferredWindowBackend()
{
    DestroyWindow();
}

bool CDeferredWindowBackend::BLoaded()
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_pInner != nullptr;
}

template <typename FnKeep>
IWindowBackend *CDeferredWindowBackend::InnerOrKeep(FnKeep fnKeep)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (!m_pInner)
        fnKeep(m_Kept);
    return m_pInner.get();
}

bool CDeferredWindowBackend::BIsAvailable()
{
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_bLoadFailed)
            return false;
        if (m_pInner)
            return m_pInner->BIsAvailable();
    }
    return m_fnMayShow();
}

bool CDeferredWindowBackend::BRegisterWindowClass(void *hInstance)
{
    m_hInstance = hInstance;
    return BIsAvailable();
}

bool CDeferredWindowBackend::BCreateWindow(const WindowTexts_t &texts, IWindowBackendEvents *pEvents)
{
    m_idOwner = std::this_thread::get_id();
    m_pEvents = pEvents;
    IWindowBackend *pInner = InnerOrKeep(
        [&](Kept_t &kept)
        {
            kept.strTitle = Copy(texts.m_pwchTitle);
            kept.strHeading = Copy(texts.m_pwchHeading);
            kept.strCancel = Copy(texts.m_pwchCancel);
            kept.bWindow = true;
        });
    return pInner ? pInner->BCreateWindow(texts, pEvents) : true;
}

void CDeferredWindowBackend::CentreAndShow(int nShowCommand)
{
    IWindowBackend *pInner = InnerOrKeep(
        [&](Kept_t &kept)
        {
            kept.bShow = true;
            kept.nShowCommand = nShowCommand;
        });
    if (pInner)
        return pInner->CentreAndShow(nShowCommand);
    // The window is to be seen now: the owner loads the toolkit, at once or in its next
    // RunMessages.
    if (BOnOwnerThread())
        BLoadOnOwnerThread();
    else
        m_WakeEvent.Set();
}

void CDeferredWindowBackend::DestroyWindow()
{
    IWindowBackend *pInner = InnerOrKeep(
        [](Kept_t &kept)
        {
            kept.bWindow = false;
            kept.bShow = false;
        });
    {
        // Nobody loads the toolkit for a window that is gone: a thread waiting for it stops.
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_bLoadWanted = false;
    }
    m_cvLoaded.notify_all();
    if (pInner && BOnOwnerThread())
        pInner->DestroyWindow();
}

void CDeferredWindowBackend::Shutdown()
{
    DestroyWindow();
    if (IWindowBackend *pInner = InnerOrKeep([](Kept_t &) {}))
        pInner->Shutdown();
}

void CDeferredWindowBackend::SetStatusText(const wchar16 *pwchStatus)
{
    IWindowBackend *pInner = InnerOrKeep(
        [&](Kept_t &kept)
        {
            kept.bStatus = true;
            kept.strStatus = Copy(pwchStatus);
        });
    if (pInner)
        pInner->SetStatusText(pwchStatus);
}

void CDeferredWindowBackend::ShowStopping(const wchar16 *pwchStatus)
{
    // Only a window on the screen has a Cancel button to answer.
    if (IWindowBackend *pInner = InnerOrKeep([](Kept_t &) {}))
        pInner->ShowStopping(pwchStatus);
}

void CDeferredWindowBackend::SetMarqueeStyle(bool bMarquee)
{
    IWindowBackend *pInner = InnerOrKeep(
        [&](Kept_t &kept)
        {
            kept.bMarqueeKnown = true;
            kept.bMarquee = bMarquee;
        });
    if (pInner)
        pInner->SetMarqueeStyle(bMarquee);
}

void CDeferredWindowBackend::StartMarquee()
{
    IWindowBackend *pInner = InnerOrKeep(
        [](Kept_t &kept)
        {
            kept.bMarqueeKnown = true;
            kept.bMarquee = true;
        });
    if (pInner)
        pInner->StartMarquee();
}

void CDeferredWindowBackend::SetProgressPosition(int nPercent)
{
    IWindowBackend *pInner = InnerOrKeep(
        [&](Kept_t &kept)
        {
            kept.bPosition = true;
            kept.nPosition = nPercent;
        });
    if (pInner)
        pInner->SetProgressPosition(nPercent);
}

IWindowBackend *CDeferredWindowBackend::InnerForMessageBox()
{
    if (BOnOwnerThread())
        return BLoadOnOwnerThread() ? m_pInner.get() : nullptr;
    std::unique_lock<std::mutex> lock(m_Mutex);
    if (!m_pInner && !m_bLoadFailed && m_Kept.bWindow)
    {
        // The owner loads it in its next RunMessages; a window destroyed meanwhile ends the
        // wait (the owner's loop is over then).
        m_bLoadWanted = true;
        m_WakeEvent.Set();
        m_cvLoaded.wait(lock, [&]() { return m_pInner || m_bLoadFailed || !m_bLoadWanted; });
    }
    return m_pInner.get();
}

void CDeferredWindowBackend::ShowErrorBox(const wchar16 *pwchTitle, const wchar16 *pwchText)
{
    if (IWindowBackend *pInner = InnerForMessageBox())
        return pInner->ShowErrorBox(pwchTitle, pwchText);
    Msg("%s: %s\n", Narrow(pwchTitle).c_str(), Narrow(pwchText).c_str());
}

bool CDeferredWindowBackend::BAskOKCancel(const wchar16 *pwchTitle, const wchar16 *pwchText)
{
    if (IWindowBackend *pInner = InnerForMessageBox())
        return pInner->BAskOKCancel(pwchTitle, pwchText);
    // Nobody can answer: Cancel.
    Msg("%s: %s\n", Narrow(pwchTitle).c_str(), Narrow(pwchText).c_str());
    return false;
}

void CDeferredWindowBackend::RunMessages()
{
    if (!BOnOwnerThread())
        return;
    bool bLoad = false;
    IWindowBackend *pInner = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        pInner = m_pInner.get();
        bLoad = !pInner && !m_bLoadFailed && (m_Kept.bShow || m_bLoadWanted);
    }
    if (pInner)
        return pInner->RunMessages();
    if (bLoad)
    {
        BLoadOnOwnerThread();
        return;
    }
    m_WakeEvent.Wait(k_msMessageWait);
}

void CDeferredWindowBackend::WakeMessageWait()
{
    m_WakeEvent.Set();
    if (IWindowBackend *pInner = InnerOrKeep([](Kept_t &) {}))
        pInner->WakeMessageWait();
}

bool CDeferredWindowBackend::BDisplayLost()
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_bLoadFailed || (m_pInner && m_pInner->BDisplayLost());
}

bool CDeferredWindowBackend::BLoadOnOwnerThread()
{
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_pInner || m_bLoadFailed)
            return m_pInner != nullptr;
    }
    CUtlString strError;
    IWindowBackend *pInner = m_fnLoad(&strError);
    if (!pInner || !BStartInner(pInner))
    {
        if (pInner)
            strError = "no display";
        Msg("The progress window cannot be shown (%s)\n", strError.Get());
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_bLoadFailed = true;
        m_cvLoaded.notify_all();
        delete pInner;
        return false;
    }
    return true;
}

bool CDeferredWindowBackend::BStartInner(IWindowBackend *pInner)
{
    if (!pInner->BIsAvailable() || !pInner->BRegisterWindowClass(m_hInstance))
        return false;
    // Under the lock from here: a change another thread makes meanwhile must come after
    // what was kept, not before it.
    std::lock_guard<std::mutex> lock(m_Mutex);
    const Kept_t &kept = m_Kept;
    if (kept.bWindow)
    {
        WindowTexts_t texts = {kept.strTitle.c_str(), kept.strHeading.c_str(), kept.strCancel.c_str()};
        if (!pInner->BCreateWindow(texts, m_pEvents))
        {
            pInner->DestroyWindow();
            return false;
        }
        if (kept.bStatus)
            pInner->SetStatusText(kept.strStatus.c_str());
        if (kept.bMarqueeKnown)
            pInner->SetMarqueeStyle(kept.bMarquee);
        if (kept.bMarqueeKnown && kept.bMarquee)
            pInner->StartMarquee();
        else if (kept.bPosition)
            pInner->SetProgressPosition(kept.nPosition);
        if (kept.bShow)
            pInner->CentreAndShow(kept.nShowCommand);
    }
    m_pInner.reset(pInner);
    m_bLoadWanted = false;
    m_cvLoaded.notify_all();
    return true;
}

#include "foundation/thread.h"

#include "foundation/dbg.h"

CThread::CThread() {}

CThread::~CThread()
{
    if (m_bRunning.load() && !BIsCurrentThread())
    {
        if (!Join(10000))
            AssertFailedV("CThread \"%s\" destroyed while its thread still runs", m_strName.c_str());
    }
    ReleaseHandle();
}

bool CThread::IsAlive()
{
    return m_bRunning.load() && m_unExitCode.load() == k_unStillActive;
}

bool CThread::BIsCurrentThread() const
{
    return m_bRunning.load() && m_unThreadId.load() == PLAT_GetCurrentThreadId();
}

void CThread::ReleaseHandle()
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_hThread)
    {
        PLAT_CloseThread(m_hThread);
        m_hThread = nullptr;
    }
}

bool CThread::Start(uint32 cubStack)
{
    if (IsAlive())
        return false;
    // A finished earlier run still holds its handle: collect it before starting anew.
    if (m_hThread)
    {
        PLAT_WaitForThread(m_hThread, INFINITE_WAIT);
        ReleaseHandle();
    }
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_unExitCode.store(k_unStillActive);
    m_bRunning.store(true);
    uint32 unThreadId = 0;
    if (!PLAT_CreateThread(GetThreadProc(), this, cubStack, &m_hThread, &unThreadId))
    {
        m_hThread = nullptr;
        m_bRunning.store(false);
        m_unExitCode.store(0);
        return false;
    }
    return true;
}

bool CThread::Join(uint32 unMilliseconds)
{
    if (BIsCurrentThread())
        return false;
    // The lock is held through the wait so that a Start or the destructor on another thread
    // cannot close the handle under it.
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (!m_hThread)
        return true;
    return PLAT_WaitForThread(m_hThread, unMilliseconds);
}

void CThread::SetName(const char *pchName)
{
    m_strName = pchName ? pchName : "";
    if (BIsCurrentThread())
        PLAT_SetCurrentThreadName(m_strName.c_str());
}

uint32 CThread::ThreadProc(void *pvThis)
{
    CThread *pThis = static_cast<CThread *>(pvThis);
    pThis->m_unThreadId.store(PLAT_GetCurrentThreadId());
    if (!pThis->m_strName.empty())
        PLAT_SetCurrentThreadName(pThis->m_strName.c_str());
    uint32 unResult = 0;
    if (pThis->Init())
    {
        unResult = (uint32)pThis->Run();
        pThis->OnExit();
    }
    // A Run that returns the still-active code would look alive forever.
    if (unResult == k_unStillActive)
        unResult = 0;
    pThis->m_unExitCode.store(unResult);
    pThis->m_bRunning.store(false);
    return unResult;
}

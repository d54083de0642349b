#include "foundation/threadtools.h"

#include "foundation/clock.h"

#include <chrono>

void CThreadEvent::Set()
{
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_bSignalled = true;
    }
    if (m_bManualReset)
        m_Cond.notify_all();
    else
        m_Cond.notify_one();
}

void CThreadEvent::Reset()
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_bSignalled = false;
}

bool CThreadEvent::BIsSignalled()
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_bSignalled;
}

bool CThreadEvent::Wait(uint32 unMilliseconds)
{
    std::unique_lock<std::mutex> lock(m_Mutex);
    auto fnTake = [this]() {
        if (!m_bSignalled)
            return false;
        if (!m_bManualReset)
            m_bSignalled = false;
        return true;
    };

    if (unMilliseconds == INFINITE_WAIT)
    {
        m_Cond.wait(lock, [this]() { return m_bSignalled; });
        return fnTake();
    }

    IClock *pClock = GetClock();
    if (!pClock->BIsManual())
    {
        m_Cond.wait_for(lock, std::chrono::milliseconds(unMilliseconds), [this]() { return m_bSignalled; });
        return fnTake();
    }

    // Manual clock: the wait ends when the clock passes its end; look at it every real millisecond.
    uint64 unEnd = Clock_GetMicroseconds() + (uint64)unMilliseconds * 1000;
    for (;;)
    {
        if (fnTake())
            return true;
        if (Clock_GetMicroseconds() >= unEnd)
            return false;
        m_Cond.wait_for(lock, std::chrono::milliseconds(1));
    }
}

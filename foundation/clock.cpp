#include "foundation/clock.h"

#include "foundation/platform/thread.h"
#include "foundation/platform/time.h"

namespace
{
class CRealClock : public IClock
{
public:
    uint64 GetTicks() override { return PLAT_GetHighResTicks(); }
    uint64 GetTicksPerSecond() override { return PLAT_GetHighResTicksPerSecond(); }
    void Sleep(uint32 unMilliseconds) override { PLAT_Sleep(unMilliseconds); }
    bool BIsManual() const override { return false; }
    int64 GetSecondsSince1970() override { return PLAT_GetSecondsSince1970(); }
};

CRealClock g_RealClock;
std::atomic<IClock *> g_pClock{&g_RealClock};
} // namespace

IClock *GetClock()
{
    return g_pClock.load(std::memory_order_acquire);
}

IClock *SetClock(IClock *pClock)
{
    IClock *pPrevious = g_pClock.exchange(pClock ? pClock : &g_RealClock, std::memory_order_acq_rel);
    return pPrevious == &g_RealClock ? nullptr : pPrevious;
}

uint64 Clock_TicksToMicroseconds(uint64 unTicks)
{
    uint64 unFreq = Clock_GetTicksPerSecond();
    if (unFreq == 1000000)
        return unTicks;
    // Split so that the multiplication cannot overflow for counters of any age.
    return (unTicks / unFreq) * 1000000 + (unTicks % unFreq) * 1000000 / unFreq;
}

uint64 Clock_MicrosecondsToTicks(uint64 unMicroseconds)
{
    uint64 unFreq = Clock_GetTicksPerSecond();
    if (unFreq == 1000000)
        return unMicroseconds;
    return (unMicroseconds / 1000000) * unFreq + (unMicroseconds % 1000000) * unFreq / 1000000;
}

void CManualClock::Sleep(uint32 unMilliseconds)
{
    if (m_eSleepMode.load() == k_ESleepAdvances)
    {
        Advance((uint64)unMilliseconds * 1000);
        PLAT_Sleep(0);
        return;
    }
    uint64 unEnd = m_unMicroseconds.load() + (uint64)unMilliseconds * 1000;
    if (unMilliseconds == 0)
    {
        PLAT_Sleep(0);
        return;
    }
    while (m_unMicroseconds.load() < unEnd && m_eSleepMode.load() == k_ESleepWaitsForAdvance)
        PLAT_Sleep(1);
}

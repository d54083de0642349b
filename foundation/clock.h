// The one clock of the core: high-resolution ticks, the scheduler's microseconds, sleeps,
// timed waits and the calendar time that signed dates are compared with all read it. The real clock reads the
// platform's monotonic counter; tests install a CManualClock and move time by hand, so no test waits for a
// real time-out.
#pragma once

#include "foundation/basetypes.h"

#include <atomic>

class IClock
{
public:
    virtual ~IClock() {}
    virtual uint64 GetTicks() = 0;
    virtual uint64 GetTicksPerSecond() = 0;
    // Sleeps the calling thread for the given time on this clock; 0 yields the processor.
    virtual void Sleep(uint32 unMilliseconds) = 0;
    virtual bool BIsManual() const = 0;
    // Whole seconds since 1970-01-01 00:00 UTC. Unlike the ticks it may jump either way
    // when the user or the system sets the clock.
    virtual int64 GetSecondsSince1970() = 0;
};

// The installed clock (the real one unless a test installed another).
IClock *GetClock();
// Installs a clock (null: the real one again) and returns the previous one. The caller
// keeps ownership; install before starting the threads that read it.
IClock *SetClock(IClock *pClock);

inline uint64 Clock_GetTicks()
{
    return GetClock()->GetTicks();
}
inline uint64 Clock_GetTicksPerSecond()
{
    return GetClock()->GetTicksPerSecond();
}
inline int64 Clock_GetSecondsSince1970()
{
    return GetClock()->GetSecondsSince1970();
}
inline void Clock_Sleep(uint32 unMilliseconds)
{
    GetClock()->Sleep(unMilliseconds);
}
// Tick differences to microseconds and back, without overflow for any realistic span.
uint64 Clock_TicksToMicroseconds(uint64 unTicks);
uint64 Clock_MicrosecondsToTicks(uint64 unMicroseconds);
// Microseconds since an arbitrary start: the scheduler's current time.
inline uint64 Clock_GetMicroseconds()
{
    return Clock_TicksToMicroseconds(Clock_GetTicks());
}

// A clock that moves only when told to. Ticks are microseconds; the calendar time moves with
// them from k_nManualClockStartSeconds (or where SetSecondsSince1970 put it). Thread-safe.
class CManualClock : public IClock
{
public:
    enum ESleepMode
    {
        k_ESleepWaitsForAdvance, // Sleep returns once another thread has advanced the clock past its end
        k_ESleepAdvances,        // Sleep advances the clock itself and returns at once
    };

    explicit CManualClock(uint64 unStartMicroseconds = 1000000, ESleepMode eMode = k_ESleepWaitsForAdvance)
        : m_unMicroseconds(unStartMicroseconds), m_eSleepMode(eMode)
    {
    }

    uint64 GetTicks() override { return m_unMicroseconds.load(); }
    uint64 GetTicksPerSecond() override { return 1000000; }
    void Sleep(uint32 unMilliseconds) override;
    bool BIsManual() const override { return true; }
    int64 GetSecondsSince1970() override
    {
        return m_nCalendarOffsetSeconds.load() + (int64)(m_unMicroseconds.load() / 1000000);
    }
    // The calendar time now is nSeconds; ticks stay where they are.
    void SetSecondsSince1970(int64 nSeconds)
    {
        m_nCalendarOffsetSeconds.store(nSeconds - (int64)(m_unMicroseconds.load() / 1000000));
    }
    // 2026-05-28 09:46:40 UTC: a plausible present for the calendar time of tests.
    static const int64 k_nManualClockStartSeconds = 1780000000;

    void Advance(uint64 unMicroseconds) { m_unMicroseconds.fetch_add(unMicroseconds); }
    void AdvanceMilliseconds(uint64 unMilliseconds) { Advance(unMilliseconds * 1000); }
    // Moves the clock to a value, backwards too (for the code that guards against a clock
    // that jumps back).
    void Set(uint64 unMicroseconds) { m_unMicroseconds.store(unMicroseconds); }

private:
    std::atomic<uint64> m_unMicroseconds;
    std::atomic<ESleepMode> m_eSleepMode;
    std::atomic<int64> m_nCalendarOffsetSeconds{k_nManualClockStartSeconds};
};

// Installs a manual clock for the lifetime of a scope (tests).
class CScopedManualClock
{
public:
    explicit CScopedManualClock(CManualClock::ESleepMode eMode = CManualClock::k_ESleepWaitsForAdvance)
        : m_Clock(1000000, eMode), m_pPrevious(SetClock(&m_Clock))
    {
    }
    ~CScopedManualClock() { SetClock(m_pPrevious); }
    CManualClock &Clock() { return m_Clock; }
    CManualClock *operator->() { return &m_Clock; }

private:
    CManualClock m_Clock;
    IClock *m_pPrevious;
};

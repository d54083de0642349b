// The limit timer that bounds one call of a frame function, and the frame types.
//
// A limit timer holds a start and an end tick on the clock's high-resolution ticks. It is
// used on one thread (the frame loop's); nothing here is locked.
#pragma once

#include "foundation/basetypes.h"
#include "foundation/clock.h"

// The passes of the frame loop. Every frame function of the launcher runs in the main
// pass; the main flow runs the main pass and then the late one.
enum EFrameType
{
    k_EFrameTypeEarly = 0,
    k_EFrameTypeMain = 1,
    k_EFrameTypeLate = 2,
    k_EFrameTypeMax = 3,
};

class CLimitTimer
{
public:
    CLimitTimer() {}

    // Starts now and ends unMicroseconds later.
    void SetLimit(uint64 unMicroseconds)
    {
        m_unTickStart = Clock_GetTicks();
        m_unTickEnd = m_unTickStart + Clock_MicrosecondsToTicks(unMicroseconds);
    }

    // True once the clock is at or past the end. A clock that reads earlier than the start
    // has jumped back: start and end move back by the jump, so the limit is still reached
    // (at most the whole limit later) instead of never.
    bool BLimitReached() const { return Now() >= m_unTickEnd; }

    // Microseconds until the end (0 once reached).
    uint64 GetMicrosecondsLeft() const
    {
        uint64 unNow = Now();
        return unNow >= m_unTickEnd ? 0 : Clock_TicksToMicroseconds(m_unTickEnd - unNow);
    }

    uint64 GetStartTick() const { return m_unTickStart; }
    uint64 GetEndTick() const { return m_unTickEnd; }

private:
    uint64 Now() const
    {
        uint64 unNow = Clock_GetTicks();
        if (unNow < m_unTickStart)
        {
            uint64 unJump = m_unTickStart - unNow;
            m_unTickStart = unNow;
            m_unTickEnd -= unJump; // cannot wrap: the end is never before the start
        }
        return unNow;
    }

    mutable uint64 m_unTickStart = 0;
    mutable uint64 m_unTickEnd = 0;
};

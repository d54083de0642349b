#include "http/httplowspeed.h"

void CLowSpeedWatch::Start(uint64 usNow, uint32 cubPerSecond, uint32 unWindowSeconds)
{
    m_cubPerSecond = cubPerSecond;
    m_usWindow = (uint64)unWindowSeconds * 1000000;
    m_usWindowStart = usNow;
    m_cubInWindow = 0;
}

bool CLowSpeedWatch::BTooSlow(uint64 usNow)
{
    if (!BActive())
        return false;
    if (usNow < m_usWindowStart)
        m_usWindowStart = usNow; // a clock that went back starts the window again
    if (usNow - m_usWindowStart < m_usWindow)
        return false;
    const uint64 cubNeeded = (uint64)m_cubPerSecond * (m_usWindow / 1000000);
    if (m_cubInWindow < cubNeeded)
        return true;
    m_usWindowStart = usNow;
    m_cubInWindow = 0;
    return false;
}

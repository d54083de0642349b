// CLowSpeedWatch: tells when a transfer trickles. Every byte re-arms the network time-out,
// so a peer that sends one byte a second keeps a request alive for hours; this watch fails
// it instead when a whole window passes with fewer bytes than the minimum rate asks for.
// Windows follow each other from the start of the request (headers count as bytes), so a
// transfer that stops after a good start is caught within two windows.
//
// Times are the caller's (microseconds of the scheduler's clock): tests give any they like.
#pragma once

#include "foundation/basetypes.h"

class CLowSpeedWatch
{
public:
    // Starts watching at usNow; a zero rate or window watches nothing.
    void Start(uint64 usNow, uint32 cubPerSecond, uint32 unWindowSeconds);
    void Stop() { m_cubPerSecond = 0; }
    bool BActive() const { return m_cubPerSecond != 0 && m_usWindow != 0; }
    void OnBytes(uint64 cubReceived) { m_cubInWindow += cubReceived; }
    // True when a window ended by usNow carried fewer bytes than the rate times the window;
    // otherwise a window that ended starts the next one.
    bool BTooSlow(uint64 usNow);

private:
    uint32 m_cubPerSecond = 0;
    uint64 m_usWindow = 0;
    uint64 m_usWindowStart = 0;
    uint64 m_cubInWindow = 0;
};

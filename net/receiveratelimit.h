// The limit on how fast the process receives over TCP, for all connections together: a
// token bucket that starts empty, refills at the limit and holds at most a quarter second
// of it, so any few seconds stay within a few percent of the limit while a reader that was
// held back still gets whole reads. A connection reads no more than the bucket allows and leaves the
// rest in the socket, where TCP's flow control slows the sender down.
//
// CReceiveRateLimiter is the bucket itself, on times given by the caller (tests drive it
// with any times they like). The process-wide one is used by CTCPConnection on the main
// thread; its limit may be set from any thread.
#pragma once

#include "foundation/basetypes.h"

#include <mutex>

class CReceiveRateLimiter
{
public:
    // Bytes per second; 0 is no limit. The bucket starts empty.
    void SetLimit(uint64 cubPerSecond, uint64 usNow);
    uint64 GetLimit() const { return m_cubPerSecond; }
    // Bytes that may be received now (UINT64_MAX without a limit).
    uint64 CubAllowed(uint64 usNow);
    // Bytes that were received.
    void Consume(uint64 cubReceived);

private:
    void Refill(uint64 usNow);

    uint64 m_cubPerSecond = 0;
    uint64 m_cubTokens = 0;
    uint64 m_usLastRefill = 0;
    // Part of a byte left over from the last refill, in bytes times microseconds.
    uint64 m_ulRemainder = 0;
};

// The process-wide limit of TCP receives (bytes per second, 0 for none). Any thread.
void NetSetReceiveRateLimit(uint64 cubPerSecond);
uint64 NetGetReceiveRateLimit();
// What a connection may read now, and what it read (main thread).
uint64 NetReceiveAllowance();
void NetConsumeReceiveAllowance(uint64 cubReceived);

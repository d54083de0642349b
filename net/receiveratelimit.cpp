#include "net/receiveratelimit.h"

#include "foundation/clock.h"

#include <cstdint>

namespace
{
const uint64 k_usPerSecond = 1000000;
// The bucket holds this part of a second of the limit: small enough that a burst stays
// within a few percent over seconds, large enough for a full socket read at usual limits.
const uint64 k_nBurstDivisor = 4;
// A limit of a few bytes a second still moves.
const uint64 k_cubMinBurst = 1;

uint64 BurstOf(uint64 cubPerSecond)
{
    uint64 cubBurst = cubPerSecond / k_nBurstDivisor;
    return cubBurst < k_cubMinBurst ? k_cubMinBurst : cubBurst;
}

std::mutex g_RateLimitMutex;
CReceiveRateLimiter g_ReceiveRateLimiter;
} // namespace

void CReceiveRateLimiter::SetLimit(uint64 cubPerSecond, uint64 usNow)
{
    m_cubPerSecond = cubPerSecond;
    // Empty at first: a burst at the start would count against the first seconds.
    m_cubTokens = 0;
    m_usLastRefill = usNow;
    m_ulRemainder = 0;
}

void CReceiveRateLimiter::Refill(uint64 usNow)
{
    if (usNow <= m_usLastRefill)
    {
        m_usLastRefill = usNow < m_usLastRefill ? usNow : m_usLastRefill; // a clock that went back
        return;
    }
    uint64 usElapsed = usNow - m_usLastRefill;
    m_usLastRefill = usNow;
    const uint64 cubBurst = BurstOf(m_cubPerSecond);
    if (usElapsed >= k_usPerSecond)
    {
        m_cubTokens = cubBurst;
        m_ulRemainder = 0;
        return;
    }
    // Below a second the product fits: limits are checked to stay far below 2^44.
    uint64 ulProduct = m_cubPerSecond * usElapsed + m_ulRemainder;
    m_ulRemainder = ulProduct % k_usPerSecond;
    m_cubTokens += ulProduct / k_usPerSecond;
    if (m_cubTokens > cubBurst)
        m_cubTokens = cubBurst;
}

uint64 CReceiveRateLimiter::CubAllowed(uint64 usNow)
{
    if (!m_cubPerSecond)
        return UINT64_MAX;
    Refill(usNow);
    return m_cubTokens;
}

void CReceiveRateLimiter::Consume(uint64 cubReceived)
{
    if (!m_cubPerSecond)
        return;
    m_cubTokens = cubReceived < m_cubTokens ? m_cubTokens - cubReceived : 0;
}

void NetSetReceiveRateLimit(uint64 cubPerSecond)
{
    std::lock_guard<std::mutex> lock(g_RateLimitMutex);
    g_ReceiveRateLimiter.SetLimit(cubPerSecond, Clock_GetMicroseconds());
}

uint64 NetGetReceiveRateLimit()
{
    std::lock_guard<std::mutex> lock(g_RateLimitMutex);
    return g_ReceiveRateLimiter.GetLimit();
}

uint64 NetReceiveAllowance()
{
    std::lock_guard<std::mutex> lock(g_RateLimitMutex);
    return g_ReceiveRateLimiter.CubAllowed(Clock_GetMicroseconds());
}

void NetConsumeReceiveAllowance(uint64 cubReceived)
{
    std::lock_guard<std::mutex> lock(g_RateLimitMutex);
    g_ReceiveRateLimiter.Consume(cubReceived);
}

// The receive limiter on times given by the test: a reader that takes everything it is
// allowed, polled at uneven intervals, stays within 10% of the limit over every 5-second
// window, and keeps moving under a tiny limit.
#include "net/receiveratelimit.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

TEST(ReceiveRateLimiter, EveryFiveSecondWindowStaysWithinTenPercent)
{
    for (uint64 cubPerSecond : {2048ull * 1024, 100ull * 1024, 1024ull, 400ull * 1024 * 1024})
    {
        SCOPED_TRACE(cubPerSecond);
        CReceiveRateLimiter limiter;
        limiter.SetLimit(cubPerSecond, 0);
        std::mt19937 rng(7);
        // Bytes taken per millisecond over 30 seconds, polls 1 to 20 ms apart, reads of at most
        // 256 KiB (a socket read).
        const uint64 cMs = 30000;
        std::vector<uint64> vecTaken(cMs + 1, 0);
        for (uint64 ms = 0; ms <= cMs; ms += 1 + rng() % 20)
        {
            uint64 cubAllowed = limiter.CubAllowed(ms * 1000);
            uint64 cubRead = cubAllowed < 256 * 1024 ? cubAllowed : 256 * 1024;
            limiter.Consume(cubRead);
            vecTaken[ms] += cubRead;
        }
        uint64 cubWindow = 0;
        for (uint64 ms = 0; ms <= cMs; ++ms)
        {
            cubWindow += vecTaken[ms];
            if (ms >= 5000)
                cubWindow -= vecTaken[ms - 5000];
            if (ms >= 5000)
            {
                ASSERT_LE(cubWindow, cubPerSecond * 5 * 11 / 10) << ms;
                // A limit above what the reads can carry is not reached: no lower bound then.
                if (cubPerSecond <= 10 * 1024 * 1024)
                {
                    ASSERT_GE(cubWindow, cubPerSecond * 5 * 9 / 10) << ms;
                }
            }
        }
    }
}

TEST(ReceiveRateLimiter, NoLimitAllowsEverythingAndALimitCanBeLifted)
{
    CReceiveRateLimiter limiter;
    EXPECT_EQ(UINT64_MAX, limiter.CubAllowed(0));
    limiter.SetLimit(1024, 0);
    EXPECT_EQ(0u, limiter.CubAllowed(0));
    EXPECT_EQ(128u, limiter.CubAllowed(125000));
    // The bucket holds a quarter second, however long the reader was away.
    EXPECT_EQ(256u, limiter.CubAllowed(10000000));
    limiter.Consume(100);
    EXPECT_EQ(156u, limiter.CubAllowed(10000000));
    limiter.SetLimit(0, 500000);
    EXPECT_EQ(UINT64_MAX, limiter.CubAllowed(500000));
}

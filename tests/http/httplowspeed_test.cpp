// The low-speed watch on times given by the test: a trickle fails at the end of its first
// window, a good transfer never does, a stop after a good start fails within two windows.
#include "http/httplowspeed.h"

#include <gtest/gtest.h>

namespace
{
const uint64 k_usSecond = 1000000;
} // namespace

TEST(LowSpeedWatch, TrickleFailsAtTheWindowAndAGoodPaceNever)
{
    // One byte a second against a minimum of 1024 per second over 60 seconds.
    CLowSpeedWatch watch;
    watch.Start(0, 1024, 60);
    uint64 usFailed = 0;
    for (uint64 s = 1; s <= 200 && !usFailed; ++s)
    {
        watch.OnBytes(1);
        if (watch.BTooSlow(s * k_usSecond))
            usFailed = s * k_usSecond;
    }
    EXPECT_EQ(60 * k_usSecond, usFailed);

    // Exactly the minimum every second, for ten windows: never too slow.
    watch.Start(0, 1024, 60);
    for (uint64 s = 1; s <= 600; ++s)
    {
        watch.OnBytes(1024);
        ASSERT_FALSE(watch.BTooSlow(s * k_usSecond)) << s;
    }

    // A fast start, then silence: caught by the end of the window after the one it stopped in.
    watch.Start(0, 1024, 60);
    watch.OnBytes(10 * 1024 * 1024);
    EXPECT_FALSE(watch.BTooSlow(30 * k_usSecond));
    EXPECT_FALSE(watch.BTooSlow(60 * k_usSecond));
    EXPECT_FALSE(watch.BTooSlow(119 * k_usSecond));
    EXPECT_TRUE(watch.BTooSlow(120 * k_usSecond));

    // Nothing watched without a rate or a window; a clock that goes back restarts the window.
    watch.Start(0, 0, 60);
    EXPECT_FALSE(watch.BTooSlow(1000 * k_usSecond));
    watch.Start(0, 1024, 0);
    EXPECT_FALSE(watch.BTooSlow(1000 * k_usSecond));
    watch.Start(100 * k_usSecond, 1024, 60);
    EXPECT_FALSE(watch.BTooSlow(50 * k_usSecond));
    EXPECT_FALSE(watch.BTooSlow(109 * k_usSecond));
    EXPECT_TRUE(watch.BTooSlow(110 * k_usSecond));
}

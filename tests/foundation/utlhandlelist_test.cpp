#include "foundation/utlhandlelist.h"

#include <gtest/gtest.h>

TEST(UtlHandleList, HandlesStayStableAndFreedOnesAreReused)
{
    CUtlHandleList<int> list;
    int32 hA = list.Add(10);
    int32 hB = list.Add(20);
    int32 hC = list.Add(30);
    EXPECT_EQ(0, hA);
    EXPECT_EQ(1, hB);
    EXPECT_EQ(2, hC);
    EXPECT_EQ(3, list.Count());

    // Freeing one leaves the others where they were.
    EXPECT_TRUE(list.Free(hB));
    EXPECT_FALSE(list.IsValidHandle(hB));
    EXPECT_FALSE(list.Free(hB));
    EXPECT_EQ(10, list[hA]);
    EXPECT_EQ(30, list[hC]);
    EXPECT_EQ(2, list.Count());

    // The most recently freed handle comes back first; the handle space does not grow.
    EXPECT_TRUE(list.Free(hA));
    EXPECT_EQ(hA, list.Add(40));
    EXPECT_EQ(hB, list.Add(50));
    EXPECT_EQ(3, list.MaxHandle());
    EXPECT_EQ(3, list.Add(60));
    EXPECT_EQ(40, list[hA]);
    EXPECT_EQ(50, list[hB]);

    EXPECT_FALSE(list.IsValidHandle(-1));
    EXPECT_FALSE(list.IsValidHandle(4));
    EXPECT_FALSE(list.Free(-1));
    list.RemoveAll();
    EXPECT_EQ(0, list.Count());
    EXPECT_FALSE(list.IsValidHandle(0));
    EXPECT_EQ(0, list.Add(70));
}

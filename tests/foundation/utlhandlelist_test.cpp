#include "foundation/utlhandlelist.h"

#include <gtest/gtest.h>

#include <vector>

namespace
{
std::vector<int> Values(const CUtlHandleList<int> &list)
{
    std::vector<int> vec;
    for (int h = list.Head(); h != list.InvalidIndex(); h = list.Next(h))
        vec.push_back(list[h]);
    return vec;
}
} // namespace

TEST(UtlHandleList, HandlesStayStableAndFreedOnesAreReused)
{
    CUtlHandleList<int> list(12);
    int hA = list.AddToTail(10);
    int hB = list.AddToTail(20);
    int hC = list.AddToTail(30);
    EXPECT_EQ(0, hA);
    EXPECT_EQ(1, hB);
    EXPECT_EQ(2, hC);
    EXPECT_EQ(3, list.Count());

    // Removing one leaves the others where they were, in order.
    list.Remove(hB);
    EXPECT_FALSE(list.IsValidIndex(hB));
    list.Remove(hB); // ignored
    EXPECT_EQ(2, list.Count());
    EXPECT_EQ((std::vector<int>{10, 30}), Values(list));
    EXPECT_EQ(30, list[hC]);

    // The most recently freed handle comes back first; the handle space does not grow.
    list.Remove(hA);
    EXPECT_EQ(hA, list.AddToTail(40));
    EXPECT_EQ(hB, list.AddToTail(50));
    EXPECT_EQ(3, list.AddToTail(60));
    EXPECT_EQ((std::vector<int>{30, 40, 50, 60}), Values(list));
    EXPECT_EQ(40, list[hA]);

    EXPECT_FALSE(list.IsValidIndex(-1));
    EXPECT_FALSE(list.IsValidIndex(4));
    list.Remove(-1);
    list.RemoveAll();
    EXPECT_EQ(0, list.Count());
    EXPECT_FALSE(list.IsValidIndex(0));
    EXPECT_EQ(0, list.AddToTail(70));
}

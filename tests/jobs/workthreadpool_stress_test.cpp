#include "foundation/clock.h"
#include "jobs/workthreadpool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace
{
std::atomic<int> g_cStressItemsDestroyed{0};
int g_cStressItemsDispatched = 0; // main thread only

// Processing writes data the item owns; the dispatch (main thread) checks it arrived whole.
class CStressItem : public CWorkItem
{
public:
    CStressItem(int nId, std::vector<int> *pvecDispatchCounts, std::vector<uint64> *pvecSequence)
        : m_nId(nId), m_pvecDispatchCounts(pvecDispatchCounts), m_pvecSequence(pvecSequence)
    {
    }
    ~CStressItem() override { ++g_cStressItemsDestroyed; }

    bool ThreadProcess(CWorkThread *) override
    {
        ++m_cProcessed;
        // A little work, so that the workers overlap.
        uint32 unHash = (uint32)m_nId;
        for (int i = 0; i < 200; ++i)
            unHash = unHash * 1664525u + 1013904223u;
        m_unHash = unHash;
        m_nResult = m_nId * 7 + 1;
        return true;
    }
    bool DispatchCompletedWorkItem(void *) override
    {
        ++(*m_pvecDispatchCounts)[(size_t)m_nId];
        ++g_cStressItemsDispatched;
        if (m_cProcessed != 1 || m_nResult != m_nId * 7 + 1)
            ++(*m_pvecDispatchCounts)[(size_t)m_nId]; // shows up as a count of 2 or more
        if (m_pvecSequence)
            m_pvecSequence->push_back(GetSequenceNumber());
        return true;
    }

    int m_nId;
    std::vector<int> *m_pvecDispatchCounts;
    std::vector<uint64> *m_pvecSequence;
    int m_cProcessed = 0;
    int m_nResult = 0;
    uint32 m_unHash = 0;
};

struct StressResult_t
{
    int m_cAdded = 0;
    int m_cDispatched = 0;
    int m_cThreads = 0; // when the producers were done
    double m_flSeconds = 0;
    bool m_bTimedOut = false;
};

// Producers add cItems items in all (each then drops its own reference: the pool keeps the
// item alive until its dispatch) while this thread dispatches. The producers also move the
// manual clock past the thread start spacing now and then, so that all threads start.
StressResult_t RunStress(CManualClock &clock, CWorkThreadPool &pool, int cProducers, int cItems,
                         std::vector<int> &vecDispatchCounts, std::vector<uint64> *pvecSequence)
{
    StressResult_t result;
    g_cStressItemsDispatched = 0;
    auto start = std::chrono::steady_clock::now();
    std::atomic<int> cAdded{0};
    std::vector<std::thread> vecProducers;
    for (int iProducer = 0; iProducer < cProducers; ++iProducer)
    {
        vecProducers.emplace_back(
            [&, iProducer]()
            {
                for (int i = iProducer; i < cItems; i += cProducers)
                {
                    if (i % 1000 == 0)
                        clock.Advance(CWorkThreadPool::k_unMicroSecThreadStartSpacing);
                    CStressItem *pItem = new CStressItem(i, &vecDispatchCounts, pvecSequence);
                    if (pool.AddWorkItem(pItem))
                        ++cAdded;
                    pItem->Release();
                }
            });
    }

    // Bounded: a lost item ends the loop after two minutes instead of never.
    auto deadline = start + std::chrono::seconds(120);
    while (result.m_cDispatched < cItems)
    {
        if (std::chrono::steady_clock::now() > deadline)
        {
            result.m_bTimedOut = true;
            break;
        }
        CLimitTimer limitTimer;
        limitTimer.SetLimit(5000);
        bool bMore = pool.BDispatchCompletedWorkItems(limitTimer);
        result.m_cDispatched = g_cStressItemsDispatched;
        if (!bMore)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    for (std::thread &producer : vecProducers)
        producer.join();
    result.m_cThreads = pool.GetThreadCount();
    pool.StopWorkThreads();
    result.m_cAdded = cAdded.load();
    result.m_flSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return result;
}
} // namespace

TEST(WorkThreadPoolStress, FourProducersThreeWorkersDispatchEveryItemOnce)
{
    const int cItems = 100000;
    g_cStressItemsDestroyed = 0;
    std::vector<int> vecDispatchCounts(cItems, 0);
    StressResult_t result;
    CScopedManualClock clock;
    {
        CWorkThreadPool pool("Stress");
        pool.ConfigureWorkThreads(3, nullptr, k_EWorkThreadCreationPerItem);
        result = RunStress(clock.Clock(), pool, 4, cItems, vecDispatchCounts, nullptr);
        EXPECT_EQ((uint32)cItems, pool.GetWorkItemsSucceeded());
        EXPECT_EQ(0, pool.GetWorkItemsWaiting());
        EXPECT_EQ(0, pool.GetWorkItemsCompleted());
    }
    printf("stress: %d items, 4 producers, %d workers: %.2f s\n", cItems, result.m_cThreads,
           result.m_flSeconds);
    EXPECT_FALSE(result.m_bTimedOut);
    EXPECT_EQ(cItems, result.m_cAdded);
    EXPECT_EQ(3, result.m_cThreads);
    int cWrong = 0;
    for (int i = 0; i < cItems; ++i)
        cWrong += vecDispatchCounts[(size_t)i] != 1 ? 1 : 0;
    EXPECT_EQ(0, cWrong) << "items not dispatched exactly once, or dispatched with unfinished data";
    EXPECT_EQ(cItems, g_cStressItemsDestroyed.load());
}

TEST(WorkThreadPoolStress, OrderedPoolDispatchesInSequenceUnderLoad)
{
    const int cItems = 20000;
    g_cStressItemsDestroyed = 0;
    std::vector<int> vecDispatchCounts(cItems, 0);
    std::vector<uint64> vecSequence;
    StressResult_t result;
    CScopedManualClock clock;
    {
        CWorkThreadPool pool("StressOrdered");
        pool.SetEnsureOutputOrdering(true);
        pool.ConfigureWorkThreads(3, nullptr, k_EWorkThreadCreationPerItem);
        result = RunStress(clock.Clock(), pool, 2, cItems, vecDispatchCounts, &vecSequence);
    }
    printf("ordered stress: %d items, 2 producers, %d workers: %.2f s\n", cItems, result.m_cThreads,
           result.m_flSeconds);
    EXPECT_FALSE(result.m_bTimedOut);
    ASSERT_EQ((size_t)cItems, vecSequence.size());
    int cOutOfOrder = 0;
    for (size_t i = 0; i < vecSequence.size(); ++i)
        cOutOfOrder += vecSequence[i] != i + 1 ? 1 : 0;
    EXPECT_EQ(0, cOutOfOrder);
    EXPECT_EQ(cItems, g_cStressItemsDestroyed.load());
}

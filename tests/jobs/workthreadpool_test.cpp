#include "foundation/clock.h"
#include "foundation/threadtools.h"
#include "jobs/workthreadpool.h"

#include "support/testsupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace
{
// An item that logs its dispatch and can be held in ThreadProcess until its gate opens.
class CTestItem : public CWorkItem
{
public:
    CTestItem(int nId, std::vector<int> *pvecDispatched, CThreadEvent *pGate = nullptr)
        : m_nId(nId), m_pvecDispatched(pvecDispatched), m_pGate(pGate)
    {
    }

    bool ThreadProcess(CWorkThread *) override
    {
        ++m_cProcessed;
        if (m_pGate)
            m_pGate->Wait();
        SetResubmit(m_cResubmitsLeft > 0);
        if (m_cResubmitsLeft > 0)
            --m_cResubmitsLeft;
        m_bDone = true;
        return m_bSucceed;
    }
    bool DispatchCompletedWorkItem(void *) override
    {
        m_pvecDispatched->push_back(m_nId);
        ++m_cDispatched;
        m_bTimedOutAtDispatch = BTimedOut();
        return m_bOwnerAlive;
    }

    int m_nId;
    std::vector<int> *m_pvecDispatched;
    CThreadEvent *m_pGate;
    std::atomic<int> m_cProcessed{0};
    std::atomic<bool> m_bDone{false};
    int m_cResubmitsLeft = 0;
    bool m_bSucceed = true;
    bool m_bOwnerAlive = true;
    int m_cDispatched = 0;
    bool m_bTimedOutAtDispatch = false;
};

bool DispatchOnce(CWorkThreadPool &pool)
{
    CLimitTimer limitTimer;
    limitTimer.SetLimit(5000);
    return pool.BDispatchCompletedWorkItems(limitTimer);
}

bool BDispatchUntil(CWorkThreadPool &pool, const std::function<bool()> &fnDone)
{
    return BWaitUntil(
        [&]()
        {
            DispatchOnce(pool);
            return fnDone();
        });
}

void ReleaseAll(std::vector<CTestItem *> &vecItems)
{
    for (CTestItem *pItem : vecItems)
        EXPECT_EQ(0, pItem->Release()) << "item " << pItem->m_nId << " still referenced";
    vecItems.clear();
}

// Worker threads that show their hooks.
class CHookedThread : public CWorkThread
{
public:
    CHookedThread(CWorkThreadPool *pPool, CThreadEvent *pGateToOpenOnExit)
        : CWorkThread(pPool), m_pGateToOpenOnExit(pGateToOpenOnExit)
    {
    }
    void OnStart() override { m_bStartedOnItsThread = BIsCurrentThread(); }
    void OnExitRequested() override
    {
        ++m_cExitRequests;
        if (m_pGateToOpenOnExit)
            m_pGateToOpenOnExit->Set();
    }
    std::atomic<bool> m_bStartedOnItsThread{false};
    int m_cExitRequests = 0;
    CThreadEvent *m_pGateToOpenOnExit;
};

// A thread that ends without running the worker loop.
class CQuitterThread : public CWorkThread
{
public:
    using CWorkThread::CWorkThread;
    int Run() override { return 0; }
};

class CTestFactory : public IWorkThreadFactory
{
public:
    CWorkThread *CreateWorkerThread(CWorkThreadPool *pPool) override
    {
        ++m_cCreated;
        if (m_bFail)
            return nullptr;
        if (m_bQuitters)
            return new CQuitterThread(pPool);
        CHookedThread *pThread = new CHookedThread(pPool, m_pGateToOpenOnExit);
        m_vecThreads.push_back(pThread);
        return pThread;
    }
    int m_cCreated = 0;
    bool m_bFail = false;
    bool m_bQuitters = false;
    CThreadEvent *m_pGateToOpenOnExit = nullptr;
    std::vector<CHookedThread *> m_vecThreads;
};
} // namespace

TEST(WorkThreadPool, FirstItemStartsOneThreadInEveryMode)
{
    CScopedManualClock clock;
    for (int eMode = 0; eMode <= 2; ++eMode)
    {
        CWorkThreadPool pool("TestPool");
        pool.ConfigureWorkThreads(3, nullptr, eMode);
        EXPECT_EQ(0, pool.GetThreadCount());
        std::vector<int> vecDispatched;
        std::vector<CTestItem *> vecItems{new CTestItem(1, &vecDispatched)};
        ASSERT_TRUE(pool.AddWorkItem(vecItems[0]));
        EXPECT_EQ(1, pool.GetThreadCount()) << "mode " << eMode;
        EXPECT_EQ(1u, vecItems[0]->GetSequenceNumber());
        ASSERT_TRUE(BDispatchUntil(pool, [&]() { return vecDispatched.size() == 1; }));
        EXPECT_EQ(1u, pool.GetLastDispatchedSequenceNumber());
        EXPECT_EQ(1u, pool.GetWorkItemsSucceeded());
        EXPECT_EQ(1, pool.GetThreadsRunning());
        pool.StopWorkThreads();
        EXPECT_EQ(0, pool.GetThreadCount());
        EXPECT_EQ(0, pool.GetThreadsRunning());
        ReleaseAll(vecItems);
    }
}

TEST(WorkThreadPool, BacklogModeAddsThreadsOnlyWithBacklogAndSpacingUpToTheMaximum)
{
    CScopedManualClock clock;
    CWorkThreadPool pool("Backlog");
    pool.ConfigureWorkThreads(3, nullptr, k_EWorkThreadCreationOnBacklog);
    CThreadEvent gate(true);
    std::vector<int> vecDispatched;
    std::vector<CTestItem *> vecItems;
    auto fnAdd = [&]()
    {
        vecItems.push_back(new CTestItem((int)vecItems.size() + 1, &vecDispatched, &gate));
        return pool.AddWorkItem(vecItems.back());
    };

    ASSERT_TRUE(fnAdd());
    ASSERT_TRUE(BWaitUntil([&]() { return pool.GetWorkItemsInProgress() == 1; }));
    // Time is no obstacle here; the backlog is: 12 waiting items per thread.
    clock->AdvanceMilliseconds(1000);
    for (int i = 0; i < 12; ++i)
        ASSERT_TRUE(fnAdd());
    EXPECT_EQ(12, pool.GetWorkItemsWaiting());
    EXPECT_EQ(1, pool.GetThreadCount());
    ASSERT_TRUE(fnAdd()); // sees 12 waiting
    EXPECT_EQ(2, pool.GetThreadCount());
    ASSERT_TRUE(BWaitUntil([&]() { return pool.GetWorkItemsInProgress() == 2; }));

    // Now the spacing: 24 waiting justify a third thread, 250 ms after the second.
    while (pool.GetWorkItemsWaiting() < 24)
        ASSERT_TRUE(fnAdd());
    clock->Advance(CWorkThreadPool::k_unMicroSecThreadStartSpacing - 1);
    ASSERT_TRUE(fnAdd());
    EXPECT_EQ(2, pool.GetThreadCount());
    clock->Advance(1);
    ASSERT_TRUE(fnAdd());
    EXPECT_EQ(3, pool.GetThreadCount());

    // Never past the maximum.
    clock->AdvanceMilliseconds(1000);
    for (int i = 0; i < 40; ++i)
        ASSERT_TRUE(fnAdd());
    EXPECT_EQ(3, pool.GetThreadCount());

    gate.Set();
    ASSERT_TRUE(BDispatchUntil(pool, [&]() { return vecDispatched.size() == vecItems.size(); }));
    for (size_t i = 0; i < vecItems.size(); ++i)
        EXPECT_EQ(1, vecItems[i]->m_cDispatched);
    // A worker counts an item out of progress just after handing it over.
    EXPECT_TRUE(BWaitUntil([&]() { return pool.GetWorkItemsInProgress() == 0; }));
    pool.StopWorkThreads();
    ReleaseAll(vecItems);
}

TEST(WorkThreadPool, OutputOrderingDispatchesInSubmissionOrder)
{
    CScopedManualClock clock;
    CWorkThreadPool pool("Ordered");
    pool.SetEnsureOutputOrdering(true);
    pool.ConfigureWorkThreads(3, nullptr, k_EWorkThreadCreationPerItem);
    CThreadEvent rgGates[3] = {CThreadEvent(true), CThreadEvent(true), CThreadEvent(true)};
    std::vector<int> vecDispatched;
    std::vector<CTestItem *> vecItems;
    // One thread per item, each held at its gate.
    for (int i = 0; i < 3; ++i)
    {
        vecItems.push_back(new CTestItem(i + 1, &vecDispatched, &rgGates[i]));
        ASSERT_TRUE(pool.AddWorkItem(vecItems.back()));
        ASSERT_TRUE(BWaitUntil([&]() { return pool.GetWorkItemsInProgress() == i + 1; }));
        clock->Advance(CWorkThreadPool::k_unMicroSecThreadStartSpacing);
    }
    EXPECT_EQ(3, pool.GetThreadCount());

    rgGates[1].Set();
    ASSERT_TRUE(BWaitUntil([&]() { return pool.GetWorkItemsInProgress() == 2; }));
    EXPECT_FALSE(DispatchOnce(pool));
    EXPECT_TRUE(vecDispatched.empty());
    EXPECT_EQ(0u, pool.GetLastCompletedSequenceNumber());

    rgGates[0].Set();
    ASSERT_TRUE(BDispatchUntil(pool, [&]() { return vecDispatched.size() == 2; }));
    EXPECT_EQ((std::vector<int>{1, 2}), vecDispatched);
    rgGates[2].Set();
    ASSERT_TRUE(BDispatchUntil(pool, [&]() { return vecDispatched.size() == 3; }));
    EXPECT_EQ((std::vector<int>{1, 2, 3}), vecDispatched);
    EXPECT_EQ(3u, pool.GetLastDispatchedSequenceNumber());
    pool.StopWorkThreads();
    ReleaseAll(vecItems);
}

TEST(WorkThreadPool, ResubmittedItemsAreProcessedAgainAndKeepTheirOrder)
{
    CScopedManualClock clock;
    CSpewCapture spew;
    {
        CWorkThreadPool pool("Resubmit");
        pool.ConfigureWorkThreads(1);
        std::vector<int> vecDispatched;
        std::vector<CTestItem *> vecItems{new CTestItem(1, &vecDispatched)};
        vecItems[0]->m_cResubmitsLeft = 2;
        ASSERT_TRUE(pool.AddWorkItem(vecItems[0]));
        ASSERT_TRUE(BDispatchUntil(pool, [&]() { return vecDispatched.size() == 1; }));
        EXPECT_EQ(3, vecItems[0]->m_cProcessed.load());
        EXPECT_EQ(3u, vecItems[0]->GetSequenceNumber());
        EXPECT_EQ(2u, pool.GetWorkItemsResubmitted());
        EXPECT_EQ(1u, pool.GetWorkItemsSucceeded());
        pool.StopWorkThreads();
        ReleaseAll(vecItems);
    }
    {
        // With output ordering the first item, processed again after the two others, is
        // still dispatched first.
        CWorkThreadPool pool("ResubmitOrdered");
        pool.SetEnsureOutputOrdering(true);
        pool.ConfigureWorkThreads(1);
        std::vector<int> vecDispatched;
        std::vector<CTestItem *> vecItems;
        for (int i = 1; i <= 3; ++i)
            vecItems.push_back(new CTestItem(i, &vecDispatched));
        vecItems[0]->m_cResubmitsLeft = 1;
        for (CTestItem *pItem : vecItems)
            ASSERT_TRUE(pool.AddWorkItem(pItem));
        ASSERT_TRUE(BDispatchUntil(pool, [&]() { return vecDispatched.size() == 3; }));
        EXPECT_EQ((std::vector<int>{1, 2, 3}), vecDispatched);
        EXPECT_EQ(2, vecItems[0]->m_cProcessed.load());
        EXPECT_EQ(0, (int)spew.Assertions().size());

        // An item handed in with its resubmit flag set cannot be ordered: said, and queued.
        vecItems.push_back(new CTestItem(4, &vecDispatched));
        vecItems.back()->SetResubmit(true);
        EXPECT_TRUE(pool.AddWorkItem(vecItems.back()));
        EXPECT_EQ(
            1,
            spew.CountContaining(
                "Assertion Failed: CWorkThreadPool can't support item auto resubmission when ensuring output "
                "ordering"));
        ASSERT_TRUE(BDispatchUntil(pool, [&]() { return vecDispatched.size() == 4; }));
        pool.StopWorkThreads();
        ReleaseAll(vecItems);
    }
}

TEST(WorkThreadPool, StoppedPoolRefusesItems)
{
    CScopedManualClock clock;
    CSpewCapture spew;
    CWorkThreadPool pool("Stopped");
    pool.ConfigureWorkThreads(2);
    std::vector<int> vecDispatched;
    std::vector<CTestItem *> vecItems{new CTestItem(1, &vecDispatched), new CTestItem(2, &vecDispatched)};
    ASSERT_TRUE(pool.AddWorkItem(vecItems[0]));
    ASSERT_TRUE(BDispatchUntil(pool, [&]() { return vecDispatched.size() == 1; }));
    pool.StopWorkThreads();
    EXPECT_TRUE(pool.BExiting());
    EXPECT_FALSE(pool.AddWorkItem(vecItems[1]));
    EXPECT_EQ(1, spew.CountContaining("Assertion Failed: !m_bExiting"));
    EXPECT_EQ(1, vecItems[1]->GetRefCount()); // the caller keeps its item
    EXPECT_EQ(0, pool.GetThreadCount());
    pool.StopWorkThreads(); // again: nothing to do
    ReleaseAll(vecItems);
}

TEST(WorkThreadPool, CompletionWithoutOwnerIsLoggedAndOthersStillDispatch)
{
    CScopedManualClock clock;
    CSpewCapture spew;
    for (const char *pchName : {"CHTTPClientThreadPool", (const char *)nullptr})
    {
        CWorkThreadPool pool(pchName);
        pool.ConfigureWorkThreads(1);
        std::vector<int> vecDispatched;
        std::vector<CTestItem *> vecItems;
        for (int i = 1; i <= 3; ++i)
        {
            vecItems.push_back(new CTestItem(i, &vecDispatched));
            vecItems.back()->m_bSucceed = i != 3;
        }
        vecItems[1]->m_bOwnerAlive = false;
        for (CTestItem *pItem : vecItems)
            ASSERT_TRUE(pool.AddWorkItem(pItem));
        ASSERT_TRUE(BDispatchUntil(pool, [&]() { return vecDispatched.size() == 3; }));
        EXPECT_EQ((std::vector<int>{1, 2, 3}), vecDispatched);
        EXPECT_EQ(2u, pool.GetWorkItemsSucceeded());
        EXPECT_EQ(1u, pool.GetWorkItemsFailed());
        pool.StopWorkThreads();
        ReleaseAll(vecItems);
    }
    EXPECT_EQ(1, spew.CountContaining("Assertion Failed: pszThreadName != NULL"));
    EXPECT_EQ(
        1,
        spew.CountContaining(
            "Work Item for Work Pool CHTTPClientThreadPool completed but job no longer existed to notify\n"));
    EXPECT_EQ(1, spew.CountContaining(
                     "Work Item for Work Pool UNKNOWN completed but job no longer existed to notify\n"));
}

TEST(WorkThreadPool, ItemsPastTheirDeadlineCompleteUnprocessed)
{
    CScopedManualClock clock;
    CWorkThreadPool pool("Deadline");
    pool.ConfigureWorkThreads(1);
    CThreadEvent gate(true);
    std::vector<int> vecDispatched;
    std::vector<CTestItem *> vecItems{new CTestItem(1, &vecDispatched, &gate),
                                      new CTestItem(2, &vecDispatched), new CTestItem(3, &vecDispatched)};
    uint64 ulNow = Clock_GetMicroseconds();
    vecItems[1]->SetDeadline(ulNow + 100);
    vecItems[2]->SetDeadline(ulNow + 101);
    for (CTestItem *pItem : vecItems)
        ASSERT_TRUE(pool.AddWorkItem(pItem));
    ASSERT_TRUE(BWaitUntil([&]() { return pool.GetWorkItemsInProgress() == 1; }));
    clock->Advance(101);
    gate.Set();
    ASSERT_TRUE(BDispatchUntil(pool, [&]() { return vecDispatched.size() == 3; }));

    EXPECT_EQ(0, vecItems[1]->m_cProcessed.load());
    EXPECT_TRUE(vecItems[1]->m_bTimedOutAtDispatch);
    // A deadline that is now has not passed yet.
    EXPECT_EQ(1, vecItems[2]->m_cProcessed.load());
    EXPECT_FALSE(vecItems[2]->m_bTimedOutAtDispatch);
    EXPECT_EQ(2u, pool.GetWorkItemsSucceeded());
    EXPECT_EQ(3u, pool.GetWaitTimeStat().GetCount());
    EXPECT_EQ(101u, pool.GetWaitTimeStat().GetMax());
    EXPECT_EQ(101u, pool.GetExecutionTimeStat().GetMax()); // the gated item's time at its gate
    EXPECT_EQ(101u, vecItems[0]->GetExecutionTime());
    pool.StopWorkThreads();
    ReleaseAll(vecItems);
}

TEST(WorkThreadPool, ConfigurationFactoryHooksAndThreadNames)
{
    CScopedManualClock clock;
    CSpewCapture spew;
    std::vector<int> vecDispatched;
    std::vector<CTestItem *> vecItems{new CTestItem(1, &vecDispatched), new CTestItem(2, &vecDispatched)};
    {
        CWorkThreadPool pool("Unconfigured");
        EXPECT_FALSE(pool.AddWorkItem(vecItems[0]));
        EXPECT_EQ(1, spew.CountContaining(
                         "Assertion Failed: Failed to create first worker thread in AddWorkItem()"));
        EXPECT_EQ(1, vecItems[0]->GetRefCount());
    }
    CTestFactory factory;
    {
        factory.m_bFail = true;
        CWorkThreadPool pool("Failing");
        pool.ConfigureWorkThreads(2, &factory);
        EXPECT_FALSE(pool.AddWorkItem(vecItems[0]));
        EXPECT_EQ(1, spew.CountContaining("CWorkThreadPool::StartWorkThread: Thread creation failed.\n"));
        EXPECT_EQ(2, spew.CountContaining("Failed to create first worker thread in AddWorkItem()"));
        factory.m_bFail = false;
    }
    {
        // A maximum below 1 means 1. The name of a thread is cut to 31 characters.
        CWorkThreadPool pool("CHTTPClientThreadPool");
        pool.ConfigureWorkThreads(0, &factory, k_EWorkThreadCreationPerItem);
        for (CTestItem *pItem : vecItems)
        {
            ASSERT_TRUE(pool.AddWorkItem(pItem));
            clock->AdvanceMilliseconds(1000);
        }
        EXPECT_EQ(1, pool.GetThreadCount());
        ASSERT_EQ(1u, factory.m_vecThreads.size());
        CHookedThread *pThread = factory.m_vecThreads[0];
        EXPECT_STREQ("CHTTPClientThreadPool:0", pThread->GetName());
        EXPECT_EQ(&pool, pThread->GetPool());
        ASSERT_TRUE(BDispatchUntil(pool, [&]() { return vecDispatched.size() == 2; }));
        EXPECT_TRUE(pThread->m_bStartedOnItsThread.load());
        pool.StopWorkThreads();
        factory.m_vecThreads.clear(); // deleted by the pool
    }
    {
        CWorkThreadPool pool("A pool name of thirty letters!");
        pool.ConfigureWorkThreads(1, &factory);
        ASSERT_TRUE(pool.AddWorkItem(vecItems[0]));
        EXPECT_STREQ("A pool name of thirty letters!:", factory.m_vecThreads[0]->GetName());
        ASSERT_TRUE(BDispatchUntil(pool, [&]() { return vecDispatched.size() == 3; }));
        pool.StopWorkThreads();
    }
    {
        // A creation mode that does not exist is reported and counts as a yes.
        CWorkThreadPool pool("Mode7");
        pool.ConfigureWorkThreads(2, nullptr, 7);
        ASSERT_TRUE(pool.AddWorkItem(vecItems[0]));
        clock->AdvanceMilliseconds(1000);
        ASSERT_TRUE(pool.AddWorkItem(vecItems[1]));
        EXPECT_EQ(1, spew.CountContaining("unknown thread creation mode 7"));
        EXPECT_EQ(2, pool.GetThreadCount());
        ASSERT_TRUE(BDispatchUntil(pool, [&]() { return vecDispatched.size() == 5; }));
        pool.StopWorkThreads();
    }
    ReleaseAll(vecItems);
}

TEST(WorkThreadPool, OldItemsJustifyAnotherThread)
{
    CScopedManualClock clock;
    CWorkThreadPool pool("Aged");
    pool.ConfigureWorkThreads(2);
    pool.SetMaxQueueAge(1000);
    CThreadEvent gate(true);
    std::vector<int> vecDispatched;
    std::vector<CTestItem *> vecItems;
    for (int i = 1; i <= 3; ++i)
        vecItems.push_back(new CTestItem(i, &vecDispatched, &gate));
    ASSERT_TRUE(pool.AddWorkItem(vecItems[0]));
    ASSERT_TRUE(BWaitUntil([&]() { return pool.GetWorkItemsInProgress() == 1; }));
    ASSERT_TRUE(pool.AddWorkItem(vecItems[1]));
    clock->Advance(CWorkThreadPool::k_unMicroSecThreadStartSpacing);
    EXPECT_EQ(1, pool.GetThreadCount());
    // One waiting item is far from a backlog, but it has waited 250 ms.
    ASSERT_TRUE(pool.AddWorkItem(vecItems[2]));
    EXPECT_EQ(2, pool.GetThreadCount());
    gate.Set();
    ASSERT_TRUE(BDispatchUntil(pool, [&]() { return vecDispatched.size() == 3; }));
    pool.StopWorkThreads();
    ReleaseAll(vecItems);
}

TEST(WorkThreadPool, DestructionReportsThreadsAndItemsLeftBehind)
{
    CScopedManualClock clock;
    CSpewCapture spew;
    CThreadEvent gate(true);
    std::vector<int> vecDispatched;
    std::vector<CTestItem *> vecItems;
    for (int i = 1; i <= 3; ++i)
        vecItems.push_back(new CTestItem(i, &vecDispatched, &gate));
    {
        // Stopping opens the gate (through the exit hook): the first item completes, the
        // thread ends, and the two others are still queued.
        CTestFactory factory;
        factory.m_pGateToOpenOnExit = &gate;
        CWorkThreadPool pool("Leftovers");
        pool.ConfigureWorkThreads(1, &factory);
        for (CTestItem *pItem : vecItems)
            ASSERT_TRUE(pool.AddWorkItem(pItem));
        ASSERT_TRUE(BWaitUntil([&]() { return pool.GetWorkItemsInProgress() == 1; }));
        pool.StopWorkThreads(); // would never end if the exit hook had not opened the gate
        EXPECT_EQ(2, pool.GetWorkItemsWaiting());
        EXPECT_EQ(1, pool.GetWorkItemsCompleted());
    }
    EXPECT_EQ(
        1, spew.CountContaining(
               "CWorkThreadPool::~CWorkThreadPool: work processing queue not empty: 2 items discarded.\n"));
    EXPECT_EQ(1,
              spew.CountContaining(
                  "CWorkThreadPool::~CWorkThreadPool: work complete queue not empty, 1 items discarded.\n"));
    for (CTestItem *pItem : vecItems)
        EXPECT_EQ(1, pItem->GetRefCount());
    EXPECT_TRUE(vecDispatched.empty());

    {
        // Destroyed with its threads running: said, and the threads are stopped first.
        CWorkThreadPool pool("Careless");
        pool.ConfigureWorkThreads(1);
        ASSERT_TRUE(pool.AddWorkItem(vecItems[0]));
        ASSERT_TRUE(BWaitUntil([&]() { return pool.GetWorkItemsCompleted() == 1; }));
    }
    EXPECT_EQ(1, spew.CountContaining(
                     "CWorkThreadPool::~CWorkThreadPool(): Thread pool Careless shutdown incorrectly.\n"));
    EXPECT_EQ(2, spew.CountContaining("work complete queue not empty, 1 items discarded.\n"));

    {
        // A thread that ends without its loop is reported, and the pool still stops.
        CTestFactory factory;
        factory.m_bQuitters = true;
        CWorkThreadPool pool("Quitters");
        pool.ConfigureWorkThreads(1, &factory);
        ASSERT_TRUE(pool.AddWorkItem(vecItems[1]));
        pool.StopWorkThreads();
        EXPECT_EQ(1, spew.CountContaining(
                         "Assertion Failed: pWorkThread->m_bFinished is false but thread is not running"));
        EXPECT_EQ(0, pool.GetThreadCount());
    }
    EXPECT_EQ(0, spew.CountContaining("m_WorkThreads.Count() == 0 && m_cThreadsRunning == (uint32) 0"));
    ReleaseAll(vecItems);
}

TEST(WorkItem, BaseDispatchReportsAMissingJob)
{
    CSpewCapture spew;
    class CPlainItem : public CWorkItem
    {
    public:
        bool ThreadProcess(CWorkThread *) override { return true; }
    };
    CPlainItem *pItem = new CPlainItem();
    EXPECT_TRUE(pItem->DispatchCompletedWorkItem(nullptr));
    EXPECT_EQ(1,
              spew.CountContaining(
                  "Assertion Failed: CWorkItem::DispatchCompletedWorkItem: got a work item with no job ID"));
    EXPECT_EQ(2, pItem->AddRef());
    EXPECT_EQ(1, pItem->Release());
    EXPECT_EQ(0, pItem->Release());
}

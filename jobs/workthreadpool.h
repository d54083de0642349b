// CWorkThreadPool: worker threads for blocking work, so that the main thread's frame loop
// never blocks.
//
// The owner (on the main thread) configures the pool, hands items in with AddWorkItem and,
// from one of its frame functions, calls BDispatchCompletedWorkItems, which runs each
// completed item's DispatchCompletedWorkItem on the main thread. Threads are created on
// demand, up to the configured maximum. Before destroying the pool the owner calls
// StopWorkThreads.
//
// Threads: AddWorkItem from any thread; dispatch, StopWorkThreads and destruction on the
// main thread; the worker loop and OnWorkItemCompleted on the workers. Both item queues are
// thread-safe FIFO queues; the thread list and the output ordering have a lock each; the
// counters are atomic.
#pragma once

#include "foundation/basetypes.h"
#include "foundation/threadtools.h"
#include "foundation/tsqueue.h"
#include "foundation/utlvector.h"
#include "jobs/limittimer.h"
#include "jobs/runningstat.h"
#include "jobs/workitem.h"
#include "jobs/workthread.h"

#include <atomic>
#include <memory>
#include <mutex>

class CWorkThreadPool;

// Makes the threads of a pool whose threads need a class of their own.
class IWorkThreadFactory
{
public:
    virtual ~IWorkThreadFactory() {}
    virtual CWorkThread *CreateWorkerThread(CWorkThreadPool *pPool) = 0;
};

// When a pool adds a thread (t threads, q items waiting, p items in progress).
enum EWorkThreadCreationMode
{
    k_EWorkThreadCreationOnBacklog = 0,   // when 12 * t < q + 1
    k_EWorkThreadCreationPerItem = 1,     // when t < p + q + 1
    k_EWorkThreadCreationPerItemUpTo4 = 2 // as 1 below 4 threads, then as 0
};

class CWorkThreadPool
{
public:
    static constexpr int k_cchThreadNameMax = 32;
    // A backlog of this many waiting items per thread justifies another thread (mode 0).
    static constexpr int k_cWorkItemsPerThread = 12;
    // Spacing of thread starts, and the longest an idle thread sleeps.
    static constexpr uint64 k_unMicroSecThreadStartSpacing = 250000;
    static constexpr uint32 k_unMilliSecIdleWait = 250;
    // How long StopWorkThreads waits for a thread (real time) before it says so.
    static constexpr uint32 k_unMilliSecStopWait = 10000;

    explicit CWorkThreadPool(const char *pszThreadName);
    virtual ~CWorkThreadPool();
    CWorkThreadPool(const CWorkThreadPool &) = delete;
    CWorkThreadPool &operator=(const CWorkThreadPool &) = delete;

    // Whether AddWorkItem should start another thread now (called under the thread lock).
    virtual bool BNeedsMoreThreads();
    // A worker hands a processed item back (on the worker thread).
    virtual void OnWorkItemCompleted(CWorkItem *pWorkItem);

    // Allows threads: at most cMaxThreads (at least 1), made by pFactory (null: plain
    // CWorkThread), added as eCreationMode says. Until called, AddWorkItem fails.
    void ConfigureWorkThreads(int cMaxThreads, IWorkThreadFactory *pFactory = nullptr,
                              int eCreationMode = k_EWorkThreadCreationOnBacklog);
    // Completions reach the main thread in the order of AddWorkItem. Set before queuing.
    void SetEnsureOutputOrdering(bool bEnsure) { m_bEnsureOutputOrdering = bEnsure; }
    // Threads poll the queue four times (2 ms apart) before they sleep, and AddWorkItem
    // never signals. Set before queuing.
    // A waiting item older than this justifies another thread; 0: not used.
    void SetMaxQueueAge(uint64 unMicroseconds) { m_unMaxQueueAgeMicroseconds.store(unMicroseconds); }

    // Queues the item (the pool takes a reference); true when queued. False, with the item
    // left to the caller, when the pool is stopping or has no thread to run it.
    bool AddWorkItem(CWorkItem *pWorkItem);
    // Dispatches completed items until the limit is reached; true when completed items
    // remain. pvJobContext is handed to each item. Main thread.
    bool BDispatchCompletedWorkItems(CLimitTimer &limitTimer, void *pvJobContext = nullptr);
    // Ends all threads (waiting as long as it takes); AddWorkItem fails from now on.
    void StopWorkThreads();
    // After StopWorkThreads: releases the items still queued, processed or not, without a
    // report (an owner that dropped its work on purpose); returns how many there were.
    int DiscardWorkItems();

    const char *GetName() const { return m_szThreadName; }
    bool BExiting() const { return m_bExiting.load(); }
    int GetWorkItemsWaiting() const { return m_pTSQueueToProcess->Count(); }
    int GetWorkItemsInProgress() const { return (int)m_cWorkItemsInProgress.load(); }
    int GetWorkItemsCompleted() const { return m_pTSQueueCompleted->Count(); }
    int GetThreadCount();
    int GetThreadsRunning() const { return (int)m_cThreadsRunning.load(); }
    uint64 GetLastCompletedSequenceNumber() const { return m_unLastCompletedSequenceNumber.load(); }
    uint64 GetLastDispatchedSequenceNumber() const { return m_unLastDispatchedSequenceNumber; }
    uint32 GetWorkItemsSucceeded() const { return m_cWorkItemsSucceeded.load(); }
    uint32 GetWorkItemsFailed() const { return m_cWorkItemsFailed.load(); }
    uint32 GetWorkItemsResubmitted() const { return m_cWorkItemsResubmitted.load(); }
    // Microseconds items waited in the queue, and spent in ThreadProcess.
    const CRunningStat &GetWaitTimeStat() const { return m_StatWaitTime; }
    const CRunningStat &GetExecutionTimeStat() const { return m_StatExecutionTime; }

private:
    friend class CWorkThread;

    struct QueuedWorkItem_t
    {
        CWorkItem *m_pWorkItem;
        uint64 m_unTicksQueued;
    };

    bool BQueueWorkItem(CWorkItem *pWorkItem, bool bResubmission);
    void StartWorkThread();
    // The worker's handling of one item taken from the queue.
    void ProcessWorkItem(CWorkThread *pThread, const QueuedWorkItem_t &queuedItem);
    // Deletes threads whose loop and thread have ended. Under the thread lock.
    void DeleteFinishedThreads();
    // Release the items of the queue to process, and of the completed queue (with those
    // waiting for their turn); each returns how many there were.
    int ReleaseItemsToProcess();
    int ReleaseCompletedItems();

    char m_szThreadName[k_cchThreadNameMax];
    std::unique_ptr<CTSQueue<QueuedWorkItem_t>> m_pTSQueueToProcess;
    std::unique_ptr<CTSQueue<CWorkItem *>> m_pTSQueueCompleted;
    std::mutex m_OrderingMutex;
    CUtlVector<CWorkItem *> m_vecCompletedAndWaiting; // under m_OrderingMutex
    bool m_bEnsureOutputOrdering;
    std::atomic<uint64> m_unSequenceCounter;
    std::atomic<uint64> m_unLastCompletedSequenceNumber;
    uint64 m_unLastDispatchedSequenceNumber;
    CUtlVector<CWorkThread *> m_WorkThreads; // under m_WorkThreadsMutex
    CThreadRecursiveMutex m_WorkThreadsMutex;
    std::atomic<uint32> m_cThreadsRunning;
    std::atomic<bool> m_bExiting;
    CThreadEvent m_EventWakeUp;
    std::atomic<uint32> m_cThreadsWaiting; // threads looking for work, not processing
    std::atomic<uint32> m_cWorkItemsInProgress;
    // The configuration and the next start time: under m_WorkThreadsMutex.
    bool m_bMayAddThreads;
    int m_cMaxThreads;
    IWorkThreadFactory *m_pWorkThreadFactory;
    std::atomic<uint32> m_cWorkItemsSucceeded;
    std::atomic<uint32> m_cWorkItemsFailed;
    std::atomic<uint32> m_cWorkItemsResubmitted;
    CRunningStat m_StatWaitTime;
    CRunningStat m_StatExecutionTime;
    uint64 m_cycNextThreadStart;
    int m_eCreationMode;
    std::atomic<uint64> m_unMaxQueueAgeMicroseconds;
};

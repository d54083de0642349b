#include "jobs/workthreadpool.h"

#include "foundation/clock.h"
#include "foundation/dbg.h"
#include "foundation/strtools.h"

// Threads started without waiting for the spacing: only the first, so that a pool never
// goes without one; every later start waits k_unMicroSecThreadStartSpacing after the last.
static const int k_cThreadsStartedWithoutSpacing = 1;

CWorkThreadPool::CWorkThreadPool(const char *pszThreadName)
    : m_pTSQueueToProcess(new CTSQueue<QueuedWorkItem_t>()), m_pTSQueueCompleted(new CTSQueue<CWorkItem *>()),
      m_bEnsureOutputOrdering(false), m_unSequenceCounter(0), m_unLastCompletedSequenceNumber(0),
      m_unLastDispatchedSequenceNumber(0), m_cThreadsRunning(0), m_bExiting(false), m_cThreadsWaiting(0),
      m_cWorkItemsInProgress(0), m_bMayAddThreads(false), m_cMaxThreads(1), m_pWorkThreadFactory(nullptr),
      m_cWorkItemsSucceeded(0), m_cWorkItemsFailed(0), m_cWorkItemsResubmitted(0), m_cycNextThreadStart(0),
      m_eCreationMode(k_EWorkThreadCreationOnBacklog), m_unMaxQueueAgeMicroseconds(0)
{
    AssertMsg(pszThreadName, "pszThreadName != NULL");
    m_szThreadName[0] = '\0';
    if (pszThreadName)
        Q_strncpy(m_szThreadName, pszThreadName, (int)sizeof(m_szThreadName));
}

CWorkThreadPool::~CWorkThreadPool()
{
    bool bThreadsLeft;
    {
        std::lock_guard<CThreadRecursiveMutex> lock(m_WorkThreadsMutex);
        bThreadsLeft = m_WorkThreads.Count() > 0;
    }
    if (bThreadsLeft)
    {
        AssertFailedV("CWorkThreadPool::~CWorkThreadPool(): Thread pool %s shutdown incorrectly.\n",
                      m_szThreadName);
        // Threads still running would use the pool after it is gone.
        StopWorkThreads();
    }

    int cToProcess = ReleaseItemsToProcess();
    if (cToProcess)
        AssertFailedV(
            "CWorkThreadPool::~CWorkThreadPool: work processing queue not empty: %d items discarded.\n",
            cToProcess);
    int cCompleted = ReleaseCompletedItems();
    if (cCompleted)
        AssertFailedV(
            "CWorkThreadPool::~CWorkThreadPool: work complete queue not empty, %d items discarded.\n",
            cCompleted);
}

void CWorkThreadPool::ConfigureWorkThreads(int cMaxThreads, IWorkThreadFactory *pFactory, int eCreationMode)
{
    std::lock_guard<CThreadRecursiveMutex> lock(m_WorkThreadsMutex);
    m_bMayAddThreads = true;
    m_cMaxThreads = cMaxThreads < 1 ? 1 : cMaxThreads;
    m_pWorkThreadFactory = pFactory;
    m_eCreationMode = eCreationMode;
}

int CWorkThreadPool::GetThreadCount()
{
    std::lock_guard<CThreadRecursiveMutex> lock(m_WorkThreadsMutex);
    return m_WorkThreads.Count();
}

bool CWorkThreadPool::BNeedsMoreThreads()
{
    std::lock_guard<CThreadRecursiveMutex> lock(m_WorkThreadsMutex);
    int cThreads = m_WorkThreads.Count();
    if (cThreads == 0)
        return true;

    uint64 unMaxQueueAge = m_unMaxQueueAgeMicroseconds.load();
    QueuedWorkItem_t oldest;
    if (unMaxQueueAge && m_pTSQueueToProcess->PeekItem(&oldest))
    {
        uint64 unNow = Clock_GetTicks();
        if (unNow > oldest.m_unTicksQueued &&
            Clock_TicksToMicroseconds(unNow - oldest.m_unTicksQueued) > unMaxQueueAge)
            return true;
    }

    int cWaiting = GetWorkItemsWaiting();
    int cInProgress = GetWorkItemsInProgress();
    int eMode = m_eCreationMode;
    if (eMode == k_EWorkThreadCreationPerItemUpTo4)
        eMode = cThreads < 4 ? k_EWorkThreadCreationPerItem : k_EWorkThreadCreationOnBacklog;
    switch (eMode)
    {
    case k_EWorkThreadCreationOnBacklog:
        return k_cWorkItemsPerThread * cThreads < cWaiting + 1;
    case k_EWorkThreadCreationPerItem:
        return cThreads < cInProgress + 1 + cWaiting;
    default:
        AssertFailedV("CWorkThreadPool::BNeedsMoreThreads: unknown thread creation mode %d", eMode);
        return true;
    }
}

void CWorkThreadPool::StartWorkThread()
{
    CWorkThread *pThread =
        m_pWorkThreadFactory ? m_pWorkThreadFactory->CreateWorkerThread(this) : new CWorkThread(this);
    if (!pThread)
    {
        Warning("CWorkThreadPool::StartWorkThread: Thread creation failed.\n");
        return;
    }
    char rgchName[k_cchThreadNameMax];
    Q_snprintf(rgchName, (int)sizeof(rgchName), "%s:%d", m_szThreadName, m_WorkThreads.Count());
    pThread->SetName(rgchName);
    m_WorkThreads.AddToTail(pThread);
    if (!pThread->Start())
    {
        Warning("CWorkThreadPool::StartWorkThread: Thread creation failed.\n");
        m_WorkThreads.FindAndRemove(pThread);
        delete pThread;
    }
}

bool CWorkThreadPool::AddWorkItem(CWorkItem *pWorkItem)
{
    return BQueueWorkItem(pWorkItem, false);
}

bool CWorkThreadPool::BQueueWorkItem(CWorkItem *pWorkItem, bool bResubmission)
{
    if (!pWorkItem)
    {
        AssertFailed("CWorkThreadPool::AddWorkItem: no work item");
        return false;
    }
    if (m_bExiting.load())
    {
        AssertFailed("!m_bExiting");
        return false;
    }
    if (m_bEnsureOutputOrdering && pWorkItem->m_bResubmit)
        AssertFailed("CWorkThreadPool can't support item auto resubmission when ensuring output ordering");

    {
        std::lock_guard<CThreadRecursiveMutex> lock(m_WorkThreadsMutex);
        // Exiting is looked at again under the lock: StopWorkThreads sets it before it takes
        // the lock to ask the threads to end, so no thread starts that it would not ask.
        if (!m_bExiting.load() && m_bMayAddThreads && m_WorkThreads.Count() < m_cMaxThreads &&
            BNeedsMoreThreads())
        {
            uint64 unNow = Clock_GetTicks();
            if (m_WorkThreads.Count() < k_cThreadsStartedWithoutSpacing || unNow >= m_cycNextThreadStart)
            {
                StartWorkThread();
                m_cycNextThreadStart = unNow + Clock_MicrosecondsToTicks(k_unMicroSecThreadStartSpacing);
            }
        }
        if (m_WorkThreads.Count() == 0)
        {
            AssertFailed("Failed to create first worker thread in AddWorkItem()");
            return false;
        }
    }

    pWorkItem->AddRef();
    // A resubmitted item keeps its place in the output order: a new number would leave the
    // items after its old one waiting for it for ever.
    if (!(bResubmission && m_bEnsureOutputOrdering))
        pWorkItem->m_unSequenceNumber = ++m_unSequenceCounter;
    QueuedWorkItem_t queuedItem;
    queuedItem.m_pWorkItem = pWorkItem;
    queuedItem.m_unTicksQueued = Clock_GetTicks();
    m_pTSQueueToProcess->PushItem(queuedItem);

    // A thread that is looking for work takes the item without being woken (it looks once
    // more before it sleeps, see CWorkThread::Run).
    if (m_cThreadsWaiting.load() == 0)
        m_EventWakeUp.Set();
    return true;
}

void CWorkThreadPool::ProcessWorkItem(CWorkThread *pThread, const QueuedWorkItem_t &queuedItem)
{
    CWorkItem *pWorkItem = queuedItem.m_pWorkItem;
    ++m_cWorkItemsInProgress;
    uint64 unTicksStart = Clock_GetTicks();
    if (unTicksStart > queuedItem.m_unTicksQueued)
        m_StatWaitTime.Add(Clock_TicksToMicroseconds(unTicksStart - queuedItem.m_unTicksQueued));
    else
        m_StatWaitTime.Add(0);

    uint64 ulDeadline = pWorkItem->m_ulDeadline;
    if (ulDeadline == 0 || Clock_GetMicroseconds() <= ulDeadline)
    {
        pWorkItem->m_bRunning.store(true);
        bool bSucceeded = pWorkItem->ThreadProcess(pThread);
        pWorkItem->m_bRunning.store(false);
        uint64 unTicksEnd = Clock_GetTicks();
        pWorkItem->m_cycExecutionTime = unTicksEnd > unTicksStart ? unTicksEnd - unTicksStart : 0;
        m_StatExecutionTime.Add(Clock_TicksToMicroseconds(pWorkItem->m_cycExecutionTime));
        if (pWorkItem->m_bResubmit)
            ++m_cWorkItemsResubmitted;
        else if (bSucceeded)
            ++m_cWorkItemsSucceeded;
        else
            ++m_cWorkItemsFailed;
    }
    else
    {
        pWorkItem->m_bTimedOut = true;
    }

    if (!pWorkItem->m_bResubmit)
    {
        OnWorkItemCompleted(pWorkItem); // the queue's reference goes with it
    }
    else
    {
        pWorkItem->m_bResubmit = false;
        pWorkItem->m_bTimedOut = false;
        // A stopping pool takes nothing new: complete the item instead, so that its owner
        // is not left waiting for it.
        if (m_bExiting.load() || !BQueueWorkItem(pWorkItem, true))
            OnWorkItemCompleted(pWorkItem);
        else
            pWorkItem->Release();
    }
    --m_cWorkItemsInProgress;
}

void CWorkThreadPool::OnWorkItemCompleted(CWorkItem *pWorkItem)
{
    if (!m_bEnsureOutputOrdering)
    {
        m_unLastCompletedSequenceNumber.store(pWorkItem->m_unSequenceNumber);
        m_pTSQueueCompleted->PushItem(pWorkItem);
        return;
    }

    std::lock_guard<std::mutex> lock(m_OrderingMutex);
    uint64 unLast = m_unLastCompletedSequenceNumber.load();
    if (pWorkItem->m_unSequenceNumber != unLast + 1)
    {
        m_vecCompletedAndWaiting.AddToTail(pWorkItem);
        return;
    }
    m_pTSQueueCompleted->PushItem(pWorkItem);
    ++unLast;
    for (;;)
    {
        int iNext = -1;
        for (int i = 0; i < m_vecCompletedAndWaiting.Count(); ++i)
        {
            if (m_vecCompletedAndWaiting[i]->m_unSequenceNumber == unLast + 1)
            {
                iNext = i;
                break;
            }
        }
        if (iNext < 0)
            break;
        m_pTSQueueCompleted->PushItem(m_vecCompletedAndWaiting[iNext]);
        m_vecCompletedAndWaiting.Remove(iNext);
        ++unLast;
    }
    m_unLastCompletedSequenceNumber.store(unLast);
}

void CWorkThreadPool::DeleteFinishedThreads()
{
    for (int i = m_WorkThreads.Count() - 1; i >= 0; --i)
    {
        CWorkThread *pThread = m_WorkThreads[i];
        // The flag is set inside the loop; the object may go only once its thread has ended.
        if (pThread->BFinished() && pThread->Join(0))
        {
            m_WorkThreads.Remove(i);
            delete pThread;
        }
    }
}

bool CWorkThreadPool::BDispatchCompletedWorkItems(CLimitTimer &limitTimer, void *pvJobContext)
{
    {
        std::lock_guard<CThreadRecursiveMutex> lock(m_WorkThreadsMutex);
        DeleteFinishedThreads();
    }

    CWorkItem *pWorkItem;
    while (m_pTSQueueCompleted->PopItem(&pWorkItem))
    {
        // The pool's reference is dropped after the dispatch, not before: an owner that let
        // go of its own reference still gets its completion on a live item.
        if (!pWorkItem->DispatchCompletedWorkItem(pvJobContext))
            Warning("Work Item for Work Pool %s completed but job no longer existed to notify\n",
                    m_szThreadName[0] ? m_szThreadName : "UNKNOWN");
        m_unLastDispatchedSequenceNumber = pWorkItem->m_unSequenceNumber;
        pWorkItem->Release();
        if (limitTimer.BLimitReached())
            break;
    }
    return m_pTSQueueCompleted->Count() > 0;
}

void CWorkThreadPool::StopWorkThreads()
{
    m_bExiting.store(true);
    {
        std::lock_guard<CThreadRecursiveMutex> lock(m_WorkThreadsMutex);
        for (CWorkThread *pThread : m_WorkThreads)
        {
            pThread->m_bExitRequested.store(true);
            pThread->OnExitRequested();
        }
    }

    for (;;)
    {
        CWorkThread *pWorkThread;
        {
            std::lock_guard<CThreadRecursiveMutex> lock(m_WorkThreadsMutex);
            DeleteFinishedThreads();
            if (m_WorkThreads.Count() == 0)
                break;
            pWorkThread = m_WorkThreads[0];
        }
        // Not under the lock: a worker resubmitting an item may need it to get out.
        // Only this thread deletes threads, so the pointer stays good.
        m_EventWakeUp.Set();
        if (!pWorkThread->Join(k_unMilliSecStopWait))
        {
            Warning("Thread \"%s\" (ID %d) failed to shut down\n", pWorkThread->GetName(),
                    (int)pWorkThread->GetThreadId());
            continue;
        }
        if (!pWorkThread->BFinished())
        {
            AssertFailed("pWorkThread->m_bFinished is false but thread is not running");
            pWorkThread->m_bFinished.store(true);
        }
    }

    AssertMsg(m_cThreadsRunning.load() == 0, "m_WorkThreads.Count() == 0 && m_cThreadsRunning == (uint32) 0");
}

int CWorkThreadPool::ReleaseItemsToProcess()
{
    int cReleased = 0;
    QueuedWorkItem_t queuedItem;
    while (m_pTSQueueToProcess->PopItem(&queuedItem))
    {
        queuedItem.m_pWorkItem->Release();
        ++cReleased;
    }
    return cReleased;
}

int CWorkThreadPool::ReleaseCompletedItems()
{
    int cReleased = 0;
    CWorkItem *pWorkItem;
    while (m_pTSQueueCompleted->PopItem(&pWorkItem))
    {
        pWorkItem->Release();
        ++cReleased;
    }
    std::lock_guard<std::mutex> lock(m_OrderingMutex);
    for (CWorkItem *pWaiting : m_vecCompletedAndWaiting)
    {
        pWaiting->Release();
        ++cReleased;
    }
    m_vecCompletedAndWaiting.RemoveAll();
    return cReleased;
}

int CWorkThreadPool::DiscardWorkItems()
{
    AssertMsg(m_bExiting.load(), "DiscardWorkItems before StopWorkThreads");
    int cDiscarded = ReleaseItemsToProcess();
    return cDiscarded + ReleaseCompletedItems();
}

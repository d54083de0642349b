#include "jobs/workthread.h"

#include "jobs/workthreadpool.h"

CWorkThread::CWorkThread(CWorkThreadPool *pPool)
    : m_pWorkThreadPool(pPool), m_bExitRequested(false), m_bFinished(false)
{
}

int CWorkThread::Run()
{
    CWorkThreadPool *pPool = m_pWorkThreadPool;
    ++pPool->m_cThreadsRunning;
    OnStart();

    while (!m_bExitRequested.load())
    {
        // Counted as looking for work while it looks, not while it processes: AddWorkItem
        // wakes a sleeping thread only when nobody is looking, and a thread busy with a
        // long item would otherwise keep the idle ones asleep.
        ++pPool->m_cThreadsWaiting;
        CWorkThreadPool::QueuedWorkItem_t queuedItem;
        while (!m_bExitRequested.load() && pPool->m_pTSQueueToProcess->PopItem(&queuedItem))
        {
            --pPool->m_cThreadsWaiting;
            pPool->ProcessWorkItem(this, queuedItem);
            ++pPool->m_cThreadsWaiting;
        }
        --pPool->m_cThreadsWaiting;

        // An item queued between the last look and the line above was not signalled (its
        // adder saw this thread looking): look once more before sleeping.
        if (!m_bExitRequested.load() && !pPool->m_pTSQueueToProcess->BIsEmpty())
            continue;
        pPool->m_EventWakeUp.Wait(CWorkThreadPool::k_unMilliSecIdleWait);
    }

    // Passes the wake-up on, so that the next stopping thread does not sleep out its wait.
    pPool->m_EventWakeUp.Set();
    m_bFinished.store(true);
    --pPool->m_cThreadsRunning;
    return 0;
}

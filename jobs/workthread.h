// CWorkThread: a worker thread of a CWorkThreadPool. It takes items from the pool's queue,
// processes them and hands them back to the pool as completed, and sleeps on the pool's
// wake-up event (at most 250 ms at a time) when there is nothing to do.
#pragma once

#include "foundation/basetypes.h"
#include "foundation/thread.h"

#include <atomic>

class CWorkThreadPool;

class CWorkThread : public CThread
{
public:
    explicit CWorkThread(CWorkThreadPool *pPool);

    // The worker loop.
    int Run() override;

    // Called by CWorkThreadPool::StopWorkThreads on the stopping thread, under the pool's
    // thread lock, right after the exit request is set: a thread that blocks elsewhere
    // than on the pool can unblock here.
    virtual void OnExitRequested() {}
    // Called on the worker thread before it first looks for work.
    virtual void OnStart() {}

    CWorkThreadPool *GetPool() const { return m_pWorkThreadPool; }
    // Set by the thread as the last thing its loop does.
    bool BFinished() const { return m_bFinished.load(); }

private:
    friend class CWorkThreadPool;

    CWorkThreadPool *m_pWorkThreadPool;
    std::atomic<bool> m_bExitRequested;
    std::atomic<bool> m_bFinished;
};

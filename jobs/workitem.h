// CWorkItem: one piece of blocking work that a work thread pool runs on a worker thread
// and then completes on the main thread.
//
// Life: the owner creates it (one reference) and hands it to CWorkThreadPool::AddWorkItem,
// which takes a reference of its own. A worker calls ThreadProcess; the main thread later
// calls DispatchCompletedWorkItem from the pool's dispatch, after which the pool drops its
// reference. The last Release deletes the item.
#pragma once

#include "foundation/basetypes.h"
#include "foundation/refcount.h"

#include <atomic>

class CWorkThread;

class CWorkItem : public CRefCountThreadSafe
{
public:
    CWorkItem();

    // Names of the two steps, for profiling.
    virtual const char *GetDispatchCompletedName() const { return "CWorkItem::DispatchCompletedWorkItem"; }
    virtual const char *GetThreadProcessName() const { return "CWorkItem::ThreadProcess"; }
    // The work, on a worker thread: touch only what the item owns or what is locked.
    // True on success. Set the resubmit flag to be processed again instead of completing.
    virtual bool ThreadProcess(CWorkThread *pThread) = 0;
    // The completion, on the main thread. False when the one to be notified no longer
    // exists. Item classes override it: the base has nobody to route the completion to.
    virtual bool DispatchCompletedWorkItem(void *pvJobContext);

    // Assigned when queued, counting from 1 per pool.
    uint64 GetSequenceNumber() const { return m_unSequenceNumber; }
    // High-resolution ticks of the last ThreadProcess.
    uint64 GetExecutionTime() const { return m_cycExecutionTime; }
    void SetResubmit(bool bResubmit) { m_bResubmit = bResubmit; }
    // Whether ThreadProcess is running now (may be asked from any thread).
    // Set when the deadline had passed before processing: the item completed unprocessed.
    bool BTimedOut() const { return m_bTimedOut; }
    // Absolute time on the scheduler's clock (Clock_GetMicroseconds) after which the item is
    // no longer worth processing; 0 for none. Set before queuing.
    void SetDeadline(uint64 ulDeadlineMicroseconds) { m_ulDeadline = ulDeadlineMicroseconds; }

protected:
    ~CWorkItem() override;

private:
    friend class CWorkThreadPool;

    uint64 m_unSequenceNumber;
    uint64 m_cycExecutionTime;
    bool m_bResubmit;
    std::atomic<bool> m_bRunning;
    bool m_bTimedOut;
    uint64 m_ulDeadline;
};

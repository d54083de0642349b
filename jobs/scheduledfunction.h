// Scheduled functions: callbacks that run once, on the main thread, when their time has
// come. Times are microseconds on the scheduler's clock (Clock_GetMicroseconds). The
// scheduled function manager is itself the frame function "CScheduledFunctionMgr::BFrameFuncRun",
// which the main flow registers with the frame function manager; due functions run from it.
//
// Thread: the main thread only, like the frame loop; nothing is locked.
#pragma once

#include "foundation/basetypes.h"
#include "foundation/utlhandlelist.h"
#include "jobs/framefunctionmgr.h"

#include <vector>

class CScheduledFunctionMgr;

class CBaseScheduledFunction
{
public:
    // pMgr: the manager to schedule with, which must then outlive the function; null (the
    // usual case): the process-wide manager, which the function never touches once the
    // manager is gone.
    explicit CBaseScheduledFunction(CScheduledFunctionMgr *pMgr = nullptr);
    // Unschedules.
    virtual ~CBaseScheduledFunction();
    CBaseScheduledFunction(const CBaseScheduledFunction &) = delete;
    CBaseScheduledFunction &operator=(const CBaseScheduledFunction &) = delete;

    // The callback. It may schedule the function again (or delete it).
    virtual void Run() = 0;

    // Runs the function nMicroSeconds from now (a negative delay is reported and taken as 0).
    // A function scheduled again before it ran runs once, at the latest due time.
    void Schedule(int64 nMicroSeconds);
    // Forgets a pending run, if any.
    void Cancel();
    bool BIsScheduled() const { return m_iScheduledItem != k_iNotScheduled; }
    // Due time on the scheduler's clock; 0 when not scheduled.
    uint64 GetDueTime() const { return m_ulTime; }

private:
    friend class CScheduledFunctionMgr;
    static const int32 k_iNotScheduled = -1;

    CScheduledFunctionMgr *GetMgr() const;

    int32 m_iScheduledItem; // handle of its entry in the manager's function list
    uint64 m_ulTime;
    CScheduledFunctionMgr *m_pMgr;
};

// Calls a member function of its owner; usually a member of that owner.
template <class T>
class CScheduledFunction : public CBaseScheduledFunction
{
public:
    typedef void (T::*FnMember_t)();

    CScheduledFunction(T *pObj, FnMember_t pfn, CScheduledFunctionMgr *pMgr = nullptr)
        : CBaseScheduledFunction(pMgr), m_pObj(pObj), m_pfn(pfn)
    {
    }
    void Run() override
    {
        if (m_pObj && m_pfn)
            (m_pObj->*m_pfn)();
    }

private:
    T *m_pObj;
    FnMember_t m_pfn;
};

class CScheduledFunctionMgr : public CFrameFunction<CScheduledFunctionMgr>
{
public:
    CScheduledFunctionMgr();
    // Detaches the functions still scheduled, so that they never come back to it.
    ~CScheduledFunctionMgr();

    // The frame function: runs every function that is due, until the limit is reached
    // (then true) or nothing more is due (then false). Functions scheduled while it runs
    // wait for the next call, even with a delay of 0.
    bool BFrameFuncRun(CLimitTimer &limitTimer);

    // Queued items, stale ones included.
    int CountQueuedItems() const { return (int)(m_vecQueue.size() + m_vecScheduledDuringRun.size()); }
    // Functions with a pending run.
    int CountScheduledFunctions() const { return m_listFunctions.Count(); }

private:
    friend class CBaseScheduledFunction;

    struct ScheduledItem_t
    {
        uint64 m_ulTime;
        int32 m_iScheduledFunction;
        uint64 m_unSerial; // equal due times run in the order they were scheduled
    };
    struct LaterItem_t
    {
        bool operator()(const ScheduledItem_t &a, const ScheduledItem_t &b) const
        {
            return a.m_ulTime != b.m_ulTime ? a.m_ulTime > b.m_ulTime : a.m_unSerial > b.m_unSerial;
        }
    };

    void ScheduleFunction(CBaseScheduledFunction *pFunction, uint64 ulTime, uint64 ulNow);
    void CancelFunction(CBaseScheduledFunction *pFunction);
    void PushItem(const ScheduledItem_t &scheduledItem);

    bool m_bHasRun;
    uint64 m_ulCreationTime;
    std::vector<ScheduledItem_t> m_vecQueue; // binary heap, earliest due time on top
    CUtlHandleList<CBaseScheduledFunction *> m_listFunctions;
    int m_nRunDepth;
    std::vector<ScheduledItem_t> m_vecScheduledDuringRun;
    uint64 m_unNextSerial;
    bool m_bReportedNeverRun;
};

// The process-wide manager, created on first use.
CScheduledFunctionMgr &GetScheduledFunctionMgr();

#include "jobs/scheduledfunction.h"

#include "foundation/clock.h"
#include "foundation/dbg.h"

#include <algorithm>
#include <atomic>

namespace
{
// Life of the process-wide manager. Scheduled functions that outlive it (globals destroyed
// after it at exit) must not touch it.
enum EGlobalMgrState
{
    k_EGlobalMgrNotCreated,
    k_EGlobalMgrAlive,
    k_EGlobalMgrDestroyed,
};
std::atomic<int> g_eGlobalMgrState{k_EGlobalMgrNotCreated};
CScheduledFunctionMgr *g_pGlobalMgr = nullptr;
} // namespace

CScheduledFunctionMgr &GetScheduledFunctionMgr()
{
    static CScheduledFunctionMgr s_ScheduledFunctionMgr;
    if (!g_pGlobalMgr)
    {
        g_pGlobalMgr = &s_ScheduledFunctionMgr;
        g_eGlobalMgrState.store(k_EGlobalMgrAlive);
    }
    return s_ScheduledFunctionMgr;
}

CBaseScheduledFunction::CBaseScheduledFunction(CScheduledFunctionMgr *pMgr)
    : m_iScheduledItem(k_iNotScheduled), m_ulTime(0), m_pMgr(pMgr)
{
}

CBaseScheduledFunction::~CBaseScheduledFunction()
{
    Cancel();
}

CScheduledFunctionMgr *CBaseScheduledFunction::GetMgr() const
{
    if (m_pMgr)
        return m_pMgr;
    if (g_eGlobalMgrState.load() == k_EGlobalMgrDestroyed)
        return nullptr;
    return &GetScheduledFunctionMgr();
}

void CBaseScheduledFunction::Schedule(int64 nMicroSeconds)
{
    Assert(nMicroSeconds >= 0);
    if (nMicroSeconds < 0)
        nMicroSeconds = 0;
    CScheduledFunctionMgr *pMgr = GetMgr();
    if (!pMgr)
        return; // the process is ending: nothing will run it
    uint64 ulNow = Clock_GetMicroseconds();
    pMgr->ScheduleFunction(this, ulNow + (uint64)nMicroSeconds, ulNow);
}

void CBaseScheduledFunction::Cancel()
{
    if (m_iScheduledItem != k_iNotScheduled)
    {
        // A manager that went away has detached us already (handle reset), so reaching
        // here means it is alive.
        if (CScheduledFunctionMgr *pMgr = GetMgr())
            pMgr->CancelFunction(this);
    }
    m_iScheduledItem = k_iNotScheduled;
    m_ulTime = 0;
}

CScheduledFunctionMgr::CScheduledFunctionMgr()
    : CFrameFunction<CScheduledFunctionMgr>(this, &CScheduledFunctionMgr::BFrameFuncRun,
                                            "CScheduledFunctionMgr::BFrameFuncRun", k_EFrameTypeMain),
      m_bHasRun(false), m_ulCreationTime(0), m_listFunctions(12), m_nRunDepth(0), m_unNextSerial(0),
      m_bReportedNeverRun(false)
{
}

CScheduledFunctionMgr::~CScheduledFunctionMgr()
{
    for (int h = m_listFunctions.Head(); h != m_listFunctions.InvalidIndex(); h = m_listFunctions.Next(h))
    {
        CBaseScheduledFunction *pFunction = m_listFunctions[h];
        pFunction->m_iScheduledItem = CBaseScheduledFunction::k_iNotScheduled;
        pFunction->m_ulTime = 0;
    }
    m_listFunctions.RemoveAll();
    if (this == g_pGlobalMgr)
        g_eGlobalMgrState.store(k_EGlobalMgrDestroyed);
}

void CScheduledFunctionMgr::ScheduleFunction(CBaseScheduledFunction *pFunction, uint64 ulTime, uint64 ulNow)
{
    // The item of an earlier schedule stays queued; without its list entry it is stale.
    if (pFunction->m_iScheduledItem != CBaseScheduledFunction::k_iNotScheduled)
        m_listFunctions.Remove(pFunction->m_iScheduledItem);
    pFunction->m_iScheduledItem = CBaseScheduledFunction::k_iNotScheduled;
    pFunction->m_ulTime = 0;

    ScheduledItem_t scheduledItem;
    scheduledItem.m_ulTime = ulTime;
    scheduledItem.m_iScheduledFunction = m_listFunctions.AddToTail(pFunction);
    if (scheduledItem.m_iScheduledFunction == m_listFunctions.InvalidIndex())
    {
        AssertFailed("CScheduledFunctionMgr: out of memory for scheduled functions");
        return;
    }
    scheduledItem.m_unSerial = m_unNextSerial++;
    pFunction->m_iScheduledItem = scheduledItem.m_iScheduledFunction;
    pFunction->m_ulTime = ulTime;

    Assert(scheduledItem.m_ulTime);

    if (m_ulCreationTime == 0)
        m_ulCreationTime = ulNow;
    if (!m_bHasRun && ulNow != m_ulCreationTime && !m_bReportedNeverRun)
    {
        // Once per manager: every later Schedule would say the same.
        m_bReportedNeverRun = true;
        // clang-format off
        AssertFailed("Relying on scheduled functions in a dll that doesn't run the scheduled function managers frame loop?");
        // clang-format on
    }

    if (m_nRunDepth > 0)
        m_vecScheduledDuringRun.push_back(scheduledItem);
    else
        PushItem(scheduledItem);
}

void CScheduledFunctionMgr::CancelFunction(CBaseScheduledFunction *pFunction)
{
    // Its queued item becomes stale and is dropped when it comes up.
    m_listFunctions.Remove(pFunction->m_iScheduledItem);
}

void CScheduledFunctionMgr::PushItem(const ScheduledItem_t &scheduledItem)
{
    m_vecQueue.push_back(scheduledItem);
    std::push_heap(m_vecQueue.begin(), m_vecQueue.end(), LaterItem_t());
}

bool CScheduledFunctionMgr::BFrameFuncRun(CLimitTimer &limitTimer)
{
    m_bHasRun = true;
    uint64 ulNow = Clock_GetMicroseconds();
    bool bMoreWork = false;

    // Functions scheduled from a Run wait for the next call: one that schedules itself with
    // no delay would otherwise run over and over within this one.
    ++m_nRunDepth;
    while (!m_vecQueue.empty())
    {
        if (m_vecQueue.front().m_ulTime > ulNow)
            break;
        std::pop_heap(m_vecQueue.begin(), m_vecQueue.end(), LaterItem_t());
        ScheduledItem_t scheduledItem = m_vecQueue.back();
        m_vecQueue.pop_back();

        if (m_listFunctions.IsValidIndex(scheduledItem.m_iScheduledFunction))
        {
            CBaseScheduledFunction *pBaseScheduledFunction =
                m_listFunctions[scheduledItem.m_iScheduledFunction];
            Assert(pBaseScheduledFunction->m_iScheduledItem == scheduledItem.m_iScheduledFunction);
            if (pBaseScheduledFunction->m_iScheduledItem == scheduledItem.m_iScheduledFunction &&
                pBaseScheduledFunction->m_ulTime == scheduledItem.m_ulTime)
            {
                // Unscheduled before the call: Run may schedule it again or delete it.
                pBaseScheduledFunction->m_iScheduledItem = CBaseScheduledFunction::k_iNotScheduled;
                pBaseScheduledFunction->m_ulTime = 0;
                m_listFunctions.Remove(scheduledItem.m_iScheduledFunction);
                pBaseScheduledFunction->Run();
            }
            // Otherwise the function was scheduled again for another time: this item is stale.
        }

        if (limitTimer.BLimitReached())
        {
            bMoreWork = true;
            break;
        }
    }
    if (--m_nRunDepth == 0)
    {
        for (const ScheduledItem_t &scheduledItem : m_vecScheduledDuringRun)
            PushItem(scheduledItem);
        m_vecScheduledDuringRun.clear();
    }
    return bMoreWork;
}

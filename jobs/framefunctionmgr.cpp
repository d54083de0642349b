#include "jobs/framefunctionmgr.h"

#include "foundation/dbg.h"
#include "foundation/strtools.h"

CBaseFrameFunction::CBaseFrameFunction(const char *pchName, int eFrameType)
    : m_eFrameType(eFrameType), m_rgunMicroSecRunHistory(), m_iHistory(0), m_pOwner(nullptr)
{
    AssertMsg(eFrameType >= 0 && eFrameType < k_EFrameTypeMax, "eFrameType < k_EFrameTypeMax");
    m_rgchName[0] = '\0';
    AssertMsg(pchName, "pchName");
    if (pchName)
    {
        AssertMsg(Q_strlen(pchName) < (int)Q_ARRAYSIZE(m_rgchName),
                  "Q_strlen( pchName ) < Q_ARRAYSIZE( m_rgchName )");
        Q_strncpy(m_rgchName, pchName, (int)Q_ARRAYSIZE(m_rgchName));
    }
}

CBaseFrameFunction::~CBaseFrameFunction()
{
    if (m_pOwner)
        m_pOwner->Deregister(this);
}

CFrameFunctionMgr::CFrameFunctionMgr() {}

CFrameFunctionMgr::~CFrameFunctionMgr()
{
    Cleanup();
}

static bool BValidFrameType(int eFrameType)
{
    return eFrameType >= 0 && eFrameType < k_EFrameTypeMax;
}

bool CFrameFunctionMgr::Register(CBaseFrameFunction *pFrameFunction)
{
    if (!pFrameFunction)
    {
        AssertFailed("CFrameFunctionMgr::Register: no function");
        return false;
    }
    int eFrameType = pFrameFunction->m_eFrameType;
    if (!BValidFrameType(eFrameType))
    {
        // Reported once already when the function was made; it has no list to go into.
        AssertFailed("eFrameType < k_EFrameTypeMax");
        return false;
    }
    // A second entry would outlive the function: its destructor removes only one.
    if (pFrameFunction->m_pOwner)
    {
        AssertFailedV("CFrameFunctionMgr::Register: %s is registered already", pFrameFunction->GetName());
        return false;
    }
    m_rgVecFrameFunctions[eFrameType].AddToTail(pFrameFunction);
    pFrameFunction->m_pOwner = this;
    return true;
}

CBaseFrameFunction *CFrameFunctionMgr::RegisterStatic(FnFrameFunction_t pfn, const char *pchName,
                                                      int eFrameType)
{
    CStaticFrameFunction *pFrameFunction = new CStaticFrameFunction(pfn, pchName, eFrameType);
    if (!Register(pFrameFunction))
    {
        delete pFrameFunction;
        return nullptr;
    }
    return pFrameFunction;
}

void CFrameFunctionMgr::Deregister(CBaseFrameFunction *pFrameFunction)
{
    if (pFrameFunction && pFrameFunction->m_pOwner == this && BValidFrameType(pFrameFunction->m_eFrameType) &&
        m_rgVecFrameFunctions[pFrameFunction->m_eFrameType].FindAndRemove(pFrameFunction))
    {
        pFrameFunction->m_pOwner = nullptr;
        return;
    }
    AssertFailed("CFrameFunctionMgr::Deregister: function to deregister not found");
}

uint64 CFrameFunctionMgr::ReadMonotonicTicks()
{
    uint64 unNow = Clock_GetTicks();
    if (unNow < m_unLastTicks && m_cBackwardReadings < 1000)
    {
        ++m_cBackwardReadings;
        return m_unLastTicks;
    }
    m_cBackwardReadings = 0;
    m_unLastTicks = unNow;
    return unNow;
}

bool CFrameFunctionMgr::RunFrame(int eFrameType, uint64 *pcycTotal, bool bCheckTime)
{
    if (!BValidFrameType(eFrameType))
    {
        AssertFailed("eFrameType < k_EFrameTypeMax");
        return false;
    }
    uint64 unTicksFrameStart = ReadMonotonicTicks();
    bool bMoreWork = false;
    CUtlVector<CBaseFrameFunction *> &vecFunctions = m_rgVecFrameFunctions[eFrameType];

    // The list may change under us: a function may register or deregister functions
    // (itself included) while it runs, so the count is read anew for every step.
    int i = 0;
    while (i < vecFunctions.Count())
    {
        CBaseFrameFunction *pFrameFunction = vecFunctions[i];
        CLimitTimer limitTimer;
        limitTimer.SetLimit(k_unMicroSecPerFunction);
        uint64 unTicksStart = Clock_GetTicks();
        bMoreWork |= pFrameFunction->BRun(limitTimer);
        uint64 unTicksEnd = Clock_GetTicks();

        // Only a function that is still registered may be touched afterwards: one that
        // deregistered itself may be gone. Its successors then moved down by one.
        int iNow = (i < vecFunctions.Count() && vecFunctions[i] == pFrameFunction)
                       ? i
                       : vecFunctions.Find(pFrameFunction);
        if (iNow < 0)
            continue;
        i = iNow + 1;

        uint64 unTicks = unTicksEnd > unTicksStart ? unTicksEnd - unTicksStart : 1;
        uint64 unMicroSec = Clock_TicksToMicroseconds(unTicks);
        pFrameFunction->m_rgunMicroSecRunHistory[pFrameFunction->m_iHistory] =
            unMicroSec > 0xFFFFFFFFull ? 0xFFFFFFFFu : (uint32)unMicroSec;
        pFrameFunction->m_iHistory = (pFrameFunction->m_iHistory + 1) % CBaseFrameFunction::k_cRunHistory;
        if (bCheckTime && unMicroSec > k_unMicroSecPerFunction)
            DMsg("frame", 3, "Frame function %s ran %llu us (budget %u us)\n", pFrameFunction->GetName(),
                 (unsigned long long)unMicroSec, k_unMicroSecPerFunction);
    }

    uint64 unTicksFrameEnd = ReadMonotonicTicks();
    if (pcycTotal)
        *pcycTotal += unTicksFrameEnd - unTicksFrameStart;
    return bMoreWork;
}

void CFrameFunctionMgr::Cleanup()
{
    for (int eFrameType = 0; eFrameType < k_EFrameTypeMax; ++eFrameType)
    {
        CUtlVector<CBaseFrameFunction *> &vecFunctions = m_rgVecFrameFunctions[eFrameType];
        for (int i = 0; i < vecFunctions.Count(); ++i)
        {
            CBaseFrameFunction *pFrameFunction = vecFunctions[i];
            // Detached first, so that its destructor does not come back here.
            pFrameFunction->m_pOwner = nullptr;
            if (pFrameFunction->BIsStatic())
                delete pFrameFunction;
            else
                AssertFailed(
                    "CFrameFunctionMgr::~CFrameFunctionMgr: non static FrameFunction still registered");
        }
        vecFunctions.RemoveAll();
    }
}

int CFrameFunctionMgr::Count(int eFrameType) const
{
    return BValidFrameType(eFrameType) ? m_rgVecFrameFunctions[eFrameType].Count() : 0;
}

CBaseFrameFunction *CFrameFunctionMgr::Get(int eFrameType, int i) const
{
    if (!BValidFrameType(eFrameType) || !m_rgVecFrameFunctions[eFrameType].IsValidIndex(i))
        return nullptr;
    return m_rgVecFrameFunctions[eFrameType][i];
}

CFrameFunctionMgr &GetFrameFunctionMgr()
{
    static CFrameFunctionMgr s_FrameFunctionMgr;
    return s_FrameFunctionMgr;
}

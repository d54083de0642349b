#include "jobs/workitem.h"

#include "foundation/dbg.h"

CWorkItem::CWorkItem()
    : m_unSequenceNumber(0), m_cycExecutionTime(0), m_bResubmit(false), m_bRunning(false), m_bTimedOut(false),
      m_ulDeadline(0)
{
}

CWorkItem::~CWorkItem() {}

bool CWorkItem::DispatchCompletedWorkItem(void *)
{
    // Completions are routed by the item classes themselves; an item that reaches here has
    // no job to go to. Nobody is left waiting, so the dispatch carries on.
    AssertFailed("CWorkItem::DispatchCompletedWorkItem: got a work item with no job ID");
    return true;
}

#include "net/networkitems.h"

bool CNetConnectionWorkItem::DispatchCompletedWorkItem(void *)
{
    // A connection that is gone already needs nothing; that is not a lost job.
    CNet::OnConnectionWorkItemCompleted(m_hConnection, m_eKind, m_eReason);
    return true;
}

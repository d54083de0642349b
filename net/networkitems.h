// The work items through which disconnect and destroy requests of the network layer reach
// the main thread: queued on the "CNet Encrypt" pool (one thread, completions in the order
// queued), they do nothing on the worker and act when their completion is dispatched by
// CNet::BFrameHandleCompletedWorkItems. Going through the pool keeps a request made inside
// a callback from taking effect inside that callback.
#pragma once

#include "jobs/workitem.h"
#include "net/net.h"

class CNetConnectionWorkItem : public CWorkItem
{
public:
    CNetConnectionWorkItem(HNetConnection hConnection, CNet::EConnectionWorkItem eKind, int eReason)
        : m_hConnection(hConnection), m_eKind(eKind), m_eReason(eReason)
    {
    }
    bool ThreadProcess(CWorkThread *) override { return true; }
    bool DispatchCompletedWorkItem(void *) override;

private:
    HNetConnection m_hConnection;
    CNet::EConnectionWorkItem m_eKind;
    int m_eReason;
};

// Ends the connection once its queued data went out.
class CNetConnectionAsyncDisconnectWorkItem : public CNetConnectionWorkItem
{
public:
    explicit CNetConnectionAsyncDisconnectWorkItem(HNetConnection hConnection)
        : CNetConnectionWorkItem(hConnection, CNet::k_EConnectionWorkItemAsyncDisconnect,
                                 k_ENetDisconnectLocal)
    {
    }
    const char *GetDispatchCompletedName() const override
    {
        return "CNetConnectionAsyncDisconnectWorkItem::DispatchCompletedWorkItem";
    }
};

// Ends the connection at once.
class CNetConnectionImmediateDisconnectWorkItem : public CNetConnectionWorkItem
{
public:
    explicit CNetConnectionImmediateDisconnectWorkItem(HNetConnection hConnection)
        : CNetConnectionWorkItem(hConnection, CNet::k_EConnectionWorkItemImmediateDisconnect,
                                 k_ENetDisconnectLocal)
    {
    }
    const char *GetDispatchCompletedName() const override
    {
        return "CNetConnectionImmediateDisconnectWorkItem::DispatchCompletedWorkItem";
    }
};

// Deletes the connection and frees its handle.
class CNetConnectionDestroyWorkItem : public CNetConnectionWorkItem
{
public:
    explicit CNetConnectionDestroyWorkItem(HNetConnection hConnection)
        : CNetConnectionWorkItem(hConnection, CNet::k_EConnectionWorkItemDestroy, 0)
    {
    }
    const char *GetDispatchCompletedName() const override
    {
        return "CNetConnectionDestroyWorkItem::DispatchCompletedWorkItem";
    }
};

// Tells the owner that its connection ended, outside the call in which that happened.
class CNetConnectionOnDisconnectWorkItem : public CNetConnectionWorkItem
{
public:
    CNetConnectionOnDisconnectWorkItem(HNetConnection hConnection, int eReason)
        : CNetConnectionWorkItem(hConnection, CNet::k_EConnectionWorkItemOnDisconnect, eReason)
    {
    }
    const char *GetDispatchCompletedName() const override
    {
        return "CNetConnectionOnDisconnectWorkItem::DispatchCompletedWorkItem";
    }
};

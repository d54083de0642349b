// CNetConnection: what every connection of the network layer has (handle, state, peer,
// flags, owner callback), and the interface through which CNet drives it.
//
// Thread: the main thread. CNet creates, polls and deletes connections; their owners only
// see handles.
#pragma once

#include "foundation/basetypes.h"
#include "net/net.h"
#include "net/netadr.h"

enum EConnectionState
{
    k_EConnectionStateConnecting = 1,
    k_EConnectionStateConnected = 2,
    k_EConnectionStateClosing = 3, // ending after the queued data went out; arriving data is still read
    k_EConnectionStateUnconnected = 4,
};

class CNetConnection
{
public:
    CNetConnection(HNetConnection hConnection, IConnectionCallback *pConnectionCallback, uint32 unFlags,
                   IStreamParser *pStreamParser);
    virtual ~CNetConnection();
    CNetConnection(const CNetConnection &) = delete;
    CNetConnection &operator=(const CNetConnection &) = delete;

    // Starts the connect (state unconnected to connecting); false when it cannot start.
    virtual bool BConnect(const netadr_t &adrRemote, const netadr_t &adrLocalBind) = 0;
    // Looks at the socket and acts; true when data was received.
    virtual bool BPollConnection() = 0;
    virtual bool BInternalAsyncSend(const void *pvData, uint32 cubData, bool bAsDatagram) = 0;
    // Ends the connection after the queued data went out (then tells the owner).
    virtual void AsyncDisconnect() = 0;
    // How the owner hears of a disconnect.
    enum ENotifyOwner
    {
        k_ENotifyOwnerNot,    // not at all (the connection is being destroyed)
        k_ENotifyOwnerNow,    // from this call
        k_ENotifyOwnerQueued, // from a CNetConnectionOnDisconnectWorkItem (when the owner is inside a call of
                              // its own)
    };
    // Ends it now.
    virtual void Disconnect(int eReason, ENotifyOwner eNotify) = 0;
    virtual bool BGetLocalAddress(netadr_t *pAdrLocal) const = 0;
    // Connected, and every layer on top of the socket is connected too.
    virtual bool BIsConnected() const { return m_EConnectionState == k_EConnectionStateConnected; }

    HNetConnection GetHandle() const { return m_hConnection; }
    EConnectionState GetState() const { return m_EConnectionState; }
    const netadr_t &GetRemoteAddress() const { return m_adrRemote; }
    uint32 GetFlags() const { return m_unFlags; }
    IConnectionCallback *GetConnectionCallback() const { return m_pConnectionCallback; }
    // Null installs the empty callback.
    void SetConnectionCallback(IConnectionCallback *pCallback);
    bool BHasEmptyCallback() const;

    // Poll list membership (reference-counted).
    void AddToPollList();
    void RemoveFromPollList();
    int GetPollRefCount() const { return m_cRefCountPolling; }

protected:
    HNetConnection m_hConnection;
    EConnectionState m_EConnectionState;
    netadr_t m_adrRemote;
    netadr_t m_adrLocalBind;
    uint32 m_unFlags;
    IConnectionCallback *m_pConnectionCallback;
    IStreamParser *m_pStreamParser;
    int m_cRefCountPolling;
};

// CHTTPClient: the connection pool. Requests join the entry of their addresses and get an
// idle kept-alive connection, a new one while the entry has fewer than
// m_unMaxInFlightRequestsPerHost in use, or a place in the entry's queue; connections come
// back idle or go, and each time the oldest waiting request takes the room.
//
// Re-entrance: a connection may call back into the client from inside BAsyncSendRequest
// (RemoveClientConnection and Dispatch, for the retry of a stale kept-alive connection),
// and may be gone when it returns; so nothing here holds on to an entry or a connection
// across that call.
#include "http/httpclient.h"

#include "foundation/dbg.h"
#include "http/httpclientconnection.h"

HostLookup_t CHTTPClient::HostLookupFor(const netadr_t &adrTarget, const netadr_t &adrConnect) const
{
    HostLookup_t key;
    key.m_adrTarget = adrTarget;
    key.m_adrConnect = adrConnect;
    key.m_pTLSContext = m_pTLSContext;
    return key;
}

void CHTTPClient::Dispatch(CHTTPRequestHandle *pHandle)
{
    // Completing the handle may drop every other reference to it.
    pHandle->AddRef();
    CHTTPClientRequest *pRequest = pHandle->AccessClientRequest();
    if (m_bIsShutdown || !pRequest->m_adrConnect.BIsComplete() || !pRequest->m_adrTarget.BIsComplete())
    {
        // Shut down, or the name lookup failed: it completes failed.
        DispatchRequest(pHandle);
        pHandle->Release();
        return;
    }

    AddrConnectionInfo_t &info =
        m_MapHostsToPersistentConnections[HostLookupFor(pRequest->m_adrTarget, pRequest->m_adrConnect)];
    const char *pchTarget = pRequest->m_adrTarget.ToString();
    CHTTPClientConnection *pConnection;
    if (info.m_pTreeWaitingConnections->empty())
    {
        if (info.m_pTreeInUseConnections->size() >= m_unMaxInFlightRequestsPerHost)
        {
            DMsg("http", 3, "Queueing request for http%s://%s%s, %d already in queue\n",
                 pRequest->m_bSecure ? "s" : "", pRequest->GetHostname(), pRequest->GetURL(),
                 (int)info.m_pListWaitingRequestsForAddress->size());
            pHandle->AddRef();
            info.m_pListWaitingRequestsForAddress->push_back(pHandle);
            pHandle->Release();
            return;
        }
        DMsg("http", 3, "Need new HTTP connection for %s (%s)\n", pchTarget, pRequest->GetHostname());
        pConnection = new CHTTPClientConnection(this, pRequest->m_adrConnect, pRequest->m_adrTarget,
                                                pRequest->m_bSecure, m_pTLSContext);
        ++m_cConnectionsCreated;
    }
    else
    {
        pConnection = *info.m_pTreeWaitingConnections->begin();
        info.m_pTreeWaitingConnections->erase(info.m_pTreeWaitingConnections->begin());
        DMsg("http", 3, "Reusing HTTP connection for %s\n", pchTarget);
    }
    info.m_pTreeInUseConnections->insert(pConnection);
    // The entry and the connection may both be gone when this returns.
    bool bAccepted = pConnection->BAsyncSendRequest(pHandle);
    Assert(bAccepted);
    pHandle->Release();
}

void CHTTPClient::AddClientConnectionBackToPool(CHTTPClientConnection *pConnection)
{
    const char *pchTarget = pConnection->GetTargetAddress().ToString();
    DMsg("http", 3, "Connection for %s re-entering pool\n", pchTarget);
    if (m_bIsShutdown)
    {
        // Called from inside the connection: it ends itself once its callback returns.
        pConnection->Abort();
        return;
    }
    HostLookup_t key = HostLookupFor(pConnection->GetTargetAddress(), pConnection->GetConnectAddress());
    auto it = m_MapHostsToPersistentConnections.find(key);
    if (it == m_MapHostsToPersistentConnections.end())
    {
        AssertMsg(false, "AddClientConnectionBackToPool called, with no current map entry!");
        it = m_MapHostsToPersistentConnections.emplace(key, AddrConnectionInfo_t()).first;
    }
    AddrConnectionInfo_t &info = it->second;
    if (info.m_pTreeInUseConnections->erase(pConnection) == 0)
        AssertMsg(false, "Adding connection back to pool, but not found in in use list");
    info.m_pTreeWaitingConnections->insert(pConnection);

    if (info.m_pListWaitingRequestsForAddress->empty())
    {
        DMsg("http", 3, "No waiting requests for %s\n", pchTarget);
        return;
    }
    DMsg("http", 3, "Sending first queued request for %s\n", pchTarget);
    CHTTPRequestHandle *pHandle = info.m_pListWaitingRequestsForAddress->front();
    info.m_pListWaitingRequestsForAddress->pop_front();
    // It finds the connection just returned.
    Dispatch(pHandle);
    pHandle->Release();
}

void CHTTPClient::RemoveClientConnection(CHTTPClientConnection *pConnection)
{
    if (m_bIsShutdown)
        return;
    const char *pchTarget = pConnection->GetTargetAddress().ToString();
    DMsg("http", 3, "Removing now closed connection for %s\n", pchTarget);
    auto it = m_MapHostsToPersistentConnections.find(
        HostLookupFor(pConnection->GetTargetAddress(), pConnection->GetConnectAddress()));
    if (it == m_MapHostsToPersistentConnections.end())
    {
        AssertMsg(false, "RemoveClientConnection: connection without a map entry");
        return;
    }
    AddrConnectionInfo_t &info = it->second;
    int cWaiting = (int)info.m_pListWaitingRequestsForAddress->size();
    // clang-format off
    if (info.m_pTreeWaitingConnections->erase(pConnection))
        DMsg("http", 3, "Removing idle connection for %s, %d left open, %d requests waiting, %d requests still in-flight\n",
             pchTarget, (int)info.m_pTreeWaitingConnections->size(), cWaiting, (int)info.m_pTreeInUseConnections->size());
    else if (info.m_pTreeInUseConnections->erase(pConnection))
        DMsg("http", 3, "Removing in-use connection for %s, %d left open, %d requests waiting, %d requests still in-flight\n",
             pchTarget, (int)info.m_pTreeWaitingConnections->size(), cWaiting, (int)info.m_pTreeInUseConnections->size());
    else
        AssertMsg(false, "RemoveClientConnection: connection in neither the idle nor the in-use set");
    // clang-format on

    if (info.BEmpty())
    {
        m_MapHostsToPersistentConnections.erase(it);
        return;
    }
    if (cWaiting == 0)
        return;
    // The room the connection leaves goes to the oldest waiting request (a new connection).
    CHTTPRequestHandle *pHandle = info.m_pListWaitingRequestsForAddress->front();
    info.m_pListWaitingRequestsForAddress->pop_front();
    Dispatch(pHandle);
    pHandle->Release();
}

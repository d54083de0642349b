#include "common/httpclient.h"

#include "common/httpclientconnection.h"
#include "foundation/dbg.h"

#include <algorithm>

namespace
{
bool BRemoveFrom(std::vector<CHTTPClientConnection *> &vec, CHTTPClientConnection *pConnection)
{
    auto it = std::find(vec.begin(), vec.end(), pConnection);
    if (it == vec.end())
        return false;
    vec.erase(it);
    return true;
}
} // namespace

CHTTPRequestHandle::CHTTPRequestHandle(CHTTPClient *pClient, CHTTPClientRequest *pRequest,
                                       CHTTPClientResponse *pResponse, CHTTPRequestHandle *pParentHandle)
    : m_bCompleted(false), m_bSucceeded(false), m_pClient(pClient), m_pRequest(pRequest),
      m_pResponse(pResponse), m_pParentHandle(pParentHandle)
{
    if (m_pRequest)
        m_pRequest->AddRef();
    if (m_pResponse)
        m_pResponse->AddRef();
    else
        m_pResponse = new CHTTPClientResponse(pRequest);
    if (m_pParentHandle)
        m_pParentHandle->AddRef();
}

CHTTPRequestHandle::~CHTTPRequestHandle()
{
    if (m_pRequest)
        m_pRequest->Release();
    if (m_pResponse)
        m_pResponse->Release();
    if (m_pParentHandle)
        m_pParentHandle->Release();
}

float CHTTPRequestHandle::GetPercentComplete() const
{
    if (!m_pResponse)
        return 0.0f;
    uint32 unExpected = m_pResponse->m_unBodyBytesExpected.load();
    if (unExpected == 0)
        return 0.0f;
    return (float)m_pResponse->m_unBodyBytesReceived.load() / (float)unExpected * 100.0f;
}

CHTTPClient::CHTTPClient(CFrameFunctionMgr &frameFunctionMgr, uint32 unKeepAliveTimeoutSeconds, const char *,
                         uint32, uint32 unMaxInFlightRequestsPerHost, CTLSContext *pTLSContext,
                         CWorkThreadPool *pThreadPool)
    : m_unMaxInFlightRequestsPerHost(unMaxInFlightRequestsPerHost),
      m_unKeepAliveTimeoutSeconds(unKeepAliveTimeoutSeconds), m_bIsShutdown(false),
      m_pFrameFunctionMgr(&frameFunctionMgr), m_pTLSContext(pTLSContext), m_pCallerThreadPool(pThreadPool),
      m_cConnectionsCreated(0)
{
    if (m_pTLSContext)
        m_pTLSContext->AddRef();
    else
        m_pTLSContext = new CTLSContext();
}

CHTTPClient::~CHTTPClient()
{
    Shutdown();
    m_pTLSContext->Release();
}

void CHTTPClient::Shutdown()
{
    if (m_bIsShutdown)
        return;
    m_bIsShutdown = true;
    // A connection's destructor completes the request it carries (failed).
    std::vector<CHTTPClientConnection *> vecConnections = m_vecInUseConnections;
    vecConnections.insert(vecConnections.end(), m_vecIdleConnections.begin(), m_vecIdleConnections.end());
    m_vecInUseConnections.clear();
    m_vecIdleConnections.clear();
    for (CHTTPClientConnection *pConnection : vecConnections)
        delete pConnection;
}

void CHTTPClient::Dispatch(CHTTPRequestHandle *pHandle)
{
    pHandle->AddRef();
    CHTTPClientRequest *pRequest = pHandle->AccessClientRequest();
    if (m_bIsShutdown || !pRequest->m_adrConnect.BIsComplete() || !pRequest->m_adrTarget.BIsComplete())
    {
        DispatchRequest(pHandle);
        pHandle->Release();
        return;
    }

    CHTTPClientConnection *pConnection = nullptr;
    for (auto it = m_vecIdleConnections.begin(); it != m_vecIdleConnections.end(); ++it)
    {
        CHTTPClientConnection *pIdle = *it;
        if (pIdle->GetTargetAddress() == pRequest->m_adrTarget &&
            pIdle->GetConnectAddress() == pRequest->m_adrConnect && pIdle->GetTLSContext() == m_pTLSContext &&
            pIdle->BSecure() == pRequest->m_bSecure)
        {
            pConnection = pIdle;
            m_vecIdleConnections.erase(it);
            DMsg("http", 3, "Reusing HTTP connection for %s\n", pRequest->m_adrTarget.ToString());
            break;
        }
    }
    if (!pConnection)
    {
        DMsg("http", 3, "Need new HTTP connection for %s (%s)\n", pRequest->m_adrTarget.ToString(),
             pRequest->GetHostname());
        pConnection = new CHTTPClientConnection(this, pRequest->m_adrConnect, pRequest->m_adrTarget,
                                                pRequest->m_bSecure, m_pTLSContext);
        ++m_cConnectionsCreated;
    }
    m_vecInUseConnections.push_back(pConnection);
    // The connection may be gone when this returns.
    pConnection->BAsyncSendRequest(pHandle);
    pHandle->Release();
}

void CHTTPClient::DispatchRequest(CHTTPRequestHandle *pHandle)
{
    CHTTPClientRequest *pRequest = pHandle->AccessClientRequest();
    DMsg("http", 3, pHandle->m_bSucceeded ? "Success! http%s://%s%s\n" : "Failed! http%s://%s%s\n",
         pRequest->m_bSecure ? "s" : "", pRequest->GetHostname(), pRequest->GetURL());
    if (CHTTPRequestHandle *pParent = pHandle->GetParentHandle())
        pParent->SetCompleted();
    else
        pHandle->SetCompleted();
}

void CHTTPClient::AddClientConnectionBackToPool(CHTTPClientConnection *pConnection)
{
    DMsg("http", 3, "Connection for %s re-entering pool\n", pConnection->GetTargetAddress().ToString());
    if (m_bIsShutdown)
    {
        pConnection->Abort();
        return;
    }
    if (!BRemoveFrom(m_vecInUseConnections, pConnection))
        AssertMsg(false, "Adding connection back to pool, but not found in in use list");
    m_vecIdleConnections.push_back(pConnection);
    DMsg("http", 3, "No waiting requests for %s\n", pConnection->GetTargetAddress().ToString());
}

void CHTTPClient::RemoveClientConnection(CHTTPClientConnection *pConnection)
{
    if (m_bIsShutdown)
        return;
    const char *pchTarget = pConnection->GetTargetAddress().ToString();
    DMsg("http", 3, "Removing now closed connection for %s\n", pchTarget);
    // clang-format off
    if (BRemoveFrom(m_vecIdleConnections, pConnection))
        DMsg("http", 3, "Removing idle connection for %s, %d left open, %d requests waiting, %d requests still in-flight\n",
             pchTarget, (int)m_vecIdleConnections.size(), 0, (int)m_vecInUseConnections.size());
    else if (BRemoveFrom(m_vecInUseConnections, pConnection))
        DMsg("http", 3, "Removing in-use connection for %s, %d left open, %d requests waiting, %d requests still in-flight\n",
             pchTarget, (int)m_vecIdleConnections.size(), 0, (int)m_vecInUseConnections.size());
    else
        AssertMsg(false, "RemoveClientConnection: connection in neither the idle nor the in-use set");
    // clang-format on
}

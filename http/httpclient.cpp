// CHTTPClient: construction, sending, shutdown and the frame function; the request handle.
// The connection pool is in httpclient_dispatch.cpp, completion and redirects in
// httpclient_redirect.cpp.
#include "http/httpclient.h"

#include "foundation/dbg.h"
#include "http/httpclientconnection.h"
#include "http/httpclientworkitem.h"
#include "http/httpclientworkthread.h"
#include "http/httpredirect.h"

#include <vector>

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

AddrConnectionInfo_t::AddrConnectionInfo_t()
    : m_pTreeWaitingConnections(new std::set<CHTTPClientConnection *>()),
      m_pTreeInUseConnections(new std::set<CHTTPClientConnection *>()),
      m_pListWaitingRequestsForAddress(new std::deque<CHTTPRequestHandle *>())
{
}

CHTTPClient::CHTTPClient(CFrameFunctionMgr &frameFunctionMgr, uint32 unKeepAliveTimeoutSeconds, const char *,
                         uint32, uint32 unMaxInFlightRequestsPerHost, CTLSContext *pTLSContext,
                         CWorkThreadPool *pThreadPool)
    : m_unMaxInFlightRequestsPerHost(unMaxInFlightRequestsPerHost),
      m_unKeepAliveTimeoutSeconds(unKeepAliveTimeoutSeconds), m_bIsShutdown(false),
      m_FrameFunction(this, &CHTTPClient::BFrameFuncHandleCompletedWorkItems,
                      "CHTTPClient::BFrameFuncHandleCompletedWorkItems", k_EFrameTypeMain),
      m_pFrameFunctionMgr(&frameFunctionMgr), m_WorkThreadPool("CHTTPClientThreadPool"),
      m_ThreadPool(pThreadPool ? pThreadPool : &m_WorkThreadPool), m_pTLSContext(pTLSContext),
      m_cConnectionsCreated(0)
{
    if (m_pTLSContext)
        m_pTLSContext->AddRef();
    else
        m_pTLSContext = new CTLSContext();
    m_WorkThreadPool.ConfigureWorkThreads(k_cWorkThreads, this, k_EWorkThreadCreationOnBacklog);
    m_pFrameFunctionMgr->Register(&m_FrameFunction);
}

CHTTPClient::~CHTTPClient()
{
    Shutdown();
    m_pTLSContext->Release();
}

CWorkThread *CHTTPClient::CreateWorkerThread(CWorkThreadPool *pPool)
{
    Assert(!m_bIsShutdown);
    return new CHTTPClientWorkThread(pPool);
}

CHTTPRequestHandle *CHTTPClient::SendHTTPRequest(CHTTPClientRequest *pRequest)
{
    // Each request starts a chain of its own, with its own record of followed targets.
    if (!pRequest->GetRedirectHandler())
    {
        IHTTPRedirectHandler *pRedirectHandler = new CHTTPDefaultRedirectEnableHandler();
        pRequest->SetRedirectHandler(pRedirectHandler);
        pRedirectHandler->Release();
    }
    CHTTPRequestHandle *pHandle = new CHTTPRequestHandle(this, pRequest);
    SendHandle(pHandle);
    return pHandle;
}

void CHTTPClient::SendHandle(CHTTPRequestHandle *pHandle)
{
    CWorkItemHTTPClientRequest *pWorkItem = nullptr;
    bool bQueued = false;
    {
        std::lock_guard<std::mutex> lock(m_PendingWorkItemsMutex);
        if (!m_bIsShutdown)
        {
            pWorkItem = new CWorkItemHTTPClientRequest(this, pHandle);
            bQueued = m_ThreadPool->AddWorkItem(pWorkItem);
            if (bQueued)
                m_setPendingWorkItems.insert(pWorkItem); // takes over the creation reference
        }
    }
    if (bQueued)
        return;
    if (pWorkItem)
    {
        AssertMsg(false, "Thread pool rejected HTTP work item, bad news.");
        pWorkItem->Release();
    }
    // Completes it, failed (nothing was received).
    DispatchRequest(pHandle);
}

void CHTTPClient::OnWorkItemDone(CWorkItemHTTPClientRequest *pWorkItem)
{
    {
        std::lock_guard<std::mutex> lock(m_PendingWorkItemsMutex);
        if (m_setPendingWorkItems.erase(pWorkItem) == 0)
            return;
    }
    pWorkItem->Release();
}

bool CHTTPClient::BFrameFuncHandleCompletedWorkItems(CLimitTimer &limitTimer)
{
    Assert(!m_bIsShutdown);
    return m_ThreadPool->BDispatchCompletedWorkItems(limitTimer);
}

void CHTTPClient::Shutdown()
{
    std::set<CWorkItemHTTPClientRequest *> setPending;
    {
        std::lock_guard<std::mutex> lock(m_PendingWorkItemsMutex);
        if (m_bIsShutdown)
            return;
        m_bIsShutdown = true;
        setPending.swap(m_setPendingWorkItems);
        for (CWorkItemHTTPClientRequest *pWorkItem : setPending)
            pWorkItem->Cancel();
    }
    if (m_FrameFunction.BIsRegistered())
        m_pFrameFunctionMgr->Deregister(&m_FrameFunction);
    if (m_ThreadPool == &m_WorkThreadPool)
    {
        m_WorkThreadPool.StopWorkThreads();
        m_WorkThreadPool.DiscardWorkItems();
    }

    // Requests still being looked up: nothing will come of them.
    for (CWorkItemHTTPClientRequest *pWorkItem : setPending)
    {
        DispatchRequest(pWorkItem->GetHandle());
        pWorkItem->Release();
    }

    // A connection's destructor completes the request it carries (failed); RemoveClientConnection
    // does nothing any more, so the map stays as it is while they go.
    std::vector<CHTTPClientConnection *> vecConnections;
    std::vector<CHTTPRequestHandle *> vecWaiting;
    for (auto &entry : m_MapHostsToPersistentConnections)
    {
        AddrConnectionInfo_t &info = entry.second;
        vecConnections.insert(vecConnections.end(), info.m_pTreeInUseConnections->begin(),
                              info.m_pTreeInUseConnections->end());
        vecConnections.insert(vecConnections.end(), info.m_pTreeWaitingConnections->begin(),
                              info.m_pTreeWaitingConnections->end());
        vecWaiting.insert(vecWaiting.end(), info.m_pListWaitingRequestsForAddress->begin(),
                          info.m_pListWaitingRequestsForAddress->end());
    }
    m_MapHostsToPersistentConnections.clear();
    for (CHTTPClientConnection *pConnection : vecConnections)
        delete pConnection;
    for (CHTTPRequestHandle *pHandle : vecWaiting)
    {
        DispatchRequest(pHandle);
        pHandle->Release();
    }
}

int CHTTPClient::GetIdleConnectionCount() const
{
    int c = 0;
    for (const auto &entry : m_MapHostsToPersistentConnections)
        c += (int)entry.second.m_pTreeWaitingConnections->size();
    return c;
}

int CHTTPClient::GetInUseConnectionCount() const
{
    int c = 0;
    for (const auto &entry : m_MapHostsToPersistentConnections)
        c += (int)entry.second.m_pTreeInUseConnections->size();
    return c;
}

int CHTTPClient::GetWaitingRequestCount() const
{
    int c = 0;
    for (const auto &entry : m_MapHostsToPersistentConnections)
        c += (int)entry.second.m_pListWaitingRequestsForAddress->size();
    return c;
}

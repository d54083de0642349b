#include "http/httpclientconnection.h"

#include "foundation/clock.h"
#include "foundation/dbg.h"
#include "foundation/strtools.h"
#include "http/httpclient.h"
#include "http/httprequestwriter.h"

#include <cstring>

namespace
{
const int32 k_cMaxSaneRefCount = 9999;
const int64 k_usLowSpeedCheck = 1000000;

const char *SchemeSuffix(const CHTTPClientRequest *pRequest)
{
    return pRequest && pRequest->m_bSecure ? "s" : "";
}
} // namespace

CHTTPClientConnection::CEntryGuard::CEntryGuard(CHTTPClientConnection *pConnection)
    : m_pConnection(pConnection)
{
    ++m_pConnection->m_cEntryDepth;
}

// GCC 12 inlines a Teardown that deletes the connection when no guard holds it and then
// believes the outer guard touches freed memory; the depth this guard added rules that
// path out, which the compiler cannot see.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuse-after-free"
#endif
CHTTPClientConnection::CEntryGuard::~CEntryGuard()
{
    if (--m_pConnection->m_cEntryDepth == 0 && m_pConnection->m_bDeletePending)
        delete m_pConnection;
}
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic pop
#endif

CHTTPClientConnection::CHTTPClientConnection(CHTTPClient *pClient, const netadr_t &adrConnect,
                                             const netadr_t &adrTarget, bool bSecure,
                                             CTLSContext *pTLSContext)
    : m_pClient(pClient), m_hTCPConnection(k_HNetConnectionInvalid), m_pRequestHandle(nullptr),
      m_adrConnect(adrConnect), m_adrTarget(adrTarget), m_bSecure(bSecure), m_pTLSContext(pTLSContext),
      m_eConnectionState(k_EHTTPClientConnectionState_CONNECTING), m_bFreshConnection(false),
      m_bHTTPSTunnelCompleted(false), m_bWaitingForTunnel(false), m_bDisconnecting(false),
      m_bRemoteClosed(false), m_bAborted(false), m_pSSLConnection(nullptr),
      m_AbsoluteTimer(this, &CHTTPClientConnection::OnAbsoluteTimeout),
      m_NetworkTimer(this, &CHTTPClientConnection::OnNetworkTimeout),
      m_AbortTimer(this, &CHTTPClientConnection::OnAbortTimer),
      m_LowSpeedTimer(this, &CHTTPClientConnection::OnLowSpeedCheck), m_cEntryDepth(0),
      m_bDeletePending(false)
{
    if (m_pTLSContext)
        m_pTLSContext->AddRef();
    // clang-format off
    AssertMsg(!bSecure,
              "HTTPS is not available: this system has no TLS connection support, so an https request cannot complete");
    // clang-format on
}

CHTTPClientConnection::~CHTTPClientConnection()
{
    if (!m_bDisconnecting)
    {
        m_bDisconnecting = true;
        m_pClient->RemoveClientConnection(this);
    }
    if (m_hTCPConnection != k_HNetConnectionInvalid)
    {
        CNet::ClearConnectionCallback(this);
        CNet::BAsyncDisconnect(m_hTCPConnection);
        CNet::BDestroyConnection(m_hTCPConnection);
        m_hTCPConnection = k_HNetConnectionInvalid;
    }
    if (m_pRequestHandle)
    {
        CHTTPRequestHandle *pHandle = m_pRequestHandle;
        m_pRequestHandle = nullptr;
        m_pClient->DispatchRequest(pHandle);
        pHandle->Release();
    }
    if (m_pSSLConnection)
        m_pSSLConnection->Release();
    if (m_pTLSContext)
        m_pTLSContext->Release();
    m_AbsoluteTimer.Cancel();
    m_NetworkTimer.Cancel();
    m_AbortTimer.Cancel();
    m_LowSpeedTimer.Cancel();
}

uint32 CHTTPClientConnection::GetRequestNetworkTimeoutSeconds() const
{
    return m_pRequestHandle ? m_pRequestHandle->AccessClientRequest()->m_unNetworkTimeoutSeconds
                            : k_unIdleNetworkTimeoutSeconds;
}

void CHTTPClientConnection::ArmNetworkTimer(uint32 unSeconds)
{
    m_NetworkTimer.Schedule((int64)unSeconds * 1000000);
}

bool CHTTPClientConnection::BAsyncSendRequest(CHTTPRequestHandle *pHandle)
{
    CEntryGuard guard(this);
    Assert(!m_bAborted);
    if (!pHandle)
    {
        AssertMsg(false, "pHandle");
        return false;
    }
    CHTTPClientRequest *pRequest = pHandle->AccessClientRequest();
    DMsg("http", 3, "Sending request for http%s://%s%s\n", SchemeSuffix(pRequest), pRequest->GetHostname(),
         pRequest->GetURL());
    Assert(m_pRequestHandle == NULL);
    if (m_pRequestHandle)
    {
        // A request that would otherwise be dropped without ever completing fails instead.
        CHTTPRequestHandle *pDropped;
        DetachHandle(&pDropped);
        m_pClient->DispatchRequest(pDropped);
        pDropped->Release();
    }
    pHandle->AddRef();
    m_pRequestHandle = pHandle;

    m_AbsoluteTimer.Schedule((int64)pRequest->m_unAbsoluteTimeoutSeconds * 1000000);
    ArmNetworkTimer(pRequest->m_unNetworkTimeoutSeconds);
    m_LowSpeedWatch.Start(Clock_GetMicroseconds(), pRequest->m_cubLowSpeedLimit,
                          pRequest->m_unLowSpeedWindowSeconds);
    if (m_LowSpeedWatch.BActive())
        m_LowSpeedTimer.Schedule(k_usLowSpeedCheck);

    if (m_hTCPConnection != k_HNetConnectionInvalid && CNet::BIsConnected(m_hTCPConnection))
    {
        Assert(m_eConnectionState == k_EHTTPClientConnectionState_KEEPALIVE);
        m_eConnectionState = k_EHTTPClientConnectionState_SENDINGREQUEST;
        AsyncSendCurrentRequest();
        return true;
    }
    if (m_eConnectionState == k_EHTTPClientConnectionState_KEEPALIVE)
    {
        // Kept alive, but the TCP connection ended before its owner heard of it: the
        // request goes to another connection.
        m_eConnectionState = k_EHTTPClientConnectionState_SENDINGREQUEST;
        Teardown();
        return true;
    }

    Assert(m_eConnectionState == k_EHTTPClientConnectionState_CONNECTING);
    if (m_hTCPConnection == k_HNetConnectionInvalid)
    {
        m_hTCPConnection =
            CNet::AsyncConnect(k_ENetConnectionTypeTCP, this, m_adrConnect,
                               k_uNetFlagNoIOCP | k_uNetFlagRawStream | k_uNetFlagRawStreamSend, nullptr);
    }
    // A connect that cannot even start fails the request from the frame loop, not from
    // inside the caller's dispatch.
    if (m_hTCPConnection == k_HNetConnectionInvalid)
        m_AbortTimer.Schedule(1);
    return true;
}

void CHTTPClientConnection::OnConnect(HNetConnection)
{
    CEntryGuard guard(this);
    Assert(!m_bDisconnecting);
    ArmNetworkTimer(GetRequestNetworkTimeoutSeconds());
    m_bFreshConnection = true;
    m_bRemoteClosed = false;
    DMsg("http", 3, "HTTP client connect completed\n");
    if (m_pRequestHandle)
    {
        Assert(m_eConnectionState == k_EHTTPClientConnectionState_CONNECTING);
        m_eConnectionState = k_EHTTPClientConnectionState_SENDINGREQUEST;
        AsyncSendCurrentRequest();
    }
}

void CHTTPClientConnection::OnConnectFailed(HNetConnection, int)
{
    CEntryGuard guard(this);
    DMsg("http", 2, "Aborting HTTP request because we received a ConnectFailed callback\n");
    DMsg("http", 2, "Aborting client HTTP connection\n");
    m_bAborted = true;
    Teardown();
}

void CHTTPClientConnection::OnDisconnect(HNetConnection, int eReason)
{
    CEntryGuard guard(this);
    if (!m_bDisconnecting && eReason == k_ENetDisconnectRemoteClosed)
        m_bRemoteClosed = true;
    Teardown();
}

void CHTTPClientConnection::RecvDatagram(HNetConnection, const void *, uint32)
{
    Assert(false);
}

void CHTTPClientConnection::OnWakeUp(HNetConnection)
{
    Assert(false);
}

void CHTTPClientConnection::AsyncSendCurrentRequest()
{
    Assert(m_eConnectionState == k_EHTTPClientConnectionState_SENDINGREQUEST);
    Assert(m_pRequestHandle && m_pRequestHandle->AccessClientRequest());
    if (!m_pRequestHandle || BDead())
        return;
    CHTTPClientRequest *pRequest = m_pRequestHandle->AccessClientRequest();
    ArmNetworkTimer(pRequest->m_unNetworkTimeoutSeconds);

    if (pRequest->m_bSecure && !m_bHTTPSTunnelCompleted && m_adrConnect != m_adrTarget)
    {
        DMsg("http", 3, "Need to establish HTTPS Tunnel through proxy, sending CONNECT request\n");
        CUtlString strAuthority(pRequest->GetHostname());
        if (!strchr(strAuthority.Get(), ':'))
            strAuthority += ":443";
        ArmNetworkTimer(pRequest->m_unNetworkTimeoutSeconds * k_unTunnelTimeoutFactor);
        CUtlString strConnect;
        strConnect.Format("CONNECT %s HTTP/1.1\r\nHost: %s\r\n\r\n", strAuthority.Get(), strAuthority.Get());
        if (!CNet::BAsyncSend(m_hTCPConnection, strConnect.Get(), (uint32)strConnect.Length()))
        {
            DMsg("http", 1, "Aborting HTTP request because BAsyncSend() failed (AsyncSendCurrentRequest)\n");
            Abort();
            return;
        }
        m_bWaitingForTunnel = true;
        m_ResponseParser.BeginResponse(false, true);
        m_eConnectionState = k_EHTTPClientConnectionState_WAITING_RESPONSELINE_VERSION;
        return;
    }
    if (pRequest->m_bSecure && !m_pSSLConnection)
    {
        StartTLSHandshake();
        return;
    }

    CUtlBuffer bufRequest(0, 1024, 0);
    HTTPWriteRequestHead(pRequest, bufRequest);
    // The response may start arriving as soon as the bytes are out.
    m_ResponseParser.BeginResponse(pRequest->GetEHTTPMethod() == k_EHTTPMethodHEAD, false,
                                   pRequest->GetBodySink());
    m_eConnectionState = k_EHTTPClientConnectionState_WAITING_RESPONSELINE_VERSION;
    bool bSent = CNet::BAsyncSend(m_hTCPConnection, bufRequest.Base(), (uint32)bufRequest.TellPut());
    const CUtlBuffer &bufBody = pRequest->GetBodyBuffer();
    if (bSent && bufBody.TellPut() > 0)
        bSent = CNet::BAsyncSend(m_hTCPConnection, bufBody.Base(), (uint32)bufBody.TellPut());
    if (!bSent)
    {
        if (!m_bFreshConnection)
        {
            // A kept-alive connection that the peer had closed: the request goes out again on
            // another connection (Teardown), as when the close is noticed a moment later.
            DMsg("http", 2, "Kept-alive HTTP connection refused the request, sending it again\n");
            Teardown();
            return;
        }
        DMsg("http", 1, "Aborting HTTP request because !bSent\n");
        Abort();
    }
}

void CHTTPClientConnection::StartTLSHandshake()
{
    Assert(!m_pSSLConnection);
    m_eConnectionState = k_EHTTPClientConnectionState_HANDSHAKING;
    m_pSSLConnection = new CTLSConnection(m_pTLSContext, this);
    // The handshake never completes here: the network timer ends the request.
    m_pSSLConnection->StartHandshake();
}

void CHTTPClientConnection::RecvPkt(HNetConnection, const void *pvData, uint32 cubData)
{
    CEntryGuard guard(this);
    ArmNetworkTimer(GetRequestNetworkTimeoutSeconds());
    m_LowSpeedWatch.OnBytes(cubData);
    if (m_pSSLConnection)
    {
        m_pSSLConnection->RecvCiphertext(pvData, cubData);
        return;
    }
    if (!m_pRequestHandle || cubData == 0)
    {
        DMsg("http", 2, "Aborting client HTTP connection\n");
        m_bAborted = true;
        Teardown();
        return;
    }
    CHTTPRequestHandle *pHandle = m_pRequestHandle;
    pHandle->AddRef();
    RecvHTTPResponseData(pvData, cubData);
    pHandle->Release();
}

void CHTTPClientConnection::RecvHTTPResponseData(const void *pvData, uint32 cubData)
{
    if (m_bAborted || BDead())
        return;
    Assert(m_pRequestHandle);
    if (!m_pRequestHandle)
        return;
    int32 cHandleRefs = m_pRequestHandle->GetRefCount();
    int32 cRequestRefs = m_pRequestHandle->AccessClientRequest()->GetRefCount();
    AssertMsg(cHandleRefs >= 1 && cHandleRefs <= k_cMaxSaneRefCount, "handle reference count out of range");
    AssertMsg(cRequestRefs >= 1 && cRequestRefs <= k_cMaxSaneRefCount,
              "request reference count out of range");

    ArmNetworkTimer(GetRequestNetworkTimeoutSeconds());
    CHTTPResponseParser::EResult eResult =
        m_ResponseParser.Feed(pvData, cubData, m_pRequestHandle->AccessResponse());
    m_eConnectionState = m_ResponseParser.GetState();
    if (eResult == CHTTPResponseParser::k_EResultAbort)
    {
        Abort();
        return;
    }
    if (eResult == CHTTPResponseParser::k_EResultComplete)
        FinishResponse();
}

void CHTTPClientConnection::FinishResponse()
{
    m_ResponseParser.FinishResponse();
    CHTTPClientResponse *pResponse = m_pRequestHandle->AccessResponse();

    if (m_bWaitingForTunnel && pResponse->GetStatusCode() == k_EHTTPStatusCode200OK)
    {
        DMsg("http", 3, "HTTPS Tunnel established, proceeding to send actual HTTP request through OpenSSL\n");
        Assert(!m_bHTTPSTunnelCompleted);
        Assert(!m_pSSLConnection);
        m_bWaitingForTunnel = false;
        m_bHTTPSTunnelCompleted = true;
        if (!m_pSSLConnection)
            StartTLSHandshake();
        return;
    }
    m_bWaitingForTunnel = false;

    m_AbsoluteTimer.Cancel();
    CHTTPRequestHandle *pHandle;
    DetachHandle(&pHandle);

    const char *pchConnection = pResponse->GetResponseHeaderValue("Connection");
    const char *pchProxyConnection = pResponse->GetResponseHeaderValue("Proxy-Connection");
    bool bKeepAlive = m_ResponseParser.BHTTP11Response()
                          ? !(pchConnection && Q_stricmp(pchConnection, "close") == 0)
                          : (pchConnection && Q_stricmp(pchConnection, "keep-alive") == 0);
    if (pchProxyConnection && Q_stricmp(pchProxyConnection, "close") == 0)
        bKeepAlive = false;

    CHTTPClient *pClient = m_pClient;
    if (bKeepAlive && pClient->GetKeepAliveTimeoutSeconds() > 0 && CNet::BIsConnected(m_hTCPConnection))
    {
        ArmNetworkTimer(pClient->GetKeepAliveTimeoutSeconds());
        m_bFreshConnection = false;
        m_eConnectionState = k_EHTTPClientConnectionState_KEEPALIVE;
        pClient->AddClientConnectionBackToPool(this);
    }
    else
    {
        // The disconnected callback tears the connection down.
        CNet::BAsyncDisconnect(m_hTCPConnection);
    }

    pHandle->m_bSucceeded = true;
    pClient->DispatchRequest(pHandle);
    pHandle->Release();
}

void CHTTPClientConnection::DetachHandle(CHTTPRequestHandle **ppHandle)
{
    *ppHandle = m_pRequestHandle;
    m_pRequestHandle = nullptr;
    m_LowSpeedWatch.Stop();
    m_LowSpeedTimer.Cancel();
}

void CHTTPClientConnection::Teardown()
{
    if (BDead())
        return;
    if (!m_bDisconnecting)
    {
        m_bDisconnecting = true;
        m_pClient->RemoveClientConnection(this);
    }
    if (m_pRequestHandle)
    {
        const bool bBeforeResponse =
            m_eConnectionState == k_EHTTPClientConnectionState_SENDINGREQUEST ||
            m_eConnectionState == k_EHTTPClientConnectionState_WAITING_RESPONSELINE_VERSION;
        if (bBeforeResponse && !m_bFreshConnection && !m_bAborted)
        {
            // A kept-alive connection that the server had already closed: the request goes
            // out again on another connection.
            CHTTPRequestHandle *pHandle;
            DetachHandle(&pHandle);
            m_AbsoluteTimer.Cancel();
            m_pClient->Dispatch(pHandle);
            pHandle->Release();
        }
        else if (m_bRemoteClosed &&
                 m_eConnectionState == k_EHTTPClientConnectionState_WAITING_BODY_UNTIL_CLOSE)
        {
            if (m_ResponseParser.BFinishBodyAtClose(m_pRequestHandle->AccessResponse()))
                m_pRequestHandle->m_bSucceeded = true;
        }
        else if (m_eConnectionState == k_EHTTPClientConnectionState_WAITING_BODY_WITH_LENGTH)
        {
            // A body that was going straight into the response is not left half-written.
            m_pRequestHandle->AccessResponse()->GetBodyBuffer().Purge();
        }
    }
    m_bDeletePending = true;
    if (m_cEntryDepth == 0)
        delete this;
}

void CHTTPClientConnection::Abort()
{
    if (BDead())
        return;
    DMsg("http", 2, "Aborting client HTTP connection\n");
    m_bAborted = true;
    Teardown();
}

void CHTTPClientConnection::OnAbsoluteTimeout()
{
    CEntryGuard guard(this);
    DMsg("http", 1, "Aborting stale client HTTP connection due to absolute timeout: %s - %X\n",
         m_adrConnect.ToString(), (unsigned)m_hTCPConnection);
    Abort();
}

void CHTTPClientConnection::OnNetworkTimeout()
{
    CEntryGuard guard(this);
    DMsg("http", m_pRequestHandle ? 1 : 3,
         "Aborting stale client HTTP connection due to network timeout: %s - %X\n", m_adrConnect.ToString(),
         (unsigned)m_hTCPConnection);
    Abort();
}

void CHTTPClientConnection::OnAbortTimer()
{
    CEntryGuard guard(this);
    Abort();
}

void CHTTPClientConnection::OnLowSpeedCheck()
{
    CEntryGuard guard(this);
    if (!m_pRequestHandle || !m_LowSpeedWatch.BActive())
        return;
    if (!m_LowSpeedWatch.BTooSlow(Clock_GetMicroseconds()))
    {
        m_LowSpeedTimer.Schedule(k_usLowSpeedCheck);
        return;
    }
    CHTTPClientRequest *pRequest = m_pRequestHandle->AccessClientRequest();
    DMsg("http", 1,
         "Aborting HTTP request because it moved fewer than %u bytes per second for %u seconds: %s\n",
         pRequest->m_cubLowSpeedLimit, pRequest->m_unLowSpeedWindowSeconds, pRequest->GetURL());
    m_pRequestHandle->AccessResponse()->m_bTransferTooSlow = true;
    Abort();
}

void CHTTPClientConnection::RecvPlaintext(const void *pvData, uint32 cubData)
{
    CEntryGuard guard(this);
    if (!m_pRequestHandle)
        return;
    RecvHTTPResponseData(pvData, cubData);
}

bool CHTTPClientConnection::BSendCiphertext(const void *pvData, uint32 cubData)
{
    return CNet::BAsyncSend(m_hTCPConnection, pvData, cubData);
}

void CHTTPClientConnection::OnTLSFailure(const char *pchResultName, int nResult)
{
    CEntryGuard guard(this);
    DMsg("http", 1, "Disconnecting HTTP connection due to SSL failure: %s(%d)\n",
         pchResultName ? pchResultName : "", nResult);
    Abort();
}

void CHTTPClientConnection::OnTLSHandshakeCompleted()
{
    CEntryGuard guard(this);
    if (m_pRequestHandle)
    {
        m_eConnectionState = k_EHTTPClientConnectionState_SENDINGREQUEST;
        AsyncSendCurrentRequest();
    }
}

void CHTTPClientConnection::OnTLSConnectionClosed()
{
    CEntryGuard guard(this);
    Teardown();
}

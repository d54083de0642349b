// CHTTPClientConnection: HTTP/1.1 over one TCP connection of the network layer, one request
// at a time. It writes the request bytes, parses the response as bytes arrive, decides
// whether the connection may be kept alive, and reports the end of every request to its
// CHTTPClient.
//
// Life: the client creates a connection for a request (state CONNECTING) and hands it
// requests with BAsyncSendRequest; between requests it rests in KEEPALIVE in the client's
// pool. A connection ends by teardown (peer closed, time-out, protocol error, connect
// failure): it tells the client (RemoveClientConnection), completes or re-dispatches its
// request and deletes itself. The client may also delete it (at shutdown); the destructor
// then does the same. Any call into a connection may end with the connection gone: callers
// do not touch it after BAsyncSendRequest returns.
//
// Thread: the main thread; the network layer and the scheduled functions call it there.
#pragma once

#include "foundation/basetypes.h"
#include "http/httplowspeed.h"
#include "http/httpresponseparser.h"
#include "http/tls.h"
#include "jobs/scheduledfunction.h"
#include "net/net.h"
#include "net/netadr.h"

class CHTTPClient;
class CHTTPRequestHandle;

class CHTTPClientConnection : public IConnectionCallback, public ITLSConnectionCallback
{
public:
    // Seconds of quiet allowed while no request is attached.
    static const uint32 k_unIdleNetworkTimeoutSeconds = 60;
    // The network time-out is this many times longer while a proxy tunnel is being set up.
    static const uint32 k_unTunnelTimeoutFactor = 200;

    CHTTPClientConnection(CHTTPClient *pClient, const netadr_t &adrConnect, const netadr_t &adrTarget,
                          bool bSecure, CTLSContext *pTLSContext);
    ~CHTTPClientConnection() override;
    CHTTPClientConnection(const CHTTPClientConnection &) = delete;
    CHTTPClientConnection &operator=(const CHTTPClientConnection &) = delete;

    // Starts carrying the request (takes a reference on the handle). Always true; the
    // connection may be gone when it returns (a send that failed at once).
    bool BAsyncSendRequest(CHTTPRequestHandle *pHandle);

    // The pool key: never changes.
    const netadr_t &GetConnectAddress() const { return m_adrConnect; }
    const netadr_t &GetTargetAddress() const { return m_adrTarget; }

    EHTTPClientConnectionState GetState() const { return m_eConnectionState; }

    // IConnectionCallback
    void OnConnect(HNetConnection hConnection) override;
    void OnConnectFailed(HNetConnection hConnection, int eReason) override;
    void OnDisconnect(HNetConnection hConnection, int eReason) override;
    void RecvPkt(HNetConnection hConnection, const void *pvData, uint32 cubData) override;
    void RecvDatagram(HNetConnection hConnection, const void *pvData, uint32 cubData) override;
    void OnWakeUp(HNetConnection hConnection) override;

    // ITLSConnectionCallback
    void RecvPlaintext(const void *pvData, uint32 cubData) override;
    bool BSendCiphertext(const void *pvData, uint32 cubData) override;
    void OnTLSFailure(const char *pchResultName, int nResult) override;
    void OnTLSHandshakeCompleted() override;
    void OnTLSConnectionClosed() override;

    // Fails the current request (never retried) and tears the connection down.
    void Abort();

private:
    // Keeps the connection alive while one of its entry points runs; a teardown inside
    // deletes it when the outermost one returns.
    class CEntryGuard
    {
    public:
        explicit CEntryGuard(CHTTPClientConnection *pConnection);
        ~CEntryGuard();

    private:
        CHTTPClientConnection *m_pConnection;
    };

    void AsyncSendCurrentRequest();
    void StartTLSHandshake();
    void RecvHTTPResponseData(const void *pvData, uint32 cubData);
    void FinishResponse();
    // The end of the connection; it is deleted afterwards.
    void Teardown();
    void DetachHandle(CHTTPRequestHandle **ppHandle);
    void ArmNetworkTimer(uint32 unSeconds);
    uint32 GetRequestNetworkTimeoutSeconds() const;
    bool BDead() const { return m_bDeletePending; }

    void OnAbsoluteTimeout();
    void OnNetworkTimeout();
    void OnAbortTimer();
    // Once a second while a request with a minimum rate is carried.
    void OnLowSpeedCheck();

    CHTTPClient *m_pClient;
    HNetConnection m_hTCPConnection;
    CHTTPRequestHandle *m_pRequestHandle;
    const netadr_t m_adrConnect;
    const netadr_t m_adrTarget;
    const bool m_bSecure;
    CTLSContext *m_pTLSContext; // one reference
    EHTTPClientConnectionState m_eConnectionState;
    CHTTPResponseParser m_ResponseParser;
    bool m_bFreshConnection;
    bool m_bHTTPSTunnelCompleted;
    bool m_bWaitingForTunnel;
    bool m_bDisconnecting;
    bool m_bRemoteClosed;
    bool m_bAborted;
    CTLSConnection *m_pSSLConnection;
    CScheduledFunction<CHTTPClientConnection> m_AbsoluteTimer;
    CScheduledFunction<CHTTPClientConnection> m_NetworkTimer;
    CScheduledFunction<CHTTPClientConnection> m_AbortTimer;
    CScheduledFunction<CHTTPClientConnection> m_LowSpeedTimer;
    CLowSpeedWatch m_LowSpeedWatch;
    int m_cEntryDepth;
    bool m_bDeletePending;
};

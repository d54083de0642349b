// CHTTPClient: the asynchronous HTTP client, and CHTTPRequestHandle, through which a caller
// follows one request.
//
// This is the part of the client that its connections (CHTTPClientConnection) talk to:
// Dispatch hands a request to a connection (an idle kept-alive one with the same address,
// or a new one), AddClientConnectionBackToPool takes back a connection that stays open,
// RemoveClientConnection forgets one that closed, DispatchRequest completes a request. The
// name lookup on work threads, the per-host limit and queue, redirects and the frame
// function of the full client build on these operations.
//
// Thread: everything but construction of handles runs on the main thread (the one that
// pumps the frame functions). Callers on other threads only poll a handle's completion.
#pragma once

#include "common/http.h"
#include "common/tls.h"
#include "foundation/basetypes.h"
#include "foundation/refcount.h"

#include <atomic>
#include <vector>

class CFrameFunctionMgr;
class CWorkThreadPool;
class CHTTPClient;
class CHTTPClientConnection;

// One request as the caller sees it. Created with one reference, which belongs to the
// caller; the client and connections hold their own while they work on it.
class CHTTPRequestHandle : public CRefCountThreadSafe
{
public:
    // Takes a reference on the request and on the response; a null response is created
    // from the request.
    CHTTPRequestHandle(CHTTPClient *pClient, CHTTPClientRequest *pRequest,
                       CHTTPClientResponse *pResponse = nullptr, CHTTPRequestHandle *pParentHandle = nullptr);

    // Whether the request is finished for good. Once true (read with acquire ordering),
    // m_bSucceeded and the response may be read.
    bool BCompleted() const { return m_bCompleted.load(std::memory_order_acquire); }
    // Publishes the completion after everything it covers was written (main thread).
    void SetCompleted() { m_bCompleted.store(true, std::memory_order_release); }

    CHTTPClientRequest *AccessClientRequest() const { return m_pRequest; }
    CHTTPClientResponse *AccessResponse() const { return m_pResponse; }
    CHTTPClient *GetClient() const { return m_pClient; }
    CHTTPRequestHandle *GetParentHandle() const { return m_pParentHandle; }
    // Received / expected body bytes times 100; 0 when nothing is expected.
    float GetPercentComplete() const;

    std::atomic<bool> m_bCompleted;
    bool m_bSucceeded; // a complete response was received on this handle

protected:
    ~CHTTPRequestHandle() override;

private:
    CHTTPClient *m_pClient;
    CHTTPClientRequest *m_pRequest;
    CHTTPClientResponse *m_pResponse;
    CHTTPRequestHandle *m_pParentHandle; // holds a reference (redirects only)
};

class CHTTPClient
{
public:
    // pchResponseCacheDir and cubResponseCacheSize are accepted and not used (there is no
    // response cache). Null TLS context: the client's own empty one; null thread pool: the
    // client's own.
    CHTTPClient(CFrameFunctionMgr &frameFunctionMgr, uint32 unKeepAliveTimeoutSeconds,
                const char *pchResponseCacheDir, uint32 cubResponseCacheSize,
                uint32 unMaxInFlightRequestsPerHost, CTLSContext *pTLSContext, CWorkThreadPool *pThreadPool);
    // Shuts down.
    ~CHTTPClient();
    CHTTPClient(const CHTTPClient &) = delete;
    CHTTPClient &operator=(const CHTTPClient &) = delete;

    // No dispatch from now on; every connection is deleted (a request one carries
    // completes failed).
    void Shutdown();
    bool BIsShutdown() const { return m_bIsShutdown; }

    uint32 GetKeepAliveTimeoutSeconds() const { return m_unKeepAliveTimeoutSeconds; }
    CTLSContext *GetTLSContext() const { return m_pTLSContext; }

    // ---- towards the connections (main thread) ----
    // Hands the handle (addresses resolved, default headers added) to a connection; a
    // handle that cannot be sent completes failed.
    void Dispatch(CHTTPRequestHandle *pHandle);
    // The end of a request: logs its outcome and completes the handle.
    void DispatchRequest(CHTTPRequestHandle *pHandle);
    // A connection whose response ended and which stays open.
    void AddClientConnectionBackToPool(CHTTPClientConnection *pConnection);
    // A connection that is being torn down (once per connection).
    void RemoveClientConnection(CHTTPClientConnection *pConnection);

    int GetIdleConnectionCount() const { return (int)m_vecIdleConnections.size(); }
    int GetInUseConnectionCount() const { return (int)m_vecInUseConnections.size(); }
    // Connections created so far.
    uint32 GetConnectionsCreated() const { return m_cConnectionsCreated; }

    uint32 m_unMaxInFlightRequestsPerHost;
    uint32 m_unKeepAliveTimeoutSeconds;
    bool m_bIsShutdown;

private:
    CFrameFunctionMgr *m_pFrameFunctionMgr;
    CTLSContext *m_pTLSContext; // one reference
    CWorkThreadPool *m_pCallerThreadPool;
    std::vector<CHTTPClientConnection *> m_vecIdleConnections;
    std::vector<CHTTPClientConnection *> m_vecInUseConnections;
    uint32 m_cConnectionsCreated;
};

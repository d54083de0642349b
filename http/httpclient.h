// CHTTPClient: the asynchronous HTTP/1.1 client, and CHTTPRequestHandle, through which a
// caller follows one request.
//
// A caller (on any thread) builds a CHTTPClientRequest, sets its options, hands it to
// SendHTTPRequest and polls the handle it gets until BCompleted() is true; then it reads
// m_bSucceeded and the response, and releases the handle. Behind that call a work thread
// of the client's pool ("CHTTPClientThreadPool") decides on a proxy and looks the host up;
// back on the main thread, inside the client's frame function, the request joins the pool
// entry of its addresses and gets an idle kept-alive connection, a new connection, or a
// place in the entry's queue (at most m_unMaxInFlightRequestsPerHost connections carry
// requests per entry). Connections (CHTTPClientConnection) report back through
// AddClientConnectionBackToPool, RemoveClientConnection, Dispatch and DispatchRequest.
// Redirects are followed by new requests whose handles carry the caller's handle as their
// parent and share its response, so the caller reads the last response of the chain.
//
// Thread: SendHTTPRequest and the handle's accessors from any thread; construction,
// Shutdown, destruction and everything else on the main thread (the one that pumps the
// frame functions). The connection pool needs no lock for that reason.
#pragma once

#include "foundation/basetypes.h"
#include "foundation/refcount.h"
#include "http/http.h"
#include "http/tls.h"
#include "jobs/framefunctionmgr.h"
#include "jobs/workthreadpool.h"
#include "net/netadr.h"

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>

class CHTTPClient;
class CHTTPClientConnection;
class CWorkItemHTTPClientRequest;

// One request as the caller sees it. Created with one reference, which belongs to the
// caller; the client, its work item and connections hold their own while they work on it.
class CHTTPRequestHandle : public CRefCountThreadSafe
{
public:
    // Takes a reference on the request and on the response; a null response is created
    // from the request. A redirect's handle gets the caller's handle as its parent (one
    // reference) and shares its response.
    CHTTPRequestHandle(CHTTPClient *pClient, CHTTPClientRequest *pRequest,
                       CHTTPClientResponse *pResponse = nullptr, CHTTPRequestHandle *pParentHandle = nullptr);

    // Whether the request is finished for good (after any redirects). Once true (read with
    // acquire ordering), m_bSucceeded and the response may be read.
    bool BCompleted() const { return m_bCompleted.load(std::memory_order_acquire); }
    // Publishes the completion after everything it covers was written (main thread).
    void SetCompleted() { m_bCompleted.store(true, std::memory_order_release); }

    CHTTPClientRequest *AccessClientRequest() const { return m_pRequest; }
    CHTTPClientResponse *AccessResponse() const { return m_pResponse; }
    CHTTPRequestHandle *GetParentHandle() const { return m_pParentHandle; }
    // Received / expected body bytes times 100; 0 when nothing is expected. Any thread, at
    // any time (a progress hint).
    float GetPercentComplete() const;

    std::atomic<bool> m_bCompleted;
    bool m_bSucceeded; // a complete response was received (for the caller: by the chain's last request)

protected:
    ~CHTTPRequestHandle() override;

private:
    CHTTPClient *m_pClient;
    CHTTPClientRequest *m_pRequest;
    CHTTPClientResponse *m_pResponse;
    CHTTPRequestHandle *m_pParentHandle; // holds a reference (redirects only)
};

// Key of the connection pool: the same origin reached the same way with the same TLS
// context shares connections. Compared field by field in this order.
struct HostLookup_t
{
    netadr_t m_adrTarget;  // the origin (the URL's host, looked up)
    netadr_t m_adrConnect; // where the TCP connection goes: a proxy, or the origin again
    CTLSContext *m_pTLSContext;

    bool operator<(const HostLookup_t &other) const
    {
        if (m_adrTarget != other.m_adrTarget)
            return m_adrTarget < other.m_adrTarget;
        if (m_adrConnect != other.m_adrConnect)
            return m_adrConnect < other.m_adrConnect;
        return std::less<CTLSContext *>()(m_pTLSContext, other.m_pTLSContext);
    }
};

// One pool entry. The three containers are made together with the entry and go with it.
struct AddrConnectionInfo_t
{
    AddrConnectionInfo_t();

    bool BEmpty() const
    {
        return m_pTreeWaitingConnections->empty() && m_pTreeInUseConnections->empty() &&
               m_pListWaitingRequestsForAddress->empty();
    }

    // Idle kept-alive connections, waiting for a request.
    std::unique_ptr<std::set<CHTTPClientConnection *>> m_pTreeWaitingConnections;
    // Connections carrying a request.
    std::unique_ptr<std::set<CHTTPClientConnection *>> m_pTreeInUseConnections;
    // Requests waiting for a connection, oldest first; each holds one reference.
    std::unique_ptr<std::deque<CHTTPRequestHandle *>> m_pListWaitingRequestsForAddress;
};

class CHTTPClient : public IWorkThreadFactory
{
public:
    static const int k_cWorkThreads = 3;

    // Registers the frame function "CHTTPClient::BFrameFuncHandleCompletedWorkItems" with
    // the manager. pchResponseCacheDir and cubResponseCacheSize are accepted and not used
    // (there is no response cache). Null TLS context: the client's own empty one. Null
    // thread pool: the client's own, whose threads start when the first request comes.
    CHTTPClient(CFrameFunctionMgr &frameFunctionMgr, uint32 unKeepAliveTimeoutSeconds,
                const char *pchResponseCacheDir, uint32 cubResponseCacheSize,
                uint32 unMaxInFlightRequestsPerHost, CTLSContext *pTLSContext, CWorkThreadPool *pThreadPool);
    // Shuts down.
    ~CHTTPClient() override;
    CHTTPClient(const CHTTPClient &) = delete;
    CHTTPClient &operator=(const CHTTPClient &) = delete;

    // Any thread. Returns a new handle that the caller owns and must release; the client
    // takes its own reference on the request (the caller still releases its one). After
    // Shutdown the handle comes back completed and failed. A request without a redirect
    // policy gets the default one (CHTTPDefaultRedirectEnableHandler, httpredirect.h).
    CHTTPRequestHandle *SendHTTPRequest(CHTTPClientRequest *pRequest);

    // Main thread. No dispatch from now on: the frame function is deregistered, the
    // client's own pool is stopped, every connection is deleted and the map emptied. Every
    // request not yet finished completes failed: those carried by a connection, those
    // waiting in a queue and those still being looked up.
    void Shutdown();

    uint32 GetKeepAliveTimeoutSeconds() const { return m_unKeepAliveTimeoutSeconds; }

    // The frame function: completes the work items of finished name lookups within the
    // budget; true when more remain.
    bool BFrameFuncHandleCompletedWorkItems(CLimitTimer &limitTimer);

    // IWorkThreadFactory: a CHTTPClientWorkThread.
    CWorkThread *CreateWorkerThread(CWorkThreadPool *pPool) override;

    // ---- towards the work items and the connections (main thread) ----
    // Hands the handle (addresses resolved, default headers added) to a connection of its
    // pool entry, or queues it; a handle that cannot be sent completes failed. Re-entered
    // from inside a connection (the retry of a stale kept-alive connection).
    void Dispatch(CHTTPRequestHandle *pHandle);
    // The end of a request: logs its outcome, follows a redirect, or completes the handle
    // (the caller's handle, for the last request of a redirect chain).
    void DispatchRequest(CHTTPRequestHandle *pHandle);
    // A connection whose response ended and which stays open: idle again, or at once
    // carrying the oldest request waiting for its entry. Called before the handle that
    // connection carried is completed.
    void AddClientConnectionBackToPool(CHTTPClientConnection *pConnection);
    // A connection that is being torn down (once per connection); a waiting request of its
    // entry takes the room it leaves.
    void RemoveClientConnection(CHTTPClientConnection *pConnection);
    // A work item whose lookup is done (or that was dropped) leaves the client's list.
    void OnWorkItemDone(CWorkItemHTTPClientRequest *pWorkItem);

    // Counts over all pool entries (main thread; for tests and diagnostics).
    int GetIdleConnectionCount() const;
    int GetInUseConnectionCount() const;
    int GetWaitingRequestCount() const;
    int GetPoolEntryCount() const { return (int)m_MapHostsToPersistentConnections.size(); }
    // Connections created so far.
    uint32 GetConnectionsCreated() const { return m_cConnectionsCreated; }

    uint32 m_unMaxInFlightRequestsPerHost;
    uint32 m_unKeepAliveTimeoutSeconds;
    std::atomic<bool> m_bIsShutdown;

private:
    typedef std::map<HostLookup_t, AddrConnectionInfo_t> CMapHostsToConnections;

    // Sending from step 2 on: completes the handle at once after shutdown, else queues its
    // name lookup on the pool.
    void SendHandle(CHTTPRequestHandle *pHandle);
    // A new request for the redirect target, sent under a handle whose parent is the
    // caller's handle.
    void FollowRedirect(CHTTPRequestHandle *pHandle, const char *pchURL, KeyValues *pkvHeadersToAdd);
    HostLookup_t HostLookupFor(const netadr_t &adrTarget, const netadr_t &adrConnect) const;

    CFrameFunction<CHTTPClient> m_FrameFunction;
    CFrameFunctionMgr *m_pFrameFunctionMgr;
    CWorkThreadPool m_WorkThreadPool; // "CHTTPClientThreadPool"
    CWorkThreadPool *m_ThreadPool;    // the pool used: the caller's or m_WorkThreadPool
    CTLSContext *m_pTLSContext;       // one reference
    CMapHostsToConnections m_MapHostsToPersistentConnections;
    uint32 m_cConnectionsCreated;

    // Work items queued and not yet dispatched, each with one reference: SendHTTPRequest
    // (any thread) adds, the main thread removes. The lock also orders sending against
    // Shutdown, so that no item is queued once the client is shut down.
    std::mutex m_PendingWorkItemsMutex;
    std::set<CWorkItemHTTPClientRequest *> m_setPendingWorkItems;
};

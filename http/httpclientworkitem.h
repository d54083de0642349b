// CWorkItemHTTPClientRequest: the part of sending a request that may block. On a work
// thread of the HTTP client's pool it decides on a proxy and looks the host up; back on
// the main thread it adds the default headers and hands the request to the client's
// Dispatch.
//
// Life: created by CHTTPClient::SendHTTPRequest (any thread) with a reference on the
// handle; the client keeps it in its list of pending items until it is dispatched.
// Shutdown cancels it: a cancelled item does no lookup and no dispatch (the client
// completes its handle itself).
#pragma once

#include "jobs/workitem.h"

#include <atomic>

class CHTTPClient;
class CHTTPRequestHandle;

class CWorkItemHTTPClientRequest : public CWorkItem
{
public:
    CWorkItemHTTPClientRequest(CHTTPClient *pClient, CHTTPRequestHandle *pHandle);

    const char *GetDispatchCompletedName() const override
    {
        return "CWorkItemHTTPClientRequest::DispatchCompletedWorkItem";
    }
    const char *GetThreadProcessName() const override { return "CWorkItemHTTPClientRequest::ThreadProcess"; }

    // Work thread: proxy decision, then the blocking name lookup; fills the request's
    // m_adrConnect, m_adrTarget and m_bUsesProxy.
    bool ThreadProcess(CWorkThread *pThread) override;
    // Main thread: default headers, then CHTTPClient::Dispatch.
    bool DispatchCompletedWorkItem(void *pvJobContext) override;

    // Main thread, under the client's lock of pending items.
    void Cancel() { m_bCancelled.store(true); }
    CHTTPRequestHandle *GetHandle() const { return m_pHandle; }

protected:
    ~CWorkItemHTTPClientRequest() override;

private:
    CHTTPClient *m_pClient;
    CHTTPRequestHandle *m_pHandle; // one reference
    std::atomic<bool> m_bCancelled;
};

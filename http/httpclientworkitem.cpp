#include "http/httpclientworkitem.h"

#include "foundation/dbg.h"
#include "http/httpclient.h"
#include "http/httpclientworkthread.h"
#include "http/httprequestwriter.h"

CWorkItemHTTPClientRequest::CWorkItemHTTPClientRequest(CHTTPClient *pClient, CHTTPRequestHandle *pHandle)
    : m_pClient(pClient), m_pHandle(pHandle), m_bCancelled(false)
{
    m_pHandle->AddRef();
}

CWorkItemHTTPClientRequest::~CWorkItemHTTPClientRequest()
{
    m_pHandle->Release();
}

bool CWorkItemHTTPClientRequest::ThreadProcess(CWorkThread *pThread)
{
    // Once the client is shut down nothing is looked up: the client is not waited for.
    if (m_bCancelled.load())
        return true;
    CHTTPClientRequest *pRequest = m_pHandle->AccessClientRequest();
    netadr_t adrProxy;
    netadr_t adrOrigin;

    // A pool handed in by the client's creator may run plain work threads, which know of
    // no proxy: such requests go direct.
    CHTTPClientWorkThread *pHTTPThread = dynamic_cast<CHTTPClientWorkThread *>(pThread);
    if (pHTTPThread)
    {
        if (!pHTTPThread->BProxySettingsLoaded())
            pHTTPThread->LoadAutoDetectedProxySettings();
        if (pHTTPThread->BShouldRequestUseProxy(pRequest, &adrProxy))
            pRequest->m_bUsesProxy = true;
    }

    if (adrOrigin.BResolve(pRequest->GetHostname()) && adrOrigin.GetPort() == 0)
        adrOrigin.SetPort(pRequest->m_bSecure ? 443 : 80);
    netadr_t adrConnect = adrProxy.BIsComplete() ? adrProxy : adrOrigin;
    pRequest->m_adrConnect = adrConnect;
    pRequest->m_adrTarget = adrOrigin;
    DMsg("http", 3, "HTTP request resolved %s to %s, connecting to %s\n", pRequest->GetHostname(),
         adrOrigin.ToString(), adrConnect.ToString());
    return adrOrigin.BIsComplete();
}

bool CWorkItemHTTPClientRequest::DispatchCompletedWorkItem(void *)
{
    if (m_bCancelled.load())
        return true;
    HTTPPrepareRequestHeaders(m_pHandle->AccessClientRequest());
    m_pClient->Dispatch(m_pHandle);
    m_pClient->OnWorkItemDone(this);
    return true;
}

// CHTTPClient: the end of a request. A response that asks to go elsewhere is followed when
// the request's redirect policy agrees, by a new request under a handle whose parent is
// the caller's handle and which shares (and resets) the caller's response; otherwise the
// handle completes, and for the last request of a chain the caller's handle with it.
#include "http/httpclient.h"

#include "foundation/dbg.h"
#include "foundation/keyvalues.h"
#include "http/httpredirect.h"

void CHTTPClient::DispatchRequest(CHTTPRequestHandle *pHandle)
{
    CHTTPClientRequest *pRequest = pHandle->AccessClientRequest();
    DMsg("http", 3, pHandle->m_bSucceeded ? "Success! http%s://%s%s\n" : "Failed! http%s://%s%s\n",
         pRequest->m_bSecure ? "s" : "", pRequest->GetHostname(), pRequest->GetURL());

    CHTTPClientResponse *pResponse = pHandle->AccessResponse();
    IHTTPRedirectHandler *pRedirectHandler = pRequest->GetRedirectHandler();
    if (pRedirectHandler && BIsRedirectStatus(pResponse->GetStatusCode()))
    {
        // A relative reference is meant relative to the URL that answered.
        const char *pchLocation = pResponse->GetResponseHeaderValue("Location");
        CUtlString strTarget;
        if (pchLocation && *pchLocation)
            BResolveURLReference(HTTPRequestAbsoluteURL(pRequest).Get(), pchLocation, &strTarget);
        CUtlString strReplacementURL;
        KeyValues *pkvHeadersToAdd = new KeyValues("HeadersToAdd");
        if (pRedirectHandler->BShouldFollowRedirect(pHandle, strTarget.Get(), &strReplacementURL,
                                                    pkvHeadersToAdd))
        {
            CUtlString strURL = strTarget;
            if (!strReplacementURL.IsEmpty())
                BResolveURLReference(HTTPRequestAbsoluteURL(pRequest).Get(), strReplacementURL.Get(),
                                     &strURL);
            if (!strURL.IsEmpty())
            {
                FollowRedirect(pHandle, strURL.Get(), pkvHeadersToAdd);
                pkvHeadersToAdd->DeleteThis();
                return;
            }
        }
        pkvHeadersToAdd->DeleteThis();
    }

    CHTTPRequestHandle *pParent = pHandle->GetParentHandle();
    if (!pParent)
    {
        Assert(!pHandle->BCompleted());
        pHandle->SetCompleted();
        return;
    }
    // The last request of a redirect chain: its outcome is the caller's. (The caller's
    // handle holds the outcome of the redirect response until now; a chain that ends in a
    // failure must not read as a success.)
    pRequest->SetRedirectHandler(nullptr);
    Assert(!pParent->BCompleted());
    pParent->m_bSucceeded = pHandle->m_bSucceeded;
    pParent->SetCompleted();
    // The chain's reference (taken in FollowRedirect); the handle lets go of its parent.
    pHandle->Release();
}

void CHTTPClient::FollowRedirect(CHTTPRequestHandle *pHandle, const char *pchURL, KeyValues *pkvHeadersToAdd)
{
    CHTTPClientRequest *pRequest = new CHTTPClientRequest(*pHandle->AccessClientRequest(), pchURL);
    for (KeyValues *pkv = pkvHeadersToAdd->GetFirstSubKey(); pkv; pkv = pkv->GetNextKey())
        pRequest->SetRequestHeaderValue(pkv->GetName(), pkv->GetString(nullptr, ""));

    // Every request of the chain reports to the caller's handle, whose response it fills.
    CHTTPRequestHandle *pCallerHandle = pHandle->GetParentHandle() ? pHandle->GetParentHandle() : pHandle;
    CHTTPClientResponse *pResponse = pCallerHandle->AccessResponse();
    CHTTPRequestHandle *pRedirectHandle = new CHTTPRequestHandle(this, pRequest, pResponse, pCallerHandle);
    pResponse->Reset();
    pRequest->Release();
    // The chain holds the new handle's creation reference until it completes.
    SendHandle(pRedirectHandle);

    // A request in the middle of the chain is done: the chain lets go of it.
    if (pHandle->GetParentHandle())
        pHandle->Release();
}

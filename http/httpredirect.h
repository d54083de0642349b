// Redirects: the client's default policy of which redirects to follow, and the
// resolution of a "Location" against the URL of the request that received it.
//
// Thread: the main thread (the HTTP client asks the policy when a response completes).
// The policy object is shared by every request of one redirect chain, which hold a
// reference each.
#pragma once

#include "foundation/utlstring.h"
#include "foundation/utlvector.h"
#include "http/http.h"

#include <string>

// Follows redirects to new targets: at most k_cMaxRedirects per chain, never to a target
// already followed (compared without regard to case), never for 401 and 407. It supplies
// no replacement URL and no headers.
class CHTTPDefaultRedirectEnableHandler : public IHTTPRedirectHandler
{
public:
    static const int k_cMaxRedirects = 8;

    bool BShouldFollowRedirect(CHTTPRequestHandle *pHandle, const char *pchLocation,
                               CUtlString *pstrReplacementURL, KeyValues *pkvHeadersToAdd) override;

    // The targets followed so far, in order.
    const CUtlVector<CUtlString> &GetFollowedTargets() const { return m_vecFollowedTargets; }

private:
    CUtlVector<CUtlString> m_vecFollowedTargets;
};

// Whether the text is a URI scheme (RFC 3986: a letter, then letters, digits, "+", "-"
// and ".").
bool BIsURIScheme(const std::string &strText);

// The absolute URL of the request: "http" or "https", "://", the host (with its port),
// the path and, when it has GET parameters, "?" and their URL encoding.
CUtlString HTTPRequestAbsoluteURL(const CHTTPClientRequest *pRequest);

// Resolves a URI reference (a "Location") against an absolute base URL, as RFC 3986
// section 5.2 does: a reference with a scheme stands as it is; "//host/path" takes the
// base's scheme; "/path" the base's scheme and host; "?query" the base's path too; a
// relative path is merged with the base's path; dot segments are removed; a fragment is
// dropped (it is never sent). False, with *pstrAbsolute empty, when the base is not an
// absolute http(s)-style URL or the result would have no host.
bool BResolveURLReference(const char *pchBaseURL, const char *pchReference, CUtlString *pstrAbsolute);

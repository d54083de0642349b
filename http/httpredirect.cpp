#include "http/httpredirect.h"

#include "foundation/strtools.h"
#include "foundation/utlbuffer.h"
#include "http/httpclient.h"
#include "http/httprequestwriter.h"

#include <cctype>
#include <string>

namespace
{
// The five parts of a URI reference (RFC 3986 appendix B); the fragment is not kept.
struct URIParts_t
{
    bool m_bHasScheme = false;
    std::string m_strScheme;
    bool m_bHasAuthority = false;
    std::string m_strAuthority;
    std::string m_strPath;
    bool m_bHasQuery = false;
    std::string m_strQuery;
};

URIParts_t SplitURIReference(const std::string &strReference)
{
    URIParts_t parts;
    std::string str = strReference.substr(0, strReference.find('#'));
    size_t iColon = str.find(':');
    if (iColon != std::string::npos && iColon < str.find_first_of("/?") &&
        BIsURIScheme(str.substr(0, iColon)))
    {
        parts.m_bHasScheme = true;
        parts.m_strScheme = str.substr(0, iColon);
        str.erase(0, iColon + 1);
    }
    if (str.compare(0, 2, "//") == 0)
    {
        size_t iEnd = str.find_first_of("/?", 2);
        parts.m_bHasAuthority = true;
        parts.m_strAuthority = str.substr(2, iEnd == std::string::npos ? std::string::npos : iEnd - 2);
        str.erase(0, iEnd == std::string::npos ? str.size() : iEnd);
    }
    size_t iQuery = str.find('?');
    parts.m_strPath = str.substr(0, iQuery);
    if (iQuery != std::string::npos)
    {
        parts.m_bHasQuery = true;
        parts.m_strQuery = str.substr(iQuery + 1);
    }
    return parts;
}

// RFC 3986 section 5.2.4.
std::string RemoveDotSegments(const std::string &strPath)
{
    std::string strIn = strPath;
    std::string strOut;
    auto removeLastSegment = [&strOut]()
    {
        size_t iSlash = strOut.rfind('/');
        strOut.erase(iSlash == std::string::npos ? 0 : iSlash);
    };
    while (!strIn.empty())
    {
        if (strIn.compare(0, 3, "../") == 0)
            strIn.erase(0, 3);
        else if (strIn.compare(0, 2, "./") == 0)
            strIn.erase(0, 2);
        else if (strIn.compare(0, 3, "/./") == 0)
            strIn.erase(0, 2);
        else if (strIn == "/.")
            strIn = "/";
        else if (strIn.compare(0, 4, "/../") == 0)
        {
            strIn.erase(0, 3);
            removeLastSegment();
        }
        else if (strIn == "/..")
        {
            strIn = "/";
            removeLastSegment();
        }
        else if (strIn == "." || strIn == "..")
            strIn.clear();
        else
        {
            // The first segment, with its leading "/", moves to the output.
            size_t iEnd = strIn.find('/', 1);
            if (iEnd == std::string::npos)
                iEnd = strIn.size();
            strOut += strIn.substr(0, iEnd);
            strIn.erase(0, iEnd);
        }
    }
    return strOut;
}

// RFC 3986 section 5.2.3.
std::string MergePaths(const URIParts_t &base, const std::string &strReferencePath)
{
    if (base.m_bHasAuthority && base.m_strPath.empty())
        return "/" + strReferencePath;
    size_t iSlash = base.m_strPath.rfind('/');
    if (iSlash == std::string::npos)
        return strReferencePath;
    return base.m_strPath.substr(0, iSlash + 1) + strReferencePath;
}
} // namespace

bool BIsURIScheme(const std::string &strText)
{
    if (strText.empty() || !isalpha((unsigned char)strText[0]))
        return false;
    for (char ch : strText)
    {
        if (!isalnum((unsigned char)ch) && ch != '+' && ch != '-' && ch != '.')
            return false;
    }
    return true;
}

bool CHTTPDefaultRedirectEnableHandler::BShouldFollowRedirect(CHTTPRequestHandle *pHandle,
                                                              const char *pchLocation, CUtlString *,
                                                              KeyValues *)
{
    EHTTPStatusCode eStatus = pHandle && pHandle->AccessResponse()
                                  ? pHandle->AccessResponse()->GetStatusCode()
                                  : k_EHTTPStatusCodeInvalid;
    // Credentials are the caller's business, not something to go elsewhere for.
    if (eStatus == k_EHTTPStatusCode401Unauthorized || eStatus == k_EHTTPStatusCode407ProxyAuthRequired)
        return false;
    if (m_vecFollowedTargets.Count() >= k_cMaxRedirects)
        return false;
    if (!pchLocation || !*pchLocation)
        return false;
    for (int i = 0; i < m_vecFollowedTargets.Count(); ++i)
    {
        if (Q_stricmp(m_vecFollowedTargets[i].Get(), pchLocation) == 0)
            return false;
    }
    m_vecFollowedTargets.AddToTail(CUtlString(pchLocation));
    return true;
}

CUtlString HTTPRequestAbsoluteURL(const CHTTPClientRequest *pRequest)
{
    CUtlBuffer bufQuery(0, 0, 0);
    HTTPWriteQueryString(pRequest, bufQuery);
    CUtlString strURL;
    strURL.Format("http%s://%s%s", pRequest->m_bSecure ? "s" : "", pRequest->GetHostname(),
                  pRequest->GetURL());
    std::string strQuery((const char *)bufQuery.Base(), (size_t)bufQuery.TellPut());
    strURL += strQuery.c_str();
    return strURL;
}

bool BResolveURLReference(const char *pchBaseURL, const char *pchReference, CUtlString *pstrAbsolute)
{
    pstrAbsolute->Clear();
    if (!pchBaseURL || !pchReference)
        return false;
    URIParts_t base = SplitURIReference(pchBaseURL);
    if (!base.m_bHasScheme || !base.m_bHasAuthority || base.m_strAuthority.empty())
        return false;
    URIParts_t reference = SplitURIReference(pchReference);

    URIParts_t target;
    if (reference.m_bHasScheme)
    {
        target = reference;
        target.m_strPath = RemoveDotSegments(reference.m_strPath);
    }
    else
    {
        target.m_strScheme = base.m_strScheme;
        if (reference.m_bHasAuthority)
        {
            target.m_bHasAuthority = true;
            target.m_strAuthority = reference.m_strAuthority;
            target.m_strPath = RemoveDotSegments(reference.m_strPath);
            target.m_bHasQuery = reference.m_bHasQuery;
            target.m_strQuery = reference.m_strQuery;
        }
        else
        {
            target.m_bHasAuthority = true;
            target.m_strAuthority = base.m_strAuthority;
            if (reference.m_strPath.empty())
            {
                target.m_strPath = base.m_strPath;
                target.m_bHasQuery = reference.m_bHasQuery || base.m_bHasQuery;
                target.m_strQuery = reference.m_bHasQuery ? reference.m_strQuery : base.m_strQuery;
            }
            else
            {
                target.m_strPath = reference.m_strPath[0] == '/' ? reference.m_strPath
                                                                 : MergePaths(base, reference.m_strPath);
                target.m_strPath = RemoveDotSegments(target.m_strPath);
                target.m_bHasQuery = reference.m_bHasQuery;
                target.m_strQuery = reference.m_strQuery;
            }
        }
    }
    // Only a URL with a host can be requested.
    if (!target.m_bHasAuthority || target.m_strAuthority.empty())
        return false;

    std::string strResult = target.m_strScheme + "://" + target.m_strAuthority;
    strResult += target.m_strPath.empty() ? "/" : target.m_strPath;
    if (target.m_bHasQuery)
        strResult += "?" + target.m_strQuery;
    pstrAbsolute->Set(strResult.c_str());
    return true;
}

#include "http/http.h"

#include "http/httpbodysink.h"

#include "foundation/dbg.h"
#include "foundation/keyvalues.h"
#include "foundation/murmurhash3.h"
#include "foundation/strtools.h"

#include <cstring>

namespace
{
struct StatusText_t
{
    int m_nCode;
    const char *m_pchText;
};

const StatusText_t k_rgStatusTexts[] = {
    {0, "Invalid"},
    {100, "Continue"},
    {101, "Switching Protocols"},
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {203, "Non-Authoritative Information"},
    {204, "No Content"},
    {205, "Reset Content"},
    {206, "Partial Content"},
    {300, "Multiple Choices"},
    {301, "Moved Permanently"},
    {302, "Found"},
    {303, "See Other"},
    {304, "Not Modified"},
    {305, "Use Proxy"},
    {307, "Temporary Redirect"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {402, "Payment Required"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {406, "Not Acceptable"},
    {407, "Proxy Authentication Required"},
    {408, "Request Timeout"},
    {409, "Conflict"},
    {410, "Gone"},
    {411, "Length Required"},
    {412, "Precondition Failed"},
    {413, "Request Entity Too Large"},
    {414, "Request-URI Too Large"},
    {415, "Unsupported Media Type"},
    {416, "Requested range not satisfiable"},
    {417, "Expectation Failed"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
    {504, "Gateway Time-out"},
    {505, "HTTP Version not supported"},
};

const char *const k_rgpchMethodNames[] = {"INVALID", "GET", "HEAD", "POST", "PUT", "DELETE"};

KeyValues *FindHeader(KeyValues *pkvHeaders, const char *pchName)
{
    if (!pkvHeaders || !pchName)
        return nullptr;
    for (KeyValues *pkv = pkvHeaders->GetFirstSubKey(); pkv; pkv = pkv->GetNextKey())
    {
        if (Q_stricmp(pkv->GetName(), pchName) == 0)
            return pkv;
    }
    return nullptr;
}

uint32 HashParamName(const char *pchName)
{
    return MurmurHash3_x86_32(pchName, (int)strlen(pchName), 0);
}
} // namespace

const char *PchNameFromEHTTPMethod(EHTTPMethod eMethod)
{
    if ((int)eMethod >= 0 && (int)eMethod < (int)Q_ARRAYSIZE(k_rgpchMethodNames))
        return k_rgpchMethodNames[(int)eMethod];
    AssertMsgF(false, "Missing String for %s (%d)", "EHTTPMethod", (int)eMethod);
    return "Unknown";
}

const char *PchNameFromEHTTPStatusCode(EHTTPStatusCode eStatusCode)
{
    for (const StatusText_t &entry : k_rgStatusTexts)
    {
        if (entry.m_nCode == (int)eStatusCode)
            return entry.m_pchText;
    }
    AssertMsgF(false, "Missing String for %s (%d)", "EHTTPStatusCode", (int)eStatusCode);
    return "Unknown";
}

bool BIsValidHTTPStatusCode(int nStatusCode)
{
    for (const StatusText_t &entry : k_rgStatusTexts)
    {
        if (entry.m_nCode == nStatusCode)
            return true;
    }
    return false;
}

bool BHTTPStatusCodeHasBody(EHTTPStatusCode eStatusCode)
{
    switch (eStatusCode)
    {
    case k_EHTTPStatusCode100Continue:
    case k_EHTTPStatusCode101SwitchingProtocols:
    case k_EHTTPStatusCode204NoContent:
    case k_EHTTPStatusCode205ResetContent:
    case k_EHTTPStatusCode304NotModified:
        return false;
    default:
        return true;
    }
}

bool BIsRedirectStatus(EHTTPStatusCode eStatusCode)
{
    switch (eStatusCode)
    {
    case k_EHTTPStatusCode301MovedPermanently:
    case k_EHTTPStatusCode302Found:
    case k_EHTTPStatusCode303SeeOther:
    case k_EHTTPStatusCode307TemporaryRedirect:
    case k_EHTTPStatusCode401Unauthorized:
    case k_EHTTPStatusCode407ProxyAuthRequired:
        return true;
    default:
        return false;
    }
}

const char *HTTPHeaderGet(KeyValues *pkvHeaders, const char *pchName)
{
    KeyValues *pkv = FindHeader(pkvHeaders, pchName);
    return pkv ? pkv->GetString(nullptr, "") : nullptr;
}

void HTTPHeaderSet(KeyValues *pkvHeaders, const char *pchName, const char *pchValue)
{
    if (!pkvHeaders || !pchName || !*pchName)
        return;
    KeyValues *pkv = FindHeader(pkvHeaders, pchName);
    if (!pkv)
        pkv = pkvHeaders->CreateKey(pchName);
    pkv->SetString(nullptr, pchValue ? pchValue : "");
}

bool HTTPHeaderRemove(KeyValues *pkvHeaders, const char *pchName)
{
    KeyValues *pkv = FindHeader(pkvHeaders, pchName);
    if (!pkv)
        return false;
    pkvHeaders->RemoveSubKey(pkv);
    pkv->DeleteThis();
    return true;
}

CHTTPRequestParam::CHTTPRequestParam(const char *pchName, const void *pvValue, uint32 cubValue)
    : m_strName(pchName), m_cubValue(cubValue), m_vecValue((size_t)cubValue + 1, 0)
{
    if (cubValue && pvValue)
        memcpy(m_vecValue.data(), pvValue, cubValue);
}

CHTTPRequestParam::CHTTPRequestParam(const char *pchName, const char *pchValue)
    : CHTTPRequestParam(pchName, pchValue, pchValue ? (uint32)strlen(pchValue) : 0)
{
}

CHTTPRequest::CHTTPRequest()
    : m_eRequestMethod(k_EHTTPMethodInvalid), m_pkvRequestHeaders(new KeyValues("RequestHeaders")),
      m_strURL("/")
{
}

CHTTPRequest::CHTTPRequest(EHTTPMethod eMethod, const char *pchHostname, const char *pchURL) : CHTTPRequest()
{
    m_eRequestMethod = eMethod;
    SetHostname(pchHostname);
    SetURL(pchURL);
}

CHTTPRequest::~CHTTPRequest()
{
    m_pkvRequestHeaders->DeleteThis();
}

const char *CHTTPRequest::GetRequestHeaderValue(const char *pchName) const
{
    return HTTPHeaderGet(m_pkvRequestHeaders, pchName);
}

void CHTTPRequest::SetRequestHeaderValue(const char *pchName, const char *pchValue)
{
    HTTPHeaderSet(m_pkvRequestHeaders, pchName, pchValue);
}

bool CHTTPRequest::BRemoveRequestHeader(const char *pchName)
{
    return HTTPHeaderRemove(m_pkvRequestHeaders, pchName);
}

void CHTTPRequest::AddGETParam(const char *pchName, const char *pchValue)
{
    m_vecGetParams.AddToTail(CHTTPRequestParam(pchName, pchValue));
}

void CHTTPRequest::AddPOSTParam(const char *pchName, const char *pchValue)
{
    AddPOSTParam(pchName, pchValue, pchValue ? (uint32)strlen(pchValue) : 0);
}

void CHTTPRequest::AddPOSTParam(const char *pchName, const void *pvValue, uint32 cubValue)
{
    m_vecPostParams.AddToTail(CHTTPRequestParam(pchName, pvValue, cubValue));
    m_setPostParamNameHashes.insert(HashParamName(pchName ? pchName : ""));
}

bool CHTTPRequest::BHasPOSTParam(const char *pchName) const
{
    if (!pchName || !m_setPostParamNameHashes.count(HashParamName(pchName)))
        return false;
    for (const CHTTPRequestParam &param : m_vecPostParams)
    {
        if (Q_strcmp(param.GetName(), pchName) == 0)
            return true;
    }
    return false;
}

void CHTTPRequest::RetrieveURLEncodedData(const char *pchData, int cchData,
                                          CUtlVector<CHTTPRequestParam> &vecParams)
{
    if (!pchData || cchData <= 0)
        return;
    const char *pch = pchData;
    const char *pchEnd = pchData + cchData;
    if (*pch == '?')
        ++pch;
    std::vector<char> vecName, vecValue;
    while (pch < pchEnd)
    {
        const char *pchPieceEnd = (const char *)memchr(pch, '&', (size_t)(pchEnd - pch));
        if (!pchPieceEnd)
            pchPieceEnd = pchEnd;
        const char *pchEquals = (const char *)memchr(pch, '=', (size_t)(pchPieceEnd - pch));
        if (pchEquals)
        {
            int cchName = (int)(pchEquals - pch);
            int cchValue = (int)(pchPieceEnd - pchEquals - 1);
            vecName.assign((size_t)cchName + 1, 0);
            vecValue.assign((size_t)cchValue + 1, 0);
            Q_URLDecode(vecName.data(), cchName + 1, pch, cchName);
            int cubValue = Q_URLDecode(vecValue.data(), cchValue + 1, pchEquals + 1, cchValue);
            vecParams.AddToTail(CHTTPRequestParam(vecName.data(), vecValue.data(), (uint32)cubValue));
        }
        pch = pchPieceEnd + 1;
    }
}

CHTTPClientRequest::CHTTPClientRequest(EHTTPMethod eMethod, const char *pchHostname, const char *pchURL,
                                       bool bSecure)
    : CHTTPRequest(eMethod, pchHostname, pchURL), m_bSecure(bSecure),
      m_unNetworkTimeoutSeconds(k_unDefaultNetworkTimeoutSeconds),
      m_unAbsoluteTimeoutSeconds(k_unDefaultAbsoluteTimeoutSeconds), m_pRedirectHandler(nullptr),
      m_pBodySink(nullptr), m_cubLowSpeedLimit(0), m_unLowSpeedWindowSeconds(0), m_bUsesProxy(false)
{
}

CHTTPClientRequest::CHTTPClientRequest(const CHTTPClientRequest &source, const char *pchAbsoluteURL)
    : CHTTPRequest(source.GetEHTTPMethod(), "", "/"), m_bSecure(false),
      m_unNetworkTimeoutSeconds(source.m_unNetworkTimeoutSeconds),
      m_unAbsoluteTimeoutSeconds(source.m_unAbsoluteTimeoutSeconds), m_pRedirectHandler(nullptr),
      m_pBodySink(nullptr), m_cubLowSpeedLimit(source.m_cubLowSpeedLimit),
      m_unLowSpeedWindowSeconds(source.m_unLowSpeedWindowSeconds), m_bUsesProxy(source.m_bUsesProxy),
      m_strCertificateFile(source.m_strCertificateFile), m_strPrivateKeyFile(source.m_strPrivateKeyFile)
{
    SetRedirectHandler(source.m_pRedirectHandler);
    SetBodySink(source.m_pBodySink);
    // A cookie meant for one host is not handed to the next, and the host changes anyway.
    // The body stays behind, so its length does too (a new body sets it again).
    for (KeyValues *pkv = source.GetRequestHeaders()->GetFirstSubKey(); pkv; pkv = pkv->GetNextKey())
    {
        if (Q_stricmp(pkv->GetName(), "Cookie") == 0 || Q_stricmp(pkv->GetName(), "Host") == 0 ||
            Q_stricmp(pkv->GetName(), "Content-Length") == 0)
            continue;
        SetRequestHeaderValue(pkv->GetName(), pkv->GetString(nullptr, ""));
    }
    BParseAbsoluteURL(pchAbsoluteURL);
}

CHTTPClientRequest::~CHTTPClientRequest()
{
    SetRedirectHandler(nullptr);
    SetBodySink(nullptr);
}

void CHTTPClientRequest::SetBodySink(IHTTPBodySink *pSink)
{
    if (pSink)
        pSink->AddRef();
    if (m_pBodySink)
        m_pBodySink->Release();
    m_pBodySink = pSink;
}

void CHTTPClientRequest::SetRedirectHandler(IHTTPRedirectHandler *pHandler)
{
    if (pHandler)
        pHandler->AddRef();
    if (m_pRedirectHandler)
        m_pRedirectHandler->Release();
    m_pRedirectHandler = pHandler;
}

bool CHTTPClientRequest::BParseAbsoluteURL(const char *pchURL)
{
    if (!pchURL)
        pchURL = "";
    m_bSecure = strncmp(pchURL, "https://", 8) == 0;
    const char *pchSchemeEnd = strstr(pchURL, "://");
    if (!pchSchemeEnd)
    {
        AssertMsg(false, "Bad absolute URL to CHTTPClientRequest constructor, must start with protocol://");
        return false;
    }
    const char *pchHost = pchSchemeEnd + 3;
    const char *pchSlash = strchr(pchHost, '/');
    if (!pchSlash)
    {
        SetHostname(pchHost);
        SetURL("/");
        return true;
    }
    m_strHostname.SetDirect(pchHost, (size_t)(pchSlash - pchHost));
    const char *pchQuery = strchr(pchSlash, '?');
    if (!pchQuery)
    {
        SetURL(pchSlash);
        return true;
    }
    m_strURL.SetDirect(pchSlash, (size_t)(pchQuery - pchSlash));
    if (pchQuery[1])
        RetrieveURLEncodedData(pchQuery, (int)strlen(pchQuery), m_vecGetParams);
    return true;
}

CHTTPResponse::CHTTPResponse() : m_eStatusCode(k_EHTTPStatusCode500InternalServerError), m_bufBody(1024, 0, 0)
{
}

CHTTPResponse::~CHTTPResponse() {}

void CHTTPResponse::SetResponseHeaderValue(const char *pchName, const char *pchValue)
{
    m_ResponseHeaders.Set(pchName, pchValue);
}

void CHTTPResponse::Reset()
{
    m_ResponseHeaders.Clear();
    m_eStatusCode = k_EHTTPStatusCode500InternalServerError;
    m_bufBody.Purge();
}

const char *CHTTPResponse::GetResponseHeaderValue(const char *pchName) const
{
    return m_ResponseHeaders.Get(pchName);
}

void CHTTPResponse::AddReceivedHeader(const char *pchName, const char *pchValue)
{
    m_ResponseHeaders.AddReceived(pchName, pchValue);
}

CHTTPClientResponse::CHTTPClientResponse()
    : m_unBodyBytesReceived(0), m_unBodyBytesExpected(0), m_bSecure(false)
{
}

CHTTPClientResponse::CHTTPClientResponse(const CHTTPClientRequest *pRequest) : CHTTPClientResponse()
{
    if (pRequest)
    {
        m_strURL = pRequest->GetURL();
        m_strHostname = pRequest->GetHostname();
        m_bSecure = pRequest->m_bSecure;
    }
}

void CHTTPClientResponse::Reset()
{
    CHTTPResponse::Reset();
    m_unBodyBytesReceived.store(0);
    m_unBodyBytesExpected.store(0);
}

bool CHTTPClientResponse::BSetBodyData(const void *pvData, uint32 cubData)
{
    const char *pchEncoding = GetResponseHeaderValue("content-encoding");
    if (!pchEncoding || !*pchEncoding || Q_stricmp(pchEncoding, "none") == 0)
    {
        m_bufBody.Clear();
        if (cubData && !m_bufBody.EnsureCapacity((int)cubData))
            return false;
        m_bufBody.Put(pvData, (int)cubData);
        return m_bufBody.IsValid();
    }
    if (Q_stricmp(pchEncoding, "gzip") == 0 || Q_stricmp(pchEncoding, "x-gzip") == 0)
        return BDecodeGzipMember((const uint8 *)pvData, cubData, k_cubMaxDecodedBody, m_bufBody);
    AssertMsg(false, "Unknown content encoding in CHTTPResponse::BSetBodyData()");
    return false;
}

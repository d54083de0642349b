// HTTP messages: requests and responses with their header stores, parameters and bodies,
// the client's request (with its options) and response (with progress counters), and the
// method and status code enumerations with their texts. They hold data and apply small
// rules; they do no I/O.
//
// Ownership: every message is reference-counted with an atomic count; the creator holds
// the first reference and the last Release deletes it. A message is filled on one thread at
// a time (the caller before sending, the main thread while the response arrives); only the
// progress counters of CHTTPClientResponse may be read while it is being filled.
#pragma once

#include "foundation/basetypes.h"
#include "foundation/refcount.h"
#include "foundation/utlbuffer.h"
#include "foundation/utlstring.h"
#include "foundation/utlvector.h"
#include "http/httpheaderstore.h"
#include "net/netadr.h"

#include <atomic>
#include <set>
#include <vector>

class KeyValues;
class CHTTPRequestHandle;
class IHTTPBodySink;

enum EHTTPMethod
{
    k_EHTTPMethodInvalid = 0,
    k_EHTTPMethodGET = 1,
    k_EHTTPMethodHEAD = 2,
    k_EHTTPMethodPOST = 3,
    k_EHTTPMethodPUT = 4,
    k_EHTTPMethodDELETE = 5,
};

// The status codes this system knows; a status code is valid exactly when it is here.
enum EHTTPStatusCode
{
    k_EHTTPStatusCodeInvalid = 0,
    k_EHTTPStatusCode100Continue = 100,
    k_EHTTPStatusCode101SwitchingProtocols = 101,
    k_EHTTPStatusCode200OK = 200,
    k_EHTTPStatusCode201Created = 201,
    k_EHTTPStatusCode202Accepted = 202,
    k_EHTTPStatusCode203NonAuthoritative = 203,
    k_EHTTPStatusCode204NoContent = 204,
    k_EHTTPStatusCode205ResetContent = 205,
    k_EHTTPStatusCode206PartialContent = 206,
    k_EHTTPStatusCode300MultipleChoices = 300,
    k_EHTTPStatusCode301MovedPermanently = 301,
    k_EHTTPStatusCode302Found = 302,
    k_EHTTPStatusCode303SeeOther = 303,
    k_EHTTPStatusCode304NotModified = 304,
    k_EHTTPStatusCode305UseProxy = 305,
    k_EHTTPStatusCode307TemporaryRedirect = 307,
    k_EHTTPStatusCode400BadRequest = 400,
    k_EHTTPStatusCode401Unauthorized = 401,
    k_EHTTPStatusCode402PaymentRequired = 402,
    k_EHTTPStatusCode403Forbidden = 403,
    k_EHTTPStatusCode404NotFound = 404,
    k_EHTTPStatusCode405MethodNotAllowed = 405,
    k_EHTTPStatusCode406NotAcceptable = 406,
    k_EHTTPStatusCode407ProxyAuthRequired = 407,
    k_EHTTPStatusCode408RequestTimeout = 408,
    k_EHTTPStatusCode409Conflict = 409,
    k_EHTTPStatusCode410Gone = 410,
    k_EHTTPStatusCode411LengthRequired = 411,
    k_EHTTPStatusCode412PreconditionFailed = 412,
    k_EHTTPStatusCode413RequestEntityTooLarge = 413,
    k_EHTTPStatusCode414RequestURITooLong = 414,
    k_EHTTPStatusCode415UnsupportedMediaType = 415,
    k_EHTTPStatusCode416RequestedRangeNotSatisfiable = 416,
    k_EHTTPStatusCode417ExpectationFailed = 417,
    k_EHTTPStatusCode500InternalServerError = 500,
    k_EHTTPStatusCode501NotImplemented = 501,
    k_EHTTPStatusCode502BadGateway = 502,
    k_EHTTPStatusCode503ServiceUnavailable = 503,
    k_EHTTPStatusCode504GatewayTimeout = 504,
    k_EHTTPStatusCode505HTTPVersionNotSupported = 505,
};

// "GET", ...; a value outside the table asserts "Missing String for EHTTPMethod (%d)" and
// gives "Unknown".
const char *PchNameFromEHTTPMethod(EHTTPMethod eMethod);
// The reason phrase ("OK", "Not Found", ...); outside the table as above.
const char *PchNameFromEHTTPStatusCode(EHTTPStatusCode eStatusCode);
bool BIsValidHTTPStatusCode(int nStatusCode);
// False for 100, 101, 204, 205 and 304.
bool BHTTPStatusCodeHasBody(EHTTPStatusCode eStatusCode);
// 301, 302, 303, 307, 401 and 407.
bool BIsRedirectStatus(EHTTPStatusCode eStatusCode);

// Request header stores: a KeyValues section whose children are the headers, in insertion
// order. Names compare without regard to ASCII case; the spelling first used is kept.
// Header names are plain keys, never key paths. (Received headers have a store of their own,
// httpheaderstore.h: they come from the peer, as many as 2 MiB of them.)
const char *HTTPHeaderGet(KeyValues *pkvHeaders, const char *pchName);
// Replaces the value of an existing header in place, or appends the header.
void HTTPHeaderSet(KeyValues *pkvHeaders, const char *pchName, const char *pchValue);
bool HTTPHeaderRemove(KeyValues *pkvHeaders, const char *pchName);

// One GET or POST parameter. The value may hold any bytes; it is stored with a NUL after
// it, so text values can be used as C strings.
class CHTTPRequestParam
{
public:
    CHTTPRequestParam() {}
    CHTTPRequestParam(const char *pchName, const void *pvValue, uint32 cubValue);
    CHTTPRequestParam(const char *pchName, const char *pchValue);
    virtual ~CHTTPRequestParam() {}

    const char *GetName() const { return m_strName.Get(); }
    const char *GetValue() const { return (const char *)m_vecValue.data(); }
    uint32 GetValueLength() const { return m_cubValue; }

private:
    CUtlString m_strName;
    uint32 m_cubValue = 0;
    std::vector<uint8> m_vecValue = std::vector<uint8>(1, 0);
};

class CHTTPRequest : public CRefCountThreadSafe
{
public:
    CHTTPRequest();
    CHTTPRequest(EHTTPMethod eMethod, const char *pchHostname, const char *pchURL);

    EHTTPMethod GetEHTTPMethod() const { return m_eRequestMethod; }
    // Host name, possibly with ":port"; empty when none.
    const char *GetHostname() const { return m_strHostname.Get(); }
    void SetHostname(const char *pchHostname) { m_strHostname = pchHostname; }
    // The path without the query, "/" by default.
    const char *GetURL() const { return m_strURL.Get(); }
    void SetURL(const char *pchURL) { m_strURL = (pchURL && *pchURL) ? pchURL : "/"; }

    const char *GetRequestHeaderValue(const char *pchName) const;
    void SetRequestHeaderValue(const char *pchName, const char *pchValue);
    bool BRemoveRequestHeader(const char *pchName);
    KeyValues *GetRequestHeaders() const { return m_pkvRequestHeaders; }

    void AddGETParam(const char *pchName, const char *pchValue);
    void AddPOSTParam(const char *pchName, const char *pchValue);
    void AddPOSTParam(const char *pchName, const void *pvValue, uint32 cubValue);
    int GetGETParamCount() const { return m_vecGetParams.Count(); }
    const CHTTPRequestParam &GetGETParam(int i) const { return m_vecGetParams[i]; }
    int GetPOSTParamCount() const { return m_vecPostParams.Count(); }
    const CHTTPRequestParam &GetPOSTParam(int i) const { return m_vecPostParams[i]; }
    bool BHasPOSTParam(const char *pchName) const;

    CUtlBuffer &GetBodyBuffer() { return m_bufBody; }
    const CUtlBuffer &GetBodyBuffer() const { return m_bufBody; }

    // Appends the parameters that URL-encoded data holds ("a=1&b=2", a leading "?"
    // skipped): pieces without "=" are dropped, names and values are URL-decoded.
    static void RetrieveURLEncodedData(const char *pchData, int cchData,
                                       CUtlVector<CHTTPRequestParam> &vecParams);

protected:
    ~CHTTPRequest() override;

    EHTTPMethod m_eRequestMethod;
    KeyValues *m_pkvRequestHeaders;
    CUtlVector<CHTTPRequestParam> m_vecGetParams;
    CUtlVector<CHTTPRequestParam> m_vecPostParams;
    std::set<uint32> m_setPostParamNameHashes;
    CUtlString m_strHostname;
    CUtlString m_strURL;
    CUtlBuffer m_bufBody;
};

// Decides whether a redirect is followed (the HTTP client's redirect policy).
class IHTTPRedirectHandler : public CRefCountThreadSafe
{
public:
    // pchLocation: the response's "Location". *pstrReplacementURL: a URL to go to instead
    // (empty: the location). pkvHeadersToAdd: headers for the redirected request.
    virtual bool BShouldFollowRedirect(CHTTPRequestHandle *pHandle, const char *pchLocation,
                                       CUtlString *pstrReplacementURL, KeyValues *pkvHeadersToAdd) = 0;
};

// A request as the HTTP client sends it: the message and the client's options.
class CHTTPClientRequest : public CHTTPRequest
{
public:
    static const uint32 k_unDefaultNetworkTimeoutSeconds = 60;
    static const uint32 k_unDefaultAbsoluteTimeoutSeconds = 14400;

    // The host name may carry ":port"; the path starts with "/".
    CHTTPClientRequest(EHTTPMethod eMethod, const char *pchHostname, const char *pchURL, bool bSecure);
    // A request for a redirect: the source's method, proxy flag, time-outs, certificate
    // names, redirect handler and headers (without "Cookie" and "Host"), sent to the
    // absolute URL. POST parameters and the body stay behind.
    CHTTPClientRequest(const CHTTPClientRequest &source, const char *pchAbsoluteURL);

    // Sets the secure flag, host, path and GET parameters from "scheme://host[:port]/path?query"
    // (GET parameters are appended). False, with an assertion and nothing but the secure
    // flag changed, when there is no "://".
    bool BParseAbsoluteURL(const char *pchURL);

    // Null until the request is sent or set here; the HTTP client then installs its default.
    void SetRedirectHandler(IHTTPRedirectHandler *pHandler); // takes a reference
    IHTTPRedirectHandler *GetRedirectHandler() const { return m_pRedirectHandler; }
    // Where a body goes instead of the response (httpbodysink.h); null: the response.
    void SetBodySink(IHTTPBodySink *pSink); // takes a reference
    IHTTPBodySink *GetBodySink() const { return m_pBodySink; }

    bool m_bSecure;
    uint32 m_unNetworkTimeoutSeconds;
    uint32 m_unAbsoluteTimeoutSeconds;
    IHTTPRedirectHandler *m_pRedirectHandler;
    IHTTPBodySink *m_pBodySink;
    // A transfer that moves fewer than m_cubLowSpeedLimit bytes in any
    // m_unLowSpeedWindowSeconds (from the request's start, headers included) fails; 0 for
    // either: no such limit.
    uint32 m_cubLowSpeedLimit;
    uint32 m_unLowSpeedWindowSeconds;
    // Set on the resolving work thread: a proxy was chosen (absolute request form, no
    // "Connection" header); the proxy or origin to connect to, and the origin.
    bool m_bUsesProxy;
    netadr_t m_adrConnect;
    netadr_t m_adrTarget;
    CUtlString m_strCertificateFile;
    CUtlString m_strPrivateKeyFile;

protected:
    ~CHTTPClientRequest() override;
};

class CHTTPResponse : public CRefCountThreadSafe
{
public:
    CHTTPResponse();

    virtual void SetResponseHeaderValue(const char *pchName, const char *pchValue);
    virtual void SetStatusCode(EHTTPStatusCode eStatusCode) { m_eStatusCode = eStatusCode; }
    // Empty headers, status 500, body emptied.
    virtual void Reset();

    EHTTPStatusCode GetStatusCode() const { return m_eStatusCode; }
    const char *GetResponseHeaderValue(const char *pchName) const;
    // A header as received (repeated ones joined with ",").
    void AddReceivedHeader(const char *pchName, const char *pchValue);
    const CHTTPHeaderStore &GetResponseHeaders() const { return m_ResponseHeaders; }
    CUtlBuffer &GetBodyBuffer() { return m_bufBody; }
    const CUtlBuffer &GetBodyBuffer() const { return m_bufBody; }

protected:
    ~CHTTPResponse() override;

    EHTTPStatusCode m_eStatusCode;
    CUtlBuffer m_bufBody;
    CHTTPHeaderStore m_ResponseHeaders;
};

class CHTTPClientResponse : public CHTTPResponse
{
public:
    // Decoded bodies larger than this are refused.
    static const uint32 k_cubMaxDecodedBody = 536870912;

    CHTTPClientResponse();
    // Copies the request's path, host name and secure flag.
    explicit CHTTPClientResponse(const CHTTPClientRequest *pRequest);

    // Also zeroes the progress counters.
    void Reset() override;

    // The raw body as received: decoded as its "content-encoding" says (none or gzip) into
    // the body. False (the body left empty) when it cannot be decoded.
    bool BSetBodyData(const void *pvData, uint32 cubData);

    const char *GetURL() const { return m_strURL.Get(); }
    const char *GetHostname() const { return m_strHostname.Get(); }

    // Progress: readable from any thread at any time.
    std::atomic<uint32> m_unBodyBytesReceived;
    std::atomic<uint32> m_unBodyBytesExpected;
    // The request failed because it moved too slowly (the request's minimum rate); read
    // once the handle is completed.
    bool m_bTransferTooSlow = false;

protected:
    CUtlString m_strURL;
    CUtlString m_strHostname;
    bool m_bSecure;
};

// Decodes one gzip member into bufOut (emptied first). False when the container is not
// valid, the size exceeds cubMaxOutput, or the data or its CRC-32 do not match.
bool BDecodeGzipMember(const uint8 *pubData, uint32 cubData, uint32 cubMaxOutput, CUtlBuffer &bufOut);

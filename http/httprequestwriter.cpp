#include "http/httprequestwriter.h"

#include "foundation/dbg.h"
#include "foundation/keyvalues.h"
#include "foundation/strtools.h"
#include "http/http.h"

#include <vector>

namespace
{
// URL encoding of any bytes (letters, digits, "-", "_", "." as they are, a blank as "+",
// the rest as "%XX").
void PutURLEncoded(CUtlBuffer &buf, const char *pch, uint32 cub)
{
    std::vector<char> vecEncoded((size_t)cub * 3 + 1);
    Q_URLEncode(vecEncoded.data(), (int)vecEncoded.size(), pch, (int)cub);
    buf.Put(vecEncoded.data(), Q_strlen(vecEncoded.data()));
}

void PutText(CUtlBuffer &buf, const char *pch)
{
    buf.Put(pch, Q_strlen(pch));
}
} // namespace

void HTTPPrepareRequestHeaders(CHTTPClientRequest *pRequest)
{
    CUtlBuffer &bufBody = pRequest->GetBodyBuffer();
    if (pRequest->GetEHTTPMethod() == k_EHTTPMethodPOST && pRequest->GetPOSTParamCount() > 0)
    {
        if (bufBody.TellPut() > 0)
        {
            AssertMsgF(false, "POST request shouldn't have body set, POST params become body! %s %s",
                       pRequest->GetHostname(), pRequest->GetURL());
            bufBody.Purge();
        }
        for (int i = 0; i < pRequest->GetPOSTParamCount(); ++i)
        {
            const CHTTPRequestParam &param = pRequest->GetPOSTParam(i);
            if (i > 0)
                bufBody.PutChar('&');
            PutURLEncoded(bufBody, param.GetName(), (uint32)Q_strlen(param.GetName()));
            bufBody.PutChar('=');
            PutURLEncoded(bufBody, param.GetValue(), param.GetValueLength());
        }
        pRequest->SetRequestHeaderValue("content-type", "application/x-www-form-urlencoded");
    }
    const char *pchHost = pRequest->GetRequestHeaderValue("host");
    if (!pchHost || !*pchHost)
        pRequest->SetRequestHeaderValue("Host", pRequest->GetHostname());
    pRequest->SetRequestHeaderValue("Accept", "text/html,*/*;q=0.9");
    // A caller that takes the body as it comes (a file on disk) asks for it as it is stored.
    if (!pRequest->GetRequestHeaderValue("Accept-Encoding"))
        pRequest->SetRequestHeaderValue("Accept-Encoding", "gzip,identity,*;q=0");
    pRequest->SetRequestHeaderValue("Accept-Charset", "ISO-8859-1,utf-8,*;q=0.7");
    if (!pRequest->m_bUsesProxy)
        pRequest->SetRequestHeaderValue("Connection", "keep-alive");
    if (!pRequest->GetRequestHeaderValue("User-Agent"))
        pRequest->SetRequestHeaderValue("User-Agent", "Quill/Ferro HTTP Client 1.0");
    if (bufBody.TellPut() > 0)
    {
        char rgchLength[16];
        Q_snprintf(rgchLength, sizeof(rgchLength), "%d", bufBody.TellPut());
        pRequest->SetRequestHeaderValue("Content-Length", rgchLength);
    }
}

void HTTPWriteQueryString(const CHTTPRequest *pRequest, CUtlBuffer &buf)
{
    for (int i = 0; i < pRequest->GetGETParamCount(); ++i)
    {
        const CHTTPRequestParam &param = pRequest->GetGETParam(i);
        buf.PutChar(i == 0 ? '?' : '&');
        PutURLEncoded(buf, param.GetName(), (uint32)Q_strlen(param.GetName()));
        buf.PutChar('=');
        PutURLEncoded(buf, param.GetValue(), param.GetValueLength());
    }
}

void HTTPWriteRequestHead(const CHTTPClientRequest *pRequest, CUtlBuffer &buf)
{
    PutText(buf, PchNameFromEHTTPMethod(pRequest->GetEHTTPMethod()));
    buf.PutChar(' ');
    // Through a proxy a plain request names the whole URL.
    if (pRequest->m_bUsesProxy && !pRequest->m_bSecure)
    {
        PutText(buf, "http://");
        PutText(buf, pRequest->GetHostname());
    }
    PutText(buf, pRequest->GetURL());
    HTTPWriteQueryString(pRequest, buf);
    PutText(buf, " HTTP/1.1\r\n");
    for (KeyValues *pkv = pRequest->GetRequestHeaders()->GetFirstSubKey(); pkv; pkv = pkv->GetNextKey())
    {
        const char *pchName = pkv->GetName();
        const char *pchValue = pkv->GetString(nullptr, "");
        if (!pchName || !*pchName || !pchValue || !*pchValue)
        {
            AssertMsg(false, "Invalid headers pkv in http request object?");
            continue;
        }
        PutText(buf, pchName);
        PutText(buf, ": ");
        PutText(buf, pchValue);
        PutText(buf, "\r\n");
    }
    PutText(buf, "\r\n");
}

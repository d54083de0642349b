// The response parser's hand-over of a body to the request's sink (httpbodysink.h): the
// body bytes pass through as they arrive, so the body limits of the response do not apply;
// the sink bounds what it takes.
#include "http/httpresponseparser.h"

#include "foundation/dbg.h"
#include "foundation/strtools.h"
#include "http/http.h"
#include "http/httpbodysink.h"

#include <climits>

bool CHTTPResponseParser::BOfferBodyToSink(CHTTPClientResponse *pResponse, int64 nContentLength)
{
    IHTTPBodySink::EBodyStart eStart = m_pSink->BeginBody(pResponse, nContentLength);
    if (eStart == IHTTPBodySink::k_EBodyStartDecline)
        return true;
    if (eStart == IHTTPBodySink::k_EBodyStartRefuse)
    {
        DMsg("http", 1, "Aborting HTTP request because its body receiver refused the response. URL: %s\n",
             pResponse->GetURL());
        Abort();
        return false;
    }
    // The sink wants the bytes as they are stored; a coded body would have to be decoded
    // whole first.
    const char *pchEncoding = pResponse->GetResponseHeaderValue("content-encoding");
    if (pchEncoding && *pchEncoding && Q_stricmp(pchEncoding, "none") != 0 &&
        Q_stricmp(pchEncoding, "identity") != 0)
    {
        DMsg("http", 1, "Aborting HTTP request because a streamed body came with content-encoding %s\n",
             pchEncoding);
        Abort();
        return false;
    }
    m_bBodyToSink = true;
    m_cubSinkReceived = 0;
    // Everything before the body is consumed; what follows in the buffer is body.
    ResetBuffer();
    if (nContentLength >= 0)
    {
        m_cubSinkLength = (uint64)nContentLength;
        pResponse->m_unBodyBytesExpected.store(nContentLength > UINT_MAX ? UINT_MAX : (uint32)nContentLength);
        m_eState = k_EHTTPClientConnectionState_WAITING_BODY_WITH_LENGTH;
        if (!BPassBufferedToSink(m_cubSinkLength))
            return false;
        if (m_cubSinkReceived == m_cubSinkLength)
            m_eState = k_EHTTPClientConnectionState_RESPONSE_COMPLETE;
        return true;
    }
    if (m_eState != k_EHTTPClientConnectionState_WAITING_BODY_CHUNKED_HEADER)
        m_eState = k_EHTTPClientConnectionState_WAITING_BODY_UNTIL_CLOSE;
    return true;
}

bool CHTTPResponseParser::BPassToSink(const uint8 *pubData, uint32 cubData)
{
    if (cubData == 0)
        return true;
    if (!m_pSink->BReceiveBody(pubData, cubData))
    {
        DMsg("http", 1, "Aborting HTTP request because its body receiver refused the body\n");
        Abort();
        return false;
    }
    m_cubSinkReceived += cubData;
    m_pResponse->m_unBodyBytesReceived.store(m_cubSinkReceived > UINT_MAX ? UINT_MAX
                                                                          : (uint32)m_cubSinkReceived);
    return true;
}

bool CHTTPResponseParser::BPassBufferedToSink(uint64 cubMax)
{
    uint64 cubBuffered = (uint64)(End() - m_iParse);
    uint32 cubTake = (uint32)(cubBuffered < cubMax ? cubBuffered : cubMax);
    if (!BPassToSink((const uint8 *)Buf() + m_iParse, cubTake))
        return false;
    m_iParse += (int)cubTake;
    return true;
}

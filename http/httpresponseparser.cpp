#include "http/httpresponseparser.h"

#include "foundation/dbg.h"
#include "foundation/platform/memory.h"
#include "foundation/strtools.h"
#include "http/http.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace
{
bool BIsBlank(char ch)
{
    return ch == ' ' || ch == '\t';
}

// Index of the CR of the first CR LF at or after iFrom, or -1 when none is complete yet.
int FindCRLF(const char *pch, int iFrom, int iEnd)
{
    int i = iFrom;
    while (i < iEnd)
    {
        const char *pchCR = (const char *)memchr(pch + i, '\r', (size_t)(iEnd - i));
        if (!pchCR)
            return -1;
        int iCR = (int)(pchCR - pch);
        if (iCR + 1 >= iEnd)
            return -1;
        if (pch[iCR + 1] == '\n')
            return iCR;
        i = iCR + 1;
    }
    return -1;
}

// A Content-Length as Q_atoi reads it, with decimal values too large for 32 bits read in 64
// (Q_atoi would wrap them); anything past 2^53 reads as 2^53 + 1.
int64 ReadContentLength(const char *pch)
{
    const char *pchDigits = pch;
    while (BIsBlank(*pchDigits))
        ++pchDigits;
    if (*pchDigits == '+')
        ++pchDigits;
    if (*pchDigits >= '0' && *pchDigits <= '9' && !(pchDigits[0] == '0' && (pchDigits[1] | 0x20) == 'x'))
    {
        int64 nValue = 0;
        for (; *pchDigits >= '0' && *pchDigits <= '9'; ++pchDigits)
        {
            nValue = nValue * 10 + (*pchDigits - '0');
            // Far beyond any body; stops before the value could overflow.
            if (nValue > ((int64)1 << 53))
                return ((int64)1 << 53) + 1;
        }
        return nValue;
    }
    return Q_atoi(pch);
}

bool BIsSupportedContentEncoding(const char *pchEncoding)
{
    return !pchEncoding || !*pchEncoding || Q_stricmp(pchEncoding, "none") == 0 ||
           Q_stricmp(pchEncoding, "gzip") == 0 || Q_stricmp(pchEncoding, "x-gzip") == 0;
}

bool BIsIdentityContentEncoding(const char *pchEncoding)
{
    return !pchEncoding || !*pchEncoding || Q_stricmp(pchEncoding, "none") == 0;
}

// A buffer sized at once for a whole large body is filled front to back as the bytes
// arrive: asking for large pages saves a page fault every few KiB, which otherwise costs
// about as much as the copying itself.
void AdviseWholeBodyFill(CUtlBuffer &buf)
{
    const int k_cubLargeBody = 4 * 1024 * 1024;
    if (buf.Size() >= k_cubLargeBody)
        PLAT_AdviseLargeBufferFill(buf.Base(), (size_t)buf.Size());
}
} // namespace

CHTTPUtil::EFindHeaderResult CHTTPUtil::BFindNextHeader(const char *pchBuf, int cchBuf, int *piPos,
                                                        CHTTPClientResponse *pResponse)
{
    int i = *piPos;
    if (i + 1 < cchBuf && pchBuf[i] == '\r' && pchBuf[i + 1] == '\n')
        return k_EFindHeaderNone;

    // The name: blanks dropped, up to the colon. A line that ends before a colon is no header.
    std::string strName;
    for (;; ++i)
    {
        if (i >= cchBuf)
            return k_EFindHeaderNeedMore;
        char ch = pchBuf[i];
        if (ch == ':')
            break;
        if (ch == '\r' || ch == '\n')
            return k_EFindHeaderInvalid;
        if (!BIsBlank(ch))
            strName += ch;
    }
    if (strName.empty())
        return k_EFindHeaderInvalid;
    ++i;
    if (i >= cchBuf)
        return k_EFindHeaderNeedMore;
    if (BIsBlank(pchBuf[i]))
        ++i;

    // The value: control bytes are not allowed; leading blanks dropped; a CR LF followed by a
    // blank folds the next line into the value.
    std::string strValue;
    for (;;)
    {
        if (i >= cchBuf)
            return k_EFindHeaderNeedMore;
        unsigned char ch = (unsigned char)pchBuf[i];
        if (ch == '\r')
        {
            if (i + 2 >= cchBuf)
                return k_EFindHeaderNeedMore;
            if (pchBuf[i + 1] != '\n')
                return k_EFindHeaderInvalid;
            if (BIsBlank(pchBuf[i + 2]))
            {
                // The folding blank counts as one space of the value.
                if (!strValue.empty())
                    strValue += ' ';
                i += 3;
                continue;
            }
            i += 2;
            break;
        }
        if ((ch < 0x20 && ch != 0) || ch == 0x7F)
            return k_EFindHeaderInvalid;
        if (ch == ' ' && strValue.empty())
        {
            ++i;
            continue;
        }
        strValue += (char)ch;
        ++i;
    }
    while (!strValue.empty() && BIsBlank(strValue.back()))
        strValue.pop_back();
    pResponse->AddReceivedHeader(strName.c_str(), strValue.c_str());
    *piPos = i;
    return k_EFindHeaderFound;
}

CHTTPResponseParser::CHTTPResponseParser()
    : m_eState(k_EHTTPClientConnectionState_WAITING_RESPONSELINE_VERSION), m_iParse(0), m_iLineStart(0),
      m_iTrailerStart(0), m_iHeaderEndScan(0), m_cubContentLength(0), m_cubChunkSize(0),
      m_cubChunkConsumed(0), m_cubBodyReceived(0), m_bHTTP11Response(false), m_bHeadRequest(false),
      m_bConnectRequest(false), m_bBodyDirect(false), m_pSink(nullptr), m_bBodyToSink(false),
      m_cubSinkLength(0), m_cubSinkReceived(0), m_bAbort(false), m_pResponse(nullptr)
{
}

void CHTTPResponseParser::BeginResponse(bool bHeadRequest, bool bConnectRequest, IHTTPBodySink *pSink)
{
    m_pSink = pSink;
    m_bBodyToSink = false;
    m_cubSinkLength = 0;
    m_cubSinkReceived = 0;
    m_eState = k_EHTTPClientConnectionState_WAITING_RESPONSELINE_VERSION;
    m_iLineStart = m_iParse;
    m_cubContentLength = 0;
    m_cubChunkSize = 0;
    m_cubChunkConsumed = 0;
    m_cubBodyReceived = 0;
    m_BodyDataBuffer.Purge();
    m_bHeadRequest = bHeadRequest;
    m_bConnectRequest = bConnectRequest;
    m_bBodyDirect = false;
    m_bAbort = false;
}

CHTTPResponseParser::EResult CHTTPResponseParser::Feed(const void *pvData, uint32 cubData,
                                                       CHTTPClientResponse *pResponse)
{
    if (m_bAbort)
        return k_EResultAbort;
    m_pResponse = pResponse;
    const uint8 *pubData = (const uint8 *)pvData;

    if (m_bBodyDirect && m_eState == k_EHTTPClientConnectionState_WAITING_BODY_WITH_LENGTH)
    {
        uint32 cubTaken = TakeDirectBody(pubData, cubData, pResponse);
        pubData += cubTaken;
        cubData -= cubTaken;
    }
    if (m_bBodyToSink && m_eState == k_EHTTPClientConnectionState_WAITING_BODY_WITH_LENGTH)
    {
        uint64 cubLeft = m_cubSinkLength - m_cubSinkReceived;
        uint32 cubTake = cubLeft < cubData ? (uint32)cubLeft : cubData;
        if (!BPassToSink(pubData, cubTake))
        {
            m_pResponse = nullptr;
            return k_EResultAbort;
        }
        pubData += cubTake;
        cubData -= cubTake;
        if (m_cubSinkReceived == m_cubSinkLength)
            m_eState = k_EHTTPClientConnectionState_RESPONSE_COMPLETE;
    }
    if (cubData)
        m_bufRecv.Put(pubData, (int)cubData);

    // Each step runs when the state is its own; one call can go from the status line to the
    // end of the body.
    while (!m_bAbort && BStep(pResponse))
    {
    }
    m_pResponse = nullptr;
    if (m_bAbort)
        return k_EResultAbort;
    if (m_eState == k_EHTTPClientConnectionState_RESPONSE_COMPLETE)
        return k_EResultComplete;
    CheckLimits();
    return m_bAbort ? k_EResultAbort : k_EResultNeedMore;
}

uint32 CHTTPResponseParser::TakeDirectBody(const uint8 *pubData, uint32 cubData,
                                           CHTTPClientResponse *pResponse)
{
    // The body goes straight to the response; what follows it is kept.
    uint32 cubTake = m_cubContentLength - (uint32)m_cubBodyReceived;
    if (cubTake > cubData)
        cubTake = cubData;
    pResponse->GetBodyBuffer().Put(pubData, (int)cubTake);
    m_cubBodyReceived += (int32)cubTake;
    pResponse->m_unBodyBytesReceived.store((uint32)m_cubBodyReceived);
    if ((uint32)m_cubBodyReceived == m_cubContentLength)
        m_eState = k_EHTTPClientConnectionState_RESPONSE_COMPLETE;
    return cubTake;
}

bool CHTTPResponseParser::BStep(CHTTPClientResponse *pResponse)
{
    switch (m_eState)
    {
    case k_EHTTPClientConnectionState_WAITING_RESPONSELINE_VERSION:
        // Waits for the version and the blank after it; then the status code.
        return BStepResponseLineVersion();
    case k_EHTTPClientConnectionState_WAITING_RESPONSELINE_STATUSCODE:
        // Waits for the code and the blank (or line end) after it; then the reason phrase.
        return BStepResponseLineStatusCode(pResponse);
    case k_EHTTPClientConnectionState_WAITING_RESPONSELINE_STATUSSTRING:
        // Waits for the CR LF that ends the status line; then the headers.
        return BStepResponseLineStatusString();
    case k_EHTTPClientConnectionState_WAITING_HEADERS:
        // Waits for whole header lines and the empty line; then the body mode.
        return BStepHeaders(pResponse, false);
    case k_EHTTPClientConnectionState_WAITING_BODY_WITH_LENGTH:
        // Waits for Content-Length body bytes; then the response is complete.
        return BStepBodyWithLength(pResponse);
    case k_EHTTPClientConnectionState_WAITING_BODY_CHUNKED_HEADER:
        // Waits for a chunk-size line; then its data, or the trailers after the last chunk.
        return BStepChunkHeader();
    case k_EHTTPClientConnectionState_WAITING_BODY_CHUNKED_CHUNK:
        // Waits for the chunk's data; then the next chunk-size line.
        return BStepChunkData(pResponse);
    case k_EHTTPClientConnectionState_WAITING_BODY_CHUNKED_TRAILER:
        // Waits for trailer lines and the empty line; then the response is complete.
        return BStepHeaders(pResponse, true);
    case k_EHTTPClientConnectionState_WAITING_BODY_UNTIL_CLOSE:
        // Keeps everything until the peer closes (BFinishBodyAtClose); a sink takes the
        // bytes as they come.
        if (m_bBodyToSink)
            BPassBufferedToSink((uint64)(End() - m_iParse));
        else
            pResponse->m_unBodyBytesReceived.store((uint32)(End() - m_iParse));
        return false;
    default:
        return false;
    }
}

bool CHTTPResponseParser::BNextToken(int *piStart, int *piEnd, bool bCRLFEnds)
{
    const char *pch = Buf();
    int i = m_iParse;
    while (i < End() && BIsBlank(pch[i]))
        ++i;
    int iStart = i;
    while (i < End() && !BIsBlank(pch[i]) && !(bCRLFEnds && pch[i] == '\r'))
        ++i;
    if (i >= End())
        return false;
    *piStart = iStart;
    *piEnd = i;
    m_iParse = i;
    return true;
}

bool CHTTPResponseParser::BStepResponseLineVersion()
{
    m_iLineStart = m_iParse;
    int iStart, iEnd;
    if (!BNextToken(&iStart, &iEnd, false))
        return false;
    char rgchVersion[65];
    int cch = iEnd - iStart < 64 ? iEnd - iStart : 64;
    memcpy(rgchVersion, Buf() + iStart, (size_t)cch);
    rgchVersion[cch] = 0;
    if (Q_stricmp(rgchVersion, "HTTP/1.1") == 0)
        m_bHTTP11Response = true;
    else if (Q_stricmp(rgchVersion, "HTTP/1.0") == 0)
        m_bHTTP11Response = false;
    else
    {
        AssertMsgF(false, "Unsupported HTTP version in response received by HTTP client: %s", rgchVersion);
        Abort();
        return false;
    }
    m_eState = k_EHTTPClientConnectionState_WAITING_RESPONSELINE_STATUSCODE;
    return true;
}

bool CHTTPResponseParser::BStepResponseLineStatusCode(CHTTPClientResponse *pResponse)
{
    // A code right before the line end (no reason phrase, no blank) is taken as well.
    int iStart, iEnd;
    if (!BNextToken(&iStart, &iEnd, true))
        return false;
    char rgchCode[65];
    int cch = iEnd - iStart < 64 ? iEnd - iStart : 64;
    memcpy(rgchCode, Buf() + iStart, (size_t)cch);
    rgchCode[cch] = 0;
    int nCode = Q_atoi(rgchCode);
    if (!BIsValidHTTPStatusCode(nCode))
    {
        AssertMsg(false, "Invalid status code received in HTTP response");
        Abort();
        return false;
    }
    pResponse->SetStatusCode((EHTTPStatusCode)nCode);
    m_eState = k_EHTTPClientConnectionState_WAITING_RESPONSELINE_STATUSSTRING;
    return true;
}

bool CHTTPResponseParser::BStepResponseLineStatusString()
{
    int iCR = FindCRLF(Buf(), m_iParse, End());
    if (iCR < 0)
        return false;
    m_iParse = iCR + 2;
    m_eState = k_EHTTPClientConnectionState_WAITING_HEADERS;
    return true;
}

bool CHTTPResponseParser::BStepHeaders(CHTTPClientResponse *pResponse, bool bTrailers)
{
    for (;;)
    {
        if (End() - m_iParse < 2)
            return false;
        if (Buf()[m_iParse] == '\r' && Buf()[m_iParse + 1] == '\n')
        {
            m_iParse += 2;
            return bTrailers ? BFinishChunkedBody(pResponse) : BChooseBodyMode(pResponse);
        }
        if (!BHeaderComplete())
            return false;
        CHTTPUtil::EFindHeaderResult eResult = CHTTPUtil::BFindNextHeader(Buf(), End(), &m_iParse, pResponse);
        if (eResult == CHTTPUtil::k_EFindHeaderNeedMore)
            return false;
        if (eResult == CHTTPUtil::k_EFindHeaderInvalid)
        {
            if (bTrailers)
                DMsg("http", 1,
                     "Aborting HTTP request because we received invalid headers (RecvHTTPResponseData)\n");
            else
                DMsg("http", 1, "Aborting HTTP request because we received invalid headers\n");
            Abort();
            return false;
        }
    }
}

bool CHTTPResponseParser::BHeaderComplete()
{
    // A header ends at a CR LF followed by a byte that is not a blank (which would fold the
    // next line into it). The search goes on where the last one stopped: a long header that
    // arrives in small pieces is scanned once, not once per piece.
    int i = m_iHeaderEndScan > m_iParse ? m_iHeaderEndScan : m_iParse;
    for (;;)
    {
        const char *pchCR = (const char *)memchr(Buf() + i, '\r', (size_t)(End() - i));
        if (!pchCR)
        {
            m_iHeaderEndScan = End();
            return false;
        }
        int iCR = (int)(pchCR - Buf());
        if (iCR + 2 >= End())
        {
            m_iHeaderEndScan = iCR;
            return false;
        }
        if (Buf()[iCR + 1] == '\n' && Buf()[iCR + 2] != ' ' && Buf()[iCR + 2] != '\t')
            return true;
        i = iCR + 1;
    }
}

bool CHTTPResponseParser::BChooseBodyMode(CHTTPClientResponse *pResponse)
{
    if (!BHTTPStatusCodeHasBody(pResponse->GetStatusCode()) || m_bHeadRequest || m_bConnectRequest)
    {
        m_eState = k_EHTTPClientConnectionState_RESPONSE_COMPLETE;
        return true;
    }
    const char *pchTransferEncoding = pResponse->GetResponseHeaderValue("transfer-encoding");
    const char *pchContentLength = pResponse->GetResponseHeaderValue("content-length");
    int64 nContentLength = pchContentLength ? ReadContentLength(pchContentLength) : -1;
    if (pchTransferEncoding)
    {
        if (Q_stricmp(pchTransferEncoding, "chunked") != 0)
        {
            AssertMsgF(false, "transfer-encoding: %s not yet implemented\n", pchTransferEncoding);
            Abort();
            return false;
        }
        m_eState = k_EHTTPClientConnectionState_WAITING_BODY_CHUNKED_HEADER;
        nContentLength = -1;
    }
    const bool bLength = !pchTransferEncoding && pchContentLength &&
                         (nContentLength > 0 || Q_strcmp(pchContentLength, "0") == 0);
    if (m_pSink)
    {
        if (!BOfferBodyToSink(pResponse, bLength ? nContentLength : -1))
            return false;
        if (m_bBodyToSink)
            return true;
    }
    if (pchTransferEncoding)
    {
        // chunked, as chosen above
    }
    else if (bLength)
    {
        if (nContentLength > (int64)k_cubMaxBody)
        {
            // clang-format off
            DMsg("http", 1,
                 "Aborting HTTP request because we received a response with a content-length over 64M and we are not streaming\n");
            // clang-format on
            Abort();
            return false;
        }
        m_cubContentLength = (uint32)nContentLength;
        pResponse->m_unBodyBytesExpected.store(m_cubContentLength);
        m_eState = k_EHTTPClientConnectionState_WAITING_BODY_WITH_LENGTH;
    }
    else
    {
        m_eState = k_EHTTPClientConnectionState_WAITING_BODY_UNTIL_CLOSE;
    }

    const char *pchContentEncoding = pResponse->GetResponseHeaderValue("content-encoding");
    if (!BIsSupportedContentEncoding(pchContentEncoding))
    {
        AssertMsgF(false, "content-encoding: %s not yet implemented\n", pchContentEncoding);
        Abort();
        return false;
    }

    if (m_eState == k_EHTTPClientConnectionState_WAITING_BODY_WITH_LENGTH)
        return BPrepareBodyWithLength(pResponse, pchContentEncoding);
    return true;
}

bool CHTTPResponseParser::BPrepareBodyWithLength(CHTTPClientResponse *pResponse,
                                                 const char *pchContentEncoding)
{
    // Everything before the body is consumed: drop it, then make room for the whole body at
    // once, in the response itself when nothing has to be decoded.
    ResetBuffer();
    if (!BIsIdentityContentEncoding(pchContentEncoding))
    {
        m_bufRecv.EnsureCapacity(End() - m_iParse > (int)m_cubContentLength ? End() - m_iParse
                                                                            : (int)m_cubContentLength);
        AdviseWholeBodyFill(m_bufRecv);
        return true;
    }
    m_bBodyDirect = true;
    CUtlBuffer &bufBody = pResponse->GetBodyBuffer();
    bufBody.Clear();
    if (m_cubContentLength && !bufBody.EnsureCapacity((int)m_cubContentLength))
    {
        DMsg("http", 1, "Aborting HTTP request because pResponse->BSetBodyData() failed. URL: %s\n",
             pResponse->GetURL());
        Abort();
        return false;
    }
    AdviseWholeBodyFill(bufBody);
    int cubTake = End() - m_iParse;
    if ((uint32)cubTake > m_cubContentLength)
        cubTake = (int)m_cubContentLength;
    bufBody.Put(Buf() + m_iParse, cubTake);
    m_iParse += cubTake;
    m_cubBodyReceived = cubTake;
    pResponse->m_unBodyBytesReceived.store((uint32)cubTake);
    if ((uint32)m_cubBodyReceived == m_cubContentLength)
        m_eState = k_EHTTPClientConnectionState_RESPONSE_COMPLETE;
    return true;
}

bool CHTTPResponseParser::BStepBodyWithLength(CHTTPClientResponse *pResponse)
{
    if (m_bBodyDirect || m_bBodyToSink)
        return false; // Feed moves these bytes
    int cubBuffered = End() - m_iParse;
    if ((uint32)cubBuffered < m_cubContentLength)
    {
        pResponse->m_unBodyBytesReceived.store((uint32)cubBuffered);
        return false;
    }
    pResponse->m_unBodyBytesReceived.store(m_cubContentLength);
    if (!pResponse->BSetBodyData(Buf() + m_iParse, m_cubContentLength))
    {
        DMsg("http", 1, "Aborting HTTP request because pResponse->BSetBodyData() failed. URL: %s\n",
             pResponse->GetURL());
        Abort();
        return false;
    }
    m_iParse += (int)m_cubContentLength;
    m_eState = k_EHTTPClientConnectionState_RESPONSE_COMPLETE;
    return true;
}

bool CHTTPResponseParser::BStepChunkHeader()
{
    const char *pch = Buf();
    while (m_iParse < End() && (BIsBlank(pch[m_iParse]) || pch[m_iParse] == '\r' || pch[m_iParse] == '\n'))
        ++m_iParse;
    int iCR = FindCRLF(pch, m_iParse, End());
    if (iCR < 0)
    {
        if (End() - m_iParse > k_cchMaxChunkSizeLine)
        {
            DMsg("http", 1, "Aborting HTTP request because we received an invalid chunk size line\n");
            Abort();
        }
        return false;
    }
    char rgchSize[129];
    int cch = iCR - m_iParse < 128 ? iCR - m_iParse : 128;
    memcpy(rgchSize, pch + m_iParse, (size_t)cch);
    rgchSize[cch] = 0;
    // Extensions after the number (";name=value") end the number and are ignored.
    long long nSize = strtoll(rgchSize, nullptr, 16);
    if (nSize < 0)
    {
        DMsg("http", 1, "Aborting HTTP request because we received an invalid chunk size line\n");
        Abort();
        return false;
    }
    if (nSize > (long long)k_cubMaxBody && !m_bBodyToSink)
    {
        DMsg("http", 1,
             "Aborting HTTP request because we received over 64M in response without finding end of body\n");
        Abort();
        return false;
    }
    m_iParse = iCR + 2;
    if (nSize == 0)
    {
        m_iTrailerStart = m_iParse;
        m_eState = k_EHTTPClientConnectionState_WAITING_BODY_CHUNKED_TRAILER;
        return true;
    }
    m_cubChunkSize = (uint32)nSize;
    m_cubChunkConsumed = 0;
    m_eState = k_EHTTPClientConnectionState_WAITING_BODY_CHUNKED_CHUNK;
    return true;
}

bool CHTTPResponseParser::BStepChunkData(CHTTPClientResponse *pResponse)
{
    uint32 cubAvailable = (uint32)(End() - m_iParse);
    uint32 cubNeeded = m_cubChunkSize - m_cubChunkConsumed;
    uint32 cubTake = cubAvailable < cubNeeded ? cubAvailable : cubNeeded;
    if (m_bBodyToSink)
    {
        if (!BPassToSink((const uint8 *)Buf() + m_iParse, cubTake))
            return false;
        m_iParse += (int)cubTake;
        m_cubChunkConsumed += cubTake;
        if (m_cubChunkConsumed < m_cubChunkSize)
            return false;
        m_eState = k_EHTTPClientConnectionState_WAITING_BODY_CHUNKED_HEADER;
        return true;
    }
    m_BodyDataBuffer.Put(Buf() + m_iParse, (int)cubTake);
    m_iParse += (int)cubTake;
    m_cubChunkConsumed += cubTake;
    m_cubBodyReceived += (int32)cubTake;
    pResponse->m_unBodyBytesReceived.store((uint32)m_cubBodyReceived);
    if (m_cubChunkConsumed < m_cubChunkSize)
        return false;
    m_eState = k_EHTTPClientConnectionState_WAITING_BODY_CHUNKED_HEADER;
    return true;
}

bool CHTTPResponseParser::BFinishChunkedBody(CHTTPClientResponse *pResponse)
{
    if (!m_bBodyToSink &&
        !pResponse->BSetBodyData(m_BodyDataBuffer.Base(), (uint32)m_BodyDataBuffer.TellPut()))
    {
        DMsg("http", 1,
             "Aborting HTTP request because pResponse->BSetBodyData() failed (RecvHTTPResponseData)\n");
        Abort();
        return false;
    }
    m_eState = k_EHTTPClientConnectionState_RESPONSE_COMPLETE;
    return true;
}

void CHTTPResponseParser::CheckLimits()
{
    switch (m_eState)
    {
    case k_EHTTPClientConnectionState_WAITING_BODY_WITH_LENGTH:
    case k_EHTTPClientConnectionState_WAITING_BODY_UNTIL_CLOSE:
    case k_EHTTPClientConnectionState_WAITING_BODY_CHUNKED_CHUNK:
        // Consumed body bytes do not pile up in the receive buffer.
        if (m_iParse >= End())
            ResetBuffer();
        break;
    default:
        break;
    }

    if (m_eState >= k_EHTTPClientConnectionState_WAITING_RESPONSELINE_VERSION &&
        m_eState <= k_EHTTPClientConnectionState_WAITING_HEADERS && End() - m_iLineStart > k_cubMaxHeaders)
    {
        DMsg(
            "http", 1,
            "Aborting HTTP request because we received over 2M in response without finding end of headers\n");
        Abort();
        return;
    }
    if (m_eState == k_EHTTPClientConnectionState_WAITING_BODY_CHUNKED_TRAILER &&
        End() - m_iTrailerStart > k_cubMaxHeaders)
    {
        DMsg(
            "http", 1,
            "Aborting HTTP request because we received over 2M in response without finding end of headers\n");
        Abort();
        return;
    }
    if (m_eState >= k_EHTTPClientConnectionState_WAITING_BODY_UNTIL_CLOSE &&
        m_eState <= k_EHTTPClientConnectionState_WAITING_BODY_CHUNKED_TRAILER &&
        ((uint32)m_BodyDataBuffer.TellPut() > k_cubMaxBody || (uint32)(End() - m_iParse) > k_cubMaxBody))
    {
        DMsg("http", 1,
             "Aborting HTTP request because we received over 64M in response without finding end of body\n");
        Abort();
    }
}

void CHTTPResponseParser::ResetBuffer()
{
    // Keeps the unconsumed bytes, at the start of the buffer.
    int cubLeft = End() - m_iParse;
    if (cubLeft > 0 && m_iParse > 0)
        memmove(m_bufRecv.Base(), Buf() + m_iParse, (size_t)cubLeft);
    m_bufRecv.SeekPut(CUtlBuffer::SEEK_HEAD, cubLeft > 0 ? cubLeft : 0);
    m_iParse = 0;
    m_iLineStart = 0;
    m_iTrailerStart = 0;
    m_iHeaderEndScan = 0;
}

bool CHTTPResponseParser::BFinishBodyAtClose(CHTTPClientResponse *pResponse)
{
    if (m_eState != k_EHTTPClientConnectionState_WAITING_BODY_UNTIL_CLOSE)
        return false;
    if (m_bBodyToSink)
    {
        m_pResponse = pResponse;
        const bool bPassed = BPassBufferedToSink((uint64)(End() - m_iParse));
        m_pResponse = nullptr;
        return bPassed;
    }
    uint32 cubBody = (uint32)(End() - m_iParse);
    pResponse->m_unBodyBytesReceived.store(cubBody);
    bool bSet = pResponse->BSetBodyData(Buf() + m_iParse, cubBody);
    m_iParse = End();
    return bSet;
}

void CHTTPResponseParser::FinishResponse()
{
    int cubLeft = End() - m_iParse;
    if (cubLeft <= 0)
    {
        if (m_bufRecv.TellPut() > 1024)
            m_bufRecv.Purge();
        else
            m_bufRecv.Clear();
        m_iParse = 0;
    }
    else if (m_bufRecv.Size() > 1024 && m_iParse > 512)
    {
        // What follows the response moves to a fresh, small buffer.
        CUtlBuffer bufFresh(0, cubLeft > 256 ? cubLeft : 256, 0);
        bufFresh.Put(Buf() + m_iParse, cubLeft);
        m_bufRecv.Purge();
        m_bufRecv.Put(bufFresh.Base(), cubLeft);
        m_iParse = 0;
    }
    m_iLineStart = m_iParse;
    m_iTrailerStart = 0;
    m_iHeaderEndScan = 0;
    m_cubContentLength = 0;
    m_BodyDataBuffer.Purge();
    m_bBodyDirect = false;
    m_bBodyToSink = false;
}

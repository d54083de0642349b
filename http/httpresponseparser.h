// The incremental HTTP/1.1 response parser of CHTTPClientConnection: status line, headers,
// and a body delimited by Content-Length, by chunked coding or by the end of the connection.
// It takes bytes as they arrive, in any pieces, and fills a CHTTPClientResponse; it knows
// nothing of sockets, so tests drive it directly.
//
// Thread: the main thread (the connection's); one response at a time.
#pragma once

#include "foundation/basetypes.h"
#include "foundation/utlbuffer.h"

class CHTTPClientResponse;
class IHTTPBodySink;
class KeyValues;

// The states of an HTTP client connection; the parser moves through the receive states
// (3 to 12).
enum EHTTPClientConnectionState
{
    k_EHTTPClientConnectionState_CONNECTING = 0,
    k_EHTTPClientConnectionState_HANDSHAKING = 1,
    k_EHTTPClientConnectionState_SENDINGREQUEST = 2,
    k_EHTTPClientConnectionState_WAITING_RESPONSELINE_VERSION = 3,
    k_EHTTPClientConnectionState_WAITING_RESPONSELINE_STATUSCODE = 4,
    k_EHTTPClientConnectionState_WAITING_RESPONSELINE_STATUSSTRING = 5,
    k_EHTTPClientConnectionState_WAITING_HEADERS = 6,
    k_EHTTPClientConnectionState_WAITING_BODY_WITH_LENGTH = 7,
    k_EHTTPClientConnectionState_WAITING_BODY_UNTIL_CLOSE = 8,
    k_EHTTPClientConnectionState_WAITING_BODY_CHUNKED_HEADER = 9,
    k_EHTTPClientConnectionState_WAITING_BODY_CHUNKED_CHUNK = 10,
    k_EHTTPClientConnectionState_WAITING_BODY_CHUNKED_TRAILER = 11,
    k_EHTTPClientConnectionState_RESPONSE_COMPLETE = 12,
    k_EHTTPClientConnectionState_KEEPALIVE = 13,
};

class CHTTPUtil
{
public:
    enum EFindHeaderResult
    {
        k_EFindHeaderFound,    // one header stored; *piPos is past its line(s)
        k_EFindHeaderNone,     // the position is at the CR LF that ends the header block
        k_EFindHeaderNeedMore, // no complete header yet; nothing consumed
        k_EFindHeaderInvalid,  // the line is not a header
    };
    // Parses the header line(s) at *piPos in pchBuf[0, cchBuf) into the response's headers
    // (a repeated name is joined with ","). A header is taken only once the CR LF that ends
    // it and the byte after it are there, since that byte may continue the value.
    static EFindHeaderResult BFindNextHeader(const char *pchBuf, int cchBuf, int *piPos,
                                             CHTTPClientResponse *pResponse);
};

class CHTTPResponseParser
{
public:
    // Limits: status line and headers, body (exactly this much is allowed), one chunk-size
    // line.
    static const int k_cubMaxHeaders = 2097152;
    static const uint32 k_cubMaxBody = 67108864;
    static const int k_cchMaxChunkSizeLine = 65536;

    enum EResult
    {
        k_EResultNeedMore, // waiting for bytes
        k_EResultComplete, // the response is complete (state RESPONSE_COMPLETE)
        k_EResultAbort,    // the response cannot be read (the reason was logged)
    };

    CHTTPResponseParser();

    // Starts a response: state WAITING_RESPONSELINE_VERSION. bHeadRequest: the response has
    // no body; bConnectRequest: the answer to a proxy CONNECT (no body either). pSink: the
    // request's body sink (httpbodysink.h), asked about every body; a body it takes is
    // bounded by the sink alone.
    void BeginResponse(bool bHeadRequest, bool bConnectRequest, IHTTPBodySink *pSink = nullptr);
    // Appends the bytes and runs the states as far as they go.
    EResult Feed(const void *pvData, uint32 cubData, CHTTPClientResponse *pResponse);
    // The peer closed: a body delimited by the close is complete with the bytes held.
    // True when that gave the response its body.
    bool BFinishBodyAtClose(CHTTPClientResponse *pResponse);
    // After a complete response: drop what it consumed, keep what follows it.
    void FinishResponse();

    EHTTPClientConnectionState GetState() const { return m_eState; }
    bool BHTTP11Response() const { return m_bHTTP11Response; }
    // Bytes received but not consumed by a response.
    int GetUnconsumedBytes() const { return m_bufRecv.TellPut() - m_iParse; }

private:
    // The state steps; each returns false when it has to wait (or failed: m_bAbort).
    bool BStepResponseLineVersion();
    bool BStepResponseLineStatusCode(CHTTPClientResponse *pResponse);
    bool BStepResponseLineStatusString();
    bool BStepHeaders(CHTTPClientResponse *pResponse, bool bTrailers);
    bool BChooseBodyMode(CHTTPClientResponse *pResponse);
    // A body of a known length: the buffer made ready for all of it (the response's own
    // when nothing has to be decoded, with what has arrived of it moved there).
    bool BPrepareBodyWithLength(CHTTPClientResponse *pResponse, const char *pchContentEncoding);
    // The step of the current state; false to wait.
    bool BStep(CHTTPClientResponse *pResponse);
    // Bytes of a body that goes straight to the response, up to its length; how many.
    uint32 TakeDirectBody(const uint8 *pubData, uint32 cubData, CHTTPClientResponse *pResponse);
    // Whether the header at the parse position is whole (its line end and the byte after it
    // are here); remembers how far it looked.
    bool BHeaderComplete();
    bool BStepBodyWithLength(CHTTPClientResponse *pResponse);
    bool BStepChunkHeader();
    bool BStepChunkData(CHTTPClientResponse *pResponse);
    bool BFinishChunkedBody(CHTTPClientResponse *pResponse);
    // Offers the body to the sink; false when it refused the response (m_bAbort).
    bool BOfferBodyToSink(CHTTPClientResponse *pResponse, int64 nContentLength);
    // Body bytes to the sink, the progress counters along; false when it refused them.
    bool BPassToSink(const uint8 *pubData, uint32 cubData);
    // The body bytes buffered at the parse position (at most cubMax) to the sink.
    bool BPassBufferedToSink(uint64 cubMax);
    // The next token of the status line (after blanks, up to a blank); false to wait.
    bool BNextToken(int *piStart, int *piEnd, bool bCRLFEnds);
    void CheckLimits();
    void Abort() { m_bAbort = true; }
    void ResetBuffer();
    const char *Buf() const { return (const char *)m_bufRecv.Base(); }
    int End() const { return m_bufRecv.TellPut(); }

    EHTTPClientConnectionState m_eState;
    CUtlBuffer m_bufRecv; // bytes as they arrive (consumed ones dropped as soon as possible)
    int m_iParse;         // parse position in m_bufRecv
    int m_iLineStart;     // start of the status line, for the header limit
    int m_iTrailerStart;  // start of the trailers, for their limit
    int m_iHeaderEndScan; // where the look for the end of the current header goes on
    uint32 m_cubContentLength;
    uint32 m_cubChunkSize;
    uint32 m_cubChunkConsumed;
    int32 m_cubBodyReceived;     // for this response
    CUtlBuffer m_BodyDataBuffer; // a chunked body as it is joined
    bool m_bHTTP11Response;
    bool m_bHeadRequest;
    bool m_bConnectRequest;
    // A Content-Length body without content coding goes straight into the response's body,
    // which is sized once to the announced length: one copy from the socket's buffer.
    bool m_bBodyDirect;
    // The body goes to m_pSink; with a length, m_cubSinkLength of it (64-bit: a package
    // may pass 4 GiB).
    IHTTPBodySink *m_pSink;
    bool m_bBodyToSink;
    uint64 m_cubSinkLength;
    uint64 m_cubSinkReceived;
    bool m_bAbort;
    CHTTPClientResponse *m_pResponse; // during Feed only
};

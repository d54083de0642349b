// CScriptedHTTPServer: a small server on 127.0.0.1 for tests of the network layer and the
// HTTP client. Each accepted connection plays a script: read a request (or a number of
// bytes), send bytes (whole, split at every byte, or in given pieces), sleep a little, wait
// on the manual clock, close. Everything received is recorded.
//
//     CScriptedHTTPServer server;
//     server.AddScript(CHTTPScript().ReadRequest().Send(HTTPResponse(200, {}, "hello")));
//     ASSERT_TRUE(server.BStart());
//     ... connect to 127.0.0.1:server.GetPort() ...
//     server.Stop();
//     server.GetRequests()[0]  // the request bytes as received
//
// Connections are served at once, each on its own thread; the nth accepted connection
// plays the nth script added, and connections beyond the scripts play the default script
// (AddScript order; SetDefaultScript; without one they are closed at once). Every wait is
// bounded in real time (k_unMaxWaitMilliseconds), so a broken test ends instead of hanging.
#pragma once

#include "foundation/basetypes.h"

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class CHTTPScript
{
public:
    enum EStepKind
    {
        k_EStepReadRequest,     // one request: header block, then a Content-Length body
        k_EStepReadBytes,       // exactly m_cub bytes
        k_EStepReadUntilClosed, // everything until the peer closes
        k_EStepSend,            // m_strData in the pieces of m_vecPieces (empty: in one send)
        k_EStepSleep,           // a real sleep of m_unMilliseconds (at most 2000)
        k_EStepWaitClock,       // until the installed clock moved m_cub microseconds on
        k_EStepClose,           // close the connection (the script ends)
    };
    struct Step_t
    {
        EStepKind m_eKind;
        std::string m_strData;
        std::vector<size_t> m_vecPieces;
        uint64 m_cub = 0;
        uint32 m_unMilliseconds = 0;
    };

    CHTTPScript &ReadRequest();
    CHTTPScript &ReadBytes(uint64 cub);
    CHTTPScript &ReadUntilClosed();
    CHTTPScript &Send(const std::string &strData);
    // Each piece in its own send, with a short pause between them so that they arrive apart.
    CHTTPScript &SendPieces(const std::string &strData, const std::vector<size_t> &vecPieceSizes);
    CHTTPScript &SendByteByByte(const std::string &strData);
    CHTTPScript &Sleep(uint32 unMilliseconds);
    CHTTPScript &WaitClock(uint64 unMicroseconds);
    CHTTPScript &Close();
    // Reads requests and answers each with the response, until the peer closes (a
    // keep-alive server).
    CHTTPScript &AnswerEveryRequest(const std::string &strResponse);
    // Reads requests and answers each with what the function makes of its request line's
    // path; false from the function closes the connection after its bytes are sent (a
    // response cut short). Called on the connection's thread, so it must be thread-safe;
    // it may block (bounded) to play a slow server.
    typedef std::function<bool(const std::string &strPath, std::string *pstrResponse)> FnAnswer_t;
    CHTTPScript &AnswerByPath(const FnAnswer_t &fnAnswer);

    const std::vector<Step_t> &Steps() const { return m_vecSteps; }
    bool BAnswersEveryRequest() const { return m_bAnswerEvery; }
    const std::string &RepeatedResponse() const { return m_strRepeatedResponse; }
    const FnAnswer_t &AnswerFunction() const { return m_fnAnswer; }

private:
    CHTTPScript &AddStep(EStepKind eKind, uint64 cub = 0);

    std::vector<Step_t> m_vecSteps;
    bool m_bAnswerEvery = false;
    std::string m_strRepeatedResponse;
    FnAnswer_t m_fnAnswer;
};

class CScriptedHTTPServer
{
public:
    static constexpr uint32 k_unMaxWaitMilliseconds = 10000;

    CScriptedHTTPServer();
    ~CScriptedHTTPServer(); // Stop

    // Scripts: add before or after starting.
    void AddScript(const CHTTPScript &script);
    void SetDefaultScript(const CHTTPScript &script);

    // Listens on 127.0.0.1 on a free port.
    bool BStart();
    uint16 GetPort() const { return m_usPort; }
    // Ends all connections and threads.
    void Stop();

    // What was received: every request read by ReadRequest (or bytes by ReadBytes /
    // ReadUntilClosed), in the order they completed.
    std::vector<std::string> GetRequests();
    // Everything each connection received, by connection (in accept order).
    std::vector<std::string> GetReceivedByConnection();
    int GetConnectionCount() const { return m_cConnections.load(); }
    // Connections whose script has ended (closed or peer gone).
    int GetFinishedConnectionCount() const { return m_cFinished.load(); }
    // Waits (real time, bounded) until n connections were accepted / finished.
    bool BWaitForConnections(int n, uint32 unMilliseconds = k_unMaxWaitMilliseconds);
    bool BWaitForFinished(int n, uint32 unMilliseconds = k_unMaxWaitMilliseconds);

private:
    struct Connection_t;
    void AcceptLoop();
    void ServeConnection(Connection_t *pConnection, CHTTPScript script);
    void RecordRequest(const std::string &strRequest);

    int64 m_hListen;
    uint16 m_usPort;
    std::atomic<bool> m_bStop;
    std::thread m_threadAccept;
    std::mutex m_Mutex;
    std::vector<CHTTPScript> m_vecScripts;
    std::unique_ptr<CHTTPScript> m_pDefaultScript;
    std::vector<std::unique_ptr<Connection_t>> m_vecConnections;
    std::vector<std::string> m_vecRequests;
    std::atomic<int> m_cConnections;
    std::atomic<int> m_cFinished;
};

// Response builders.
// "HTTP/1.1 <code> <reason>\r\n", the headers in order, "\r\n", the body. With
// bContentLength, a "Content-Length" header for the body is added after the others.
std::string HTTPResponse(int nStatus, const std::vector<std::pair<std::string, std::string>> &vecHeaders,
                         const std::string &strBody, bool bContentLength = true,
                         const char *pchVersion = "HTTP/1.1", const char *pchReason = nullptr);
// The body in chunked coding: chunks of the given sizes (the rest in one more chunk), each
// size line with the extension when one is given, the last chunk, the trailer lines, and
// the empty line.
std::string ChunkedBody(const std::string &strBody, const std::vector<size_t> &vecChunkSizes,
                        const std::string &strExtension = "",
                        const std::vector<std::string> &vecTrailerLines = std::vector<std::string>());
// One gzip member holding the data (zlib's deflate).
std::string GzipData(const std::string &strData);
// Bytes that do not compress, from a seed.
std::string PseudoRandomBytes(size_t cub, uint32 unSeed);

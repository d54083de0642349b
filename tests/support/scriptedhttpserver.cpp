#include "scriptedhttpserver.h"

#include "foundation/clock.h"
#include "foundation/platform/socket.h"
#include "testsupport.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>

namespace
{
typedef std::chrono::steady_clock CRealClock;

uint64 RealMillisecondsSince(CRealClock::time_point start)
{
    return (uint64)std::chrono::duration_cast<std::chrono::milliseconds>(CRealClock::now() - start).count();
}

void RealSleep(uint32 unMilliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(unMilliseconds));
}

// Case-insensitive search for a header's value in a header block.
bool BFindContentLength(const std::string &strHeaders, uint64 *pcub)
{
    std::string strLower = strHeaders;
    for (char &ch : strLower)
        ch = (char)tolower((unsigned char)ch);
    size_t iPos = strLower.find("\r\ncontent-length:");
    if (iPos == std::string::npos)
        return false;
    iPos += strlen("\r\ncontent-length:");
    while (iPos < strLower.size() && (strLower[iPos] == ' ' || strLower[iPos] == '\t'))
        ++iPos;
    uint64 cub = 0;
    while (iPos < strLower.size() && isdigit((unsigned char)strLower[iPos]))
        cub = cub * 10 + (uint64)(strLower[iPos++] - '0');
    *pcub = cub;
    return true;
}
} // namespace

struct CScriptedHTTPServer::Connection_t
{
    PlatSocket_t m_hSocket = k_PlatSocketInvalid;
    std::thread m_thread;
    std::string m_strReceived; // everything, for GetReceivedByConnection
    std::string m_strPending;  // received but not yet consumed by a read step
    std::mutex m_Mutex;

    // Waits for the socket to be readable and reads what is there; false when the peer
    // closed, on an error, on stop or after the wait limit.
    bool BReadMore(const std::atomic<bool> &bStop)
    {
        CRealClock::time_point start = CRealClock::now();
        while (!bStop.load() && RealMillisecondsSince(start) < k_unMaxWaitMilliseconds)
        {
            PlatSocketPoll_t poll;
            PLAT_PollSocket(m_hSocket, 20, &poll);
            if (!poll.m_bReadable && !poll.m_bError)
                continue;
            char rgch[65536];
            uint32 cub = 0;
            int nError;
            EPlatSocketIO eResult = PLAT_RecvSocket(m_hSocket, rgch, sizeof(rgch), &cub, &nError);
            if (eResult == k_EPlatSocketIOWouldBlock)
                continue;
            if (eResult != k_EPlatSocketIOOK)
                return false;
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_strReceived.append(rgch, cub);
            m_strPending.append(rgch, cub);
            return true;
        }
        return false;
    }

    bool BSendAll(const char *pch, size_t cub, const std::atomic<bool> &bStop)
    {
        CRealClock::time_point start = CRealClock::now();
        size_t iSent = 0;
        while (iSent < cub)
        {
            if (bStop.load() || RealMillisecondsSince(start) > k_unMaxWaitMilliseconds)
                return false;
            uint32 cubSent = 0;
            int nError;
            EPlatSocketIO eResult =
                PLAT_SendSocket(m_hSocket, pch + iSent, (uint32)(cub - iSent), &cubSent, &nError);
            if (eResult == k_EPlatSocketIOError)
                return false;
            if (eResult == k_EPlatSocketIOWouldBlock)
            {
                PlatSocketPoll_t poll;
                PLAT_PollSocket(m_hSocket, 20, &poll);
                continue;
            }
            iSent += cubSent;
        }
        return true;
    }
};

CHTTPScript &CHTTPScript::AddStep(EStepKind eKind, uint64 cub)
{
    Step_t step;
    step.m_eKind = eKind;
    step.m_cub = cub;
    m_vecSteps.push_back(step);
    return *this;
}

CHTTPScript &CHTTPScript::ReadRequest()
{
    return AddStep(k_EStepReadRequest);
}

CHTTPScript &CHTTPScript::ReadBytes(uint64 cub)
{
    return AddStep(k_EStepReadBytes, cub);
}

CHTTPScript &CHTTPScript::ReadUntilClosed()
{
    return AddStep(k_EStepReadUntilClosed);
}

CHTTPScript &CHTTPScript::Send(const std::string &strData)
{
    return SendPieces(strData, {});
}

CHTTPScript &CHTTPScript::SendPieces(const std::string &strData, const std::vector<size_t> &vecPieceSizes)
{
    AddStep(k_EStepSend);
    m_vecSteps.back().m_strData = strData;
    m_vecSteps.back().m_vecPieces = vecPieceSizes;
    return *this;
}

CHTTPScript &CHTTPScript::SendByteByByte(const std::string &strData)
{
    return SendPieces(strData, std::vector<size_t>(strData.size(), 1));
}

CHTTPScript &CHTTPScript::Sleep(uint32 unMilliseconds)
{
    AddStep(k_EStepSleep);
    m_vecSteps.back().m_unMilliseconds = unMilliseconds > 2000 ? 2000 : unMilliseconds;
    return *this;
}

CHTTPScript &CHTTPScript::WaitClock(uint64 unMicroseconds)
{
    return AddStep(k_EStepWaitClock, unMicroseconds);
}

CHTTPScript &CHTTPScript::Close()
{
    return AddStep(k_EStepClose);
}

CHTTPScript &CHTTPScript::AnswerEveryRequest(const std::string &strResponse)
{
    m_bAnswerEvery = true;
    m_strRepeatedResponse = strResponse;
    return *this;
}

CHTTPScript &CHTTPScript::AnswerByPath(const FnAnswer_t &fnAnswer)
{
    m_bAnswerEvery = true;
    m_fnAnswer = fnAnswer;
    return *this;
}

CScriptedHTTPServer::CScriptedHTTPServer()
    : m_hListen(k_PlatSocketInvalid), m_usPort(0), m_bStop(false), m_cConnections(0), m_cFinished(0)
{
}

CScriptedHTTPServer::~CScriptedHTTPServer()
{
    Stop();
}

void CScriptedHTTPServer::AddScript(const CHTTPScript &script)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_vecScripts.push_back(script);
}

void CScriptedHTTPServer::SetDefaultScript(const CHTTPScript &script)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_pDefaultScript.reset(new CHTTPScript(script));
}

bool CScriptedHTTPServer::BStart()
{
    int nError;
    PlatSocket_t hListen;
    if (!PLAT_ListenSocket(0x7F000001, 0, 64, &hListen, &nError))
        return false;
    uint32 unIP;
    if (!PLAT_GetSocketLocalAddress(hListen, &unIP, &m_usPort))
    {
        PLAT_CloseSocket(hListen);
        return false;
    }
    m_hListen = hListen;
    m_threadAccept = std::thread(&CScriptedHTTPServer::AcceptLoop, this);
    return true;
}

void CScriptedHTTPServer::Stop()
{
    m_bStop.store(true);
    if (m_threadAccept.joinable())
        m_threadAccept.join();
    std::vector<std::unique_ptr<Connection_t>> vecConnections;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        vecConnections.swap(m_vecConnections);
    }
    for (auto &pConnection : vecConnections)
    {
        if (pConnection->m_thread.joinable())
            pConnection->m_thread.join();
        PLAT_CloseSocket(pConnection->m_hSocket);
        pConnection->m_hSocket = k_PlatSocketInvalid;
    }
    // Keep what they received for the getters.
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_vecConnections.swap(vecConnections);
    }
    if (m_hListen != k_PlatSocketInvalid)
    {
        PLAT_CloseSocket(m_hListen);
        m_hListen = k_PlatSocketInvalid;
    }
}

void CScriptedHTTPServer::AcceptLoop()
{
    while (!m_bStop.load())
    {
        PlatSocketPoll_t poll;
        PLAT_PollSocket(m_hListen, 20, &poll);
        if (!poll.m_bReadable)
            continue;
        PlatSocket_t hSocket;
        int nError;
        if (!PLAT_AcceptSocket(m_hListen, &hSocket, nullptr, nullptr, &nError))
            continue;
        std::lock_guard<std::mutex> lock(m_Mutex);
        int iConnection = m_cConnections.load();
        CHTTPScript script;
        bool bHasScript = true;
        if (iConnection < (int)m_vecScripts.size())
            script = m_vecScripts[(size_t)iConnection];
        else if (m_pDefaultScript)
            script = *m_pDefaultScript;
        else
            bHasScript = false;
        m_vecConnections.emplace_back(new Connection_t());
        Connection_t *pConnection = m_vecConnections.back().get();
        pConnection->m_hSocket = hSocket;
        m_cConnections.fetch_add(1);
        if (!bHasScript)
            script.Close();
        pConnection->m_thread = std::thread(&CScriptedHTTPServer::ServeConnection, this, pConnection, script);
    }
}

void CScriptedHTTPServer::RecordRequest(const std::string &strRequest)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_vecRequests.push_back(strRequest);
}

void CScriptedHTTPServer::ServeConnection(Connection_t *pConnection, CHTTPScript script)
{
    auto readRequest = [&](std::string *pstrRequest) -> bool
    {
        for (;;)
        {
            {
                std::lock_guard<std::mutex> lock(pConnection->m_Mutex);
                size_t iEnd = pConnection->m_strPending.find("\r\n\r\n");
                if (iEnd != std::string::npos)
                {
                    uint64 cubBody = 0;
                    std::string strHeaders = "\r\n" + pConnection->m_strPending.substr(0, iEnd + 2);
                    BFindContentLength(strHeaders, &cubBody);
                    size_t cubWhole = iEnd + 4 + (size_t)cubBody;
                    if (pConnection->m_strPending.size() >= cubWhole)
                    {
                        *pstrRequest = pConnection->m_strPending.substr(0, cubWhole);
                        pConnection->m_strPending.erase(0, cubWhole);
                        return true;
                    }
                }
            }
            if (!pConnection->BReadMore(m_bStop))
                return false;
        }
    };

    bool bOpen = true;
    for (const CHTTPScript::Step_t &step : script.Steps())
    {
        if (!bOpen || m_bStop.load())
            break;
        switch (step.m_eKind)
        {
        case CHTTPScript::k_EStepReadRequest:
        {
            std::string strRequest;
            if (readRequest(&strRequest))
                RecordRequest(strRequest);
            else
                bOpen = false;
            break;
        }
        case CHTTPScript::k_EStepReadBytes:
        {
            for (;;)
            {
                {
                    std::lock_guard<std::mutex> lock(pConnection->m_Mutex);
                    if (pConnection->m_strPending.size() >= step.m_cub)
                        break;
                }
                if (!pConnection->BReadMore(m_bStop))
                    break;
            }
            std::string strData;
            {
                std::lock_guard<std::mutex> lock(pConnection->m_Mutex);
                size_t cub = std::min((size_t)step.m_cub, pConnection->m_strPending.size());
                strData = pConnection->m_strPending.substr(0, cub);
                pConnection->m_strPending.erase(0, cub);
            }
            // The server's lock is never taken inside a connection's (GetReceivedByConnection
            // takes them the other way round).
            RecordRequest(strData);
            break;
        }
        case CHTTPScript::k_EStepReadUntilClosed:
        {
            while (pConnection->BReadMore(m_bStop))
            {
            }
            std::string strData;
            {
                std::lock_guard<std::mutex> lock(pConnection->m_Mutex);
                strData.swap(pConnection->m_strPending);
            }
            RecordRequest(strData);
            bOpen = false;
            break;
        }
        case CHTTPScript::k_EStepSend:
        {
            const std::string &strData = step.m_strData;
            if (step.m_vecPieces.empty())
            {
                bOpen = pConnection->BSendAll(strData.data(), strData.size(), m_bStop);
                break;
            }
            size_t iPos = 0;
            for (size_t cubPiece : step.m_vecPieces)
            {
                if (iPos >= strData.size() || !bOpen)
                    break;
                size_t cub = std::min(cubPiece, strData.size() - iPos);
                bOpen = pConnection->BSendAll(strData.data() + iPos, cub, m_bStop);
                iPos += cub;
                RealSleep(1);
            }
            if (bOpen && iPos < strData.size())
                bOpen = pConnection->BSendAll(strData.data() + iPos, strData.size() - iPos, m_bStop);
            break;
        }
        case CHTTPScript::k_EStepSleep:
            RealSleep(step.m_unMilliseconds);
            break;
        case CHTTPScript::k_EStepWaitClock:
        {
            uint64 ulEnd = Clock_GetMicroseconds() + step.m_cub;
            CRealClock::time_point start = CRealClock::now();
            while (Clock_GetMicroseconds() < ulEnd && !m_bStop.load() &&
                   RealMillisecondsSince(start) < k_unMaxWaitMilliseconds)
                RealSleep(1);
            break;
        }
        case CHTTPScript::k_EStepClose:
            bOpen = false;
            break;
        }
    }

    if (bOpen && script.BAnswersEveryRequest())
    {
        std::string strRequest;
        while (readRequest(&strRequest))
        {
            RecordRequest(strRequest);
            std::string strResponse = script.RepeatedResponse();
            bool bKeepOpen = true;
            if (script.AnswerFunction())
            {
                // The request line is "GET <path> HTTP/1.1".
                size_t iStart = strRequest.find(' ');
                size_t iEnd = iStart == std::string::npos ? iStart : strRequest.find(' ', iStart + 1);
                std::string strPath = iEnd == std::string::npos
                                          ? std::string()
                                          : strRequest.substr(iStart + 1, iEnd - iStart - 1);
                bKeepOpen = script.AnswerFunction()(strPath, &strResponse);
            }
            if (!pConnection->BSendAll(strResponse.data(), strResponse.size(), m_bStop) || !bKeepOpen)
                break;
        }
    }
    else if (bOpen)
    {
        // The script is over but did not close: wait for the peer to go.
        while (pConnection->BReadMore(m_bStop))
        {
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        PLAT_CloseSocket(pConnection->m_hSocket);
        pConnection->m_hSocket = k_PlatSocketInvalid;
    }
    m_cFinished.fetch_add(1);
}

std::vector<std::string> CScriptedHTTPServer::GetRequests()
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_vecRequests;
}

std::vector<std::string> CScriptedHTTPServer::GetReceivedByConnection()
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    std::vector<std::string> vec;
    for (auto &pConnection : m_vecConnections)
    {
        std::lock_guard<std::mutex> lockConnection(pConnection->m_Mutex);
        vec.push_back(pConnection->m_strReceived);
    }
    return vec;
}

bool CScriptedHTTPServer::BWaitForConnections(int n, uint32 unMilliseconds)
{
    return BWaitUntil([this, n] { return m_cConnections.load() >= n; }, unMilliseconds);
}

bool CScriptedHTTPServer::BWaitForFinished(int n, uint32 unMilliseconds)
{
    return BWaitUntil([this, n] { return m_cFinished.load() >= n; }, unMilliseconds);
}

std::string HTTPResponse(int nStatus, const std::vector<std::pair<std::string, std::string>> &vecHeaders,
                         const std::string &strBody, bool bContentLength, const char *pchVersion,
                         const char *pchReason)
{
    std::string str = pchVersion;
    str += " " + std::to_string(nStatus) + " ";
    str += pchReason ? pchReason : (nStatus == 200 ? "OK" : "Status");
    str += "\r\n";
    for (const auto &header : vecHeaders)
        str += header.first + ": " + header.second + "\r\n";
    if (bContentLength)
        str += "Content-Length: " + std::to_string(strBody.size()) + "\r\n";
    str += "\r\n";
    str += strBody;
    return str;
}

std::string ChunkedBody(const std::string &strBody, const std::vector<size_t> &vecChunkSizes,
                        const std::string &strExtension, const std::vector<std::string> &vecTrailerLines)
{
    std::string str;
    size_t iPos = 0;
    auto addChunk = [&](size_t cub)
    {
        char rgch[32];
        snprintf(rgch, sizeof(rgch), "%zx", cub);
        str += rgch;
        if (!strExtension.empty())
            str += ";" + strExtension;
        str += "\r\n" + strBody.substr(iPos, cub) + "\r\n";
        iPos += cub;
    };
    for (size_t cub : vecChunkSizes)
    {
        if (iPos >= strBody.size())
            break;
        addChunk(std::min(cub, strBody.size() - iPos));
    }
    if (iPos < strBody.size())
        addChunk(strBody.size() - iPos);
    str += "0\r\n";
    for (const std::string &strLine : vecTrailerLines)
        str += strLine + "\r\n";
    str += "\r\n";
    return str;
}

std::string GzipData(const std::string &strData)
{
    z_stream stream;
    memset(&stream, 0, sizeof(stream));
    // 16 + 15 window bits: a gzip wrapper around the deflate data.
    if (deflateInit2(&stream, Z_BEST_SPEED, Z_DEFLATED, 16 + 15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return std::string();
    std::string strOut;
    strOut.resize(deflateBound(&stream, (uLong)strData.size()) + 64);
    stream.next_in = (Bytef *)strData.data();
    stream.avail_in = (uInt)strData.size();
    stream.next_out = (Bytef *)&strOut[0];
    stream.avail_out = (uInt)strOut.size();
    int nResult = deflate(&stream, Z_FINISH);
    size_t cubOut = strOut.size() - stream.avail_out;
    deflateEnd(&stream);
    if (nResult != Z_STREAM_END)
        return std::string();
    strOut.resize(cubOut);
    return strOut;
}

std::string PseudoRandomBytes(size_t cub, uint32 unSeed)
{
    std::string str(cub, '\0');
    uint32 unState = unSeed ? unSeed : 1;
    for (size_t i = 0; i < cub; ++i)
    {
        // xorshift32
        unState ^= unState << 13;
        unState ^= unState >> 17;
        unState ^= unState << 5;
        str[i] = (char)(unState >> 24);
    }
    return str;
}

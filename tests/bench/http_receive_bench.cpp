// Receive throughput of the HTTP connection: a 64 MiB response over loopback, received and
// parsed by CHTTPClientConnection with the frame loop pumped on this thread, against curl
// fetching the same response in the same run. Two servers: nginx (when installed) and a
// sender thread in this program.
//
//     http_receive_bench [rounds]
//
// Prints MB/s for each and the ratio to curl; the aim is at least 300 MB/s.
#include "foundation/platform/socket.h"
#include "http/httpclient.h"
#include "http/httprequestwriter.h"
#include "jobs/framefunctionmgr.h"
#include "jobs/scheduledfunction.h"
#include "net/net.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace
{
const uint32 k_cubBody = 64 * 1024 * 1024;
typedef std::chrono::steady_clock CRealClock;

double SecondsSince(CRealClock::time_point start)
{
    return std::chrono::duration<double>(CRealClock::now() - start).count();
}

double MBPerSecond(double flSeconds)
{
    return flSeconds > 0 ? (double)k_cubBody / (1024.0 * 1024.0) / flSeconds : 0;
}

// Answers every request on every connection with the same 64 MiB response.
class CSenderThread
{
public:
    bool BStart()
    {
        std::string strBody(k_cubBody, '\0');
        for (uint32 i = 0; i < k_cubBody; ++i)
            strBody[i] = (char)(i * 2654435761u >> 24);
        m_strResponse = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                        std::to_string(k_cubBody) + "\r\n\r\n" + strBody;
        int nError;
        if (!PLAT_ListenSocket(0x7F000001, 0, 16, &m_hListen, &nError))
            return false;
        uint32 unIP;
        PLAT_GetSocketLocalAddress(m_hListen, &unIP, &m_usPort);
        m_thread = std::thread(&CSenderThread::Run, this);
        return true;
    }
    void Stop()
    {
        m_bStop = true;
        if (m_thread.joinable())
            m_thread.join();
        for (std::thread &thread : m_vecConnectionThreads)
            thread.join();
        PLAT_CloseSocket(m_hListen);
    }
    uint16 GetPort() const { return m_usPort; }

private:
    void Run()
    {
        while (!m_bStop)
        {
            PlatSocketPoll_t poll;
            PLAT_PollSocket(m_hListen, 20, &poll);
            PlatSocket_t hSocket;
            int nError;
            if (!poll.m_bReadable || !PLAT_AcceptSocket(m_hListen, &hSocket, nullptr, nullptr, &nError))
                continue;
            // Each connection on its own thread: a kept-alive one does not block the next.
            m_vecConnectionThreads.emplace_back(
                [this, hSocket]()
                {
                    Serve(hSocket);
                    PLAT_CloseSocket(hSocket);
                });
        }
    }
    void Serve(PlatSocket_t hSocket)
    {
        std::string strRequest;
        while (!m_bStop)
        {
            // One request: read to the empty line, then send the whole response.
            char rgch[4096];
            uint32 cub = 0;
            int nError;
            PlatSocketPoll_t poll;
            PLAT_PollSocket(hSocket, 20, &poll);
            if (!poll.m_bReadable)
                continue;
            EPlatSocketIO eResult = PLAT_RecvSocket(hSocket, rgch, sizeof(rgch), &cub, &nError);
            if (eResult == k_EPlatSocketIOWouldBlock)
                continue;
            if (eResult != k_EPlatSocketIOOK)
                return;
            strRequest.append(rgch, cub);
            if (strRequest.find("\r\n\r\n") == std::string::npos)
                continue;
            strRequest.clear();
            size_t iSent = 0;
            while (iSent < m_strResponse.size() && !m_bStop)
            {
                uint32 cubSent = 0;
                eResult = PLAT_SendSocket(hSocket, m_strResponse.data() + iSent,
                                          (uint32)(m_strResponse.size() - iSent), &cubSent, &nError);
                if (eResult == k_EPlatSocketIOError)
                    return;
                if (eResult == k_EPlatSocketIOWouldBlock)
                    PLAT_PollSocket(hSocket, 20, &poll);
                iSent += cubSent;
            }
        }
    }

    std::string m_strResponse;
    PlatSocket_t m_hListen = k_PlatSocketInvalid;
    uint16 m_usPort = 0;
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
    std::vector<std::thread> m_vecConnectionThreads;
};

// nginx on a free port serving a 64 MiB file from a temporary directory.
class CNginx
{
public:
    bool BStart()
    {
        char rgchDir[] = "/tmp/ferro_http_bench_XXXXXX";
        if (!mkdtemp(rgchDir))
            return false;
        m_strDir = rgchDir;
        {
            std::ofstream file(m_strDir + "/file.bin", std::ios::binary);
            std::string strBody(k_cubBody, 'n');
            file.write(strBody.data(), (std::streamsize)strBody.size());
        }
        PlatSocket_t hListen;
        int nError;
        uint32 unIP;
        if (!PLAT_ListenSocket(0x7F000001, 0, 1, &hListen, &nError))
            return false;
        PLAT_GetSocketLocalAddress(hListen, &unIP, &m_usPort);
        PLAT_CloseSocket(hListen);
        std::ofstream conf(m_strDir + "/nginx.conf");
        conf << "daemon off;\nmaster_process off;\nworker_processes 1;\npid " << m_strDir
             << "/nginx.pid;\nerror_log " << m_strDir
             << "/error.log;\nevents { worker_connections 64; }\nhttp {\n access_log off;\n sendfile on;\n"
             << " client_body_temp_path " << m_strDir << ";\n proxy_temp_path " << m_strDir << ";\n"
             << " fastcgi_temp_path " << m_strDir << ";\n uwsgi_temp_path " << m_strDir << ";\n"
             << " scgi_temp_path " << m_strDir << ";\n"
             << " server { listen 127.0.0.1:" << m_usPort << "; root " << m_strDir << "; }\n}\n";
        conf.close();
        std::string strCommand =
            "nginx -c " + m_strDir + "/nginx.conf -p " + m_strDir + " >/dev/null 2>&1 & echo $!";
        FILE *pPipe = popen(strCommand.c_str(), "r");
        if (!pPipe)
            return false;
        if (fscanf(pPipe, "%d", &m_nPid) != 1)
            m_nPid = 0;
        pclose(pPipe);
        // Wait (bounded) until it answers.
        for (int i = 0; i < 100; ++i)
        {
            std::string strProbe =
                "curl -s -o /dev/null -w '%{http_code}' http://127.0.0.1:" + std::to_string(m_usPort) +
                "/file.bin --max-time 2 2>/dev/null";
            FILE *pProbe = popen(strProbe.c_str(), "r");
            char rgch[16] = {};
            if (pProbe)
            {
                if (!fgets(rgch, sizeof(rgch), pProbe))
                    rgch[0] = 0;
                pclose(pProbe);
            }
            if (strcmp(rgch, "200") == 0)
                return m_nPid > 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    void Stop()
    {
        if (m_nPid > 0)
        {
            std::string strKill = "kill " + std::to_string(m_nPid) + " 2>/dev/null";
            if (system(strKill.c_str()) != 0)
                fprintf(stderr, "could not end nginx (%d)\n", m_nPid);
            m_nPid = 0;
        }
        if (!m_strDir.empty())
        {
            std::string strRemove = "rm -rf " + m_strDir;
            if (system(strRemove.c_str()) != 0)
                fprintf(stderr, "could not remove %s\n", m_strDir.c_str());
        }
    }
    uint16 GetPort() const { return m_usPort; }

private:
    std::string m_strDir;
    uint16 m_usPort = 0;
    int m_nPid = 0;
};

// One GET through the HTTP connection, the frame loop pumped here; seconds, or -1.
double FetchWithConnection(CHTTPClient *pClient, uint16 usPort, const char *pchPath)
{
    CHTTPClientRequest *pRequest = new CHTTPClientRequest(k_EHTTPMethodGET, "127.0.0.1", pchPath, false);
    pRequest->m_adrConnect = netadr_t(0x7F000001, usPort);
    pRequest->m_adrTarget = pRequest->m_adrConnect;
    HTTPPrepareRequestHeaders(pRequest);
    CHTTPRequestHandle *pHandle = new CHTTPRequestHandle(pClient, pRequest);
    pRequest->Release();
    CRealClock::time_point start = CRealClock::now();
    pClient->Dispatch(pHandle);
    while (!pHandle->BCompleted() && SecondsSince(start) < 60)
        GetFrameFunctionMgr().RunFrame(k_EFrameTypeMain);
    double flSeconds = SecondsSince(start);
    bool bOK = pHandle->BCompleted() && pHandle->m_bSucceeded &&
               (uint32)pHandle->AccessResponse()->GetBodyBuffer().TellPut() == k_cubBody;
    pHandle->Release();
    return bOK ? flSeconds : -1;
}

// The same with curl; its own transfer time (without its start-up), or -1.
double FetchWithCurl(uint16 usPort, const char *pchPath)
{
    std::string strCommand = "curl -s -o /dev/null -w '%{time_total} %{size_download}' http://127.0.0.1:" +
                             std::to_string(usPort) + pchPath + " --max-time 60";
    FILE *pPipe = popen(strCommand.c_str(), "r");
    if (!pPipe)
        return -1;
    double flSeconds = -1;
    unsigned long long cubDownloaded = 0;
    if (fscanf(pPipe, "%lf %llu", &flSeconds, &cubDownloaded) != 2)
        flSeconds = -1;
    pclose(pPipe);
    return cubDownloaded == k_cubBody ? flSeconds : -1;
}

void Measure(const char *pchPeer, CHTTPClient *pClient, uint16 usPort, const char *pchPath, int cRounds)
{
    // Best of the rounds for both: the machine is shared, the best run is the least disturbed.
    double flBestOurs = 1e9, flBestCurl = 1e9;
    for (int i = 0; i < cRounds; ++i)
    {
        double flOurs = FetchWithConnection(pClient, usPort, pchPath);
        double flCurl = FetchWithCurl(usPort, pchPath);
        if (flOurs > 0 && flOurs < flBestOurs)
            flBestOurs = flOurs;
        if (flCurl > 0 && flCurl < flBestCurl)
            flBestCurl = flCurl;
    }
    if (flBestOurs >= 1e9)
    {
        printf("%-14s CHTTPClientConnection: FAILED\n", pchPeer);
        return;
    }
    printf("%-14s CHTTPClientConnection %8.1f MB/s", pchPeer, MBPerSecond(flBestOurs));
    if (flBestCurl < 1e9)
        printf("   curl %8.1f MB/s   ratio %.2f\n", MBPerSecond(flBestCurl), flBestCurl / flBestOurs);
    else
        printf("   curl: not available\n");
}
} // namespace

int main(int argc, char **argv)
{
    int cRounds = argc > 1 ? atoi(argv[1]) : 3;
    if (cRounds < 1)
        cRounds = 1;
    TCPConnectionGlobalInit(true, GetFrameFunctionMgr());
    GetFrameFunctionMgr().Register(&GetScheduledFunctionMgr());
    GetFrameFunctionMgr().RunFrame(k_EFrameTypeMain);
    CHTTPClient *pClient = new CHTTPClient(GetFrameFunctionMgr(), 60, nullptr, 1, 3, nullptr, nullptr);

    printf("64 MiB response over loopback, best of %d (ratio: connection speed / curl speed)\n", cRounds);
    CNginx nginx;
    if (nginx.BStart())
        Measure("nginx", pClient, nginx.GetPort(), "/file.bin", cRounds);
    else
        printf("nginx          not available\n");
    nginx.Stop();

    CSenderThread sender;
    if (sender.BStart())
        Measure("sender thread", pClient, sender.GetPort(), "/file.bin", cRounds);
    sender.Stop();

    pClient->Shutdown();
    delete pClient;
    for (int i = 0; i < 100 && CNet::GetConnectionCount() > 0; ++i)
    {
        GetFrameFunctionMgr().RunFrame(k_EFrameTypeMain);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    GetFrameFunctionMgr().Deregister(&GetScheduledFunctionMgr());
    TCPConnectionGlobalShutdown();
    return 0;
}

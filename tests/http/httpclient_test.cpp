// CHTTPClient against the scripted server on loopback: the per-host limit and its queue,
// keep-alive and its end, the retry of a stale kept-alive connection, name lookup
// failures, time-outs on the manual clock, shutdown, and requests from another thread.
#include "http/httpclientconnection.h"
#include "support/http/httpclienttestutil.h"
#include "support/scriptedhttpserver.h"
#include "support/testsupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace
{
// A host name that fails to resolve at once: a label longer than 63 bytes is refused by
// the resolver before anything is asked of the network.
const std::string k_strUnresolvableHost = std::string(70, 'a') + ".invalid";

class CHTTPClientTest : public CHTTPClientTestBase
{
};
} // namespace

TEST_F(CHTTPClientTest, FourRequestsWithTheLimitThreeOpenThreeConnectionsAndQueueTheFourth)
{
    UseManualClock();
    CSpewCapture capture;
    CScriptedHTTPServer server;
    // Each connection holds its first answer back until the clock moves, then keeps serving.
    std::string strResponse = HTTPResponse(200, {}, "pooled");
    for (int i = 0; i < 4; ++i)
        server.AddScript(
            CHTTPScript().ReadRequest().WaitClock(1000000).Send(strResponse).AnswerEveryRequest(strResponse));
    ASSERT_TRUE(server.BStart());
    StartClient(60, 3);

    std::vector<CHTTPRequestHandle *> vecHandles;
    for (int i = 0; i < 4; ++i)
        vecHandles.push_back(Get(LoopbackHost(server.GetPort()), ("/file" + std::to_string(i)).c_str()));
    ASSERT_TRUE(PumpUntil(
        [&] { return server.GetRequests().size() == 3 && m_pClient->GetWaitingRequestCount() == 1; }));
    EXPECT_EQ(3, m_pClient->GetInUseConnectionCount());
    EXPECT_EQ(1, capture.CountContaining("Queueing request for http://127.0.0.1:"));
    EXPECT_TRUE(capture.BContains(", 0 already in queue\n"));

    Clock().Advance(1000000);
    for (CHTTPRequestHandle *pHandle : vecHandles)
    {
        ASSERT_TRUE(BWaitCompleted(pHandle));
        EXPECT_TRUE(pHandle->m_bSucceeded);
        EXPECT_EQ("pooled", Body(pHandle));
    }
    EXPECT_EQ(3u, m_pClient->GetConnectionsCreated());
    EXPECT_EQ(3, server.GetConnectionCount());
    EXPECT_TRUE(capture.BContains("Sending first queued request for 127.0.0.1:"));
    // The queued request went out on a connection that had served one already.
    std::vector<std::string> vecReceived = server.GetReceivedByConnection();
    int cServedTwice = 0;
    for (const std::string &strReceived : vecReceived)
        cServedTwice += strReceived.find("GET /file", strReceived.find("GET /file") + 1) != std::string::npos;
    EXPECT_EQ(1, cServedTwice);
    EXPECT_EQ(3, m_pClient->GetIdleConnectionCount());
    for (CHTTPRequestHandle *pHandle : vecHandles)
        pHandle->Release();
}

TEST_F(CHTTPClientTest, ResponsesThatForbidKeepAliveOpenANewConnectionPerRequest)
{
    CScriptedHTTPServer server;
    // Two of each: HTTP/1.1 asking to close, HTTP/1.0 without keep-alive (a length given,
    // so the body does not need the close). Then HTTP/1.0 asking for keep-alive, twice on
    // one connection.
    std::string strClose = HTTPResponse(200, {{"Connection", "close"}}, "close");
    std::string strOld = HTTPResponse(200, {}, "old", true, "HTTP/1.0");
    for (int i = 0; i < 2; ++i)
        server.AddScript(CHTTPScript().ReadRequest().Send(strClose).ReadUntilClosed());
    for (int i = 0; i < 2; ++i)
        server.AddScript(CHTTPScript().ReadRequest().Send(strOld).ReadUntilClosed());
    server.AddScript(CHTTPScript().AnswerEveryRequest(
        HTTPResponse(200, {{"Connection", "Keep-Alive"}}, "kept", true, "HTTP/1.0")));
    ASSERT_TRUE(server.BStart());
    StartClient();

    const char *rgpchBodies[] = {"close", "close", "old", "old", "kept", "kept"};
    for (int i = 0; i < 6; ++i)
    {
        CHTTPRequestHandle *pHandle = Get(LoopbackHost(server.GetPort()));
        ASSERT_TRUE(BWaitCompleted(pHandle));
        EXPECT_TRUE(pHandle->m_bSucceeded);
        EXPECT_EQ(rgpchBodies[i], Body(pHandle));
        pHandle->Release();
        EXPECT_EQ(std::min(i + 1, 5), server.GetConnectionCount()) << i;
    }
    EXPECT_EQ(5u, m_pClient->GetConnectionsCreated());
    EXPECT_EQ(1, m_pClient->GetIdleConnectionCount());
}

TEST_F(CHTTPClientTest, StaleKeptAliveConnectionIsRetriedButAFreshOneIsNot)
{
    CSpewCapture capture;
    CScriptedHTTPServer server;
    // Keeps the connection after the first answer, then drops it as the next request
    // starts to arrive.
    server.AddScript(CHTTPScript().ReadRequest().Send(HTTPResponse(200, {}, "first")).ReadBytes(1).Close());
    server.AddScript(CHTTPScript().AnswerEveryRequest(HTTPResponse(200, {}, "second")));
    ASSERT_TRUE(server.BStart());
    StartClient();

    CHTTPRequestHandle *pHandle = Get(LoopbackHost(server.GetPort()));
    ASSERT_TRUE(BWaitCompleted(pHandle));
    EXPECT_EQ("first", Body(pHandle));
    pHandle->Release();

    pHandle = Get(LoopbackHost(server.GetPort()), "/again");
    ASSERT_TRUE(BWaitCompleted(pHandle));
    EXPECT_TRUE(pHandle->m_bSucceeded);
    EXPECT_EQ("second", Body(pHandle));
    EXPECT_EQ(2u, m_pClient->GetConnectionsCreated());
    std::vector<std::string> vecReceived = server.GetReceivedByConnection();
    ASSERT_EQ(2u, vecReceived.size());
    EXPECT_EQ(0u, vecReceived[1].find("GET /again HTTP/1.1\r\n"));
    pHandle->Release();

    // A connection that drops its first request: that request fails, and no second
    // connection is tried.
    CScriptedHTTPServer dropper;
    dropper.AddScript(CHTTPScript().ReadRequest().Close());
    dropper.AddScript(CHTTPScript().AnswerEveryRequest(HTTPResponse(200, {}, "retried")));
    ASSERT_TRUE(dropper.BStart());
    pHandle = Get(LoopbackHost(dropper.GetPort()), "/fresh");
    ASSERT_TRUE(BWaitCompleted(pHandle));
    EXPECT_FALSE(pHandle->m_bSucceeded);
    EXPECT_EQ(k_EHTTPStatusCode500InternalServerError, pHandle->AccessResponse()->GetStatusCode());
    PumpFor(50);
    EXPECT_EQ(1, dropper.GetConnectionCount());
    EXPECT_EQ(3u, m_pClient->GetConnectionsCreated());
    EXPECT_TRUE(
        capture.BContains("Failed! http://127.0.0.1:" + std::to_string(dropper.GetPort()) + "/fresh\n"));
    pHandle->Release();
}

TEST_F(CHTTPClientTest, HostThatDoesNotResolveFailsWithoutAConnection)
{
    CSpewCapture capture;
    StartClient();
    CHTTPRequestHandle *pHandle = Get(k_strUnresolvableHost + ":80");
    ASSERT_TRUE(BWaitCompleted(pHandle));
    EXPECT_FALSE(pHandle->m_bSucceeded);
    EXPECT_EQ(k_EHTTPStatusCode500InternalServerError, pHandle->AccessResponse()->GetStatusCode());
    EXPECT_EQ(0, pHandle->AccessResponse()->GetBodyBuffer().TellPut());
    EXPECT_EQ(0u, m_pClient->GetConnectionsCreated());
    EXPECT_EQ(0, m_pClient->GetPoolEntryCount());
    EXPECT_TRUE(capture.BContains("HTTP request resolved " + k_strUnresolvableHost +
                                  ":80 to 0.0.0.0:0, connecting to 0.0.0.0:0\n"));
    EXPECT_TRUE(capture.BContains("Failed! http://" + k_strUnresolvableHost + ":80/file\n"));
    pHandle->Release();

    // A port that is not a port fails the lookup as well.
    pHandle = Get("127.0.0.1:65536");
    ASSERT_TRUE(BWaitCompleted(pHandle));
    EXPECT_FALSE(pHandle->m_bSucceeded);
    EXPECT_EQ(0u, m_pClient->GetConnectionsCreated());
    pHandle->Release();
}

TEST_F(CHTTPClientTest, DefaultPortAndTheResolvedLog)
{
    CSpewCapture capture;
    StartClient();
    // Nothing listens on port 80 here (or, if something does, the request still resolves).
    CHTTPRequestHandle *pHandle = Get("localhost");
    ASSERT_TRUE(BWaitCompleted(pHandle));
    EXPECT_TRUE(
        capture.BContains("HTTP request resolved localhost to 127.0.0.1:80, connecting to 127.0.0.1:80\n"));
    pHandle->Release();
}

TEST_F(CHTTPClientTest, NoByteForTheNetworkTimeoutFailsTheRequest)
{
    UseManualClock();
    CSpewCapture capture;
    CScriptedHTTPServer server;
    server.AddScript(CHTTPScript().ReadRequest().ReadUntilClosed());
    ASSERT_TRUE(server.BStart());
    StartClient();
    CHTTPRequestHandle *pHandle = Get(LoopbackHost(server.GetPort()), "/silent", 30);
    ASSERT_TRUE(PumpUntil([&] { return server.GetRequests().size() == 1; }));
    Clock().Advance(29000000);
    PumpFor(20);
    EXPECT_FALSE(pHandle->BCompleted());
    Clock().Advance(2000000);
    ASSERT_TRUE(BWaitCompleted(pHandle));
    EXPECT_FALSE(pHandle->m_bSucceeded);
    EXPECT_TRUE(
        capture.BContains("Aborting stale client HTTP connection due to network timeout: 127.0.0.1:"));
    EXPECT_EQ(0, m_pClient->GetPoolEntryCount());
    pHandle->Release();
}

TEST_F(CHTTPClientTest, TricklingServerLivesUntilTheAbsoluteTimeout)
{
    UseManualClock();
    CSpewCapture capture;
    CScriptedHTTPServer server;
    // A header line every 20 s (each with the first byte of the next, which a header needs).
    CHTTPScript script;
    script.ReadRequest().Send("HTTP/1.1 200 OK\r\nX");
    for (int i = 0; i < 5; ++i)
        script.WaitClock(20000000).Send("-Part: " + std::to_string(i) + "\r\nX");
    server.AddScript(script.ReadUntilClosed());
    ASSERT_TRUE(server.BStart());
    StartClient();
    CHTTPRequestHandle *pHandle = Get(LoopbackHost(server.GetPort()), "/slow", 30, 90);
    ASSERT_TRUE(
        PumpUntil([&] { return pHandle->AccessResponse()->GetStatusCode() == k_EHTTPStatusCode200OK; }));
    auto partsEndIn = [pHandle](int i)
    {
        const char *pchParts = pHandle->AccessResponse()->GetResponseHeaderValue("X-Part");
        return pchParts && *pchParts && pchParts[strlen(pchParts) - 1] == (char)('0' + i);
    };
    for (int i = 0; i < 4; ++i)
    {
        Clock().Advance(20000000);
        ASSERT_TRUE(PumpUntil([&] { return partsEndIn(i); })) << i;
        EXPECT_FALSE(pHandle->BCompleted()) << i;
    }
    // 80 s after the request, 0 s after the last byte: the absolute limit of 90 s ends it.
    Clock().Advance(11000000);
    ASSERT_TRUE(BWaitCompleted(pHandle));
    EXPECT_FALSE(pHandle->m_bSucceeded);
    // What had arrived stays in the failed response.
    EXPECT_STREQ("0,1,2,3", pHandle->AccessResponse()->GetResponseHeaderValue("X-Part"));
    EXPECT_EQ(k_EHTTPStatusCode200OK, pHandle->AccessResponse()->GetStatusCode());
    EXPECT_TRUE(
        capture.BContains("Aborting stale client HTTP connection due to absolute timeout: 127.0.0.1:"));
    EXPECT_FALSE(capture.BContains("due to network timeout"));
    pHandle->Release();
}

TEST_F(CHTTPClientTest, IdleKeptAliveConnectionClosesAfterTheKeepAliveTime)
{
    UseManualClock();
    CSpewCapture capture;
    CScriptedHTTPServer server;
    server.AddScript(CHTTPScript().AnswerEveryRequest(HTTPResponse(200, {}, "ok")));
    ASSERT_TRUE(server.BStart());
    StartClient(5);
    CHTTPRequestHandle *pHandle = Get(LoopbackHost(server.GetPort()));
    ASSERT_TRUE(BWaitCompleted(pHandle));
    EXPECT_TRUE(pHandle->m_bSucceeded);
    pHandle->Release();
    EXPECT_EQ(1, m_pClient->GetIdleConnectionCount());

    Clock().Advance(4000000);
    PumpFor(20);
    EXPECT_EQ(1, m_pClient->GetIdleConnectionCount());
    Clock().Advance(2000000);
    ASSERT_TRUE(PumpUntil([&] { return m_pClient->GetIdleConnectionCount() == 0; }));
    EXPECT_EQ(0, m_pClient->GetPoolEntryCount());
    EXPECT_TRUE(
        capture.BContains("Removing idle connection for 127.0.0.1:" + std::to_string(server.GetPort()) +
                          ", 0 left open, 0 requests waiting, 0 requests still in-flight\n"));
    // The network layer closes the socket from the frame loop.
    EXPECT_TRUE(PumpUntil([&] { return server.GetFinishedConnectionCount() == 1; }));
}

TEST_F(CHTTPClientTest, ShutdownCompletesEveryUnfinishedRequestAsFailed)
{
    CScriptedHTTPServer server;
    server.AddScript(CHTTPScript().ReadRequest().ReadUntilClosed());
    ASSERT_TRUE(server.BStart());
    StartClient(60, 1);
    CHTTPRequestHandle *pCarried = Get(LoopbackHost(server.GetPort()), "/carried");
    CHTTPRequestHandle *pQueued = Get(LoopbackHost(server.GetPort()), "/queued");
    ASSERT_TRUE(PumpUntil(
        [&] { return server.GetRequests().size() == 1 && m_pClient->GetWaitingRequestCount() == 1; }));
    // Still to be looked up: the frame loop does not run again before the shutdown.
    CHTTPRequestHandle *pResolving = Get(LoopbackHost(server.GetPort()), "/resolving");

    m_pClient->Shutdown();
    for (CHTTPRequestHandle *pHandle : {pCarried, pQueued, pResolving})
    {
        EXPECT_TRUE(pHandle->BCompleted());
        EXPECT_FALSE(pHandle->m_bSucceeded);
        pHandle->Release();
    }
    EXPECT_EQ(0, m_pClient->GetPoolEntryCount());

    CHTTPRequestHandle *pLate = Get(LoopbackHost(server.GetPort()), "/late");
    EXPECT_TRUE(pLate->BCompleted());
    EXPECT_FALSE(pLate->m_bSucceeded);
    pLate->Release();
    StopClient();
    EXPECT_TRUE(server.BWaitForFinished(1));
    EXPECT_EQ(1, server.GetConnectionCount());
}

TEST_F(CHTTPClientTest, RequestsSentFromAnotherThreadWhileTheMainThreadPumps)
{
    const int k_cRequests = 12;
    CScriptedHTTPServer server;
    server.SetDefaultScript(CHTTPScript().AnswerEveryRequest(HTTPResponse(200, {}, "threaded")));
    ASSERT_TRUE(server.BStart());
    StartClient();

    std::atomic<bool> bDone(false);
    std::atomic<int> cSucceeded(0);
    CHTTPClient *pClient = m_pClient;
    uint16 usPort = server.GetPort();
    std::thread sender(
        [&]
        {
            std::vector<CHTTPRequestHandle *> vecHandles;
            for (int i = 0; i < k_cRequests; ++i)
            {
                CHTTPClientRequest *pRequest =
                    new CHTTPClientRequest(k_EHTTPMethodGET, LoopbackHost(usPort).c_str(),
                                           ("/t" + std::to_string(i)).c_str(), false);
                vecHandles.push_back(pClient->SendHTTPRequest(pRequest));
                pRequest->Release();
            }
            for (CHTTPRequestHandle *pHandle : vecHandles)
            {
                BWaitUntil([pHandle] { return pHandle->BCompleted(); }, 10000);
                // The response is read on this thread, after the completion was seen.
                if (pHandle->BCompleted() && pHandle->m_bSucceeded && Body(pHandle) == "threaded")
                    cSucceeded.fetch_add(1);
                pHandle->Release();
            }
            bDone.store(true);
        });
    bool bFinished = PumpUntil([&] { return bDone.load(); }, 15000);
    sender.join();
    ASSERT_TRUE(bFinished);
    EXPECT_EQ(k_cRequests, cSucceeded.load());
    EXPECT_LE(m_pClient->GetConnectionsCreated(), 3u);
}

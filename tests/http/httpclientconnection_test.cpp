// CHTTPClientConnection against the scripted server on loopback: the request bytes,
// keep-alive, read-until-close, bytes arriving one at a time, failures, and HTTPS without
// TLS. Connection: close, the stale kept-alive retry, the time-outs and the shutdown are
// tested through the client (httpclient_test.cpp).
#include "foundation/clock.h"
#include "http/httpclient.h"
#include "http/httpclientconnection.h"
#include "http/httprequestwriter.h"
#include "support/http/httpclienttestutil.h"
#include "support/scriptedhttpserver.h"
#include "support/testsupport.h"

#include <gtest/gtest.h>

#include <string>

namespace
{
const char k_rgchExpectedGet[] = "GET /file HTTP/1.1\r\n"
                                 "Host: 127.0.0.1\r\n"
                                 "Accept: text/html,*/*;q=0.9\r\n"
                                 "Accept-Encoding: gzip,identity,*;q=0\r\n"
                                 "Accept-Charset: ISO-8859-1,utf-8,*;q=0.7\r\n"
                                 "Connection: keep-alive\r\n"
                                 "User-Agent: Quill/Ferro HTTP Client 1.0\r\n"
                                 "\r\n";

class CHTTPConnectionTest : public CHTTPClientTestBase
{
protected:
    void SetUp() override
    {
        CHTTPClientTestBase::SetUp();
        StartClient();
    }

    // Sends a request (resolved to 127.0.0.1 and the port) as the client does once the name
    // is looked up. The caller releases the handle.
    CHTTPRequestHandle *Send(uint16 usPort, const char *pchPath = "/file", bool bSecure = false)
    {
        CHTTPClientRequest *pRequest =
            new CHTTPClientRequest(k_EHTTPMethodGET, "127.0.0.1", pchPath, bSecure);
        pRequest->m_unNetworkTimeoutSeconds = 60;
        pRequest->m_adrConnect = netadr_t(0x7F000001, usPort);
        pRequest->m_adrTarget = pRequest->m_adrConnect;
        HTTPPrepareRequestHeaders(pRequest);
        CHTTPRequestHandle *pHandle = new CHTTPRequestHandle(m_pClient, pRequest);
        pRequest->Release();
        m_pClient->Dispatch(pHandle);
        return pHandle;
    }
};
} // namespace

TEST_F(CHTTPConnectionTest, GetWithKeepAliveReusesTheConnection)
{
    CScriptedHTTPServer server;
    server.AddScript(
        CHTTPScript().AnswerEveryRequest(HTTPResponse(200, {{"Content-Type", "text/plain"}}, "hello")));
    ASSERT_TRUE(server.BStart());

    CHTTPRequestHandle *pFirst = Send(server.GetPort());
    ASSERT_TRUE(BWaitCompleted(pFirst));
    EXPECT_TRUE(pFirst->m_bSucceeded);
    EXPECT_EQ(k_EHTTPStatusCode200OK, pFirst->AccessResponse()->GetStatusCode());
    EXPECT_EQ("hello", Body(pFirst));
    EXPECT_FLOAT_EQ(100.0f, pFirst->GetPercentComplete());
    EXPECT_EQ(1, m_pClient->GetIdleConnectionCount());
    EXPECT_EQ(0, m_pClient->GetInUseConnectionCount());

    CHTTPRequestHandle *pSecond = Send(server.GetPort(), "/other");
    ASSERT_TRUE(BWaitCompleted(pSecond));
    EXPECT_TRUE(pSecond->m_bSucceeded);
    EXPECT_EQ(1u, m_pClient->GetConnectionsCreated());
    EXPECT_EQ(1, server.GetConnectionCount());
    std::vector<std::string> vecRequests = server.GetRequests();
    ASSERT_EQ(2u, vecRequests.size());
    EXPECT_EQ(k_rgchExpectedGet, vecRequests[0]);
    EXPECT_EQ(0u, vecRequests[1].find("GET /other HTTP/1.1\r\n"));
    pFirst->Release();
    pSecond->Release();
}

TEST_F(CHTTPConnectionTest, ResponsesThatEndTheConnection)
{
    CScriptedHTTPServer server;
    // HTTP/1.0 without a length: the body runs to the close.
    server.AddScript(
        CHTTPScript().ReadRequest().Send(HTTPResponse(200, {}, "until close", false, "HTTP/1.0")).Close());
    // 204 with a length: no body, and the connection stays.
    server.AddScript(
        CHTTPScript().AnswerEveryRequest(HTTPResponse(204, {{"Content-Length", "7"}}, "", false)));
    ASSERT_TRUE(server.BStart());

    CHTTPRequestHandle *pHandle = Send(server.GetPort());
    ASSERT_TRUE(BWaitCompleted(pHandle));
    EXPECT_TRUE(pHandle->m_bSucceeded);
    EXPECT_EQ("until close", Body(pHandle));
    pHandle->Release();
    ASSERT_TRUE(PumpUntil([&] { return m_pClient->GetInUseConnectionCount() == 0; }));
    EXPECT_EQ(0, m_pClient->GetIdleConnectionCount());

    pHandle = Send(server.GetPort());
    ASSERT_TRUE(BWaitCompleted(pHandle));
    EXPECT_TRUE(pHandle->m_bSucceeded);
    EXPECT_EQ(k_EHTTPStatusCode204NoContent, pHandle->AccessResponse()->GetStatusCode());
    EXPECT_EQ(1, m_pClient->GetIdleConnectionCount());
    EXPECT_EQ(2u, m_pClient->GetConnectionsCreated());
    pHandle->Release();
}

TEST_F(CHTTPConnectionTest, BytesArrivingOneAtATime)
{
    std::string strPlain = "gzipped and chunked, " + PseudoRandomBytes(200, 4);
    std::string strResponse = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Encoding: gzip\r\n"
                              "X-Folded: a\r\n b\r\n\r\n" +
                              ChunkedBody(GzipData(strPlain), {10, 50}, "ext=1", {"X-Trailer: yes"});
    CScriptedHTTPServer server;
    server.AddScript(CHTTPScript().ReadRequest().SendByteByByte(strResponse));
    ASSERT_TRUE(server.BStart());
    CHTTPRequestHandle *pHandle = Send(server.GetPort());
    ASSERT_TRUE(BWaitCompleted(pHandle));
    EXPECT_TRUE(pHandle->m_bSucceeded);
    EXPECT_TRUE(Body(pHandle) == strPlain);
    EXPECT_STREQ("a b", pHandle->AccessResponse()->GetResponseHeaderValue("x-folded"));
    EXPECT_STREQ("yes", pHandle->AccessResponse()->GetResponseHeaderValue("x-trailer"));
    pHandle->Release();
}

TEST_F(CHTTPConnectionTest, FailuresCompleteTheRequestAsFailed)
{
    CSpewCapture capture;
    CHTTPRequestHandle *pHandle = Send(ClosedLoopbackPort());
    ASSERT_TRUE(BWaitCompleted(pHandle));
    EXPECT_FALSE(pHandle->m_bSucceeded);
    EXPECT_EQ(k_EHTTPStatusCode500InternalServerError, pHandle->AccessResponse()->GetStatusCode());
    EXPECT_TRUE(capture.BContains("Aborting HTTP request because we received a ConnectFailed callback\n"));
    pHandle->Release();

    // Invalid headers, and a body cut short by the close.
    CScriptedHTTPServer server;
    server.AddScript(
        CHTTPScript().ReadRequest().Send("HTTP/1.1 200 OK\r\nX-Bad: a\tb\r\n\r\n").ReadUntilClosed());
    server.AddScript(
        CHTTPScript().ReadRequest().Send(HTTPResponse(200, {}, "0123456789").substr(0, 44)).Close());
    ASSERT_TRUE(server.BStart());
    pHandle = Send(server.GetPort());
    ASSERT_TRUE(BWaitCompleted(pHandle));
    EXPECT_FALSE(pHandle->m_bSucceeded);
    EXPECT_TRUE(capture.BContains("Aborting HTTP request because we received invalid headers\n"));
    EXPECT_TRUE(capture.BContains("Aborting client HTTP connection\n"));
    EXPECT_TRUE(PumpUntil([&] { return server.GetFinishedConnectionCount() == 1; })); // closed
    pHandle->Release();

    pHandle = Send(server.GetPort());
    ASSERT_TRUE(BWaitCompleted(pHandle));
    EXPECT_FALSE(pHandle->m_bSucceeded);
    EXPECT_EQ(k_EHTTPStatusCode200OK, pHandle->AccessResponse()->GetStatusCode());
    EXPECT_EQ("", Body(pHandle));
    pHandle->Release();
    EXPECT_EQ(0, m_pClient->GetInUseConnectionCount());
}

TEST_F(CHTTPConnectionTest, HTTPSWaitsForAHandshakeThatNeverComesUntilTheNetworkTimeout)
{
    CNetTestManualClock clock;
    CSpewCapture capture;
    CScriptedHTTPServer server;
    server.AddScript(CHTTPScript().ReadUntilClosed());
    ASSERT_TRUE(server.BStart());
    CHTTPRequestHandle *pHandle = Send(server.GetPort(), "/secure", true);
    EXPECT_TRUE(capture.BContains(
        "Assertion Failed: HTTPS is not available: this system has no TLS connection support"));
    ASSERT_TRUE(server.BWaitForConnections(1));
    PumpFor(50);
    EXPECT_FALSE(pHandle->BCompleted());
    clock->Advance(61000000);
    ASSERT_TRUE(BWaitCompleted(pHandle));
    EXPECT_FALSE(pHandle->m_bSucceeded);
    EXPECT_TRUE(capture.BContains("Aborting stale client HTTP connection due to network timeout"));
    EXPECT_TRUE(PumpUntil([&] { return server.GetFinishedConnectionCount() == 1; }));
    EXPECT_EQ("", server.GetRequests().at(0)); // nothing was sent in the clear
    pHandle->Release();
}

// Redirects: resolution of a "Location" against the URL that answered, the default policy,
// and redirect chains through the client against scripted servers.
#include "http/httpredirect.h"
#include "support/http/httpclienttestutil.h"
#include "support/scriptedhttpserver.h"
#include "support/testsupport.h"

#include <gtest/gtest.h>

namespace
{
std::string Resolved(const char *pchBase, const char *pchReference)
{
    CUtlString str;
    if (!BResolveURLReference(pchBase, pchReference, &str))
        return "(failed)";
    return str.Get();
}

std::string Redirect(int nStatus, const std::string &strLocation)
{
    return HTTPResponse(nStatus, {{"Location", strLocation}}, "moved");
}

class CHTTPRedirectTest : public CHTTPClientTestBase
{
};
} // namespace

TEST(HTTPRedirectURL, ReferencesResolveAgainstTheBase)
{
    // The examples of RFC 3986 section 5.4 (a query on the base included).
    const char *pchBase = "http://a/b/c/d;p?q";
    const char *rgpchCases[][2] = {
        {"g", "http://a/b/c/g"},
        {"./g", "http://a/b/c/g"},
        {"g/", "http://a/b/c/g/"},
        {"/g", "http://a/g"},
        {"//g", "http://g/"},
        {"?y", "http://a/b/c/d;p?y"},
        {"g?y", "http://a/b/c/g?y"},
        {"#s", "http://a/b/c/d;p?q"},
        {"g#s", "http://a/b/c/g"},
        {";x", "http://a/b/c/;x"},
        {"", "http://a/b/c/d;p?q"},
        {".", "http://a/b/c/"},
        {"./", "http://a/b/c/"},
        {"..", "http://a/b/"},
        {"../g", "http://a/b/g"},
        {"../..", "http://a/"},
        {"../../g", "http://a/g"},
        {"../../../g", "http://a/g"},
        {"/./g", "http://a/g"},
        {"/../g", "http://a/g"},
        {"g.", "http://a/b/c/g."},
        {"..g", "http://a/b/c/..g"},
        {"./../g", "http://a/b/g"},
        {"g/./h", "http://a/b/c/g/h"},
        {"g/../h", "http://a/b/c/h"},
        {"https://other:8443/x/../y?z", "https://other:8443/y?z"},
        {"//h:81/p?q", "http://h:81/p?q"},
    };
    for (const auto &testCase : rgpchCases)
        EXPECT_EQ(testCase[1], Resolved(pchBase, testCase[0])) << testCase[0];

    // Nothing that could be requested: no host in the result, or no usable base.
    EXPECT_EQ("(failed)", Resolved(pchBase, "mailto:someone@example.com"));
    EXPECT_EQ("(failed)", Resolved(pchBase, "http:g"));
    EXPECT_EQ("(failed)", Resolved(pchBase, "///path"));
    EXPECT_EQ("(failed)", Resolved("/relative/base", "g"));
    // A host-only base has the path "/".
    EXPECT_EQ("http://h/g", Resolved("http://h", "g"));
}

TEST(HTTPRedirectURL, RequestURLCarriesSchemeHostPathAndQuery)
{
    CHTTPClientRequest *pRequest = new CHTTPClientRequest(k_EHTTPMethodGET, "host:8080", "/dir/file", true);
    pRequest->AddGETParam("a b", "1&2");
    pRequest->AddGETParam("c", "");
    EXPECT_STREQ("https://host:8080/dir/file?a+b=1%262&c=", HTTPRequestAbsoluteURL(pRequest).Get());
    pRequest->Release();
}

TEST(HTTPRedirectPolicy, FollowsEightNewTargetsAndNeverCredentialsOrLoops)
{
    CHTTPClientRequest *pRequest = new CHTTPClientRequest(k_EHTTPMethodGET, "h", "/", false);
    CHTTPRequestHandle *pHandle = new CHTTPRequestHandle(nullptr, pRequest);
    pRequest->Release();
    CHTTPDefaultRedirectEnableHandler *pHandler = new CHTTPDefaultRedirectEnableHandler();
    CUtlString strReplacement;

    pHandle->AccessResponse()->SetStatusCode(k_EHTTPStatusCode401Unauthorized);
    EXPECT_FALSE(pHandler->BShouldFollowRedirect(pHandle, "http://h/a", &strReplacement, nullptr));
    pHandle->AccessResponse()->SetStatusCode(k_EHTTPStatusCode407ProxyAuthRequired);
    EXPECT_FALSE(pHandler->BShouldFollowRedirect(pHandle, "http://h/a", &strReplacement, nullptr));

    pHandle->AccessResponse()->SetStatusCode(k_EHTTPStatusCode302Found);
    EXPECT_FALSE(pHandler->BShouldFollowRedirect(pHandle, "", &strReplacement, nullptr));
    EXPECT_TRUE(pHandler->BShouldFollowRedirect(pHandle, "http://h/0", &strReplacement, nullptr));
    EXPECT_FALSE(pHandler->BShouldFollowRedirect(pHandle, "HTTP://H/0", &strReplacement, nullptr));
    for (int i = 1; i < 8; ++i)
        EXPECT_TRUE(pHandler->BShouldFollowRedirect(pHandle, ("http://h/" + std::to_string(i)).c_str(),
                                                    &strReplacement, nullptr))
            << i;
    EXPECT_FALSE(pHandler->BShouldFollowRedirect(pHandle, "http://h/8", &strReplacement, nullptr));
    EXPECT_EQ(8, pHandler->GetFollowedTargets().Count());
    EXPECT_TRUE(strReplacement.IsEmpty());
    pHandler->Release();
    pHandle->Release();
}

TEST_F(CHTTPRedirectTest, RedirectToAnotherHostCompletesTheCallersHandleOnceWithTheSecondResponse)
{
    CSpewCapture capture;
    CScriptedHTTPServer second;
    second.AddScript(
        CHTTPScript().AnswerEveryRequest(HTTPResponse(200, {{"X-Server", "second"}}, "arrived")));
    ASSERT_TRUE(second.BStart());
    CScriptedHTTPServer first;
    first.AddScript(CHTTPScript().AnswerEveryRequest(
        Redirect(302, "http://" + LoopbackHost(second.GetPort()) + "/target?x=1")));
    ASSERT_TRUE(first.BStart());
    StartClient();

    CHTTPClientRequest *pRequest =
        new CHTTPClientRequest(k_EHTTPMethodGET, LoopbackHost(first.GetPort()).c_str(), "/start", false);
    pRequest->SetRequestHeaderValue("Cookie", "for-the-first-only");
    pRequest->SetRequestHeaderValue("X-Carried", "along");
    CHTTPRequestHandle *pHandle = m_pClient->SendHTTPRequest(pRequest);
    pRequest->Release();
    ASSERT_TRUE(BWaitCompleted(pHandle));
    EXPECT_TRUE(pHandle->m_bSucceeded);
    EXPECT_EQ(k_EHTTPStatusCode200OK, pHandle->AccessResponse()->GetStatusCode());
    EXPECT_EQ("arrived", Body(pHandle));
    EXPECT_STREQ("second", pHandle->AccessResponse()->GetResponseHeaderValue("X-Server"));
    EXPECT_EQ(nullptr, pHandle->AccessResponse()->GetResponseHeaderValue("Location"));
    EXPECT_FLOAT_EQ(100.0f, pHandle->GetPercentComplete());
    // The caller's request is the one it made; the chain's requests are the client's own.
    EXPECT_STREQ("/start", pHandle->AccessClientRequest()->GetURL());

    std::vector<std::string> vecSecond = second.GetRequests();
    ASSERT_EQ(1u, vecSecond.size());
    EXPECT_EQ("GET /target?x=1 HTTP/1.1", RequestLine(vecSecond[0]));
    EXPECT_NE(std::string::npos, vecSecond[0].find("\r\nHost: " + LoopbackHost(second.GetPort()) + "\r\n"));
    EXPECT_NE(std::string::npos, vecSecond[0].find("\r\nX-Carried: along\r\n"));
    EXPECT_EQ(std::string::npos, vecSecond[0].find("Cookie"));
    EXPECT_EQ(1u, first.GetRequests().size());
    EXPECT_EQ(2, m_pClient->GetPoolEntryCount());
    EXPECT_TRUE(capture.Assertions().empty());
    pHandle->Release();
}

TEST_F(CHTTPRedirectTest, NineDistinctRedirectsReturnTheNinth)
{
    CScriptedHTTPServer real;
    ASSERT_TRUE(real.BStart());
    CHTTPScript realScript;
    for (int i = 1; i <= 9; ++i)
        realScript.ReadRequest().Send(
            Redirect(302, "http://" + LoopbackHost(real.GetPort()) + "/r" + std::to_string(i)));
    real.AddScript(realScript.ReadUntilClosed());
    StartClient();

    CHTTPRequestHandle *pHandle = Get(LoopbackHost(real.GetPort()), "/r0");
    ASSERT_TRUE(BWaitCompleted(pHandle));
    EXPECT_TRUE(pHandle->m_bSucceeded);
    EXPECT_EQ(k_EHTTPStatusCode302Found, pHandle->AccessResponse()->GetStatusCode());
    EXPECT_EQ("http://" + LoopbackHost(real.GetPort()) + "/r9",
              std::string(pHandle->AccessResponse()->GetResponseHeaderValue("Location")));
    EXPECT_EQ("moved", Body(pHandle));
    std::vector<std::string> vecRequests = real.GetRequests();
    ASSERT_EQ(9u, vecRequests.size());
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ("GET /r" + std::to_string(i) + " HTTP/1.1", RequestLine(vecRequests[(size_t)i]));
    EXPECT_EQ(1u, m_pClient->GetConnectionsCreated());
    pHandle->Release();
}

TEST_F(CHTTPRedirectTest, LoopsAndCredentialRequestsAreReturnedAsTheyAre)
{
    struct Case_t
    {
        CHTTPScript m_script;
        EHTTPStatusCode m_eResult;
        size_t m_cRequests;
    };
    // /a -> /b -> /a -> /b: the second /b was followed already. 401 and 407 carry a
    // Location that is never followed.
    Case_t rgCases[] = {
        {CHTTPScript()
             .ReadRequest()
             .Send(Redirect(301, "/b"))
             .ReadRequest()
             .Send(Redirect(307, "/a"))
             .ReadRequest()
             .Send(Redirect(303, "/b")),
         k_EHTTPStatusCode303SeeOther, 3},
        {CHTTPScript().ReadRequest().Send(Redirect(401, "/login")), k_EHTTPStatusCode401Unauthorized, 1},
        {CHTTPScript().ReadRequest().Send(Redirect(407, "/proxy-login")),
         k_EHTTPStatusCode407ProxyAuthRequired, 1},
    };
    StartClient();
    for (Case_t &testCase : rgCases)
    {
        CScriptedHTTPServer server;
        server.AddScript(testCase.m_script.ReadUntilClosed());
        ASSERT_TRUE(server.BStart());
        CHTTPRequestHandle *pHandle = Get(LoopbackHost(server.GetPort()), "/a");
        ASSERT_TRUE(BWaitCompleted(pHandle));
        EXPECT_TRUE(pHandle->m_bSucceeded);
        EXPECT_EQ(testCase.m_eResult, pHandle->AccessResponse()->GetStatusCode());
        EXPECT_EQ("moved", Body(pHandle));
        EXPECT_EQ(testCase.m_cRequests, server.GetRequests().size());
        pHandle->Release();
    }
}

TEST_F(CHTTPRedirectTest, RelativeLocationsResolveAgainstTheRequestThatGotThem)
{
    CScriptedHTTPServer server;
    ASSERT_TRUE(server.BStart());
    server.AddScript(CHTTPScript()
                         .ReadRequest()
                         .Send(Redirect(302, "../other/./page?x=1#section"))
                         .ReadRequest()
                         .Send(Redirect(302, "//" + LoopbackHost(server.GetPort()) + "/net/path"))
                         .ReadRequest()
                         .Send(Redirect(302, "?q=2"))
                         .ReadRequest()
                         .Send(Redirect(302, "/abs/../final"))
                         .ReadRequest()
                         .Send(HTTPResponse(200, {}, "resolved"))
                         .ReadUntilClosed());
    StartClient();

    CHTTPRequestHandle *pHandle = Get(LoopbackHost(server.GetPort()), "/dir/sub/start");
    ASSERT_TRUE(BWaitCompleted(pHandle));
    EXPECT_TRUE(pHandle->m_bSucceeded);
    EXPECT_EQ("resolved", Body(pHandle));
    std::vector<std::string> vecRequests = server.GetRequests();
    ASSERT_EQ(5u, vecRequests.size());
    const char *rgpchExpected[] = {"GET /dir/sub/start HTTP/1.1", "GET /dir/other/page?x=1 HTTP/1.1",
                                   "GET /net/path HTTP/1.1", "GET /net/path?q=2 HTTP/1.1",
                                   "GET /final HTTP/1.1"};
    for (size_t i = 0; i < 5; ++i)
        EXPECT_EQ(rgpchExpected[i], RequestLine(vecRequests[i]));
    pHandle->Release();
}

TEST_F(CHTTPRedirectTest, ChainThatEndsInAFailureReportsTheFailure)
{
    uint16 usClosedPort = ClosedLoopbackPort();
    CScriptedHTTPServer server;
    server.AddScript(CHTTPScript()
                         .ReadRequest()
                         .Send(Redirect(302, "http://" + LoopbackHost(usClosedPort) + "/gone"))
                         .ReadUntilClosed());
    ASSERT_TRUE(server.BStart());
    // A Location that names no host is not followed: the redirect itself is the result.
    CScriptedHTTPServer mailer;
    mailer.AddScript(
        CHTTPScript().ReadRequest().Send(Redirect(302, "mailto:nobody@example.com")).ReadUntilClosed());
    ASSERT_TRUE(mailer.BStart());
    StartClient(60, 1);

    CHTTPRequestHandle *pHandle = Get(LoopbackHost(server.GetPort()), "/start");
    ASSERT_TRUE(BWaitCompleted(pHandle));
    EXPECT_FALSE(pHandle->m_bSucceeded);
    EXPECT_EQ(k_EHTTPStatusCode500InternalServerError, pHandle->AccessResponse()->GetStatusCode());
    EXPECT_EQ(0, pHandle->AccessResponse()->GetBodyBuffer().TellPut());
    pHandle->Release();

    pHandle = Get(LoopbackHost(mailer.GetPort()), "/mail");
    ASSERT_TRUE(BWaitCompleted(pHandle));
    EXPECT_TRUE(pHandle->m_bSucceeded);
    EXPECT_EQ(k_EHTTPStatusCode302Found, pHandle->AccessResponse()->GetStatusCode());
    pHandle->Release();
}

// HTTP messages: texts of the enumerations, header stores, URL parsing, URL-encoded data,
// and the request bytes with the default headers.
#include "foundation/keyvalues.h"
#include "http/http.h"
#include "http/httprequestwriter.h"
#include "support/testsupport.h"

#include <gtest/gtest.h>

#include <string>

namespace
{
std::string RequestBytes(CHTTPClientRequest *pRequest)
{
    HTTPPrepareRequestHeaders(pRequest);
    CUtlBuffer buf;
    HTTPWriteRequestHead(pRequest, buf);
    return std::string((const char *)buf.Base(), (size_t)buf.TellPut());
}

// Header names are interned process-wide with their first spelling; compare without case
// where another test may have used another spelling first.
std::string Lower(std::string str)
{
    for (char &ch : str)
        ch = (char)tolower((unsigned char)ch);
    return str;
}

std::string Body(CHTTPRequest *pRequest)
{
    const CUtlBuffer &buf = pRequest->GetBodyBuffer();
    return std::string((const char *)buf.Base(), (size_t)buf.TellPut());
}
} // namespace

TEST(HTTPMessages, MissingTextsFallBackAndStatusCodesSayWhetherABodyOrRedirectFollows)
{
    {
        CSpewCapture capture;
        EXPECT_STREQ("Unknown", PchNameFromEHTTPStatusCode((EHTTPStatusCode)306));
        EXPECT_STREQ("Unknown", PchNameFromEHTTPMethod((EHTTPMethod)6));
        ASSERT_EQ(2u, capture.Assertions().size());
        EXPECT_EQ(0u,
                  capture.Assertions()[0].find("Assertion Failed: Missing String for EHTTPStatusCode (306)"));
        EXPECT_EQ(0u, capture.Assertions()[1].find("Assertion Failed: Missing String for EHTTPMethod (6)"));
    }
    EXPECT_FALSE(BIsValidHTTPStatusCode(306));
    EXPECT_FALSE(BIsValidHTTPStatusCode(308));

    for (int nCode : {100, 101, 204, 205, 304})
        EXPECT_FALSE(BHTTPStatusCodeHasBody((EHTTPStatusCode)nCode)) << nCode;
    for (int nCode : {200, 206, 302, 404, 500})
        EXPECT_TRUE(BHTTPStatusCodeHasBody((EHTTPStatusCode)nCode)) << nCode;
    for (int nCode : {301, 302, 303, 307, 401, 407})
        EXPECT_TRUE(BIsRedirectStatus((EHTTPStatusCode)nCode)) << nCode;
    for (int nCode : {300, 304, 305, 200, 400})
        EXPECT_FALSE(BIsRedirectStatus((EHTTPStatusCode)nCode)) << nCode;
}

TEST(HTTPMessages, HeaderStoresMatchNamesWithoutCaseAndJoinRepeats)
{
    CHTTPClientResponse *pResponse = new CHTTPClientResponse();
    EXPECT_EQ(k_EHTTPStatusCode500InternalServerError, pResponse->GetStatusCode());
    pResponse->AddReceivedHeader("Set-Cookie", "a=1");
    pResponse->AddReceivedHeader("set-cookie", "b=2");
    pResponse->AddReceivedHeader("X-Path/Like", "v");
    EXPECT_STREQ("a=1,b=2", pResponse->GetResponseHeaderValue("SET-COOKIE"));
    EXPECT_STREQ("v", pResponse->GetResponseHeaderValue("x-path/like"));
    EXPECT_EQ(nullptr, pResponse->GetResponseHeaderValue("x-path"));
    pResponse->SetResponseHeaderValue("SET-cookie", "c");
    EXPECT_EQ(2, pResponse->GetResponseHeaders().Count());
    EXPECT_STREQ("Set-Cookie", pResponse->GetResponseHeaders().Name(0)); // the first spelling stays, in place
    EXPECT_STREQ("c", pResponse->GetResponseHeaders().Value(0));

    pResponse->SetStatusCode(k_EHTTPStatusCode404NotFound);
    pResponse->GetBodyBuffer().Put("xyz", 3);
    pResponse->m_unBodyBytesReceived = 3;
    pResponse->m_unBodyBytesExpected = 9;
    pResponse->Reset();
    EXPECT_EQ(k_EHTTPStatusCode500InternalServerError, pResponse->GetStatusCode());
    EXPECT_EQ(nullptr, pResponse->GetResponseHeaderValue("Set-Cookie"));
    EXPECT_EQ(0, pResponse->GetBodyBuffer().TellPut());
    EXPECT_EQ(0u, pResponse->m_unBodyBytesReceived.load());
    EXPECT_EQ(0u, pResponse->m_unBodyBytesExpected.load());
    pResponse->Release();

    CHTTPClientRequest *pRequest = new CHTTPClientRequest(k_EHTTPMethodGET, "h", "/p", false);
    pRequest->SetRequestHeaderValue("X-One", "1");
    pRequest->SetRequestHeaderValue("X-Two", "2");
    EXPECT_TRUE(pRequest->BRemoveRequestHeader("x-one"));
    EXPECT_FALSE(pRequest->BRemoveRequestHeader("x-one"));
    EXPECT_STREQ("2", pRequest->GetRequestHeaderValue("X-TWO"));
    EXPECT_STREQ("RequestHeaders", pRequest->GetRequestHeaders()->GetName());
    EXPECT_EQ(60u, pRequest->m_unNetworkTimeoutSeconds);
    EXPECT_EQ(14400u, pRequest->m_unAbsoluteTimeoutSeconds);
    EXPECT_EQ(netadr_t(), pRequest->m_adrConnect);
    pRequest->Release();
}

TEST(HTTPMessages, AbsoluteURLs)
{
    CHTTPClientRequest *pSource = new CHTTPClientRequest(k_EHTTPMethodPOST, "origin:81", "/a", false);
    pSource->SetRequestHeaderValue("Cookie", "secret");
    pSource->SetRequestHeaderValue("Host", "origin:81");
    pSource->SetRequestHeaderValue("X-Keep", "yes");
    pSource->AddPOSTParam("p", "1");
    pSource->m_unNetworkTimeoutSeconds = 300;
    pSource->m_bUsesProxy = true;

    CHTTPClientRequest *pRedirect =
        new CHTTPClientRequest(*pSource, "https://user@cdn.example:8443/x/y?a=1&b&c=2=3");
    EXPECT_TRUE(pRedirect->m_bSecure);
    EXPECT_STREQ("user@cdn.example:8443", pRedirect->GetHostname());
    EXPECT_STREQ("/x/y", pRedirect->GetURL());
    ASSERT_EQ(2, pRedirect->GetGETParamCount());
    EXPECT_STREQ("a", pRedirect->GetGETParam(0).GetName());
    EXPECT_STREQ("1", pRedirect->GetGETParam(0).GetValue());
    EXPECT_STREQ("c", pRedirect->GetGETParam(1).GetName());
    EXPECT_STREQ("2=3", pRedirect->GetGETParam(1).GetValue());
    EXPECT_EQ(k_EHTTPMethodPOST, pRedirect->GetEHTTPMethod());
    EXPECT_EQ(300u, pRedirect->m_unNetworkTimeoutSeconds);
    EXPECT_TRUE(pRedirect->m_bUsesProxy);
    EXPECT_EQ(nullptr, pRedirect->GetRequestHeaderValue("cookie"));
    EXPECT_EQ(nullptr, pRedirect->GetRequestHeaderValue("host"));
    EXPECT_STREQ("yes", pRedirect->GetRequestHeaderValue("x-keep"));
    EXPECT_EQ(0, pRedirect->GetPOSTParamCount());
    pRedirect->Release();

    CHTTPClientRequest *pRequest = new CHTTPClientRequest(k_EHTTPMethodGET, "", "/", false);
    EXPECT_TRUE(pRequest->BParseAbsoluteURL("ftp://host.only"));
    EXPECT_STREQ("host.only", pRequest->GetHostname());
    EXPECT_STREQ("/", pRequest->GetURL());
    EXPECT_EQ(0, pRequest->GetGETParamCount());
    EXPECT_FALSE(pRequest->m_bSecure);
    EXPECT_TRUE(pRequest->BParseAbsoluteURL("HTTPS://Upper/Case?"));
    EXPECT_FALSE(pRequest->m_bSecure);
    EXPECT_STREQ("/Case", pRequest->GetURL());
    EXPECT_EQ(0, pRequest->GetGETParamCount());
    {
        CSpewCapture capture;
        EXPECT_FALSE(pRequest->BParseAbsoluteURL("/relative/path"));
        EXPECT_TRUE(capture.BContains("Assertion Failed: Bad absolute URL to CHTTPClientRequest constructor, "
                                      "must start with protocol://"));
    }
    EXPECT_STREQ("Upper", pRequest->GetHostname());
    pRequest->Release();
    pSource->Release();
}

TEST(HTTPMessages, URLEncodedData)
{
    CUtlVector<CHTTPRequestParam> vecParams;
    const char *pch = "?q=%2B+plus&name%20x=v%zz&empty=&=noname&x=%41%4a%4A&bin=a%00b";
    CHTTPRequest::RetrieveURLEncodedData(pch, (int)strlen(pch), vecParams);
    ASSERT_EQ(6, vecParams.Count());
    EXPECT_STREQ("q", vecParams[0].GetName());
    EXPECT_STREQ("+ plus", vecParams[0].GetValue());
    EXPECT_STREQ("name x", vecParams[1].GetName());
    EXPECT_STREQ("v%zz", vecParams[1].GetValue());
    EXPECT_STREQ("", vecParams[2].GetValue());
    EXPECT_EQ(0u, vecParams[2].GetValueLength());
    EXPECT_STREQ("", vecParams[3].GetName());
    EXPECT_STREQ("noname", vecParams[3].GetValue());
    EXPECT_STREQ("AJJ", vecParams[4].GetValue());
    ASSERT_EQ(3u, vecParams[5].GetValueLength());
    EXPECT_EQ(0, memcmp("a\0b", vecParams[5].GetValue(), 3));

    // Duplicates stay separate and are appended after what is there.
    CHTTPRequest::RetrieveURLEncodedData("a=1&a=2", 7, vecParams);
    ASSERT_EQ(8, vecParams.Count());
    EXPECT_STREQ("2", vecParams[7].GetValue());
}

TEST(HTTPRequestBytes, GetToTheContentServer)
{
    CHTTPClientRequest *pRequest =
        new CHTTPClientRequest(k_EHTTPMethodGET, "content.example:8080", "/client/m", false);
    pRequest->SetRequestHeaderValue("Accept", "caller's choice is overwritten");
    EXPECT_EQ("GET /client/m HTTP/1.1\r\n"
              "Accept: text/html,*/*;q=0.9\r\n"
              "Host: content.example:8080\r\n"
              "Accept-Encoding: gzip,identity,*;q=0\r\n"
              "Accept-Charset: ISO-8859-1,utf-8,*;q=0.7\r\n"
              "Connection: keep-alive\r\n"
              "User-Agent: Quill/Ferro HTTP Client 1.0\r\n"
              "\r\n",
              RequestBytes(pRequest));
    pRequest->Release();
    // Without a caller's header the default order holds: the bytes on the wire are checked
    // in httpclientconnection_test.cpp.
}

TEST(HTTPRequestBytes, ProxyGetParamsAndPostBody)
{
    CHTTPClientRequest *pRequest = new CHTTPClientRequest(k_EHTTPMethodGET, "h.example", "/p ath", false);
    pRequest->m_bUsesProxy = true;
    pRequest->AddGETParam("a b", "1&2");
    pRequest->AddGETParam("c", "~");
    pRequest->SetRequestHeaderValue("User-Agent", "mine");
    pRequest->SetRequestHeaderValue("Host", "");
    EXPECT_EQ("GET http://h.example/p ath?a+b=1%262&c=%7E HTTP/1.1\r\n"
              "User-Agent: mine\r\n"
              "Host: h.example\r\n"
              "Accept: text/html,*/*;q=0.9\r\n"
              "Accept-Encoding: gzip,identity,*;q=0\r\n"
              "Accept-Charset: ISO-8859-1,utf-8,*;q=0.7\r\n"
              "\r\n",
              RequestBytes(pRequest));
    pRequest->Release();

    // Secure through a proxy: the origin form (the tunnel carries it).
    pRequest = new CHTTPClientRequest(k_EHTTPMethodHEAD, "h.example", "/s", true);
    pRequest->m_bUsesProxy = true;
    EXPECT_EQ(0u, RequestBytes(pRequest).find("HEAD /s HTTP/1.1\r\n"));
    pRequest->Release();

    pRequest = new CHTTPClientRequest(k_EHTTPMethodPOST, "h", "/form", false);
    pRequest->AddPOSTParam("name", "J. Doe-x_y");
    pRequest->AddPOSTParam("bin", "\x01=\xff", 3);
    pRequest->GetBodyBuffer().Put("dropped", 7);
    CSpewCapture capture;
    std::string strHead = RequestBytes(pRequest);
    EXPECT_TRUE(capture.BContains(
        "Assertion Failed: POST request shouldn't have body set, POST params become body! h /form"));
    EXPECT_EQ("name=J.+Doe-x_y&bin=%01%3D%FF", Body(pRequest));
    EXPECT_EQ(Lower("POST /form HTTP/1.1\r\n"
                    "content-type: application/x-www-form-urlencoded\r\n"
                    "Host: h\r\n"
                    "Accept: text/html,*/*;q=0.9\r\n"
                    "Accept-Encoding: gzip,identity,*;q=0\r\n"
                    "Accept-Charset: ISO-8859-1,utf-8,*;q=0.7\r\n"
                    "Connection: keep-alive\r\n"
                    "User-Agent: Quill/Ferro HTTP Client 1.0\r\n"
                    "Content-Length: 29\r\n"
                    "\r\n"),
              Lower(strHead));
    EXPECT_TRUE(pRequest->BHasPOSTParam("bin"));
    EXPECT_FALSE(pRequest->BHasPOSTParam("Bin"));
    pRequest->Release();
}

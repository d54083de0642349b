// The pieces of a resumable package download that decide on bytes from the network or
// the player: the Content-Range that continues a part, the part that goes on or is
// discarded, the digests taken as the bytes arrive, and the rate limit as written.
#include "installtestsupport.h"

#include "crypto/sha1.h"
#include "ferroexe/downloadsettings.h"
#include "ferroexe/ferroupdater_fileops.h"
#include "ferroexe/packagedownloadsink.h"
#include "foundation/strtools.h"
#include "http/http.h"
#include "support/testsupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace
{
std::string ReadAll(const std::string &strPath)
{
    std::ifstream file(strPath, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string &strPath, const std::string &str)
{
    std::ofstream(strPath, std::ios::binary) << str;
}

CHTTPClientResponse *Response(EHTTPStatusCode eStatus, const char *pchContentRange)
{
    CHTTPClientResponse *pResponse = new CHTTPClientResponse();
    pResponse->SetStatusCode(eStatus);
    if (pchContentRange)
        pResponse->AddReceivedHeader("Content-Range", pchContentRange);
    return pResponse;
}
} // namespace

TEST(PackageDownload, ContentRangeMustContinueThePartToTheEnd)
{
    EXPECT_TRUE(BContentRangeContinues("bytes 4-9/10", 4, 10));
    EXPECT_TRUE(BContentRangeContinues("bytes 4-9/*", 4, 10));
    EXPECT_TRUE(BContentRangeContinues(" Bytes 4-9/10 ", 4, 10));
    EXPECT_TRUE(
        BContentRangeContinues("bytes 3000000000-4999999999/5000000000", 3000000000ull, 5000000000ull));
    for (const char *pch :
         {"bytes 3-9/10", "bytes 4-8/10", "bytes 4-9/11", "bytes 4-9", "4-9/10", "bytes -9/10",
          "bytes 4-9/10x", "bytes 4-9/10/", "bytes 99999999999999999999-9/10", ""})
        EXPECT_FALSE(BContentRangeContinues(pch, 4, 10)) << pch;
    EXPECT_FALSE(BContentRangeContinues(nullptr, 4, 10));
}

TEST(PackageDownload, APartIsContinuedStartedOverOrDiscarded)
{
    CTempDir dir;
    const std::string strPart = dir.Path() + "/pkg.zip.00.part";
    IInstallFileOps &ops = PlatformInstallFileOps();
    CPackageDownloadSink *pSink = new CPackageDownloadSink(ops, strPart, 10);
    CHTTPClientRequest *pRequest = new CHTTPClientRequest(k_EHTTPMethodGET, "host", "/x", false);

    // Four bytes there: asked from byte 4, and a 206 that continues them appends.
    WriteAll(strPart, "0123");
    bool bDiscarded = true;
    EXPECT_EQ(4u, pSink->PrepareRequest(pRequest, &bDiscarded));
    EXPECT_FALSE(bDiscarded);
    EXPECT_STREQ("bytes=4-", pRequest->GetRequestHeaderValue("Range"));
    EXPECT_STREQ("identity", pRequest->GetRequestHeaderValue("Accept-Encoding"));
    CHTTPClientResponse *p206 = Response(k_EHTTPStatusCode206PartialContent, "bytes 4-9/10");
    EXPECT_EQ(IHTTPBodySink::k_EBodyStartTake, pSink->BeginBody(p206, 6));
    EXPECT_TRUE(pSink->BReceiveBody("456", 3));
    EXPECT_EQ(7u, pSink->CubOnDisk());
    EXPECT_TRUE(pSink->BReceiveBody("789", 3));
    // One byte past the package is refused, and nothing of it is written.
    EXPECT_FALSE(pSink->BReceiveBody("X", 1));
    EXPECT_EQ(CPackageDownloadSink::k_EFailureTooLong, pSink->GetFailure());
    pSink->FinishAttempt();
    EXPECT_EQ("0123456789", ReadAll(strPart));

    // A 206 for another range, or a length that does not fit, is refused; a 416 leaves the
    // part to the caller to discard.
    WriteAll(strPart, "0123");
    pSink->PrepareRequest(pRequest, &bDiscarded);
    CHTTPClientResponse *pWrong = Response(k_EHTTPStatusCode206PartialContent, "bytes 0-9/10");
    EXPECT_EQ(IHTTPBodySink::k_EBodyStartRefuse, pSink->BeginBody(pWrong, 10));
    EXPECT_EQ(CPackageDownloadSink::k_EFailureRangeMismatch, pSink->GetFailure());
    pSink->PrepareRequest(pRequest, &bDiscarded);
    EXPECT_EQ(IHTTPBodySink::k_EBodyStartRefuse, pSink->BeginBody(p206, 5));
    pSink->PrepareRequest(pRequest, &bDiscarded);
    CHTTPClientResponse *p416 = Response(k_EHTTPStatusCode416RequestedRangeNotSatisfiable, nullptr);
    EXPECT_EQ(IHTTPBodySink::k_EBodyStartDecline, pSink->BeginBody(p416, 0));
    EXPECT_EQ(CPackageDownloadSink::k_EFailureRangeMismatch, pSink->GetFailure());
    EXPECT_EQ("0123", ReadAll(strPart));

    // A 200 starts the part over; a 200 announcing more than the package is refused at once.
    pSink->PrepareRequest(pRequest, &bDiscarded);
    CHTTPClientResponse *p200 = Response(k_EHTTPStatusCode200OK, nullptr);
    EXPECT_EQ(IHTTPBodySink::k_EBodyStartRefuse, pSink->BeginBody(p200, 11));
    EXPECT_EQ(CPackageDownloadSink::k_EFailureTooLong, pSink->GetFailure());
    EXPECT_EQ(IHTTPBodySink::k_EBodyStartTake, pSink->BeginBody(p200, 10));
    EXPECT_EQ(0u, pSink->CubOnDisk());
    EXPECT_TRUE(pSink->BReceiveBody("abc", 3));
    EXPECT_TRUE(pSink->FinishAttempt());
    EXPECT_EQ("abc", ReadAll(strPart));

    // A part longer than the package is no beginning of it: deleted, the whole asked for.
    WriteAll(strPart, "0123456789AB");
    CHTTPClientRequest *pFresh = new CHTTPClientRequest(k_EHTTPMethodGET, "host", "/x", false);
    EXPECT_EQ(0u, pSink->PrepareRequest(pFresh, &bDiscarded));
    EXPECT_TRUE(bDiscarded);
    EXPECT_FALSE(std::filesystem::exists(strPart));
    EXPECT_EQ(nullptr, pFresh->GetRequestHeaderValue("Range"));

    for (CHTTPClientResponse *p : {p206, pWrong, p416, p200})
        p->Release();
    pFresh->Release();
    pRequest->Release();
    pSink->Release();
}

namespace
{
struct Digests_t
{
    std::string m_strSHA1;
    std::string m_strSHA256;
    bool m_bWhole = false;
};

Digests_t FinalDigests(CPackageDownloadSink *pSink)
{
    uint8 rgubSHA1[k_cubSHA1Hash];
    Digests_t digests;
    digests.m_bWhole = pSink->BFinalDigests(rgubSHA1, &digests.m_strSHA256);
    char rgchHex[2 * k_cubSHA1Hash + 1];
    Q_binarytohex(rgubSHA1, (int)k_cubSHA1Hash, rgchHex, sizeof(rgchHex));
    digests.m_strSHA1 = rgchHex;
    return digests;
}
} // namespace

TEST(PackageDownload, DigestsAreTakenAsTheBytesArriveAndAPartOnDiskIsHashedOnce)
{
    CTempDir dir;
    const std::string strPart = dir.Path() + "/pkg.zip.00.part";
    IInstallFileOps &ops = PlatformInstallFileOps();
    CHTTPClientRequest *pRequest = new CHTTPClientRequest(k_EHTTPMethodGET, "host", "/x", false);
    CHTTPClientResponse *p200 = Response(k_EHTTPStatusCode200OK, nullptr);
    CHTTPClientResponse *p206 = Response(k_EHTTPStatusCode206PartialContent, "bytes 4-9/10");

    // A part an earlier run left is read once when the attempt continues it, then the new
    // bytes are added.
    WriteAll(strPart, "0123");
    CPackageDownloadSink *pSink = new CPackageDownloadSink(ops, strPart, 10);
    bool bDiscarded = false;
    EXPECT_EQ(4u, pSink->PrepareRequest(pRequest, &bDiscarded));
    EXPECT_EQ(IHTTPBodySink::k_EBodyStartTake, pSink->BeginBody(p206, 6));
    EXPECT_TRUE(pSink->BReceiveBody("456789", 6));
    EXPECT_TRUE(pSink->FinishAttempt());
    Digests_t digests = FinalDigests(pSink);
    EXPECT_TRUE(digests.m_bWhole);
    EXPECT_EQ(SHA1Hex("0123456789"), digests.m_strSHA1);
    EXPECT_EQ(SHA256Hex("0123456789"), digests.m_strSHA256);
    pSink->Release();

    // Bytes this sink wrote are not read back: an attempt that continues its own part keeps
    // the digests of what it wrote (the file is altered behind its back to show it).
    std::filesystem::remove(strPart);
    pSink = new CPackageDownloadSink(ops, strPart, 10);
    pSink->PrepareRequest(pRequest, &bDiscarded);
    EXPECT_EQ(IHTTPBodySink::k_EBodyStartTake, pSink->BeginBody(p200, 10));
    EXPECT_TRUE(pSink->BReceiveBody("0123", 4));
    EXPECT_TRUE(pSink->FinishAttempt());
    WriteAll(strPart, "wxyz");
    EXPECT_EQ(4u, pSink->PrepareRequest(pRequest, &bDiscarded));
    EXPECT_EQ(IHTTPBodySink::k_EBodyStartTake, pSink->BeginBody(p206, 6));
    EXPECT_TRUE(pSink->BReceiveBody("456789", 6));
    EXPECT_TRUE(pSink->FinishAttempt());
    EXPECT_EQ(SHA1Hex("0123456789"), FinalDigests(pSink).m_strSHA1);

    // A part whose length changed since is hashed from the disk again; a 200 starts the
    // digests over with the part.
    pSink->DiscardPart();
    WriteAll(strPart, "01234");
    pSink->PrepareRequest(pRequest, &bDiscarded);
    EXPECT_EQ(IHTTPBodySink::k_EBodyStartTake, pSink->BeginBody(p200, 10));
    EXPECT_TRUE(pSink->BReceiveBody("abcdefghij", 10));
    EXPECT_TRUE(pSink->FinishAttempt());
    digests = FinalDigests(pSink);
    EXPECT_TRUE(digests.m_bWhole);
    EXPECT_EQ(SHA256Hex("abcdefghij"), digests.m_strSHA256);
    // Consumed: asked again, they no longer stand for the part.
    EXPECT_FALSE(FinalDigests(pSink).m_bWhole);

    p200->Release();
    p206->Release();
    pRequest->Release();
    pSink->Release();
}

TEST(PackageDownload, RateLimitAsWrittenAndOnTheCommandLine)
{
    uint64 ul = 99;
    EXPECT_TRUE(BParseDownloadRateKBps("2048", &ul));
    EXPECT_EQ(2048u, ul);
    EXPECT_TRUE(BParseDownloadRateKBps(" 0 ", &ul));
    EXPECT_EQ(0u, ul);
    EXPECT_TRUE(BParseDownloadRateKBps("100000000", &ul));
    for (const char *pch :
         {"-5", "abc", "1000000000000", "100000001", "", "12k", "1.5", "+3", "99999999999999999999999"})
        EXPECT_FALSE(BParseDownloadRateKBps(pch, &ul)) << pch;

    bool bPresent = false;
    EXPECT_EQ("2048", DownloadRateOption("arvolauncher -textclient -downloadrate 2048 -download", &bPresent));
    EXPECT_TRUE(bPresent);
    EXPECT_EQ("-5", DownloadRateOption("arvolauncher -DownloadRate -5", &bPresent));
    EXPECT_EQ("", DownloadRateOption("arvolauncher -downloadrate", &bPresent));
    EXPECT_TRUE(bPresent);
    EXPECT_EQ("", DownloadRateOption("arvolauncher -downloadrates 5 x-downloadrate 6", &bPresent));
    EXPECT_FALSE(bPresent);

    // Under a limit, the minimum rate of a transfer drops to half a connection's share.
    DownloadSettings_t settings;
    settings.m_cubLowSpeedLimit = 1024;
    EXPECT_EQ(1024u, EffectiveLowSpeedLimit(settings, 3));
    settings.m_cubRateLimit = 3 * 1024;
    EXPECT_EQ(512u, EffectiveLowSpeedLimit(settings, 3));
}

// The update check against a content service on the scripted server: what it downloads,
// what it keeps, the texts of every failure, cancellation and the network time-out.
#include "updatechecktestsupport.h"

#include <memory>

namespace
{
std::vector<TestPackage_t> ThreePackages()
{
    // One package over a megabyte, so that the KB figures need a group separator.
    return {TestPackage_t("pkga", {{"bin/a.dat", "first file"}}),
            TestPackage_t("pkgb", {{"bin/big.dat", PseudoRandomBytes(1200000, 7)}}),
            TestPackage_t("root", {{"readme.txt", "hello"}, {"data/c.txt", "third"}})};
}

bool BContains(const std::string &strHaystack, const std::string &strNeedle)
{
    return strHaystack.find(strNeedle) != std::string::npos;
}
} // namespace

TEST_F(UpdateCheckTest, DownloadsWhatIsMissingAndSavesThePendingManifest)
{
    ServeBuild(5, ThreePackages());
    MakeNetworkUpdater();
    uint64 cubTotal = 0;
    for (const TestPackage_t &package : m_vecServedPackages)
        cubTotal += package.m_cubSize;

    ASSERT_TRUE(BRunCheck(false)) << LastError();
    for (const TestPackage_t &package : m_vecServedPackages)
    {
        EXPECT_EQ(package.m_strName + ".zip." +
                      SHA1Hex(ReadTextFile(Install("package/" + package.m_strFile))),
                  package.m_strFile);
        EXPECT_EQ(package.m_cubSize, std::filesystem::file_size(Install("package/" + package.m_strFile)));
        EXPECT_FALSE(BExists("package/" + package.m_strFile + ".part"));
        EXPECT_TRUE(BLogHas("Package file " + package.m_strFile + " missing or incorrect size\n"));
    }
    EXPECT_TRUE(BExists(PendingManifest()));
    EXPECT_EQ(cubTotal, m_pUpdater->m_cubToDownload.load());
    EXPECT_EQ(cubTotal, m_pUpdater->m_cubDownloadedComplete.load());
    EXPECT_EQ(0u, m_pUpdater->m_cubDownloadedInFlight.load());

    // The manifest first, then every package once.
    std::vector<std::string> vecPaths = RequestedPaths();
    ASSERT_EQ(4u, vecPaths.size());
    EXPECT_EQ("/client/" + PackageBase(), vecPaths[0]);
    for (const TestPackage_t &package : m_vecServedPackages)
        EXPECT_EQ(1, (int)std::count(vecPaths.begin(), vecPaths.end(), PackageURL(package)));

    std::vector<std::string> vecStatus = m_UI.Status();
    ASSERT_GE(vecStatus.size(), 3u);
    EXPECT_EQ("Checking for available update...", vecStatus.front());
    std::string strTotalKB = Q_FormatNumber((int64)(cubTotal / 1000));
    EXPECT_TRUE(BContains(strTotalKB, ",")) << strTotalKB;
    EXPECT_EQ("Downloading update (" + strTotalKB + " of " + strTotalKB + " KB)...",
              vecStatus[vecStatus.size() - 2]);
    EXPECT_EQ("Download Complete.", vecStatus.back());
    EXPECT_EQ(100, m_UI.Progress().back());
    EXPECT_EQ(1, m_UI.m_cShowWindow.load());

    // Everything present: nothing is fetched but the manifest, and nothing saved unless asked.
    ASSERT_TRUE(std::filesystem::remove(Install(PendingManifest())));
    ASSERT_TRUE(BRunCheck(false));
    EXPECT_EQ(5u, RequestedPaths().size());
    EXPECT_FALSE(BExists(PendingManifest()));
    EXPECT_EQ(0u, m_pUpdater->m_cubToDownload.load());
    ASSERT_TRUE(BRunCheck(true));
    EXPECT_EQ(6u, RequestedPaths().size());
    EXPECT_TRUE(BExists(PendingManifest()));
    EXPECT_EQ(1, m_UI.m_cShowWindow.load()); // once per run
}

TEST_F(UpdateCheckTest, ArchiveOfTheWrongSizeIsFetchedAgainAndOverwritten)
{
    ServeBuild(5, ThreePackages());
    MakeNetworkUpdater();
    const TestPackage_t &package = m_vecServedPackages[0];
    WriteInstallFile("package/" + package.m_strFile, "too short");
    ASSERT_TRUE(BRunCheck(false)) << LastError();
    EXPECT_EQ(package.m_cubSize, std::filesystem::file_size(Install("package/" + package.m_strFile)));
    std::vector<std::string> vecPaths = RequestedPaths();
    EXPECT_EQ(1, (int)std::count(vecPaths.begin(), vecPaths.end(), PackageURL(package)));
}

TEST_F(UpdateCheckTest, FailedDownloadsKeepNoArchiveAndSayWhy)
{
    struct Case_t
    {
        const char *m_pchFault;
        std::string m_strError;
        std::string m_strCause;
        int m_cRequests; // of the package: a network failure and a bad digest are tried again
        uint64 m_cubPartKept;
    };
    ServeBuild(5, ThreePackages());
    const TestPackage_t package = m_vecServedPackages[0];
    std::string strSize = std::to_string(package.m_cubSize);
    const std::string strCannot = "Package pkga could not be downloaded: ";
    std::vector<Case_t> vecCases = {
        {"404", "Download of package (pkga) failed after 9 bytes (404).",
         strCannot + "the content service does not have it (HTTP 404).", 1, 0},
        {"short",
         "Download of package (pkga) failed after " + std::to_string(package.m_cubSize - 1) + " bytes (200).",
         strCannot + "the transfer ended early (" + std::to_string(package.m_cubSize - 1) + " of " + strSize +
             " bytes are here).",
         5, package.m_cubSize - 1},
        {"cut",
         "Download of package (pkga) failed after " + std::to_string(package.m_cubSize / 2) + " bytes (0).",
         strCannot + "the connection failed (" + std::to_string(package.m_cubSize / 2) + " of " + strSize +
             " bytes are here).",
         5, package.m_cubSize / 2},
        {"corrupt", "Corrupt package file (" + package.m_strFile + ")",
         strCannot + "its contents did not match their digest in 5 attempts.", 5, 0},
        {"long", "Download of package (pkga) failed after 0 bytes (0).",
         strCannot + "the content service sent more than the " + strSize +
             " bytes its signed manifest gives.",
         1, 0},
    };
    for (const Case_t &test : vecCases)
    {
        SCOPED_TRACE(test.m_pchFault);
        std::string strFault = test.m_pchFault;
        SetFault(PackageURL(package),
                 [&, strFault](const std::string &, std::string *pstrResponse)
                 {
                     std::string strBody = PseudoRandomBytes(package.m_cubSize, 3);
                     if (strFault == "404")
                     {
                         *pstrResponse = HTTPResponse(404, {}, "not found");
                         return true;
                     }
                     if (strFault == "short")
                     {
                         *pstrResponse = HTTPResponse(200, {}, strBody.substr(1));
                         return true;
                     }
                     if (strFault == "long")
                     {
                         *pstrResponse = HTTPResponse(200, {}, strBody + "x");
                         return true;
                     }
                     if (strFault == "cut")
                     {
                         *pstrResponse = HTTPResponse(200, {{"Content-Length", strSize}},
                                                      strBody.substr(0, strBody.size() / 2), false);
                         return false;
                     }
                     *pstrResponse = HTTPResponse(200, {}, strBody); // right size, wrong bytes
                     return true;
                 });
        std::filesystem::remove_all(Install("package"));
        size_t cRequestsBefore = RequestedPaths().size();
        MakeNetworkUpdater();
        EXPECT_FALSE(BRunCheck(false));
        EXPECT_EQ(test.m_strError, LastError());
        EXPECT_TRUE(BLogHas("Error: " + test.m_strError + "\n"));
        EXPECT_TRUE(BLogHasSubstring("Cause: " + test.m_strCause)) << test.m_strCause;
        std::vector<std::string> vecPaths = RequestedPaths();
        EXPECT_EQ(test.m_cRequests, (int)std::count(vecPaths.begin() + (long)cRequestsBefore, vecPaths.end(),
                                                    PackageURL(package)));
        EXPECT_FALSE(BExists("package/" + package.m_strFile));
        // What a broken transfer brought stays for the next attempt to continue.
        if (test.m_cubPartKept)
            EXPECT_EQ(test.m_cubPartKept,
                      std::filesystem::file_size(Install("package/" + package.m_strFile + ".part")));
        else
            EXPECT_FALSE(BExists("package/" + package.m_strFile + ".part"));
        EXPECT_FALSE(BExists(PendingManifest()));
        EXPECT_EQ("Download Complete.", m_UI.Status().back());
        ShutDownUpdater();
    }
}

TEST_F(UpdateCheckTest, ManifestFailuresAreReportedWithTheirStatus)
{
    ServeBuild(5, ThreePackages());
    std::string strManifestURL = "/client/" + PackageBase();
    std::string strSigned = SignedManifestText(ManifestText(5, m_vecServedPackages));

    // Not found.
    SetContent(strManifestURL + "-other", "");
    SetFault(strManifestURL,
             [](const std::string &, std::string *pstrResponse)
             {
                 *pstrResponse = HTTPResponse(404, {}, "gone");
                 return true;
             });
    MakeNetworkUpdater();
    EXPECT_FALSE(BRunCheck(false));
    EXPECT_EQ("Download failed: http error 404", LastError());
    EXPECT_TRUE(BLogHas("Download failed: http error 404\n"));
    ShutDownUpdater();

    // Not a manifest at all: said as such, not as an HTTP error.
    SetFault(strManifestURL,
             [](const std::string &, std::string *pstrResponse)
             {
                 *pstrResponse = HTTPResponse(200, {}, "{{{{");
                 return true;
             });
    MakeNetworkUpdater();
    EXPECT_FALSE(BRunCheck(false));
    EXPECT_TRUE(BLogHas("Failed to load manifest\n"));
    EXPECT_EQ("The update manifest from the content service could not be read.", LastError());
    EXPECT_TRUE(BLogHas("Error: The update manifest from the content service could not be read.\n"));
    ShutDownUpdater();

    // A signature that does not match (one digit changed), and a signed manifest whose
    // archive name would leave the package directory.
    std::string strBadSignature = strSigned;
    size_t iDigit = strBadSignature.rfind('"') - 1;
    strBadSignature[iDigit] = strBadSignature[iDigit] == '0' ? '1' : '0';
    std::vector<TestPackage_t> vecEvil = m_vecServedPackages;
    vecEvil[0].m_strFile = "..\\..\\pkga.zip." + SHA1Hex("x");
    for (const std::string &strBody : {strBadSignature, SignedManifestText(ManifestText(5, vecEvil))})
    {
        SetFault(strManifestURL,
                 [strBody](const std::string &, std::string *pstrResponse)
                 {
                     *pstrResponse = HTTPResponse(200, {}, strBody);
                     return true;
                 });
        MakeNetworkUpdater();
        EXPECT_FALSE(BRunCheck(false));
        EXPECT_EQ("Failed to verify manifest", LastError());
        ShutDownUpdater();
    }
    for (const std::string &strPath : RequestedPaths())
        EXPECT_EQ(strManifestURL, strPath);

    // Nobody listening: no response, status 0.
    WriteInstallFile("ferro.cfg",
                     "ClientDownloadHost=127.0.0.1:" + std::to_string(ClosedLoopbackPort()) + "\n");
    CFerroUpdater &updater = MakeInstallUpdater();
    ASSERT_TRUE(updater.BInitializeWithCommandLine(NewHTTPClient(), false, "", "arvolauncher"));
    EXPECT_FALSE(BRunCheck(false));
    EXPECT_EQ("Download failed: http error 0", LastError());
}

TEST_F(UpdateCheckTest, ChecksThatCannotStart)
{
    ServeBuild(5, ThreePackages());

    // Not more than 100 MiB free: the counters are left as they were.
    MakeNetworkUpdater();
    m_pUpdater->m_cubToDownload = 12;
    m_FileOps.m_cubFreeSpace = 104857600;
    EXPECT_FALSE(BRunCheck(false));
    EXPECT_EQ("Ferro needs at least 100MB of free disk space to update.", LastError());
    EXPECT_EQ(12u, m_pUpdater->m_cubToDownload.load());
    m_FileOps.m_cubFreeSpace = 104857601;
    EXPECT_TRUE(BRunCheck(false));
    ShutDownUpdater();

    // A universe without a location.
    MakeNetworkUpdater("Universe internal\n");
    EXPECT_FALSE(BRunCheck(false));
    EXPECT_EQ("Failed to determine download location for universe 3", LastError());
    ShutDownUpdater();

    // No HTTP client.
    std::filesystem::remove(Install("ferro.cfg"));
    CFerroUpdater &updater = MakeInstallUpdater();
    EXPECT_FALSE(updater.BCheckForUpdate(false));
    EXPECT_EQ("HTTP client not initialized", LastError());

    // A file where the package directory must be.
    std::filesystem::remove_all(Install("package"));
    WriteInstallFile("package", "not a directory");
    MakeNetworkUpdater();
    size_t cRequests = RequestedPaths().size();
    EXPECT_FALSE(BRunCheck(false));
    EXPECT_TRUE(BContains(LastError(), "Couldn't create cache directory ")) << LastError();
    EXPECT_TRUE(BContains(LastError(), "package, got error 17")) << LastError();
    EXPECT_EQ(cRequests, RequestedPaths().size());
}

TEST_F(UpdateCheckTest, ASaveThatFailsKeepsNothingHalfWritten)
{
    ServeBuild(5, ThreePackages());
    for (const char *pchOp : {"write", "rename"})
    {
        SCOPED_TRACE(pchOp);
        std::filesystem::remove_all(Install("package"));
        MakeNetworkUpdater();
        std::string strOp = pchOp;
        m_FileOps.m_fnFail = [strOp](const std::string &strStep, const std::string &strPath) {
            return strStep.find(strOp) != std::string::npos && strPath.find("pkgb.zip.") != std::string::npos;
        };
        EXPECT_FALSE(BRunCheck(false));
        EXPECT_EQ("Saving package (pkgb) failed.", LastError());
        EXPECT_FALSE(BExists("package/" + m_vecServedPackages[1].m_strFile));
        EXPECT_FALSE(BExists("package/" + m_vecServedPackages[1].m_strFile + ".part"));
        EXPECT_FALSE(BExists(PendingManifest()));
        ShutDownUpdater();
    }
}

TEST_F(UpdateCheckTest, CancelEndsTheCheckInEitherPhase)
{
    ServeBuild(5, ThreePackages());
    // The manifest does not come until released (bounded). The server's thread may still be
    // waiting when the check has ended, so the flag outlives this test's frame.
    auto pbRelease = std::make_shared<std::atomic<bool>>(false);
    std::atomic<bool> &bRelease = *pbRelease;
    auto fnStall = [pbRelease](const std::string &, std::string *pstrResponse)
    {
        BWaitUntil([&] { return pbRelease->load(); }, 10000);
        *pstrResponse = HTTPResponse(503, {}, "");
        return false;
    };
    SetFault("/client/" + PackageBase(), fnStall);
    MakeNetworkUpdater();
    std::thread cancel(
        [&]
        {
            m_Server.BWaitForConnections(1);
            m_UI.m_bCancelled = true;
        });
    EXPECT_FALSE(BRunCheck(false));
    cancel.join();
    bRelease = true;
    EXPECT_TRUE(BLogHas("user canceled update check\n"));
    EXPECT_EQ("Download failed: http error 0", LastError());
    ShutDownUpdater();

    // During the packages: the first progress line cancels; nothing is saved as pending.
    SetFault("/client/" + PackageBase(), nullptr);
    bRelease = false;
    SetFault(PackageURL(m_vecServedPackages[1]), fnStall);
    MakeNetworkUpdater();
    m_UI.m_bCancelled = false;
    m_UI.CancelOnStatus("Downloading update (");
    EXPECT_FALSE(BRunCheck(false));
    bRelease = true;
    EXPECT_FALSE(BExists(PendingManifest()));
    EXPECT_FALSE(BExists("package/" + m_vecServedPackages[1].m_strFile));
    EXPECT_EQ("Download Complete.", m_UI.Status().back());
}

TEST_F(UpdateCheckTest, AStalledPackageFailsInTheLowSpeedWindowOrAfterFiveMinutes)
{
    ServeBuild(5, ThreePackages());
    const TestPackage_t package = m_vecServedPackages[0];
    // Headers and a little of the body, then silence (bounded in real time).
    SetFault(PackageURL(package),
             [&](const std::string &, std::string *pstrResponse)
             {
                 *pstrResponse =
                     "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(package.m_cubSize) + "\r\n\r\nab";
                 return true;
             });
    // The minimum rate of the build (a minute below 1 KB/s) ends it first; without one, the
    // package request's own network time-out of 300 seconds (not the manifest's 60).
    for (uint32 unWindow : {60u, 0u})
    {
        SCOPED_TRACE(unWindow);
        RunStalledCheck(unWindow, unWindow ? 60000000u : 300000000u);
    }
}

void UpdateCheckTest::RunStalledCheck(uint32 unWindowSeconds, uint64 usExpected)
{
    // Time moves a quarter second per pump pass, for the updater's polls and the client's
    // time-outs alike.
    CNetTestManualClock clock;
    NetTestInit();
    MakeNetworkUpdater();
    m_pUpdater->m_DownloadSettings.m_unLowSpeedWindowSeconds = unWindowSeconds;
    m_pUpdater->m_DownloadSettings.m_cPackageAttempts = 1;
    uint64 usStart = Clock_GetMicroseconds();
    std::atomic<bool> bDone(false);
    bool bResult = true;
    std::thread thread(
        [&]
        {
            bResult = m_pUpdater->BCheckForUpdate(false);
            bDone = true;
        });
    EXPECT_TRUE(BPumpAdvancing(
        clock, [&] { return bDone.load(); }, 250000, 2000));
    if (!bDone)
        m_pUpdater->m_bShutdownRequested = true;
    BPumpAdvancing(
        clock, [&] { return bDone.load(); }, 250000, 100);
    thread.join();
    EXPECT_FALSE(bResult);
    uint64 usElapsed = Clock_GetMicroseconds() - usStart;
    EXPECT_EQ("Download of package (pkga) failed after 2 bytes (0).", LastError());
    if (unWindowSeconds)
    {
        EXPECT_TRUE(BLogHasSubstring("the transfer stayed below 1024 bytes per second for 60 seconds"));
    }
    // The clock runs at a quarter second per millisecond of pumping, so an updater thread
    // that a loaded machine (or a sanitizer) holds back for a tenth of a second shows as 25
    // seconds late; well short of the next limit, and of the 500 seconds of no limit at all.
    EXPECT_GE(usElapsed, usExpected);
    EXPECT_LT(usElapsed, usExpected + 90000000u);
    ShutDownUpdater();
    m_pUpdater.reset();
}

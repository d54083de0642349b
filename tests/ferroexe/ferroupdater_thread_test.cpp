// The updater's thread against a content service on the scripted server: the start-up
// outcomes, the background loop on a manual clock, the wake-up, and shutdown while a
// download is in progress.
#include "updatechecktestsupport.h"

namespace
{
std::vector<TestPackage_t> BuildOne()
{
    return {TestPackage_t("bin", {{"bin/a.dat", "first build a"}, {"bin/b.dat", "first build b"}}),
            TestPackage_t("root", {{"readme.txt", "one"}})};
}
std::vector<TestPackage_t> BuildTwo()
{
    return {TestPackage_t("bin", {{"bin/a.dat", "first build a"}, {"bin/b.dat", "first build b"}}),
            TestPackage_t("root", {{"readme.txt", "two"}})};
}
} // namespace

class UpdaterThreadTest : public UpdateCheckTest
{
protected:
    bool BDone() const
    {
        return m_pUpdater->m_bUpdateFinished || m_pUpdater->m_bRestartRequired || m_pUpdater->m_bFatalError;
    }
    // Starts the thread and pumps until it has an outcome.
    void StartAndWaitForOutcome()
    {
        ASSERT_TRUE(m_pUpdater->Start());
        ASSERT_TRUE(PumpUntil([this] { return BDone(); }, 30000));
    }
    int ManifestRequests()
    {
        std::vector<std::string> vecPaths = RequestedPaths();
        return (int)std::count(vecPaths.begin(), vecPaths.end(), "/client/" + PackageBase());
    }
};

TEST_F(UpdaterThreadTest, AFreshInstallIsDownloadedInstalledAndAsksForARestart)
{
    FileMap_t mapFiles = ServeBuild(1, BuildOne());
    MakeNetworkUpdater("", "arvolauncher");
    StartAndWaitForOutcome();
    EXPECT_TRUE(m_pUpdater->m_bRestartRequired);
    EXPECT_FALSE(m_pUpdater->m_bUpdateFinished);
    EXPECT_FALSE(m_pUpdater->m_bFatalError);
    EXPECT_EQ(mapFiles, BuildFiles());
    // Public universe without "-download": no start-up check, the verification fails.
    EXPECT_FALSE(BLogHas("Checking for update on startup"));
    for (const char *pchStatus :
         {"Verifying installation...", "Downloading Update...", "Checking for available update...",
          "Download Complete.", "Update complete, launching..."})
        EXPECT_TRUE(BLogHas(pchStatus)) << pchStatus;
    EXPECT_FALSE(BExists(PendingManifest()));
    EXPECT_TRUE(BExists(InstalledManifest()));
    ShutDownUpdater();
    EXPECT_FALSE(m_pUpdater->IsAlive());
    EXPECT_EQ(nullptr, m_pUpdater->m_pHTTPClient);
    EXPECT_TRUE(BLogHas("Shutdown"));

    // With the checksum exemption the launcher is not replaced and the client may start.
    // A second run of the same build with "-download" finds nothing to fetch.
    MakeNetworkUpdater("BootStrapperInhibitClientChecksum enable\n");
    StartAndWaitForOutcome();
    EXPECT_TRUE(m_pUpdater->m_bUpdateFinished);
    EXPECT_FALSE(m_pUpdater->m_bRestartRequired);
    EXPECT_TRUE(BLogHas("Checking for update on startup"));
    EXPECT_EQ(2, ManifestRequests());
    EXPECT_EQ(1u + 2u + 1u, RequestedPaths().size());
}

TEST_F(UpdaterThreadTest, InhibitedOfflineAndFailedStarts)
{
    ServeBuild(1, BuildOne());

    MakeNetworkUpdater("BootStrapperInhibitAll enable\n");
    StartAndWaitForOutcome();
    EXPECT_TRUE(m_pUpdater->m_bUpdateFinished);
    EXPECT_TRUE(BLogHas("Supressing Ferro update"));
    ASSERT_TRUE(m_pUpdater->Join(10000));
    EXPECT_FALSE(m_pUpdater->m_bCheckingForUpdates);
    ShutDownUpdater();

    // Offline with nothing installed: fatal, and the client is still launched.
    MakeNetworkUpdater("", "arvolauncher -download -offline");
    StartAndWaitForOutcome();
    ASSERT_TRUE(m_pUpdater->Join(10000)); // no background loop
    EXPECT_TRUE(m_pUpdater->m_bUpdateFinished);
    EXPECT_TRUE(m_pUpdater->m_bFatalError);
    EXPECT_EQ("Ferro needs to be online to update, but was set to offline mode.", LastError());
    EXPECT_FALSE(m_pUpdater->m_bCheckingForUpdates);
    ShutDownUpdater();

    // Offline with an intact installation (an empty list verifies): launched, no loop.
    WriteInstallFile(InstalledList(), "");
    MakeNetworkUpdater("", "arvolauncher -download -offline");
    StartAndWaitForOutcome();
    ASSERT_TRUE(m_pUpdater->Join(10000));
    EXPECT_TRUE(m_pUpdater->m_bUpdateFinished);
    EXPECT_FALSE(m_pUpdater->m_bFatalError);
    ShutDownUpdater();
    EXPECT_TRUE(RequestedPaths().empty());

    // Online, nothing installed, and the service has no manifest.
    std::filesystem::remove(Install(InstalledList()));
    SetFault("/client/" + PackageBase(),
             [](const std::string &, std::string *pstrResponse)
             {
                 *pstrResponse = HTTPResponse(404, {}, "");
                 return true;
             });
    MakeNetworkUpdater("", "arvolauncher");
    StartAndWaitForOutcome();
    EXPECT_TRUE(m_pUpdater->m_bFatalError);
    EXPECT_FALSE(m_pUpdater->m_bUpdateFinished);
    EXPECT_EQ("Ferro needs to be online to update.  Please confirm your network connection and try again.",
              LastError());
}

TEST_F(UpdaterThreadTest, ABackgroundCheckLeavesTheUpdatePendingForTheNextStart)
{
    FileMap_t mapOne = ServeBuild(1, BuildOne());
    MakeNetworkUpdater("BootStrapperInhibitClientChecksum enable\n", "arvolauncher");
    StartAndWaitForOutcome();
    ASSERT_EQ(mapOne, BuildFiles());
    ShutDownUpdater();

    // The client runs; a new build appears; the client asks for a check.
    FileMap_t mapTwo = ServeBuild(2, BuildTwo());
    MakeNetworkUpdater("BootStrapperInhibitClientChecksum enable\n", "arvolauncher");
    StartAndWaitForOutcome();
    EXPECT_TRUE(m_pUpdater->m_bUpdateFinished);
    size_t cRequests = RequestedPaths().size();
    m_pUpdater->WakeUp();
    // The manifest and the changed package asked for, and the check over (the file
    // operations' fake belongs to one thread at a time).
    ASSERT_TRUE(PumpUntil(
        [&] { return RequestedPaths().size() == cRequests + 2 && !m_pUpdater->m_bCheckingForUpdates; },
        20000));
    EXPECT_TRUE(m_pUpdater->BIsUpdatePending());
    EXPECT_TRUE(BLogHas("Background update loop checking for update. . ."));
    // Only the changed package was fetched, and nothing was installed.
    std::vector<std::string> vecPaths = RequestedPaths();
    ASSERT_EQ(cRequests + 2, vecPaths.size());
    EXPECT_EQ(PackageURL(m_vecServedPackages[1]), vecPaths.back());
    EXPECT_EQ(mapOne, BuildFiles());
    // What the exports report as an available update.
    EXPECT_NE(0u, m_pUpdater->m_cubToDownload.load());
    EXPECT_EQ(m_pUpdater->m_cubToDownload.load(), m_pUpdater->m_cubDownloadedComplete.load());
    ShutDownUpdater();

    // The next start installs it without asking the service.
    MakeNetworkUpdater("BootStrapperInhibitClientChecksum enable\n", "arvolauncher");
    StartAndWaitForOutcome();
    EXPECT_TRUE(BLogHas("Found pending update"));
    EXPECT_TRUE(m_pUpdater->m_bUpdateFinished);
    EXPECT_EQ(mapTwo, BuildFiles());
    EXPECT_FALSE(m_pUpdater->BIsUpdatePending());
    EXPECT_EQ(cRequests + 2, RequestedPaths().size());
}

TEST_F(UpdaterThreadTest, BackgroundChecksComeAtTheirIntervalsOrWhenWoken)
{
    ServeBuild(1, BuildOne());
    WriteInstallFile(InstalledList(), ""); // intact
    CNetTestManualClock clock;
    NetTestInit();
    MakeNetworkUpdater("Universe beta\n", "arvolauncher");
    ASSERT_TRUE(m_pUpdater->Start());
    // The start-up check (every universe but public checks on launch).
    ASSERT_TRUE(BPumpAdvancing(clock, [this] { return BDone(); }));
    auto fnWaiting = [this] { return !m_pUpdater->m_bCheckingForUpdates; };
    ASSERT_TRUE(BPumpAdvancing(clock, fnWaiting));
    EXPECT_EQ(1, ManifestRequests());

    // The loop is waiting: 60 seconds to the first background check, then 120.
    for (uint64 usInterval : {60000000ull, 120000000ull})
    {
        SCOPED_TRACE(usInterval);
        int cBefore = ManifestRequests();
        PumpFor(30); // the wait has begun
        clock->Advance(usInterval - 1000000);
        PumpFor(50);
        EXPECT_EQ(cBefore, ManifestRequests());
        EXPECT_FALSE(m_pUpdater->m_bCheckingForUpdates);
        clock->Advance(1000000);
        ASSERT_TRUE(BPumpAdvancing(
            clock, [&] { return ManifestRequests() == cBefore + 1; }, 10000));
        ASSERT_TRUE(BPumpAdvancing(clock, fnWaiting, 10000));
    }

    // A wake-up checks at once, without the clock moving.
    int cBefore = ManifestRequests();
    PumpFor(30);
    m_pUpdater->WakeUp();
    ASSERT_TRUE(BPumpAdvancing(
        clock, [&] { return ManifestRequests() == cBefore + 1; }, 10000));
    // One during that check is kept: the next wait ends at once with another check, long
    // before the 120 seconds are up.
    ASSERT_TRUE(m_pUpdater->m_bCheckingForUpdates);
    m_pUpdater->WakeUp();
    uint64 usBefore = Clock_GetMicroseconds();
    ASSERT_TRUE(BPumpAdvancing(
        clock, [&] { return ManifestRequests() == cBefore + 2; }, 10000));
    EXPECT_LT(Clock_GetMicroseconds() - usBefore, 60000000u);
    ASSERT_TRUE(BPumpAdvancing(clock, fnWaiting, 10000));

    ShutDownUpdater();
    EXPECT_FALSE(m_pUpdater->IsAlive());
    m_pUpdater.reset();
}

TEST_F(UpdaterThreadTest, ThePublicUniverseChecksFirstBetweenOneMinuteAndOneHour)
{
    ServeBuild(1, BuildOne());
    WriteInstallFile(InstalledList(), "");
    CNetTestManualClock clock;
    NetTestInit();
    MakeNetworkUpdater("", "arvolauncher");
    ASSERT_TRUE(m_pUpdater->Start());
    ASSERT_TRUE(PumpUntil([this] { return BDone() && !m_pUpdater->m_bCheckingForUpdates; }, 10000));
    PumpFor(30);
    clock->Advance(59000000);
    PumpFor(50);
    EXPECT_EQ(0, ManifestRequests());
    // Minute by minute up to the hour: the check comes within it.
    for (int nMinute = 1; nMinute <= 60 && ManifestRequests() == 0; ++nMinute)
    {
        clock->Advance(60000000);
        PumpFor(20);
    }
    EXPECT_TRUE(BPumpAdvancing(
        clock, [&] { return ManifestRequests() == 1; }, 10000, 2000));
    ShutDownUpdater();
    m_pUpdater.reset();
}

TEST_F(UpdaterThreadTest, ShutdownDuringADownloadReturnsPromptlyAndStopsUsingTheClient)
{
    ServeBuild(1, BuildOne());
    std::atomic<bool> bRelease(false);
    std::atomic<bool> bAnswered(false);
    auto fnStall = [&](const std::string &, std::string *pstrResponse)
    {
        BWaitUntil([&] { return bRelease.load(); }, 10000);
        *pstrResponse = HTTPResponse(503, {}, "");
        bAnswered = true;
        return false;
    };
    const std::string strManifest = "/client/" + PackageBase();
    const std::string strPackage = PackageURL(m_vecServedPackages[0]);

    // Once during a package download, once during the manifest download.
    for (bool bInManifest : {false, true})
    {
        SCOPED_TRACE(bInManifest);
        const std::string strStall = bInManifest ? strManifest : strPackage;
        SetFault(strStall, fnStall);
        bRelease = false;
        MakeNetworkUpdater("", "arvolauncher");
        ASSERT_TRUE(m_pUpdater->Start());
        ASSERT_TRUE(PumpUntil(
            [&]
            {
                std::vector<std::string> vecPaths = RequestedPaths();
                return std::count(vecPaths.begin(), vecPaths.end(), strStall) == 1;
            },
            20000));
        PumpFor(20);
        // As the main flow does: no more pumping while the updater shuts down. The service
        // has not answered when the shutdown is over: it did not wait for the request.
        bAnswered = false;
        m_pUpdater->RequestShutdown();
        EXPECT_FALSE(bAnswered);
        EXPECT_FALSE(m_pUpdater->IsAlive());
        EXPECT_EQ(nullptr, m_pUpdater->m_pHTTPClient);
        EXPECT_FALSE(m_pUpdater->m_bFatalError);
        EXPECT_FALSE(BExists(PendingManifest()));
        EXPECT_EQ(bInManifest, BLogHas("update check stopped: the launcher is shutting down\n"));
        // A wake-up after shutdown starts nothing.
        m_pUpdater->WakeUp();
        EXPECT_FALSE(m_pUpdater->IsAlive());
        bRelease = true;
        PumpUntil([] { return CNet::GetConnectionCount() == 0; }, 5000);
        m_pUpdater.reset();
        SetFault(strStall, nullptr);
        std::filesystem::remove_all(Install("logs"));
    }
}

TEST_F(UpdaterThreadTest, AFailedFreshInstallNamesItsCauseBeforeTheFatalText)
{
    ServeBuild(1, BuildOne());
    const std::string strNoNetwork =
        "Ferro needs to be online to update.  Please confirm your network connection and try again.";
    auto FailWith = [&](const std::function<void(CFaultyFileOps &)> &fnSetUp, const std::string &strCause)
    {
        CFaultyFileOps ops;
        fnSetUp(ops);
        MakeNetworkUpdater("", "arvolauncher");
        m_pUpdater->SetFileOps(&ops);
        StartAndWaitForOutcome();
        EXPECT_TRUE(m_pUpdater->m_bFatalError);
        EXPECT_EQ(strNoNetwork, LastError());
        EXPECT_EQ(strCause, m_pUpdater->GetFatalCause().Get());
        ShutDownUpdater();
        m_pUpdater->SetFileOps(nullptr);
        std::filesystem::remove_all(Install("package"));
    };

    // Too little free space, a full disk while saving, no permission, a file where the
    // package folder belongs.
    FailWith(
        [](CFaultyFileOps &ops)
        {
            ops.m_bOverrideFreeSpace = true;
            ops.m_cubFreeSpace = 50 * 1024 * 1024;
        },
        "Ferro needs at least 100MB of free disk space to update.");
    std::string strPackageDir = m_pUpdater->GetPackageDir().Get();
    FailWith(
        [](CFaultyFileOps &ops)
        {
            ops.m_nFailErrno = ENOSPC;
            ops.m_fnFail = [](const std::string &strOp, const std::string &strPath)
            { return strOp == "write" && strPath.find("/bin.zip.") != std::string::npos; };
        },
        "The disk is full: " +
            std::string(JoinPath(strPackageDir.c_str(), m_vecServedPackages[0].m_strFile.c_str()).Get()) +
            " could not be written.");
    FailWith(
        [](CFaultyFileOps &ops)
        {
            ops.m_nFailErrno = EACCES;
            ops.m_fnFail = [](const std::string &strOp, const std::string &) { return strOp == "mkdir"; };
        },
        "Ferro is not allowed to write to " + strPackageDir + ".");
    WriteInstallFile("package", "not a folder");
    FailWith([](CFaultyFileOps &) {}, strPackageDir + " is a file, where Ferro needs a folder.");
    EXPECT_TRUE(BLogHas("Cause: " + strPackageDir + " is a file, where Ferro needs a folder."));
    std::filesystem::remove(Install("package"));

    // Without a known cause, the step's own error is the cause.
    SetContent("/client/" + PackageBase(), "not a manifest {{{");
    FailWith([](CFaultyFileOps &) {}, "The update manifest from the content service could not be read.");
}

TEST_F(UpdaterThreadTest, AFailedStartupCheckIsShownAndTheInstalledBuildStillStarts)
{
    WriteInstallFile(InstalledList(), "");
    SetFault("/client/" + PackageBase(),
             [](const std::string &, std::string *pstrResponse)
             {
                 *pstrResponse = HTTPResponse(503, {}, "");
                 return true;
             });
    MakeNetworkUpdater();
    StartAndWaitForOutcome();
    EXPECT_TRUE(m_pUpdater->m_bUpdateFinished);
    EXPECT_FALSE(m_pUpdater->m_bFatalError);
    std::vector<std::string> vecStatus = m_UI.Status();
    EXPECT_NE(vecStatus.end(),
              std::find(vecStatus.begin(), vecStatus.end(), "Download failed: http error 503"));
}

TEST_F(UpdaterThreadTest, CancelEndsTheStartWithoutAnOutcomeOrAnError)
{
    ServeBuild(1, BuildOne());
    m_UI.CancelOnStatus("Downloading update (");
    MakeNetworkUpdater("", "arvolauncher");
    ASSERT_TRUE(m_pUpdater->Start());
    ASSERT_TRUE(PumpUntil([this] { return !m_pUpdater->IsAlive(); }, 30000));
    EXPECT_FALSE(BDone());
    EXPECT_TRUE(LastError().empty()) << LastError();
    EXPECT_FALSE(BExists(InstalledManifest()));
}

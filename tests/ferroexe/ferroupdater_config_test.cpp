#include "updatertestsupport.h"

#include "foundation/platform/registry.h"
#include "foundation/uniformrandom.h"

#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <cstring>

namespace
{
std::string Repeat(char ch, size_t n)
{
    return std::string(n, ch);
}

std::string PackageBase(const char *pchBeta)
{
    return std::string("arvo_launcher_") + (pchBeta ? std::string(pchBeta) + "_" : "") + FERRO_PLATFORM_TAG;
}
} // namespace

TEST_F(UpdaterTest, ConstructionLogsStartupFirst)
{
    CFerroUpdater &updater = MakeUpdater();
    // The one default that is not "off": a check on launch unless the config or the
    // command line says otherwise.
    EXPECT_TRUE(updater.m_bUpdateOnLaunch);
    EXPECT_EQ(m_strInstall, updater.m_strAlternateBaseDir.Get());

    std::string strLog = Log();
    ASSERT_EQ(0u, strLog.find("\r\n\r\n[")) << strLog;
    EXPECT_EQ(std::vector<std::string>{"Startup"}, LogMessages());

    // Nothing installed and no HTTP client: the thread's start-up ends fatally at once.
    ASSERT_TRUE(updater.Start());
    ASSERT_TRUE(updater.Join(60000));
    EXPECT_TRUE(updater.m_bFatalError);
    EXPECT_FALSE(updater.m_bUpdateFinished);
}

TEST_F(UpdaterTest, EachConfigRuleAppliesOnItsOwn)
{
    struct Case_t
    {
        const char *m_pchLine;
        bool m_bInhibitChecksum, m_bInhibitAll, m_bUpdateOnLaunch;
        EUniverse m_eUniverse;
    };
    const Case_t rgCases[] = {
        {"BootStrapperInhibitAll enable", true, true, true, k_EUniversePublic},
        {"bootstrapperinhibitall ENABLED", true, true, true, k_EUniversePublic},
        // Contains "enable": counts as set.
        {"BootStrapperInhibitAll = not enabled", true, true, true, k_EUniversePublic},
        {"BootStrapperInhibitAll", false, false, true, k_EUniversePublic},
        {"BootStrapperInhibitClientChecksum enable", true, false, true, k_EUniversePublic},
        {"BootStrapperInhibitBootstrapperChecksum enable", true, false, true, k_EUniversePublic},
        {"BootStrapperInhibitBootstrapperChecksum disable", false, false, true, k_EUniversePublic},
        {"BootStrapperInhibitUpdateOnLaunch enable", false, false, false, k_EUniversePublic},
        {"BootStrapperInhibitUpdateOnLaunch off", false, false, true, k_EUniversePublic},
        {"Universe beta", false, false, true, k_EUniverseBeta},
        {"  UNIVERSE Internal  ", false, false, true, k_EUniverseInternal},
        {"universe=dev", false, false, true, k_EUniverseDev},
        // Unrecognised: the universe stays.
        {"Universe = mystery", false, false, true, k_EUniversePublic},
        {"# Universe beta", false, false, true, k_EUniversePublic},
        {"   # BootStrapperInhibitAll enable", false, false, true, k_EUniversePublic},
        {"GeneralDirectoryServer_FindServerIPAddrPorts " FERRO_DIRECTORY_SERVER_BETA ":27038", false, false,
         true, k_EUniverseBeta},
        {"GeneralDirectoryServer_FindServerIPAddrPorts " FERRO_DIRECTORY_SERVER_INTERNAL ":27038", false,
         false, true, k_EUniverseInternal},
        {"GeneralDirectoryServer_FindServerIPAddrPorts " FERRO_DIRECTORY_SERVER_PREFIX ".77.1:27038", false,
         false, true, k_EUniversePublic},
        // Two rules on one line: both apply.
        {"BootStrapperInhibitClientChecksum enable; Universe beta", true, false, true, k_EUniverseBeta},
        {"", false, false, true, k_EUniversePublic},
    };
    for (const Case_t &c : rgCases)
    {
        CFerroUpdater &updater = MakeUpdaterWithConfig(std::string(c.m_pchLine) + "\n");
        EXPECT_EQ(c.m_bInhibitChecksum, updater.m_bInhibitChecksum) << c.m_pchLine;
        EXPECT_EQ(c.m_bInhibitAll, updater.m_bInhibitAll) << c.m_pchLine;
        EXPECT_EQ(c.m_bUpdateOnLaunch, updater.m_bUpdateOnLaunch) << c.m_pchLine;
        EXPECT_EQ(c.m_eUniverse, updater.m_eUniverse) << c.m_pchLine;
    }

    // The file may be spelt "Ferro.cfg"; a later universe line wins over an earlier one.
    std::filesystem::remove(Install("ferro.cfg"));
    WriteInstallFile("Ferro.cfg", "Universe beta\r\nUniverse = unknown\r\nUniverse internal\r\n");
    EXPECT_EQ(k_EUniverseInternal, MakeUpdater().m_eUniverse);
}

TEST_F(UpdaterTest, ParseUniverseLineTakesTheFirstMatchingWord)
{
    EXPECT_EQ(k_EUniversePublic, ParseUniverseLine("Universe public beta"));
    EXPECT_EQ(k_EUniverseBeta, ParseUniverseLine("Universe betadev"));
    EXPECT_EQ(k_EUniverseDev, ParseUniverseLine("Universe development"));
    EXPECT_EQ(k_EUniverseInvalid, ParseUniverseLine("Universe"));
    EXPECT_EQ(k_EUniverseInvalid, ParseUniverseLine("public beta internal dev"));
    EXPECT_EQ(k_EUniverseInvalid, ParseUniverseLine(nullptr));
    // The older form: a directory server outside the private network means public.
    EXPECT_EQ(k_EUniversePublic, ParseUniverseLine("GeneralDirectoryServer_FindServerIPAddrPorts 192.0.2.1"));
    EXPECT_EQ(k_EUniverseInvalid,
              ParseUniverseLine("generaldirectoryserver_findserveripaddrports " FERRO_DIRECTORY_SERVER_PREFIX
                                ".9.9"));
    // "Universe" is looked at first.
    EXPECT_EQ(k_EUniverseDev,
              ParseUniverseLine(
                  "Universe dev GeneralDirectoryServer_FindServerIPAddrPorts " FERRO_DIRECTORY_SERVER_BETA));
}

TEST_F(UpdaterTest, DownloadLocationsAndTheHostOverride)
{
    DownloadLocation_t pub = GetDownloadLocation(k_EUniversePublic);
    EXPECT_STREQ(FERRO_CONTENT_HOST_PUBLIC, pub.m_strManifestHost.Get());
    EXPECT_STREQ(FERRO_CONTENT_HOST_PUBLIC, pub.m_strPackageHost.Get());
    EXPECT_STREQ("/client/", pub.m_strURLPath.Get());
    EXPECT_TRUE(pub.BIsUsable());
    DownloadLocation_t beta = GetDownloadLocation(k_EUniverseBeta);
    EXPECT_STREQ(FERRO_CONTENT_HOST_TEST, beta.m_strManifestHost.Get());
    EXPECT_TRUE(beta.BIsUsable());
    for (EUniverse e : {k_EUniverseInternal, k_EUniverseDev, k_EUniverseInvalid, (EUniverse)7})
    {
        DownloadLocation_t loc = GetDownloadLocation(e);
        EXPECT_EQ(e, loc.m_eUniverse);
        EXPECT_FALSE(loc.BIsUsable()) << e;
        EXPECT_TRUE(loc.m_strManifestHost.IsEmpty() && loc.m_strURLPath.IsEmpty()) << e;
    }

    // The override lands in the row of the universe chosen after the whole file.
    MakeUpdaterWithConfig("ClientDownloadHost = myhost.example  \nUniverse beta\n");
    EXPECT_STREQ("myhost.example", GetDownloadLocation(k_EUniverseBeta).m_strManifestHost.Get());
    EXPECT_STREQ("myhost.example", GetDownloadLocation(k_EUniverseBeta).m_strPackageHost.Get());
    EXPECT_STREQ(FERRO_CONTENT_HOST_PUBLIC, GetDownloadLocation(k_EUniversePublic).m_strManifestHost.Get());

    // A later host line replaces an earlier one; one without "=" or with nothing after it
    // changes nothing.
    ResetDownloadLocations();
    MakeUpdaterWithConfig("ClientDownloadHost=first\nClientDownloadHost=second\nClientDownloadHost third\n");
    EXPECT_STREQ("second", GetDownloadLocation(k_EUniversePublic).m_strManifestHost.Get());
    ResetDownloadLocations();
    MakeUpdaterWithConfig("ClientDownloadHost =   \n");
    EXPECT_STREQ(FERRO_CONTENT_HOST_PUBLIC, GetDownloadLocation(k_EUniversePublic).m_strManifestHost.Get());

    // Internal gets hosts but no URL path: still unusable.
    ResetDownloadLocations();
    MakeUpdaterWithConfig("Universe internal\nClientDownloadHost=inside.example\n");
    DownloadLocation_t internal = GetDownloadLocation(k_EUniverseInternal);
    EXPECT_STREQ("inside.example", internal.m_strManifestHost.Get());
    EXPECT_TRUE(internal.m_strURLPath.IsEmpty());
    EXPECT_FALSE(internal.BIsUsable());

    // One line, both rules: "Universe" with "beta" in it, and the host after the "=".
    ResetDownloadLocations();
    CFerroUpdater &updater = MakeUpdaterWithConfig("ClientDownloadHost=universe-beta.example\n");
    EXPECT_EQ(k_EUniverseBeta, updater.m_eUniverse);
    EXPECT_STREQ("universe-beta.example", GetDownloadLocation(k_EUniverseBeta).m_strManifestHost.Get());
}

TEST_F(UpdaterTest, LongAndManyConfigLines)
{
    // 100,000 lines, the one that counts last.
    std::string strConfig;
    for (int i = 0; i < 100000; ++i)
        strConfig += "# filler line " + std::to_string(i) + "\n";
    strConfig += "Universe dev\n";
    EXPECT_EQ(k_EUniverseDev, MakeUpdaterWithConfig(strConfig).m_eUniverse);

    // A 5,000-character line is read in pieces of 1,023: a rule in a later piece applies,
    // even though the piece's start is not the line's.
    strConfig = "#" + Repeat('x', 3000) + " Universe beta " + Repeat('y', 2000) + "\n";
    EXPECT_EQ(k_EUniverseBeta, MakeUpdaterWithConfig(strConfig).m_eUniverse);
    // A word cut by a piece boundary is not seen.
    strConfig = Repeat('x', 1023 - 4) + "Universe beta " + Repeat('y', 4000) + "\n";
    EXPECT_EQ(k_EUniversePublic, MakeUpdaterWithConfig(strConfig).m_eUniverse);
}

TEST_F(UpdaterTest, BetaFileIsFilteredAndLimited)
{
    WriteInstallFile("package/beta", "my-beta\r\n");
    CFerroUpdater &updater = MakeUpdater();
    EXPECT_STREQ("mybeta", updater.GetClientBeta().Get());
    std::vector<std::string> vecExpected = {"Startup", "Opted in to client beta 'mybeta' via beta file"};
    EXPECT_EQ(vecExpected, LogMessages());

    // 4,095 bytes are read; 4,096 are ignored.
    WriteInstallFile("package/beta", "ab" + Repeat(' ', 4093));
    EXPECT_STREQ("ab", MakeUpdater().GetClientBeta().Get());
    WriteInstallFile("package/beta", "ab" + Repeat(' ', 4094));
    EXPECT_TRUE(MakeUpdater().GetClientBeta().IsEmpty());

    // Binary content: every byte but letters, digits and "_" goes.
    std::string strBinary;
    for (int i = 1; i < 256; ++i)
        strBinary += (char)i;
    WriteInstallFile("package/beta", strBinary);
    EXPECT_STREQ("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz",
                 MakeUpdater().GetClientBeta().Get());

    // Nothing usable, an empty file, a directory in its place: no beta and no log line.
    // (The content is text: a zero byte ends it.)
    for (const std::string &strContent : {std::string("-.-/\r\n"), std::string(), std::string("\0abc", 4)})
    {
        WriteInstallFile("package/beta", strContent);
        EXPECT_TRUE(MakeUpdater().GetClientBeta().IsEmpty()) << strContent;
        EXPECT_EQ("Startup", LogMessages().back());
    }
    std::filesystem::remove(Install("package/beta"));
    std::filesystem::create_directories(Install("package/beta"));
    EXPECT_TRUE(MakeUpdater().GetClientBeta().IsEmpty());
    EXPECT_EQ("Startup", LogMessages().back());
}

TEST_F(UpdaterTest, PackageBasePathWithAndWithoutBeta)
{
    CFerroUpdater &updater = MakeUpdater();
    char rgch[MAX_PATH_BYTES];
    updater.BuildPackageBasePath(rgch, sizeof(rgch), "package", true);
    EXPECT_EQ("package\\" + PackageBase(nullptr), rgch);
    updater.SetClientBeta("xyz");
    updater.BuildPackageBasePath(rgch, sizeof(rgch), "C:/Games/Arvo/package", true);
    EXPECT_EQ("C:\\Games\\Arvo\\package\\" + PackageBase("xyz"), rgch);
    updater.BuildPackageBasePath(rgch, sizeof(rgch), "package", false);
    EXPECT_EQ("package\\" + PackageBase(nullptr), rgch);
    updater.BuildInstalledFilePath(rgch, sizeof(rgch), ".installed");
    std::string strExpected = m_strInstall + "/package/" + PackageBase("xyz") + ".installed";
    for (char &ch : strExpected)
        ch = ch == '/' ? '\\' : ch;
    EXPECT_EQ(strExpected, rgch);

    // Cut to the buffer, and terminated.
    char rgchSmall[12];
    updater.BuildPackageBasePath(rgchSmall, sizeof(rgchSmall), "package", true);
    EXPECT_STREQ("package\\arv", rgchSmall);
    updater.Join(60000);
}

TEST_F(UpdaterTest, SetClientBetaWritesTheFileAndNullForgetsOnlyTheBetasBookkeeping)
{
    CFerroUpdater &updater = MakeUpdater();
    updater.SetClientBeta("xyz");
    EXPECT_STREQ("xyz", updater.GetClientBeta().Get());
    EXPECT_EQ("xyz", ReadTextFile(Install("package/beta"))) << "the name alone, no line end";
    // Woken: the thread ran (nothing installed and no HTTP client: it ends with an outcome).
    ASSERT_TRUE(updater.Join(60000));
    EXPECT_TRUE(updater.m_bUpdateFinished || updater.m_bFatalError);

    for (const char *pchName : {"package/arvo_launcher_xyz_", "package/arvo_launcher_"})
    {
        WriteInstallFile(std::string(pchName) + FERRO_PLATFORM_TAG + ".installed", "a,1\n");
        WriteInstallFile(std::string(pchName) + FERRO_PLATFORM_TAG + ".manifest", "\"m\" { }\n");
    }
    std::filesystem::permissions(Install("package/beta"), std::filesystem::perms::owner_read);

    updater.m_bUpdateFinished = false;
    updater.m_bFatalError = false;
    updater.SetClientBeta(nullptr);
    EXPECT_TRUE(updater.GetClientBeta().IsEmpty());
    EXPECT_FALSE(std::filesystem::exists(Install("package/beta")));
    EXPECT_FALSE(std::filesystem::exists(Install("package/" + PackageBase("xyz") + ".installed")));
    EXPECT_FALSE(std::filesystem::exists(Install("package/" + PackageBase("xyz") + ".manifest")));
    EXPECT_TRUE(std::filesystem::exists(Install("package/" + PackageBase(nullptr) + ".installed")));
    EXPECT_TRUE(std::filesystem::exists(Install("package/" + PackageBase(nullptr) + ".manifest")));
    ASSERT_TRUE(updater.Join(60000));
    EXPECT_TRUE(updater.m_bUpdateFinished || updater.m_bFatalError);

    // Inhibited and offline: the wake-up starts nothing.
    updater.m_bUpdateFinished = false;
    updater.m_bFatalError = false;
    updater.m_bInhibitAll = true;
    updater.m_bOffline = true;
    updater.SetClientBeta("abc");
    EXPECT_FALSE(updater.IsAlive());
    EXPECT_FALSE(updater.m_bUpdateFinished);
    EXPECT_TRUE(updater.m_WakeEvent.BIsSignalled());

    // A beta file that cannot be written: the choice holds for this run, and the log says so.
    std::filesystem::remove_all(Install("package"));
    WriteInstallFile("package", "not a directory");
    updater.SetClientBeta("def");
    EXPECT_STREQ("def", updater.GetClientBeta().Get());
    EXPECT_EQ("Failed to save client beta 'def' to package\\beta", LogMessages().back());
}

TEST_F(UpdaterTest, ClientBetaNamesCannotLeaveThePackageDirectory)
{
    CFerroUpdater &updater = MakeUpdater();
    updater.m_bInhibitAll = updater.m_bOffline = true; // no thread: only the names matter here
    updater.SetClientBeta("../../evil/x");
    EXPECT_STREQ("evilx", updater.GetClientBeta().Get());
    EXPECT_EQ("evilx", ReadTextFile(Install("package/beta")));
    char rgch[MAX_PATH_BYTES];
    updater.BuildPackageBasePath(rgch, sizeof(rgch), "package", true);
    EXPECT_EQ("package\\" + PackageBase("evilx"), rgch);
    EXPECT_FALSE(std::filesystem::exists(m_Dir.File("evil")));

    // Nothing usable left: as with null, the beta and its bookkeeping go.
    WriteInstallFile("package/" + PackageBase("evilx") + ".installed", "a,1\n");
    updater.SetClientBeta("../..//");
    EXPECT_TRUE(updater.GetClientBeta().IsEmpty());
    EXPECT_FALSE(std::filesystem::exists(Install("package/beta")));
    EXPECT_FALSE(std::filesystem::exists(Install("package/" + PackageBase("evilx") + ".installed")));

    // The command line override is filtered the same way; one without a usable character
    // selects nothing and keeps the beta file's choice.
    WriteInstallFile("package/beta", "fromfile");
    CFerroUpdater &second = MakeUpdater();
    EXPECT_TRUE(second.BInitializeWithCommandLine(NewHTTPClient(), false, "..\\..\\a/b", "arvolauncher"));
    EXPECT_STREQ("ab", second.GetClientBeta().Get());
    EXPECT_TRUE(
        BLogHas("Changing client beta flag from 'fromfile' (beta file) to 'ab' (command-line override)"));
    CFerroUpdater &third = MakeUpdater();
    EXPECT_TRUE(third.BInitializeWithCommandLine(NewHTTPClient(), false, "../", "arvolauncher"));
    EXPECT_STREQ("fromfile", third.GetClientBeta().Get());
    EXPECT_TRUE(BLogHas("Ignoring client beta '../' (command-line override): no letter, digit or '_' in it"));
}

TEST_F(UpdaterTest, InitializeTakesOneClientAndDecidesTheStartupCheck)
{
    CFerroUpdater &updater = MakeUpdater();
    EXPECT_FALSE(updater.BInitializeWithCommandLine(nullptr, false, "", ""));
    CHTTPClient *pClient = NewHTTPClient();
    EXPECT_TRUE(updater.BInitializeWithCommandLine(pClient, false, "", "arvolauncher -textclient"));
    EXPECT_EQ(pClient, updater.m_pHTTPClient);
    CHTTPClient *pSecond = NewHTTPClient();
    EXPECT_FALSE(updater.BInitializeWithCommandLine(pSecond, false, "", ""));
    EXPECT_EQ(pClient, updater.m_pHTTPClient);
    delete pSecond;
    // Public, neither "-download" nor forced: no check on launch.
    EXPECT_FALSE(updater.m_bUpdateOnLaunch);
    EXPECT_FALSE(updater.m_bOffline);
    // No beta override: no log line about it.
    EXPECT_EQ(std::vector<std::string>{"Startup"}, LogMessages());

    EXPECT_TRUE(MakeUpdater().BInitializeWithCommandLine(NewHTTPClient(), false, "", "x -DownLoad"));
    EXPECT_TRUE(m_pUpdater->m_bUpdateOnLaunch);
    EXPECT_TRUE(MakeUpdater().BInitializeWithCommandLine(NewHTTPClient(), true, "", ""));
    EXPECT_TRUE(m_pUpdater->m_bUpdateOnLaunch);
    EXPECT_TRUE(
        MakeUpdaterWithConfig("Universe beta\n").BInitializeWithCommandLine(NewHTTPClient(), false, "", ""));
    EXPECT_TRUE(m_pUpdater->m_bUpdateOnLaunch);
    EXPECT_TRUE(MakeUpdaterWithConfig("Universe beta\nBootStrapperInhibitUpdateOnLaunch enable\n")
                    .BInitializeWithCommandLine(NewHTTPClient(), true, "", "-download"));
    EXPECT_FALSE(m_pUpdater->m_bUpdateOnLaunch);
}

TEST_F(UpdaterTest, OfflineFromTheRegistryOrTheCommandLine)
{
    const char *pchKey = "Software\\Quill\\Ferro";
    ASSERT_TRUE(PLAT_RegistryCreateKey(k_EPlatRegistryHiveCurrentUser, pchKey));
    ASSERT_TRUE(PLAT_RegistryWriteDWORD(k_EPlatRegistryHiveCurrentUser, pchKey, "Offline", 1));
    CFerroUpdater &updater = MakeUpdater();
    EXPECT_TRUE(updater.BInitializeWithCommandLine(NewHTTPClient(), false, "", "arvolauncher -offline"));
    EXPECT_TRUE(updater.m_bOffline);
    std::vector<std::string> vecExpected = {"Startup", "Going into offline mode because of registry key"};
    EXPECT_EQ(vecExpected, LogMessages());

    ASSERT_TRUE(PLAT_RegistryWriteDWORD(k_EPlatRegistryHiveCurrentUser, pchKey, "Offline", 0));
    EXPECT_TRUE(
        MakeUpdater().BInitializeWithCommandLine(NewHTTPClient(), false, "", "arvolauncher -OFFLINE"));
    EXPECT_TRUE(m_pUpdater->m_bOffline);
    EXPECT_EQ("Going into offline mode because of '-offline' command-line option", LogMessages().back());

    // A value that is not a DWORD is not a choice.
    ASSERT_TRUE(PLAT_RegistryWriteString(k_EPlatRegistryHiveCurrentUser, pchKey, "Offline", "yes"));
    EXPECT_TRUE(MakeUpdater().BInitializeWithCommandLine(NewHTTPClient(), false, "", "arvolauncher"));
    EXPECT_FALSE(m_pUpdater->m_bOffline);
    EXPECT_EQ("Startup", LogMessages().back());
}

TEST(DirectoryCaseTest, InvertsTheCaseOfTheTail)
{
    std::string strName = "MixedCase_Name9.Txt\xc3\xa4";
    InvertCaseFrom(&strName, 5);
    EXPECT_EQ("MixedcASE_nAME9.tXT\xc3\xa4", strName);
    InvertCaseFrom(&strName, strName.size());
    EXPECT_EQ("MixedcASE_nAME9.tXT\xc3\xa4", strName);
    InvertCaseFrom(&strName, 0);
    EXPECT_EQ("mIXEDCase_Name9.Txt\xc3\xa4", strName);
}

TEST_F(UpdaterTest, DirectoryCheckPassesOnACaseSensitiveFileSystemThroughThePlatformLayer)
{
    CFerroUpdater &updater = MakeUpdater();
    std::string strDir = m_Dir.File("content");
    std::filesystem::create_directories(strDir);
    ASSERT_TRUE(WriteTextFile(strDir + "/MixedCase_Name.Txt", "x"));
    // Every start position of the inverted tail, the whole name and none of it included.
    for (uint32 unSeed = 0; unSeed < 64; ++unSeed)
    {
        GetUniformRandomStream().SetSeed(unSeed);
        EXPECT_TRUE(updater.BCheckDirectoryUsable(strDir.c_str())) << unSeed;
    }
    EXPECT_FALSE(updater.m_bFatalError);

    // Empty: written to and looked at under another spelling, and left empty.
    std::string strEmpty = m_Dir.File("empty");
    std::filesystem::create_directories(strEmpty);
    EXPECT_TRUE(updater.BCheckDirectoryUsable(strEmpty.c_str()));
    EXPECT_TRUE(std::filesystem::is_empty(strEmpty));
    // Missing: made.
    EXPECT_TRUE(updater.BCheckDirectoryUsable(m_Dir.File("made").c_str()));
    EXPECT_TRUE(std::filesystem::is_directory(m_Dir.File("made")));

    // The install directory, and the checks built on it.
    EXPECT_TRUE(updater.BIsInstallDirWritable());
    EXPECT_FALSE(std::filesystem::exists(Install(".writable")));
    EXPECT_TRUE(updater.BCheckUserDirectories());
    updater.EnsurePackageDir();
    EXPECT_EQ(m_strInstall + "/package", updater.GetPackageDir().Get());
    EXPECT_FALSE(updater.m_bFatalError);
}

TEST_F(UpdaterTest, DirectoryCheckFailureTexts)
{
    CRecordingUpdateUI ui;
    CFerroUpdater &updater = MakeUpdater();
    auto Check = [&](const std::string &strDir, const std::string &strExpected)
    {
        updater.m_bFatalError = false;
        ui.m_vecFatalErrors.clear();
        EXPECT_FALSE(updater.BCheckDirectoryUsable(strDir.c_str())) << strDir;
        EXPECT_TRUE(updater.m_bFatalError) << strDir;
        EXPECT_EQ(std::vector<std::string>{strExpected}, ui.m_vecFatalErrors);
        EXPECT_EQ(strExpected, LogMessages().back());
    };

    // Without a UI: logged and fatal all the same.
    std::string strFile = m_Dir.File("plainfile");
    ASSERT_TRUE(WriteTextFile(strFile, "x"));
    EXPECT_FALSE(updater.BCheckDirectoryUsable(strFile.c_str()));
    EXPECT_TRUE(updater.m_bFatalError);

    updater.SetUpdateStatusUI(&ui);
    Check(strFile, "Ferro Fatal Error: Expected:\n " + strFile + "\nto be a directory.");
    Check(strFile + "/sub", "Ferro Fatal Error: Could not create directory:\n" + strFile + "/sub.");

#ifndef _WIN32
    // POSIX only: a dangling symbolic link, and the descriptor limit of setrlimit.
    // The first entry cannot be found under another spelling: a dangling link is found by
    // name but does not exist.
    std::string strLinkDir = m_Dir.File("links");
    std::filesystem::create_directories(strLinkDir);
    std::filesystem::create_symlink(m_Dir.File("nowhere"), strLinkDir + "/dangling");
    GetUniformRandomStream().SetSeed(1);
    Check(strLinkDir, "Ferro requires that '" + strLinkDir + "' be on a case-insensitive filesystem.");

    // An empty directory in which no file can be made. Root may write anywhere, so run
    // out of file descriptors instead.
    std::string strEmpty = m_Dir.File("empty");
    std::filesystem::create_directories(strEmpty);
    ui.m_vecFatalErrors.clear();
    rlimit limitSaved;
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &limitSaved));
    rlimit limitLow = limitSaved;
    limitLow.rlim_cur = 64;
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &limitLow));
    std::vector<int> vecFds;
    for (int i = 0; i < 64; ++i)
    {
        int fd = dup(0);
        if (fd < 0)
            break;
        vecFds.push_back(fd);
    }
    bool bUsable = updater.BCheckDirectoryUsable(strEmpty.c_str());
    for (int fd : vecFds)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &limitSaved);
    EXPECT_FALSE(bUsable);
    EXPECT_EQ(std::vector<std::string>{"Ferro Fatal Error: Failed to access directory:\n" + strEmpty + "."},
              ui.m_vecFatalErrors);
#endif

    // The user directories: the first failure stops the check.
    ui.m_vecFatalErrors.clear();
    updater.m_strAlternateBaseDir = strFile.c_str();
    EXPECT_FALSE(updater.BCheckUserDirectories());
    EXPECT_EQ(1u, ui.m_vecFatalErrors.size());
    // The package directory falls back to the alternate one when the install directory
    // does not pass.
    updater.m_strInstallDir = (strFile + "/sub").c_str();
    updater.m_strAlternateBaseDir = m_Dir.File("alternate").c_str();
    EXPECT_EQ(m_Dir.File("alternate") + "/package", updater.GetPackageDir().Get());
    // Fixed once: later calls keep it.
    updater.m_strAlternateBaseDir = m_strInstall.c_str();
    EXPECT_EQ(m_Dir.File("alternate") + "/package", updater.GetPackageDir().Get());
}

#include "installtestsupport.h"

#include "ferroexe/bootstrapperversion.h"

#include <sys/stat.h>

namespace
{
std::string PseudoRandomBytes(size_t cub, uint32 unSeed)
{
    std::string str(cub, '\0');
    for (size_t i = 0; i < cub; ++i)
    {
        unSeed = unSeed * 1103515245u + 12345u;
        str[i] = (char)(unSeed >> 16);
    }
    return str;
}

bool BHas(const std::vector<std::string> &vec, const std::string &str)
{
    return std::find(vec.begin(), vec.end(), str) != vec.end();
}
} // namespace

TEST_F(InstallTest, ItemsAreInstalledUnderLowerCaseNamesAndRecorded)
{
    // Larger than the extraction's piece buffer: the item goes out in several pieces.
    std::string strBig = PseudoRandomBytes(700 * 1024 + 3, 7);
    FileMap_t mapFiles = PublishBuild(
        41, {{"core", {{"BIN/Client.DLL", "client"}, {"Readme.TXT", "hello"}, {"bin/big.bin", strBig}}}});
    CFerroUpdater &updater = MakeInstallUpdater();
    CScriptedUpdateUI ui;
    updater.SetUpdateStatusUI(&ui);

    ASSERT_TRUE(updater.BApplyUpdate()) << updater.GetLastErrorText().Get();
    EXPECT_EQ(mapFiles, GameFiles());
    // The names on disk are the lower-case ones.
    EXPECT_TRUE(std::filesystem::is_regular_file(m_strInstall + "/bin/client.dll"));
    // Each line with the SHA-256 of the bytes unpacked and the package they came from.
    EXPECT_EQ(TextModeFile(ListLine("bin/client.dll", "client", "core") + ListLine("readme.txt", "hello", "core") +
                           ListLine("bin/big.bin", strBig, "core")),
              ReadTextFile(Install(InstalledList())));
    EXPECT_TRUE(updater.BVerifyInstalledFiles(true));

    // Recorded and cleaned up: installed manifest, no pending manifest, no temporary folder.
    EXPECT_FALSE(BExists(PendingManifest()));
    EXPECT_FALSE(BExists("package/tmp"));
    EXPECT_TRUE(BExists("package/" + m_vecLastPackages[0].m_strFile));
    MakeUpdater();
    EXPECT_EQ(41u, GetBootstrapperVersion());

    // The status line, each change logged once.
    const std::vector<std::string> vecExpected = {"Extracting package...", "Installing update...",
                                                  "Cleaning up...", "Update complete, launching..."};
    const std::vector<std::string> vecLog = LogMessages();
    for (const std::string &str : vecExpected)
    {
        EXPECT_TRUE(BHas(ui.m_vecStatus, str)) << str;
        EXPECT_EQ(1, std::count(vecLog.begin(), vecLog.end(), str)) << str;
    }
    EXPECT_EQ("Update complete, launching...", ui.m_vecStatus.back());

    // Nothing pending any more.
    EXPECT_FALSE(m_pUpdater->BApplyUpdate());
}

TEST_F(InstallTest, FilesTheNewBuildNoLongerShipsAreDeletedAfterTheCommit)
{
    PublishBuild(1, {{"core",
                      {{"bin/client.dll", "v1"},
                       {"old.txt", "old"},
                       {"Keep.txt", "k1"},
                       {"stuck.txt", "s"},
                       {"ro.txt", "r"}}}});
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate());
    // The list as another version may have written it: a duplicate, other spellings of
    // shipped files, paths outside the install directory, a last line cut short.
    WriteInstallFile("../outside.txt", "outside");
    std::string strList = ReadTextFile(Install(InstalledList()));
    strList += "old.txt,3\n./KEEP.TXT,2\nBIN\\CLIENT.DLL,2\n../outside.txt,7\n" + m_Dir.File("outside.txt") +
               ",7\nbin/cli";
    WriteInstallFile(InstalledList(), strList);

    FileMap_t mapNew = PublishBuild(2, {{"core", {{"bin/client.dll", "v2"}, {"KEEP.TXT", "k2"}}}});
    CFerroUpdater &updater = MakeInstallUpdater();
    // A read-only file goes after its attribute is cleared; one that will not go stays.
    m_FileOps.m_setReadOnly = {"ro.txt"};
    m_FileOps.m_setStuck = {"stuck.txt"};
    ASSERT_TRUE(updater.BApplyUpdate()) << updater.GetLastErrorText().Get();

    mapNew["stuck.txt"] = "s";
    EXPECT_EQ(mapNew, GameFiles()) << DescribeFiles(GameFiles());
    EXPECT_TRUE(BHas(m_FileOps.m_vecSteps, "clear-attributes ro.txt"));
    EXPECT_TRUE(BLogHas("Failed to delete stuck.txt, which the update no longer ships\n"));
    EXPECT_EQ("outside", ReadTextFile(m_Dir.File("outside.txt")));
    EXPECT_TRUE(BLogHas("Not deleting ../outside.txt: it is outside the install directory\n"));
    EXPECT_TRUE(
        BLogHas("Not deleting " + m_Dir.File("outside.txt") + ": it is outside the install directory\n"));
    EXPECT_TRUE(updater.BVerifyInstalledFiles(true));
}

TEST_F(InstallTest, TheLauncherStaysWhileItsChecksumIsInhibited)
{
    PublishBuild(1, {{"core", {{"ferro.exe", "old-exe"}, {"bin/client.dll", "v1"}}}});
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate());
    PublishBuild(2, {{"core", {{"Ferro.EXE", "a newer and longer launcher"}, {"bin/client.dll", "v2"}}}});
    CFerroUpdater &updater = MakeInstallUpdater();
    updater.m_bInhibitChecksum = true;
    ASSERT_TRUE(updater.BApplyUpdate());

    // Unpacked but not moved into place; listed with the size of the one that stayed.
    EXPECT_EQ("old-exe", ReadTextFile(Install("ferro.exe")));
    EXPECT_EQ("v2", ReadTextFile(Install("bin/client.dll")));
    // Its line has no hash: what is there is not what was unpacked.
    EXPECT_EQ(TextModeFile("ferro.exe,7,,core\n" + ListLine("bin/client.dll", "v2", "core")),
              ReadTextFile(Install(InstalledList())));
    EXPECT_FALSE(BExists("package/tmp"));
    EXPECT_TRUE(updater.BVerifyInstalledFiles(true));
}

TEST_F(InstallTest, TheReplacedRunningLauncherGoesQuietlyAtTheNextStart)
{
    // The launcher of these tests is "<install>/arvolauncher". Windows keeps a running
    // program: its backup cannot be deleted now, and that is no failure worth a warning.
    PublishBuild(1, {{"root", {{"arvolauncher", "launcher one"}, {"readme.txt", "one"}}}});
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate());
    PublishBuild(2, {{"root", {{"arvolauncher", "launcher two"}, {"readme.txt", "two"}}}});
    CFaultyFileOps ops;
    ops.m_fnFail = [](const std::string &strOp, const std::string &strPath)
    { return strOp == "delete" && strPath == "./arvolauncher.old"; };
    CFerroUpdater &updater = MakeInstallUpdater();
    updater.SetFileOps(&ops);
    ASSERT_TRUE(updater.BApplyUpdate());
    EXPECT_EQ("launcher two", ReadTextFile(Install("arvolauncher")));
    EXPECT_FALSE(BExists("readme.txt.old"));
    EXPECT_TRUE(BExists("arvolauncher.old"));
    EXPECT_FALSE(BLogHas("Failed to clear up temporary update files used for rollback, continuing anyway"));

    // The next start removes it.
    updater.SetFileOps(nullptr);
    CFerroUpdater &next = MakeInstallUpdater();
    next.RemoveOldExecutable();
    EXPECT_FALSE(BExists("arvolauncher.old"));
    next.RemoveOldExecutable();
}

TEST_F(InstallTest, AFailedCommitMovesTheReplacedFilesBack)
{
    PublishBuild(1, {{"core", {{"a.dll", "a1"}, {"b.dll", "b1"}, {"c.dll", "c1"}}}});
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate());
    const FileMap_t mapOld = GameFiles();

    // The third file fails: the two replaced before it come back from their backups.
    PublishBuild(2, {{"core", {{"a.dll", "a2"}, {"b.dll", "b2"}, {"c.dll", "c2"}}}});
    CFerroUpdater &updater = MakeInstallUpdater();
    CScriptedUpdateUI ui;
    updater.SetUpdateStatusUI(&ui);
    m_FileOps.m_bSortListings = true;
    m_FileOps.m_fnFail = [](const std::string &strOp, const std::string &strPath)
    { return strOp == "rename" && strPath == "package/tmp/./c.dll"; };
    EXPECT_FALSE(updater.BApplyUpdate());
    EXPECT_EQ(mapOld, GameFiles()) << DescribeFiles(GameFiles());
    EXPECT_TRUE(BLogHas("BCommitUpdatedFiles: failed to rename package\\tmp\\.\\c.dll -> ./c.dll\n"));
    EXPECT_TRUE(BHas(ui.m_vecStatus, "Failed to apply update, reverting..."));
    EXPECT_TRUE(BExists(PendingManifest()));
    EXPECT_TRUE(updater.BVerifyInstalledFiles(true));

    // Files and directories that the commit added where there were none go again.
    PublishBuild(3,
                 {{"core", {{"a.dll", "a3"}, {"ab.dll", "new"}, {"ac/deep/x.txt", "x"}, {"c.dll", "c3"}}}});
    MakeInstallUpdater();
    m_FileOps.m_bSortListings = true;
    m_FileOps.m_fnFail = [](const std::string &strOp, const std::string &strPath)
    { return strOp == "rename" && strPath == "package/tmp/./c.dll"; };
    EXPECT_FALSE(m_pUpdater->BApplyUpdate());
    EXPECT_EQ(mapOld, GameFiles()) << DescribeFiles(GameFiles());
    EXPECT_FALSE(BExists("ac"));
    EXPECT_FALSE(BExists("package/tmp"));

    // Without the fault the same update goes in, over whatever the failed one left.
    MakeInstallUpdater();
    ASSERT_TRUE(m_pUpdater->BApplyUpdate());
    EXPECT_EQ((FileMap_t{{"a.dll", "a3"}, {"ab.dll", "new"}, {"ac/deep/x.txt", "x"}, {"c.dll", "c3"}}),
              GameFiles());
}

TEST_F(InstallTest, CancellingDuringTheCommitRollsBack)
{
    PublishBuild(1, {{"core", {{"a.dll", "a1"}, {"b.dll", "b1"}, {"c.dll", "c1"}}}});
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate());
    const FileMap_t mapOld = GameFiles();
    PublishBuild(2, {{"core", {{"a.dll", "a2"}, {"b.dll", "b2"}, {"c.dll", "c2"}}}});

    // The cancel comes while the commit walks its files.
    class CCancelDuringCommit : public CScriptedUpdateUI
    {
    public:
        bool BUserCancelled() override
        {
            if (!m_vecStatus.empty() && m_vecStatus.back() == "Installing update..." && ++m_cChecks == 3)
                m_bCancelled = true;
            return m_bCancelled;
        }
        int m_cChecks = 0;
    } ui;
    CFerroUpdater &updater = MakeInstallUpdater();
    updater.SetUpdateStatusUI(&ui);
    EXPECT_FALSE(updater.BApplyUpdate());
    EXPECT_EQ(3, ui.m_cChecks);
    EXPECT_EQ(mapOld, GameFiles()) << DescribeFiles(GameFiles());
    EXPECT_EQ("Failed to apply update, reverting...", ui.m_vecStatus.back());
    EXPECT_TRUE(BExists(PendingManifest()));
}

TEST_F(InstallTest, CancellingDuringUnpackingKeepsTheArchive)
{
    PublishBuild(1, {{"core", {{"a.dll", "a1"}}}});
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate());
    PublishBuild(2, {{"core", {{"a.dll", "a2"}, {"b.dll", "b2"}}}});
    CFerroUpdater &updater = MakeInstallUpdater();
    CScriptedUpdateUI ui;
    ui.m_strCancelOnStatus = "Extracting package...";
    updater.SetUpdateStatusUI(&ui);
    EXPECT_FALSE(updater.BApplyUpdate());
    EXPECT_EQ((FileMap_t{{"a.dll", "a1"}}), GameFiles());
    // A verified archive that the user stopped unpacking is still good.
    EXPECT_TRUE(BExists("package/" + m_vecLastPackages[0].m_strFile));
    EXPECT_TRUE(BExists(PendingManifest()));
    EXPECT_TRUE(updater.GetLastErrorText().IsEmpty());
    EXPECT_FALSE(BHas(ui.m_vecStatus, "Installing update..."));
}

TEST_F(InstallTest, ASecondInstallationReplacesBackupsLeftByTheFirst)
{
    PublishBuild(1, {{"core", {{"a.dll", "a1"}, {"b.dll", "b1"}}}});
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate());
    PublishBuild(2, {{"core", {{"a.dll", "a2"}, {"b.dll", "b2"}}}});
    CFerroUpdater &updater = MakeInstallUpdater();
    CScriptedUpdateUI ui;
    updater.SetUpdateStatusUI(&ui);
    // The backup of a running executable cannot be deleted on Windows.
    m_FileOps.m_setStuck = {"./a.dll.old"};
    ASSERT_TRUE(updater.BApplyUpdate());
    EXPECT_TRUE(BHas(
        ui.m_vecStatus,
        LocalizeUpdaterText("#FerroBootstrapper_UpdateCleanupFail",
                            "Failed to clear up temporary update files used for rollback, continuing anyway")
            .Get()));
    EXPECT_EQ("a1", ReadTextFile(Install("a.dll.old")));
    EXPECT_FALSE(BExists("b.dll.old"));

    PublishBuild(2, {{"core", {{"a.dll", "a2"}, {"b.dll", "b2"}}}});
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate());
    EXPECT_EQ((FileMap_t{{"a.dll", "a2"}, {"b.dll", "b2"}}), GameFiles()) << DescribeFiles(GameFiles());
}

TEST_F(InstallTest, ArchivesWithoutItemsDirectoriesAndRepeatedNames)
{
    FileMap_t mapFiles = PublishBuild(1, {{"empty", {}},
                                          {"core",
                                           {{"Docs/", ""},
                                            {"docs/readme.txt", "read me"},
                                            {"A.txt", "first"},
                                            {"a.txt", "second"},
                                            {"logs2/", ""}}}});
    CFerroUpdater &updater = MakeInstallUpdater();
    ASSERT_TRUE(updater.BApplyUpdate()) << updater.GetLastErrorText().Get();
    // The later of two items with one name wins; the name is listed once; directory items
    // are listed as directories.
    EXPECT_EQ((FileMap_t{{"a.txt", "second"}, {"docs/readme.txt", "read me"}}), GameFiles());
    EXPECT_TRUE(std::filesystem::is_directory(Install("logs2")));
    EXPECT_EQ(TextModeFile("docs/,-1,,core\n" + ListLine("docs/readme.txt", "read me", "core") +
                           ListLine("a.txt", "second", "core") + "logs2/,-1,,core\n"),
              ReadTextFile(Install(InstalledList())));
    EXPECT_TRUE(updater.BVerifyInstalledFiles(true));
    EXPECT_TRUE(BExists("package/" + m_vecLastPackages[0].m_strFile));
    (void)mapFiles;

    // Unpacking an archive without items directly: success, nothing listed, nothing taken
    // from the old list.
    std::string strEmpty = BuildZip(m_Dir.File("empty.zip"), {});
    CUtlVector<CUtlString> vecOld, vecNew;
    vecOld.AddToTail("x.txt");
    EXPECT_TRUE(updater.BUnzipPackage(strEmpty.data(), strEmpty.size(), "package\\tmp2", vecOld, vecNew));
    EXPECT_EQ(0, vecNew.Count());
    EXPECT_EQ(1, vecOld.Count());
}

TEST_F(InstallTest, ModeBitsOfTheArchiveAreKept)
{
    PublishBuild(1, {{"core",
                      {{"bin/run.sh", "#!/bin/sh\n", 0755},
                       {"bin/data", "d", 0644},
                       {"bin/readonly", "r", 0444},
                       {"bin/group-writable", "g", 0666},
                       {"bin/dos", "x", 0, false}}}});
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate());
    auto Mode = [&](const char *pchFile)
    {
        struct stat st;
        EXPECT_EQ(0, stat(Install(pchFile).c_str(), &st)) << pchFile;
        return st.st_mode & 0777;
    };
    EXPECT_EQ(0755u, Mode("bin/run.sh"));
    EXPECT_EQ(0644u, Mode("bin/data"));
    // Always writable by its owner (the next update replaces it), never by everyone.
    EXPECT_EQ(0644u, Mode("bin/readonly"));
    EXPECT_EQ(0644u, Mode("bin/group-writable"));
    EXPECT_EQ(0u, Mode("bin/dos") & 0111);
}

TEST_F(InstallTest, OnABetaTheBuildWithoutBetaStaysInstallable)
{
    PublishBuild(1, {{"core", {{"a.dll", "a1"}}}});
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate());
    const std::string strNonBetaArchive = m_vecLastPackages[0].m_strFile;
    TestPackage_t stray = {"stray", {{"s.txt", "s"}}};
    WritePackage(&stray, Install("package"));

    WriteInstallFile("package/beta", "xyz");
    PublishBuild(5, {{"core", {{"a.dll", "beta-a"}}}, {"more", {{"m.dll", "m"}}}}, "xyz");
    CFerroUpdater &updater = MakeInstallUpdater();
    ASSERT_STREQ("xyz", updater.GetClientBeta().Get());
    ASSERT_TRUE(updater.BApplyUpdate()) << updater.GetLastErrorText().Get();

    EXPECT_EQ((FileMap_t{{"a.dll", "beta-a"}, {"m.dll", "m"}}), GameFiles());
    EXPECT_FALSE(BExists(InstalledList()));
    EXPECT_TRUE(BExists(InstalledManifest()));
    EXPECT_TRUE(BExists(InstalledList("xyz")));
    EXPECT_TRUE(BExists(InstalledManifest("xyz")));
    EXPECT_FALSE(BExists(PendingManifest("xyz")));
    // The cleanup keeps what either manifest names and nothing else.
    EXPECT_TRUE(BExists("package/" + strNonBetaArchive));
    EXPECT_TRUE(BExists("package/" + m_vecLastPackages[0].m_strFile));
    EXPECT_TRUE(BExists("package/" + m_vecLastPackages[1].m_strFile));
    EXPECT_FALSE(BExists("package/" + stray.m_strFile));
    EXPECT_TRUE(BExists("package/beta"));
}

TEST_F(InstallTest, BadArchivesAreDeletedAndTheInstallationStays)
{
    PublishBuild(1, {{"core", {{"a.dll", "a1"}}}});
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate());
    const FileMap_t mapOld = GameFiles();

    struct Case_t
    {
        const char *m_pchName;
        std::function<void(const TestPackage_t &)> m_fnSpoil;
        std::function<void(const std::string &)> m_fnFault;
        const char *m_pchFormat;
    };
    const Case_t rgCases[] = {
        // Same size, one byte changed: the digest in the name no longer matches.
        {"corrupt",
         [this](const TestPackage_t &package)
         {
             std::string strPath = Install("package/" + package.m_strFile);
             std::string str = ReadTextFile(strPath);
             str[str.size() / 2] ^= 0x55;
             WriteTextFile(strPath, str);
         },
         nullptr, "Corrupt package file (%s)"},
        {"unreadable", nullptr,
         [this](const std::string &strFile)
         {
             m_FileOps.m_fnFail = [strFile](const std::string &strOp, const std::string &strPath)
             { return strOp == "read" && strPath.find(strFile) != std::string::npos; };
         },
         "Failed to read package (%s)"},
        // Bytes that are no archive, under their own correct digest.
        {"not a zip",
         [this](const TestPackage_t &package)
         {
             std::string str(package.m_cubSize, 'z');
             TestPackage_t renamed = package;
             renamed.m_strFile = package.m_strName + ".zip." + SHA1Hex(str);
             WriteTextFile(Install("package/" + renamed.m_strFile), str);
             std::filesystem::remove(Install("package/" + package.m_strFile));
             WriteTextFile(Install(PendingManifest()), SignedManifestText(ManifestText(2, {renamed})));
             m_vecLastPackages = {renamed};
         },
         nullptr, "Failed to unzip package (%s)"},
    };
    for (const Case_t &c : rgCases)
    {
        PublishBuild(2, {{"core", {{"a.dll", "a2"}, {"b.dll", "b2"}}}});
        if (c.m_fnSpoil)
            c.m_fnSpoil(m_vecLastPackages[0]);
        CFerroUpdater &updater = MakeInstallUpdater();
        if (c.m_fnFault)
            c.m_fnFault(m_vecLastPackages[0].m_strFile);
        EXPECT_FALSE(updater.BApplyUpdate()) << c.m_pchName;
        CUtlString strExpected;
        strExpected.Format(c.m_pchFormat, PackagePath(m_vecLastPackages[0]).c_str());
        EXPECT_STREQ(strExpected.Get(), updater.GetLastErrorText().Get()) << c.m_pchName;
        EXPECT_EQ("Error: " + std::string(strExpected.Get()) + "\n", LogMessages().back()) << c.m_pchName;
        EXPECT_FALSE(BExists("package/" + m_vecLastPackages[0].m_strFile)) << c.m_pchName;
        EXPECT_EQ(mapOld, GameFiles()) << c.m_pchName;
        EXPECT_TRUE(updater.BVerifyInstalledFiles(true)) << c.m_pchName;
    }
    EXPECT_TRUE(BLogHas("Error: Failed to open package\n"));
}

TEST_F(InstallTest, NamesThatLeaveTheTemporaryFolderRefuseTheArchive)
{
    PublishBuild(1, {{"core", {{"a.dll", "a1"}}}});
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate());
    const FileMap_t mapOld = GameFiles();
    const char *rgpchBad[] = {"../evil.txt",   "sub/../../evil.txt", "..\\evil.txt", "sub\\..\\..\\evil.txt",
                              "/evil-abs.txt", "\\evil.txt",         "c:evil.txt",   "C:/evil.txt",
                              "sub/..",        "ok/a:b.txt",         "..",           "sub/../x.txt"};
    for (const char *pchBad : rgpchBad)
    {
        // The good item comes first: a refused archive has written nothing at all.
        PublishBuild(2, {{"core", {{"good.txt", "good"}, {pchBad, "evil"}}}});
        CFerroUpdater &updater = MakeInstallUpdater();
        EXPECT_FALSE(updater.BApplyUpdate()) << pchBad;
        EXPECT_EQ("Failed to unzip package (" + PackagePath(m_vecLastPackages[0]) + ")",
                  updater.GetLastErrorText().Get())
            << pchBad;
        EXPECT_FALSE(BExists("package/" + m_vecLastPackages[0].m_strFile)) << pchBad;
        EXPECT_EQ(mapOld, GameFiles()) << pchBad;
        // Refused: the temporary folder and the pending manifest are gone as well.
        EXPECT_FALSE(BExists("package/tmp")) << pchBad;
        EXPECT_FALSE(BExists(PendingManifest())) << pchBad;
        EXPECT_EQ(FileMap_t(), SnapshotFiles(m_Dir.Path(), {"install", "registry", "scratch.zip"})) << pchBad;
    }
    EXPECT_FALSE(std::filesystem::exists("/evil-abs.txt"));
    EXPECT_TRUE(BLogHas("Error: Archive item ../evil.txt would be written outside package\\tmp\n"));

    // Dots that are no parent directory are fine (a name of dots alone only on POSIX:
    // Windows drops the trailing dots of a name).
#ifdef _WIN32
    PublishBuild(3, {{"core", {{"a..b/..c.txt", "dots"}, {"...x", "three"}}}});
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate()) << m_pUpdater->GetLastErrorText().Get();
    EXPECT_EQ((FileMap_t{{"a..b/..c.txt", "dots"}, {"...x", "three"}}), GameFiles());
#else
    PublishBuild(3, {{"core", {{"a..b/..c.txt", "dots"}, {"...", "three"}}}});
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate()) << m_pUpdater->GetLastErrorText().Get();
    EXPECT_EQ((FileMap_t{{"a..b/..c.txt", "dots"}, {"...", "three"}}), GameFiles());
#endif

    // A name too long for a path is refused as well, not cut to another name.
    PublishBuild(4, {{"core", {{std::string(300, 'n'), "long"}}}});
    EXPECT_FALSE(MakeInstallUpdater().BApplyUpdate());
    EXPECT_EQ("Failed to unzip package (" + PackagePath(m_vecLastPackages[0]) + ")",
              m_pUpdater->GetLastErrorText().Get());
}

TEST_F(InstallTest, ItemsInTheLaunchersOwnFoldersRefuseTheArchive)
{
    PublishBuild(1, {{"core", {{"a.dll", "a1"}}}});
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate());
    const FileMap_t mapOld = GameFiles();
    WriteInstallFile("package/beta", "");
    const FileMap_t mapOldPackage = SnapshotFiles(Install("package"));
    // The beta, the unpacking folder, the file list and the log, however they are spelled.
    const std::string rgstrBad[] = {"package/beta",           "Package\\beta", "./package/tmp/zz.txt",
                                    ".//PACKAGE/x.txt",       "package",       "package/",
                                    "logs/bootstrap_log.txt", "LOGS\\x",       InstalledList()};
    for (const std::string &strBad : rgstrBad)
    {
        const char *pchBad = strBad.c_str();
        PublishBuild(2, {{"core", {{"good.txt", "good"}, {pchBad, "evilbeta"}}}});
        CFerroUpdater &updater = MakeInstallUpdater();
        EXPECT_FALSE(updater.BApplyUpdate()) << pchBad;
        EXPECT_EQ("Failed to unzip package (" + PackagePath(m_vecLastPackages[0]) + ")",
                  updater.GetLastErrorText().Get())
            << pchBad;
        EXPECT_EQ(mapOld, GameFiles()) << pchBad;
        EXPECT_EQ("", ReadTextFile(Install("package/beta"))) << pchBad;
        EXPECT_FALSE(BExists("logs/x")) << pchBad;
    }
    EXPECT_TRUE(BLogHas("Error: Archive item package/beta would overwrite the launcher's own files\n"));
    // Names that only begin like those folders are the build's own.
    PublishBuild(3, {{"core", {{"packages/a.txt", "p"}, {"logsx/b.txt", "l"}, {"sub/package/c.txt", "c"}}}});
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate()) << m_pUpdater->GetLastErrorText().Get();
    EXPECT_EQ((FileMap_t{{"packages/a.txt", "p"}, {"logsx/b.txt", "l"}, {"sub/package/c.txt", "c"}}),
              GameFiles());
}

TEST_F(InstallTest, ADamagedItemFailsTheUnpackingAndLeavesNoFile)
{
    std::string strZip = BuildZip(m_Dir.File("one.zip"), {{"x.bin", std::string(4000, 'x')}, {"y.bin", "y"}});
    // Inside the first item's compressed data (after its 30-byte header and name).
    strZip[30 + 5 + 3] ^= 0x40;
    std::filesystem::create_directories(Install("package"));
    CFerroUpdater &updater = MakeInstallUpdater();
    CUtlVector<CUtlString> vecOld, vecNew;
    EXPECT_FALSE(updater.BUnzipPackage(strZip.data(), strZip.size(), "package\\tmp", vecOld, vecNew));
    EXPECT_EQ(0u,
              updater.GetLastErrorText().StdString().find("Failed to unzip item package\\tmp\\x.bin (0, -"))
        << updater.GetLastErrorText().Get();
    EXPECT_EQ(FileMap_t(), SnapshotFiles(Install("package/tmp")));
}

TEST_F(InstallTest, TooLittleFreeSpaceStopsBeforeAnything)
{
    PublishBuild(1, {{"core", {{"a.dll", "a1"}}}});
    CFerroUpdater &updater = MakeInstallUpdater();
    m_FileOps.m_cubFreeSpace = 104857600;
    EXPECT_FALSE(updater.BApplyUpdate());
    EXPECT_STREQ("Ferro needs at least 100MB of free disk space to update.",
                 updater.GetLastErrorText().Get());
    EXPECT_EQ("Error: Ferro needs at least 100MB of free disk space to update.\n", LogMessages().back());
    // Only the pending manifest was read.
    EXPECT_EQ(std::vector<std::string>{"read " + Install(PendingManifest())}, m_FileOps.m_vecSteps);
    EXPECT_EQ(FileMap_t(), GameFiles());

    m_FileOps.m_cubFreeSpace = 104857601;
    EXPECT_TRUE(updater.BApplyUpdate());
}

TEST_F(InstallTest, AFailedFileListLeavesTheUpdatePendingForTheNextStart)
{
    PublishBuild(1, {{"core", {{"a.dll", "a1"}, {"old.txt", "o"}}}});
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate());
    for (const char *pchOp : {"open-write", "write", "close"})
    {
        FileMap_t mapNew = PublishBuild(2, {{"core", {{"a.dll", "a2"}, {"b.dll", "b2"}}}});
        CFerroUpdater &updater = MakeInstallUpdater();
        std::string strOp = pchOp;
        m_FileOps.m_fnFail = [strOp](const std::string &strFailOp, const std::string &strPath) {
            return strFailOp == strOp && strPath.size() > 10 &&
                   strPath.rfind(".installed") == strPath.size() - 10;
        };
        EXPECT_FALSE(updater.BApplyUpdate()) << pchOp;
        EXPECT_STREQ("Failed to open install file list", updater.GetLastErrorText().Get()) << pchOp;
        EXPECT_EQ(mapNew, GameFiles()) << pchOp;
        EXPECT_FALSE(BExists(InstalledList())) << pchOp;
        EXPECT_TRUE(BExists(PendingManifest())) << pchOp;
        EXPECT_FALSE(updater.BVerifyInstalledFiles(true)) << pchOp;

        // The next start finds it pending and completes it.
        CFerroUpdater &next = MakeInstallUpdater();
        ASSERT_TRUE(next.BIsUpdatePending()) << pchOp;
        ASSERT_TRUE(next.BApplyUpdate()) << pchOp;
        EXPECT_EQ(mapNew, GameFiles()) << pchOp;
        EXPECT_TRUE(next.BVerifyInstalledFiles(true)) << pchOp;
        EXPECT_FALSE(BExists(PendingManifest())) << pchOp;

        // Back to the old build for the next round.
        PublishBuild(1, {{"core", {{"a.dll", "a1"}, {"old.txt", "o"}}}});
        ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate());
    }
}

TEST_F(InstallTest, WhatIsOnDiskWhereTheBuildDiffersEndsTheInstallationWithItsMessage)
{
    PublishBuild(1, {{"core", {{"a.dll", "a1"}}}});
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate());
    // A file of the user's where the build has a directory, and a directory of the user's
    // where the build has a file: neither is removed, the installation fails and the old
    // one stays.
    WriteInstallFile("bin", "a file");
    WriteInstallFile("data/save.txt", "save");
    const FileMap_t mapOld = GameFiles();
    struct Case_t
    {
        std::vector<ZipItem_t> m_vecItems;
        const char *m_pchLog;
    };
    const Case_t rgCases[] = {
        {{{"a.dll", "a2"}, {"bin/client.dll", "c"}},
         "BCommitUpdatedFiles: failed to create directory ./bin\n"},
        {{{"a.dll", "a2"}, {"data", "now a file"}},
         "BCommitUpdatedFiles: failed to rename ./data -> ./data.old\n"},
    };
    for (const Case_t &c : rgCases)
    {
        PublishBuild(2, {{"core", c.m_vecItems}});
        CFerroUpdater &updater = MakeInstallUpdater();
        CScriptedUpdateUI ui;
        updater.SetUpdateStatusUI(&ui);
        EXPECT_FALSE(updater.BApplyUpdate()) << c.m_pchLog;
        EXPECT_TRUE(BLogHas(c.m_pchLog)) << c.m_pchLog;
        EXPECT_EQ("Failed to apply update, reverting...", ui.m_vecStatus.back());
        EXPECT_EQ(mapOld, GameFiles()) << c.m_pchLog << DescribeFiles(GameFiles());
        updater.SetUpdateStatusUI(nullptr);
    }

    // A stale temporary folder of an earlier failed run is not part of the next build.
    WriteInstallFile("package/tmp/stale.dll", "stale");
    std::filesystem::remove(Install("bin"));
    std::filesystem::remove_all(Install("data"));
    PublishBuild(3, {{"core", {{"a.dll", "a3"}}}});
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate());
    EXPECT_EQ((FileMap_t{{"a.dll", "a3"}}), GameFiles());
}

TEST_F(InstallTest, PendingManifestsThatDoNotVerifyAreRefusedAndDeleted)
{
    PublishBuild(1, {{"data", {{"d.txt", "d1"}}}, {"core", {{"a.dll", "a1"}}}});
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate());
    const FileMap_t mapOld = GameFiles();
    // The next build would drop data/: what an unsigned manifest did.
    PublishBuild(2, {{"core", {{"a.dll", "a1"}}}});
    const std::string strGenuine = ReadTextFile(Install(PendingManifest()));
    const std::string strUnsigned = ManifestText(2, m_vecLastPackages);
    std::string strForged = strGenuine;
    strForged[strForged.rfind('"') - 3] ^= 1; // one signature digit
    const std::string rgstrManifests[] = {
        strUnsigned,
        strForged,
        strGenuine.substr(0, strGenuine.size() / 2), // cut in the middle
        strGenuine.substr(0, strGenuine.find("kvsignatures")),
        "",
        SignedManifestText("\"manifest\" { \"core\" { \"file\" \"../core.zip.00\" \"size\" \"1\" } }"),
    };
    CSpewCapture capture;
    for (const std::string &strManifest : rgstrManifests)
    {
        WriteInstallFile(PendingManifest(), strManifest);
        CFerroUpdater &updater = MakeInstallUpdater();
        // Not pending: nothing installed, nothing reported but the refusal in the log.
        EXPECT_FALSE(updater.BIsUpdatePending()) << strManifest;
        EXPECT_FALSE(updater.BApplyUpdate()) << strManifest;
        EXPECT_TRUE(updater.GetLastErrorText().IsEmpty()) << strManifest;
        EXPECT_TRUE(BExists(PendingManifest())) << strManifest;
        // The updater thread deletes it before it looks for a pending update.
        EXPECT_TRUE(updater.BDiscardRefusedPendingManifests()) << strManifest;
        EXPECT_FALSE(BExists(PendingManifest())) << strManifest;
        EXPECT_FALSE(updater.BDiscardRefusedPendingManifests()) << strManifest;
        EXPECT_EQ(mapOld, GameFiles()) << strManifest;
    }
    EXPECT_TRUE(BLogHasSubstring("refused: the RSA signature does not verify\n"));
    EXPECT_TRUE(BLogHasSubstring("refused: it is empty or does not parse\n"));
    EXPECT_TRUE(BLogHasSubstring("refused: package 'core': file '../core.zip.00' is not the package name, "
                                 "\".zip.\" and 40 hex digits\n"));
    EXPECT_TRUE(BLogHasSubstring("Deleted the refused pending manifest"));

    // A genuine one still installs, and the apply checks it once more itself.
    WriteInstallFile(PendingManifest(), strGenuine);
    CFerroUpdater &updater = MakeInstallUpdater();
    EXPECT_FALSE(updater.BDiscardRefusedPendingManifests());
    ASSERT_TRUE(updater.BApplyUpdate()) << updater.GetLastErrorText().Get();
    EXPECT_EQ((FileMap_t{{"a.dll", "a1"}}), GameFiles());
}

TEST_F(InstallTest, ABuildOfThePublisherInstalls)
{
    const char *pchBin = getenv("FERRO_BIN_DIR");
    const char *pchSource = getenv("FERRO_SOURCE_DIR");
    if (!pchBin || !pchSource || !std::filesystem::exists(std::string(pchBin) + "/ferro-publish"))
        GTEST_SKIP() << "needs ferro-publish (FERRO_BIN_DIR) and the development key (FERRO_SOURCE_DIR)";

    // Top-level folders become packages, files at the top the package "root".
    const std::string strStaging = m_Dir.File("staging");
    const FileMap_t mapStaging = {{"ferro.exe", "launcher"},
                                  {"bin/client.so", std::string(100000, 'c')},
                                  {"bin/run.sh", "#!/bin/sh\n"},
                                  {"public/ferrobootstrapper_english.txt", "\"lang\" { }"}};
    for (const auto &entry : mapStaging)
    {
        std::filesystem::create_directories(
            std::filesystem::path(strStaging + "/" + entry.first).parent_path());
        ASSERT_TRUE(WriteTextFile(strStaging + "/" + entry.first, entry.second));
    }
    std::filesystem::permissions(strStaging + "/bin/run.sh", std::filesystem::perms(0755));
    std::string strCommand = std::string(pchBin) + "/ferro-publish build --key " + pchSource +
                             "/tests/keys/dev_manifest_private.der --version 12 --input " + strStaging +
                             " --output " + m_Dir.File("content") + " >/dev/null";
    ASSERT_EQ(0, std::system(strCommand.c_str())) << strCommand;
    std::filesystem::create_directories(Install("package"));
    for (const auto &entry : std::filesystem::directory_iterator(m_Dir.File("content/client")))
        std::filesystem::copy_file(entry.path(), Install("package/" + entry.path().filename().string()));

    CFerroUpdater &updater = MakeInstallUpdater();
    ASSERT_TRUE(updater.BIsUpdatePending());
    ASSERT_TRUE(updater.BApplyUpdate()) << updater.GetLastErrorText().Get();
    EXPECT_EQ(mapStaging, GameFiles());
    EXPECT_TRUE(updater.BVerifyInstalledFiles(true));
    struct stat st;
    ASSERT_EQ(0, stat(Install("bin/run.sh").c_str(), &st));
    EXPECT_NE(0u, st.st_mode & 0100u);
    MakeUpdater();
    EXPECT_EQ(12u, GetBootstrapperVersion());
}

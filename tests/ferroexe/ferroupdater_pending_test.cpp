#include "installtestsupport.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <thread>

namespace
{
std::string Backslashes(std::string str)
{
    for (char &ch : str)
    {
        if (ch == '/')
            ch = '\\';
    }
    return str;
}
} // namespace

TEST_F(InstallTest, StatusTextsAreLoggedWhenTheyChangeAndErrorsAreKept)
{
    CFerroUpdater &updater = MakeUpdater();
    // Without a UI nothing is shown, but the log still gets the change.
    updater.UpdateStatusText("one");
    CScriptedUpdateUI ui;
    updater.SetUpdateStatusUI(&ui);
    updater.UpdateStatusText("one");
    updater.UpdateStatusText("two");
    updater.UpdateStatusText("two");
    EXPECT_EQ((std::vector<std::string>{"one", "two", "two"}), ui.m_vecStatus);
    std::vector<std::string> vecLog = LogMessages();
    EXPECT_EQ(1, std::count(vecLog.begin(), vecLog.end(), "one"));
    EXPECT_EQ(1, std::count(vecLog.begin(), vecLog.end(), "two"));
    EXPECT_STREQ("two", updater.m_strStatusText.Get());

    updater.SetUpdateError("not fatal", false);
    EXPECT_STREQ("not fatal", updater.GetLastErrorText().Get());
    EXPECT_FALSE(updater.m_bFatalError);
    EXPECT_EQ("Error: not fatal\n", LogMessages().back());
    updater.SetUpdateError("fatal", true);
    EXPECT_STREQ("fatal", updater.GetLastErrorText().Get());
    EXPECT_TRUE(updater.m_bFatalError);

    // Parameters reach the text; the result is a copy that outlives the next lookup.
    KeyValues *pParams = new KeyValues("params");
    pParams->SetString("pkgName", "p.zip");
    CUtlString strText =
        LocalizeUpdaterText("#FerroBootstrapper_NoSuchTokenForTheTest", "fallback with p.zip", pParams);
    pParams->DeleteThis();
    LocalizeUpdaterText("#FerroBootstrapper_UpdateChecking", "Checking for available update...");
    EXPECT_STREQ("fallback with p.zip", strText.Get());
}

TEST_F(InstallTest, PackagePathsAndWhatIsMissing)
{
    CFerroUpdater &updater = MakeInstallUpdater();
    updater.m_strPackageDir = m_Dir.File("elsewhere/package").c_str();
    std::filesystem::create_directories(m_Dir.File("elsewhere/package"));
    WriteTextFile(m_Dir.File("elsewhere/package/here.zip.01"), "12345");
    WriteTextFile(m_Dir.File("elsewhere/package/short.zip.02"), "123");
    WriteInstallFile("package/installed.zip.03", "1234567");
    WriteInstallFile("package/short.zip.02", "1234");
    KeyValues *pManifest = updater.LoadManifestFromBuffer(
        "\"manifest\" { \"version\" \"3\" \"here\" { \"file\" \"here.zip.01\" \"size\" \"5\" }\n"
        "\"short\" { \"file\" \"short.zip.02\" \"size\" \"5\" }\n"
        "\"installed\" { \"file\" \"installed.zip.03\" \"size\" \"7\" }\n"
        "\"gone\" { \"file\" \"gone.zip.04\" \"size\" \"11\" } }");
    ASSERT_NE(nullptr, pManifest);
    CKeyValuesAutoDelete manifestDelete(pManifest);

    CUtlVector<CUtlString> vecPaths;
    EXPECT_EQ(4, updater.GetPackagePaths(pManifest, vecPaths));
    ASSERT_EQ(4, vecPaths.Count());
    EXPECT_EQ(Backslashes(m_Dir.File("elsewhere/package/here.zip.01")), vecPaths[0].Get());
    EXPECT_EQ(Backslashes(m_Dir.File("elsewhere/package/gone.zip.04")), vecPaths[3].Get());

    // Present in the package directory or in the install directory's package folder with
    // the manifest's size; a wrong size anywhere is missing.
    CUtlVector<CUtlString> vecDownloads;
    vecDownloads.AddToTail("/client/earlier");
    uint64 cubTotal = 100;
    DownloadLocation_t location = GetDownloadLocation(k_EUniversePublic);
    EXPECT_EQ(2, updater.BuildDownloadList(location, pManifest, vecDownloads, &cubTotal));
    ASSERT_EQ(3, vecDownloads.Count());
    EXPECT_STREQ("/client/short.zip.02", vecDownloads[1].Get());
    EXPECT_STREQ("/client/gone.zip.04", vecDownloads[2].Get());
    EXPECT_EQ(116u, cubTotal);
    EXPECT_TRUE(BLogHas("Package file short.zip.02 missing or incorrect size\n"));
    EXPECT_TRUE(BLogHas("Package file gone.zip.04 missing or incorrect size\n"));
    EXPECT_FALSE(BLogHas("Package file here.zip.01 missing or incorrect size\n"));

    KeyValues *pNoPackages = updater.LoadManifestFromBuffer("\"manifest\" { \"version\" \"3\" }");
    ASSERT_NE(nullptr, pNoPackages);
    EXPECT_EQ(0, updater.GetPackagePaths(pNoPackages, vecPaths));
    EXPECT_EQ(0, updater.BuildDownloadList(location, pNoPackages, vecDownloads, &cubTotal));
    pNoPackages->DeleteThis();
}

TEST_F(InstallTest, APendingUpdateNeedsItsManifestAndEveryArchive)
{
    CFerroUpdater &updater = MakeInstallUpdater();
    EXPECT_FALSE(updater.BIsUpdatePending());
    PublishBuild(7, {{"core", {{"a.dll", "a"}}}, {"more", {{"b.dll", "b"}}}});
    EXPECT_TRUE(updater.BIsUpdatePending());
    EXPECT_TRUE(BLogHas("uninstalled manifest found in " + Backslashes(Install(PendingManifest())) + ".\n"));

    // An archive missing, or of another size.
    const std::string strArchive = Install("package/" + m_vecLastPackages[1].m_strFile);
    std::string strBytes = ReadTextFile(strArchive);
    std::filesystem::remove(strArchive);
    EXPECT_FALSE(updater.BIsUpdatePending());
    WriteTextFile(strArchive, strBytes + "x");
    EXPECT_FALSE(updater.BIsUpdatePending());
    WriteTextFile(strArchive, strBytes);
    EXPECT_TRUE(updater.BIsUpdatePending());

    // The pending manifest of another beta is not this one's.
    WriteInstallFile("package/beta", "xyz");
    EXPECT_FALSE(MakeInstallUpdater().BIsUpdatePending());
    std::filesystem::remove(Install("package/beta"));

    // A universe without a download location.
    CFerroUpdater &dev = MakeInstallUpdater();
    dev.m_eUniverse = k_EUniverseDev;
    EXPECT_FALSE(dev.BIsUpdatePending());
    EXPECT_STREQ("Failed to determine download location for universe 4", dev.GetLastErrorText().Get());
    EXPECT_EQ("Error: Failed to determine download location for universe 4\n", LogMessages().back());
}

TEST_F(InstallTest, ThePendingTestLooksInTheInstallDirectoryWithoutMovingThePackageDirectory)
{
    const std::string strElsewhere = m_Dir.File("elsewhere/package");
    std::filesystem::create_directories(strElsewhere);
    PublishBuild(7, {{"core", {{"a.dll", "a"}}}});
    CFerroUpdater &updater = MakeInstallUpdater();
    updater.m_strPackageDir = strElsewhere.c_str();

    // Nothing where the package directory is: found in the install directory's folder.
    EXPECT_TRUE(updater.BIsUpdatePending());
    EXPECT_EQ(strElsewhere, updater.GetPackageDir().Get());

    // Found in both: the first look decides.
    PublishBuild(8, {{"core", {{"a.dll", "a8"}}}}, "", strElsewhere);
    EXPECT_TRUE(updater.BIsUpdatePending());
    // Incomplete in the package directory, complete in the install directory: pending.
    std::filesystem::remove(strElsewhere + "/" + m_vecLastPackages[0].m_strFile);
    EXPECT_TRUE(updater.BIsUpdatePending());
    // A manifest that cannot be loaded where the package directory is ends the test there.
    WriteTextFile(strElsewhere + "/" + PackageBase(), "\"manifest\" {");
    EXPECT_FALSE(updater.BIsUpdatePending());
    std::filesystem::remove(strElsewhere + "/" + PackageBase());
    // Incomplete in the install directory's folder as well.
    std::filesystem::remove(Install(PendingManifest()));
    EXPECT_FALSE(updater.BIsUpdatePending());

    // Asked from other threads while the package directory is in use: each call forms its
    // own paths (run under ThreadSanitizer to see it).
    PublishBuild(9, {{"core", {{"a.dll", "a9"}}}});
    updater.SetFileOps(nullptr); // the platform's: the fake counts on one thread
    std::vector<std::thread> vecThreads;
    std::atomic<int> cPending(0);
    for (int i = 0; i < 2; ++i)
    {
        vecThreads.emplace_back(
            [&]()
            {
                for (int n = 0; n < 20; ++n)
                    cPending += updater.BIsUpdatePending() ? 1 : 0;
            });
    }
    for (int n = 0; n < 20; ++n)
        EXPECT_EQ(strElsewhere, updater.GetPackageDir().Get());
    for (std::thread &thread : vecThreads)
        thread.join();
    EXPECT_EQ(40, cPending.load());
}

TEST_F(InstallTest, AnUpdateIsImportedFromAnotherDirectory)
{
    const std::string strSource = m_Dir.File("download");
    CFerroUpdater &updater = MakeInstallUpdater();
    CScriptedUpdateUI ui;
    updater.SetUpdateStatusUI(&ui);
    const std::string strOwnPackages = updater.GetPackageDir().Get();

    // Nothing there.
    EXPECT_FALSE(updater.BInstallUpdateFromDirectory(strSource.c_str()));

    PublishBuild(2, {{"core", {{"a.dll", "a2"}}}, {"more", {{"b.dll", "b2"}}}}, "", strSource);
    const std::vector<TestPackage_t> vecPackages = m_vecLastPackages;
    const std::string strSourceManifest = strSource + "/" + PackageBase();

    // Not newer than the installed manifest: left alone.
    WriteInstallFile(InstalledManifest(), "\"manifest\" { \"version\" \"1\" }");
    auto SetTime = [](const std::string &strPath, int nSecondsFromNow)
    {
        std::filesystem::last_write_time(strPath, std::filesystem::file_time_type::clock::now() +
                                                      std::chrono::seconds(nSecondsFromNow));
    };
    SetTime(strSourceManifest, -100);
    SetTime(Install(InstalledManifest()), -100);
    EXPECT_FALSE(updater.BInstallUpdateFromDirectory(strSource.c_str()));
    EXPECT_EQ("update in " + Backslashes(strSourceManifest) +
                  " looks older than the currently installed package, not installing update\n",
              LogMessages().back());
    SetTime(strSourceManifest, -50);

    // An archive that is in neither place.
    std::string strMore = strSource + "/" + vecPackages[1].m_strFile;
    std::filesystem::rename(strMore, strMore + ".away");
    EXPECT_FALSE(updater.BInstallUpdateFromDirectory(strSource.c_str()));
    EXPECT_EQ("Package file " + vecPackages[1].m_strFile +
                  " missing or incorrect size, not installing update\n",
              LogMessages().back());
    EXPECT_EQ(strOwnPackages, updater.GetPackageDir().Get());
    EXPECT_EQ("Preparing to update...", ui.m_vecStatus.back());
    // One already in the install directory's folder is not needed from the source.
    std::filesystem::copy_file(strMore + ".away", Install("package/" + vecPackages[1].m_strFile));

#ifndef _WIN32
    // The install directory belongs to someone else than this (elevated) process: the
    // copies are given to that owner.
    const bool bRoot = geteuid() == 0;
    const uid_t uidOwner = bRoot ? 4321 : geteuid();
    const gid_t gidOwner = bRoot ? 4322 : getegid();
    if (bRoot)
    {
        ASSERT_EQ(0, chown(m_strInstall.c_str(), uidOwner, gidOwner));
    }
    EXPECT_TRUE(updater.BInstallUpdateFromDirectory(strSource.c_str()));
    EXPECT_EQ(strOwnPackages, updater.GetPackageDir().Get());
    for (const std::string &strCopy :
         {Install(PendingManifest()), Install("package/" + vecPackages[0].m_strFile), Install("package")})
    {
        struct stat st;
        ASSERT_EQ(0, stat(strCopy.c_str(), &st)) << strCopy;
        EXPECT_EQ(uidOwner, st.st_uid) << strCopy;
        EXPECT_EQ(gidOwner, st.st_gid) << strCopy;
    }
#else
    // Windows: the copies keep the owner the system gives them (no POSIX owners to hand on).
    EXPECT_TRUE(updater.BInstallUpdateFromDirectory(strSource.c_str()));
    EXPECT_EQ(strOwnPackages, updater.GetPackageDir().Get());
#endif
    EXPECT_EQ(ReadTextFile(strSourceManifest), ReadTextFile(Install(PendingManifest())));
    EXPECT_TRUE(BLogHas("copying " + Backslashes(strSource + "/" + vecPackages[0].m_strFile) + " -> " +
                        m_strInstall + "/package/" + vecPackages[0].m_strFile + "\n"));
    EXPECT_TRUE(updater.BIsUpdatePending());

#ifndef _WIN32
    // An owner that cannot be given makes the import report failure (the source stays).
    CFerroUpdater &refused = MakeInstallUpdater();
    m_FileOps.m_fnFail = [](const std::string &strOp, const std::string &) { return strOp == "chown"; };
    SetTime(strSourceManifest, 0);
    EXPECT_FALSE(refused.BInstallUpdateFromDirectory(strSource.c_str()));
    EXPECT_TRUE(BLogHas("Failed to give " + m_strInstall + "/package the owner of " + m_strInstall + "\n"));

#endif

    // Removing it from the source: the manifest and its archives, nothing else.
    WriteTextFile(strSource + "/unrelated.txt", "stays");
    CFerroUpdater &remover = MakeInstallUpdater();
    EXPECT_TRUE(remover.BRemoveUpdateFromDirectory(strSource.c_str()));
    EXPECT_EQ((FileMap_t{{"more.zip." + vecPackages[1].m_strFile.substr(9) + ".away",
                          ReadTextFile(strMore + ".away")},
                         {"unrelated.txt", "stays"}}),
              SnapshotFiles(strSource));
    EXPECT_TRUE(BLogHas("removing " + Backslashes(strSourceManifest) + "\n"));
    EXPECT_FALSE(remover.BRemoveUpdateFromDirectory(strSource.c_str()));

    // And the imported update installs.
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate()) << m_pUpdater->GetLastErrorText().Get();
    EXPECT_EQ((FileMap_t{{"a.dll", "a2"}, {"b.dll", "b2"}}), GameFiles());
}

TEST_F(InstallTest, AnImportThatFailsAnyCheckCopiesNothing)
{
    // The elevated import reads a directory that anyone may write.
    PublishBuild(1, {{"bin", {{"a.dat", "a1"}}}});
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate());
    const FileMap_t mapOld = GameFiles();
    // The import's lock file is made by the first try and stays, empty.
    auto PackageFiles = [&]
    {
        FileMap_t mapFiles = SnapshotFiles(Install("package"));
        mapFiles.erase("arvo_launcher.lock");
        return mapFiles;
    };
    const FileMap_t mapOldPackages = PackageFiles();
    const std::string strSource = m_Dir.File("download");
    const std::string strSourceManifest = strSource + "/" + PackageBase();

    auto ExpectRefused = [&](const std::string &strCase, const std::string &strLogLine)
    {
        std::filesystem::last_write_time(strSourceManifest, std::filesystem::file_time_type::clock::now() +
                                                                std::chrono::seconds(10));
        CFerroUpdater &updater = MakeInstallUpdater();
        EXPECT_FALSE(updater.BInstallUpdateFromDirectory(strSource.c_str())) << strCase;
        EXPECT_TRUE(BLogHas(strLogLine)) << strCase << "\n" << LogMessages().back();
        EXPECT_EQ(mapOldPackages, PackageFiles()) << strCase;
        EXPECT_EQ(mapOld, GameFiles()) << strCase;
    };

    // An unsigned manifest of version 99 with a hand-made archive.
    PublishBuild(
        99, {{"bin", {{"a.dat", "replaced by an unsigned import"}}}, {"evil", {{"evil/dropped.txt", "x"}}}},
        "", strSource);
    const std::vector<TestPackage_t> vecEvil = m_vecLastPackages;
    WriteTextFile(strSourceManifest, ManifestText(99, vecEvil));
    CSpewCapture capture;
    ExpectRefused("unsigned", "update in " + strSource +
                                  " is not signed by the content service, not installing update\n");
    EXPECT_TRUE(BLogHasSubstring("refused: the RSA signature does not verify\n"));

    // A genuine manifest whose archive was swapped for other bytes of the same length.
    PublishBuild(2, {{"bin", {{"a.dat", "a2"}}}, {"more", {{"b.dat", "b2"}}}}, "", strSource);
    const std::vector<TestPackage_t> vecGenuine = m_vecLastPackages;
    const std::string strArchive = strSource + "/" + vecGenuine[1].m_strFile;
    const std::string strGood = ReadTextFile(strArchive);
    std::string strBad = strGood;
    strBad[strBad.size() / 2] ^= 0x55;
    WriteTextFile(strArchive, strBad);
    ExpectRefused("swapped archive", "Package file " + vecGenuine[1].m_strFile +
                                         " does not match its digest, not installing update\n");
    WriteTextFile(strArchive, strGood);

    // The genuine manifest with one block moved inside another keeps its RSA signature.
    const std::string strGenuineText = ReadTextFile(strSourceManifest);
    std::string strMoved = strGenuineText;
    size_t iClose = strMoved.find("\t}\n");
    strMoved.erase(iClose, 3);
    strMoved.insert(strMoved.find("}\n\"kvsignatures\""), "\t}\n");
    WriteTextFile(strSourceManifest, strMoved);
    ExpectRefused("rearranged", "update in " + strSource +
                                    " is not signed by the content service, not installing update\n");
    EXPECT_TRUE(BLogHasSubstring("holds a block"));

    // The genuine update is imported and installs.
    WriteTextFile(strSourceManifest, strGenuineText);
    std::filesystem::last_write_time(strSourceManifest, std::filesystem::file_time_type::clock::now() +
                                                            std::chrono::seconds(20));
    CFerroUpdater &updater = MakeInstallUpdater();
    ASSERT_TRUE(updater.BInstallUpdateFromDirectory(strSource.c_str()));
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate()) << m_pUpdater->GetLastErrorText().Get();
    EXPECT_EQ((FileMap_t{{"a.dat", "a2"}, {"b.dat", "b2"}}), GameFiles());
}

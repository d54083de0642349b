// Unpacking on several threads, and while the download still runs: the same files and the
// same installed list as one package after the other (a path two packages ship comes from
// the later one), and whatever stops it (a bad archive, a full disk, a cancel in any phase)
// leaves the installation as it was and the temporary folder empty.
#include "updatechecktestsupport.h"

#include <cerrno>

namespace
{
bool BHas(const std::vector<std::string> &vec, const std::string &str)
{
    return std::find(vec.begin(), vec.end(), str) != vec.end();
}

// Packages with many small files each, so that the threads overlap, and a few paths that
// more than one package ships (in other letter case too).
std::vector<TestPackage_t> OverlappingBuild(const std::string &strTag)
{
    std::vector<TestPackage_t> vecPackages;
    for (int iPackage = 0; iPackage < 6; ++iPackage)
    {
        std::string strName = "p" + std::to_string(iPackage);
        std::vector<ZipItem_t> vecItems;
        for (int iFile = 0; iFile < 12; ++iFile)
            vecItems.push_back({strName + "/f" + std::to_string(iFile) + ".txt",
                                strTag + " " + strName + " file " + std::to_string(iFile)});
        if (iPackage % 2 == 1)
            vecItems.push_back({"shared/common.txt", strTag + " common from " + strName});
        if (iPackage == 2 || iPackage == 5)
            vecItems.push_back(
                {iPackage == 2 ? "Shared/Case.TXT" : "shared/case.txt", strTag + " case " + strName});
        vecPackages.push_back(TestPackage_t(strName, vecItems));
    }
    return vecPackages;
}

// The installed list that unpacking the packages one after the other gives: each path where
// it first came, with the bytes and package of the last copy.
std::string SequentialList(const std::vector<TestPackage_t> &vecPackages)
{
    std::vector<std::string> vecOrder;
    std::map<std::string, std::pair<std::string, std::string>> mapLast;
    for (const TestPackage_t &package : vecPackages)
    {
        for (const ZipItem_t &item : package.m_vecItems)
        {
            std::string strPath = LowerPath(item.m_strName);
            if (!mapLast.count(strPath))
                vecOrder.push_back(strPath);
            mapLast[strPath] = {item.m_strContent, package.m_strName};
        }
    }
    std::string strList;
    for (const std::string &strPath : vecOrder)
        strList += ListLine(strPath, mapLast[strPath].first, mapLast[strPath].second);
    return TextModeFile(strList);
}
} // namespace

class ParallelUnpackTest : public InstallTest
{
protected:
    // Build 1 installed, build 2 (overlapping packages) pending.
    void InstallOldPublishNew()
    {
        PublishBuild(1, {{"core", {{"p0/f0.txt", "old"}, {"old.txt", "old only"}}}});
        ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate());
        m_mapOld = GameFiles();
        m_mapNew = PublishBuild(2, OverlappingBuild("two"));
        m_vecNew = m_vecLastPackages;
    }
    // The update did not happen: the old build, no temporary folder.
    void ExpectUntouched()
    {
        EXPECT_EQ(m_mapOld, GameFiles()) << DescribeFiles(GameFiles());
        EXPECT_FALSE(BExists("package/tmp"));
    }
    std::string ArchiveOf(int iPackage) const { return "package/" + m_vecNew[(size_t)iPackage].m_strFile; }

    FileMap_t m_mapOld;
    FileMap_t m_mapNew;
    std::vector<TestPackage_t> m_vecNew;
    CCheckRecordingUI m_UI;
};

TEST_F(ParallelUnpackTest, APathShippedTwiceComesFromTheLaterPackageAsInOrder)
{
    // Several rounds: the threads meet the shared paths in a different order each time.
    for (uint64 ulVersion = 1; ulVersion <= 4; ++ulVersion)
    {
        std::vector<TestPackage_t> vecBuild = OverlappingBuild("round " + std::to_string(ulVersion));
        FileMap_t mapFiles = PublishBuild(ulVersion, vecBuild);
        CFerroUpdater &updater = MakeInstallUpdater();
        ASSERT_TRUE(updater.BApplyUpdate()) << updater.GetLastErrorText().Get();
        EXPECT_EQ(mapFiles, GameFiles());
        EXPECT_EQ("round " + std::to_string(ulVersion) + " common from p5",
                  ReadTextFile(Install("shared/common.txt")));
        EXPECT_EQ("round " + std::to_string(ulVersion) + " case p5",
                  ReadTextFile(Install("shared/case.txt")));
        EXPECT_EQ(SequentialList(vecBuild), ReadTextFile(Install(InstalledList())));
        EXPECT_FALSE(BExists("package/tmp"));
    }
}

TEST_F(ParallelUnpackTest, ABadArchiveAmongOthersIsRefusedAndDeleted)
{
    InstallOldPublishNew();
    // Same size, one byte changed: only its digest tells.
    std::string strBad = ReadTextFile(Install(ArchiveOf(3)));
    strBad[strBad.size() / 2] ^= 0x20;
    ASSERT_TRUE(WriteTextFile(Install(ArchiveOf(3)), strBad));
    CFerroUpdater &updater = MakeInstallUpdater();
    updater.SetUpdateStatusUI(&m_UI);
    EXPECT_FALSE(updater.BApplyUpdate());
    ExpectUntouched();
    EXPECT_FALSE(BExists(ArchiveOf(3)));
    for (int iPackage : {0, 1, 2, 4, 5})
        EXPECT_TRUE(BExists(ArchiveOf(iPackage))) << iPackage;
    EXPECT_EQ("Corrupt package file (" + PackagePath(m_vecNew[3]) + ")",
              std::string(updater.GetLastErrorText().Get()));
    // Refused: the next check fetches the manifest and the archive again.
    EXPECT_FALSE(BExists(PendingManifest()));
    EXPECT_FALSE(BHas(m_UI.Status(), "Installing update..."));
}

TEST_F(ParallelUnpackTest, AFullDiskInTheMiddleStopsEveryThread)
{
    InstallOldPublishNew();
    CFerroUpdater &updater = MakeInstallUpdater();
    m_FileOps.m_nFailErrno = ENOSPC;
    m_FileOps.m_fnFail = [](const std::string &strOp, const std::string &strPath)
    { return strOp == "write" && strPath.find("package/tmp/p2/f7.txt") != std::string::npos; };
    EXPECT_FALSE(updater.BApplyUpdate());
    ExpectUntouched();
    EXPECT_EQ("Failed to unzip package (" + PackagePath(m_vecNew[2]) + ")",
              std::string(updater.GetLastErrorText().Get()));
    EXPECT_FALSE(BExists(ArchiveOf(2)));

    // With room again the update installs whole, the archive fetched anew.
    m_FileOps.m_fnFail = nullptr;
    m_mapNew = PublishBuild(3, OverlappingBuild("three"));
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate());
    EXPECT_EQ(m_mapNew, GameFiles());
}

TEST_F(ParallelUnpackTest, CancelWhileThreadsUnpackOrDuringTheCommitKeepsTheOldBuild)
{
    InstallOldPublishNew();
    CFerroUpdater &updater = MakeInstallUpdater();
    updater.SetUpdateStatusUI(&m_UI);
    // Pressed from a worker, as a file of the fourth package is begun.
    m_FileOps.m_fnFail = [this](const std::string &strOp, const std::string &strPath)
    {
        if (strOp == "open-write" && strPath.find("package/tmp/p3/") != std::string::npos)
            m_UI.m_bCancelled = true;
        return false;
    };
    EXPECT_FALSE(updater.BApplyUpdate());
    ExpectUntouched();
    // Good archives that the user stopped are kept for next time, and the update is pending.
    for (int iPackage = 0; iPackage < 6; ++iPackage)
        EXPECT_TRUE(BExists(ArchiveOf(iPackage))) << iPackage;
    EXPECT_TRUE(BExists(PendingManifest()));
    EXPECT_TRUE(updater.GetLastErrorText().IsEmpty()) << updater.GetLastErrorText().Get();
    EXPECT_FALSE(BHas(m_UI.Status(), "Installing update..."));

    // During the commit: rolled back.
    m_FileOps.m_fnFail = nullptr;
    m_UI.m_bCancelled = false;
    m_UI.CancelOnStatus("Installing update...");
    CFerroUpdater &committing = MakeInstallUpdater();
    committing.SetUpdateStatusUI(&m_UI);
    EXPECT_FALSE(committing.BApplyUpdate());
    ExpectUntouched();
    EXPECT_EQ("Failed to apply update, reverting...", m_UI.Status().back());
    EXPECT_TRUE(BExists(PendingManifest()));
}

class UnpackWhileDownloadingTest : public UpdateCheckTest
{
protected:
    // The overlapping build served, its first archive already downloaded by an earlier run.
    FileMap_t ServeWithOneHere()
    {
        FileMap_t mapFiles = ServeBuild(1, OverlappingBuild("one"));
        const TestPackage_t &here = m_vecServedPackages[0];
        std::filesystem::create_directories(Install("package"));
        EXPECT_TRUE(WriteTextFile(Install("package/" + here.m_strFile),
                                  BuildZip(m_Dir.File("here.zip"), here.m_vecItems)));
        return mapFiles;
    }
    // Where each status first appears (the list's size when it does not).
    size_t FirstStatus(const std::string &strPrefix)
    {
        std::vector<std::string> vecStatus = m_UI.Status();
        for (size_t i = 0; i < vecStatus.size(); ++i)
        {
            if (vecStatus[i].rfind(strPrefix, 0) == 0)
                return i;
        }
        return vecStatus.size();
    }
};

TEST_F(UnpackWhileDownloadingTest, TheInstallationTakesOverWhatTheDownloadUnpacked)
{
    FileMap_t mapFiles = ServeWithOneHere();
    MakeNetworkUpdater();
    m_pUpdater->m_bUnpackWhileDownloading = true;
    ASSERT_TRUE(BRunCheck(true)) << LastError();
    ASSERT_TRUE(m_pUpdater->BApplyUpdate()) << LastError();
    EXPECT_NE(std::string::npos, Log().find("The 6 packages were unpacked during the download"));
    EXPECT_EQ(mapFiles, BuildFiles());
    EXPECT_EQ(SequentialList(m_vecServedPackages), ReadTextFile(Install(InstalledList())));
    EXPECT_FALSE(BExists("package/tmp"));
    // Hashed as they arrived, the downloaded archives are not read again; the one that was
    // here is read once, for its digests and its items alike.
    for (size_t iPackage = 0; iPackage < m_vecServedPackages.size(); ++iPackage)
    {
        const std::string strRead = "read ";
        const std::string strFile = "/" + m_vecServedPackages[iPackage].m_strFile;
        std::lock_guard<std::recursive_mutex> lock(m_FileOps.m_lock.m_mutex);
        long cReads = std::count_if(
            m_FileOps.m_vecSteps.begin(), m_FileOps.m_vecSteps.end(),
            [&](const std::string &strStep)
            {
                return strStep.rfind(strRead, 0) == 0 && strStep.size() > strFile.size() &&
                       strStep.compare(strStep.size() - strFile.size(), strFile.size(), strFile) == 0;
            });
        EXPECT_EQ(iPackage == 0 ? 1 : 0, cReads) << iPackage;
    }
    // The texts in their order: the threads show nothing of their own.
    std::vector<std::string> vecStatus = m_UI.Status();
    size_t iExtracting = FirstStatus("Extracting package...");
    ASSERT_LT(iExtracting, vecStatus.size());
    for (size_t i = iExtracting; i < vecStatus.size(); ++i)
        EXPECT_NE(0u, vecStatus[i].rfind("Downloading update (", 0)) << i;
    EXPECT_LT(iExtracting, FirstStatus("Installing update..."));
}

TEST_F(UnpackWhileDownloadingTest, ACheckThatOnlyDownloadsOrIsCancelledLeavesNoUnpackedFiles)
{
    ServeWithOneHere();
    MakeNetworkUpdater();
    // A background check leaves the update pending and unpacks nothing.
    ASSERT_TRUE(BRunCheck(false)) << LastError();
    EXPECT_TRUE(m_pUpdater->BIsUpdatePending());
    EXPECT_FALSE(BExists("package/tmp"));

    // Cancelled while downloading, with the archive that was here being unpacked.
    ShutDownUpdater();
    std::filesystem::remove_all(Install("package"));
    ServeWithOneHere();
    m_UI.CancelOnStatus("Downloading update (");
    MakeNetworkUpdater();
    m_pUpdater->m_bUnpackWhileDownloading = true;
    EXPECT_FALSE(BRunCheck(true));
    EXPECT_FALSE(BExists("package/tmp"));
    EXPECT_TRUE(BExists("package/" + m_vecServedPackages[0].m_strFile));
    EXPECT_FALSE(m_pUpdater->BIsUpdatePending());
    EXPECT_EQ(FileMap_t{}, BuildFiles());
}

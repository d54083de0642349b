// An update that changes some packages of a build unpacks and commits only those, and the
// installation ends exactly as a full one would: the same files, the same installed list.
// Whenever the installed state is in doubt, every package is unpacked.
#include "installtestsupport.h"

#include <set>
#include <sstream>
#include <sys/stat.h>

namespace
{
const char k_szOpenWriteTemp[] = "open-write package/tmp/";

ino_t Inode(const std::string &strPath)
{
    struct stat st;
    return stat(strPath.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Lines without their ends (Windows writes the list in text mode: "\r\n").
std::set<std::string> LinesOf(const std::string &strText)
{
    std::istringstream in(strText);
    std::set<std::string> setLines;
    for (std::string strLine; std::getline(in, strLine);)
    {
        if (!strLine.empty() && strLine.back() == '\r')
            strLine.pop_back();
        setLines.insert(strLine);
    }
    return setLines;
}

// Three packages; "data" varies with the version, and drops y.txt after version 1.
std::vector<TestPackage_t> ThreePackages(int nDataVersion)
{
    std::vector<ZipItem_t> vecData = {{"data/x.txt", "x" + std::to_string(nDataVersion)}};
    if (nDataVersion == 1)
        vecData.push_back({"data/y.txt", "y"});
    else
        vecData.push_back({"data/z" + std::to_string(nDataVersion) + ".txt", "z"});
    return {TestPackage_t("core", {{"bin/a.dll", "a"}, {"bin/b.dll", "bb"}}), TestPackage_t("data", vecData),
            TestPackage_t("media", {{"media/", ""}, {"media/m.png", "mmm"}})};
}
} // namespace

class IncrementalInstallTest : public InstallTest
{
protected:
    // The files unpacked into the temporary folder by the last installation.
    std::set<std::string> UnpackedFiles() const
    {
        std::set<std::string> setFiles;
        for (const std::string &strStep : m_FileOps.m_vecSteps)
        {
            if (strStep.compare(0, strlen(k_szOpenWriteTemp), k_szOpenWriteTemp) == 0)
                setFiles.insert(strStep.substr(strlen(k_szOpenWriteTemp)));
        }
        return setFiles;
    }

    // Installs version 1 in full, then publishes the data version as pending.
    FileMap_t InstallThenPublish(int nDataVersion, const std::string &strBeta = "")
    {
        PublishBuild(1, ThreePackages(1), strBeta);
        EXPECT_TRUE(MakeInstallUpdater().BApplyUpdate());
        return PublishBuild((uint64)nDataVersion, ThreePackages(nDataVersion), strBeta);
    }

    // The installed list's lines, in any order.
    std::set<std::string> ListLines(const std::string &strBeta = "") const
    {
        return LinesOf(ReadTextFile(Install(InstalledList(strBeta))));
    }
};

TEST_F(IncrementalInstallTest, AnUpdateUnpacksOnlyTheChangedPackageAndEndsAsAFullInstallation)
{
    FileMap_t mapNew = InstallThenPublish(2);
    const ino_t inoKept = Inode(Install("bin/a.dll"));
    CFerroUpdater &updater = MakeInstallUpdater();
    ASSERT_TRUE(updater.BApplyUpdate()) << updater.GetLastErrorText().Get();

    EXPECT_EQ((std::set<std::string>{"data/x.txt", "data/z2.txt"}), UnpackedFiles());
    EXPECT_TRUE(BLogHas("2 of 3 packages are installed as they are; 1 to unpack\n"));
    // The kept files were not touched; the file the changed package dropped is gone.
    EXPECT_EQ(inoKept, Inode(Install("bin/a.dll")));
    EXPECT_EQ(mapNew, GameFiles()) << DescribeFiles(GameFiles());
    EXPECT_FALSE(BExists("data/y.txt"));
    EXPECT_FALSE(BExists("package/tmp"));
    EXPECT_TRUE(updater.BVerifyInstalledFiles(true));
    const std::set<std::string> setIncremental = ListLines();
    // A kept line as it was; the changed package's as unpacked.
    std::string strKept = ListLine("bin/a.dll", "a", "core"), strNew = ListLine("data/z2.txt", "z", "data");
    EXPECT_TRUE(setIncremental.count(strKept.substr(0, strKept.size() - 1)));
    EXPECT_TRUE(setIncremental.count(strNew.substr(0, strNew.size() - 1)));

    // The same build installed in full writes the same list.
    ASSERT_TRUE(std::filesystem::remove(Install(InstalledManifest())));
    PublishBuild(2, ThreePackages(2));
    CFerroUpdater &full = MakeInstallUpdater();
    ASSERT_TRUE(full.BApplyUpdate());
    EXPECT_EQ(5u, UnpackedFiles().size());
    EXPECT_TRUE(BLogHas("Unpacking every package: there is no installed manifest\n"));
    EXPECT_EQ(ListLines(), setIncremental);
    EXPECT_EQ(mapNew, GameFiles());

    // A build that removes a whole package deletes its files and keeps the others'.
    std::vector<TestPackage_t> vecTwo = ThreePackages(2);
    vecTwo.pop_back();
    FileMap_t mapTwo = PublishBuild(3, vecTwo);
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate());
    EXPECT_TRUE(UnpackedFiles().empty());
    EXPECT_EQ(mapTwo, GameFiles()) << DescribeFiles(GameFiles());
    EXPECT_EQ(4u, ListLines().size());
}

TEST_F(IncrementalInstallTest, AKeptPackageWhoseFilesAreNotAsListedIsUnpackedAgain)
{
    FileMap_t mapNew = InstallThenPublish(2);
    // One file of core is gone, one of media has another size.
    ASSERT_TRUE(std::filesystem::remove(Install("bin/b.dll")));
    WriteInstallFile("media/m.png", "longer than it was");
    CFerroUpdater &updater = MakeInstallUpdater();
    ASSERT_TRUE(updater.BApplyUpdate()) << updater.GetLastErrorText().Get();

    EXPECT_EQ((std::set<std::string>{"bin/a.dll", "bin/b.dll", "data/x.txt", "data/z2.txt", "media/m.png"}),
              UnpackedFiles());
    EXPECT_TRUE(BLogHas("Unpacking core again: its installed files are not as listed\n"));
    EXPECT_TRUE(BLogHas("Unpacking media again: its installed files are not as listed\n"));
    EXPECT_EQ(mapNew, GameFiles()) << DescribeFiles(GameFiles());

    // A directory where a kept package has a file counts as damage as well; it stands where
    // the list has our file, so the commit moves it aside.
    FileMap_t mapThird = PublishBuild(3, ThreePackages(3));
    ASSERT_TRUE(std::filesystem::remove(Install("bin/a.dll")));
    std::filesystem::create_directories(Install("bin/a.dll"));
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate());
    EXPECT_TRUE(UnpackedFiles().count("bin/a.dll"));
    EXPECT_FALSE(UnpackedFiles().count("media/m.png"));
    EXPECT_EQ(mapThird, GameFiles()) << DescribeFiles(GameFiles());
}

TEST_F(IncrementalInstallTest, EveryPackageIsUnpackedWhenTheInstalledStateIsInDoubt)
{
    struct Case_t
    {
        std::string m_strReason;
        std::function<void(CFerroUpdater &)> m_fnPrepare;
    };
    const std::vector<Case_t> vecCases = {
        {"the installed file list does not name the packages",
         [&](CFerroUpdater &)
         {
             // As a launcher that knew only paths and sizes wrote it.
             std::string strOld;
             for (const auto &entry : GameFiles())
                 strOld += entry.first + "," + std::to_string(entry.second.size()) + "\n";
             WriteInstallFile(InstalledList(), strOld);
         }},
        {"the installed file list is missing or cannot be read whole", [&](CFerroUpdater &)
         { WriteInstallFile(InstalledList(), ReadTextFile(Install(InstalledList())) + "no comma\n"); }},
        {"another beta's installed file list is there (" + PackageBase("old") + ".installed)",
         [&](CFerroUpdater &) { WriteInstallFile(InstalledList("old"), "a.txt,1,,core\n"); }},
        {"the installation's content is to be verified",
         [&](CFerroUpdater &updater) { updater.RequestContentVerification(); }},
        {"an earlier installation was cut short",
         [&](CFerroUpdater &) { WriteInstallFile("package/arvo_launcher.backups", "./gone.old\n"); }},
        {"the launcher's checksum is inhibited",
         [&](CFerroUpdater &updater) { updater.m_bInhibitChecksum = true; }},
    };
    InstallThenPublish(2);
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate());
    int nVersion = 2;
    for (const Case_t &testCase : vecCases)
    {
        SCOPED_TRACE(testCase.m_strReason);
        ++nVersion;
        FileMap_t mapNew = PublishBuild((uint64)nVersion, ThreePackages(nVersion));
        CFerroUpdater &updater = MakeInstallUpdater();
        testCase.m_fnPrepare(updater);
        ASSERT_TRUE(updater.BApplyUpdate()) << updater.GetLastErrorText().Get();
        const std::string strZ = "data/z" + std::to_string(nVersion) + ".txt";
        EXPECT_EQ((std::set<std::string>{"bin/a.dll", "bin/b.dll", "data/x.txt", strZ, "media/m.png"}),
                  UnpackedFiles());
        EXPECT_TRUE(BLogHas("Unpacking every package: " + testCase.m_strReason + "\n"));
        EXPECT_EQ(mapNew, GameFiles()) << DescribeFiles(GameFiles());
        std::filesystem::remove(Install(InstalledList("old")));
    }
}

TEST_F(IncrementalInstallTest, SwitchingBetasUnpacksEverything)
{
    InstallThenPublish(2);
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate());
    // Beta x: no list of its own yet.
    WriteInstallFile("package/beta", "x");
    PublishBuild(3, ThreePackages(3), "x");
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate());
    EXPECT_EQ(5u, UnpackedFiles().size());
    // Beta y with the build of beta x, then back to x with a build that changes data only:
    // x's list is stale (y installed after it) and y's is still there.
    WriteInstallFile("package/beta", "y");
    PublishBuild(3, ThreePackages(3), "y");
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate());
    EXPECT_EQ(5u, UnpackedFiles().size());
    WriteInstallFile("package/beta", "x");
    FileMap_t mapNew = PublishBuild(4, ThreePackages(4), "x");
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate());
    EXPECT_EQ(5u, UnpackedFiles().size());
    EXPECT_TRUE(BLogHas("Unpacking every package: another beta's installed file list is there (" +
                        PackageBase("y") + ".installed)\n"));
    // Beta x started without a list: what the build without beta had and x does not ship
    // is not known to it.
    mapNew["data/z2.txt"] = "z";
    EXPECT_EQ(mapNew, GameFiles());
}

TEST_F(IncrementalInstallTest, ACommitCutShortIsRememberedUntilAFullInstallation)
{
    InstallThenPublish(2);
    WriteInstallFile("package/arvo_launcher.backups", "./gone.old\n");
    MakeInstallUpdater().RemoveLeftoversOfInterruptedWork();
    EXPECT_FALSE(BExists("package/arvo_launcher.backups"));

    // That run ended before its installation: the next one still unpacks everything.
    CFerroUpdater &updater = MakeInstallUpdater();
    ASSERT_TRUE(updater.BApplyUpdate()) << updater.GetLastErrorText().Get();
    EXPECT_EQ(5u, UnpackedFiles().size());
    EXPECT_TRUE(BLogHas("Unpacking every package: an earlier installation was cut short\n"));

    // Installed in full, the next update is incremental again.
    PublishBuild(3, ThreePackages(3));
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate());
    EXPECT_EQ((std::set<std::string>{"data/x.txt", "data/z3.txt"}), UnpackedFiles());
}

// The installation under a fault at every single step: for every N, the Nth file operation
// of a whole installation fails (each rename, delete, write, create...). Afterwards the
// install directory must hold the old build byte for byte or the new one, never a mix, no
// backup and nothing else, and an installation without the fault must then end with the
// complete new build. A second walk makes the rollback itself meet an error at each of its
// steps.
#include "installtestsupport.h"

#include "ferroexe/bootstrapperversion.h"

#include <set>

namespace
{
namespace fs = std::filesystem;

void CopyTree(const std::string &strFrom, const std::string &strTo)
{
    fs::remove_all(strTo);
    fs::copy(strFrom, strTo, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
}

// What differs from a build: files missing, changed, or there besides it.
std::string DifferenceFrom(const FileMap_t &mapNow, const FileMap_t &mapBuild)
{
    std::string strDiff;
    for (const auto &entry : mapBuild)
    {
        auto it = mapNow.find(entry.first);
        if (it == mapNow.end())
            strDiff += "  missing " + entry.first + "\n";
        else if (it->second != entry.second)
            strDiff += "  changed " + entry.first + "\n";
    }
    for (const auto &entry : mapNow)
    {
        if (!mapBuild.count(entry.first))
            strDiff += "  extra " + entry.first + "\n";
    }
    return strDiff;
}

// Every directory of the install directory (package/ and logs/ left out).
std::set<std::string> Directories(const std::string &strRoot)
{
    std::set<std::string> setDirs;
    for (fs::recursive_directory_iterator it(strRoot), end; it != end; ++it)
    {
        std::string strRelative = fs::relative(it->path(), strRoot).generic_string();
        if (strRelative == "package" || strRelative == "logs")
        {
            it.disable_recursion_pending();
            continue;
        }
        if (it->is_directory())
            setDirs.insert(strRelative);
    }
    return setDirs;
}
} // namespace

class InstallFaultTest : public InstallTest
{
protected:
    // Back to the template: the old build installed, the new one pending.
    void Restore()
    {
        m_pUpdater.reset();
        // The working directory is the install directory: step out while it is replaced.
        ASSERT_TRUE(PLAT_SetCurrentDirectory(m_Dir.Path().c_str()));
        CopyTree(m_Dir.File("template"), m_strInstall);
        ASSERT_TRUE(PLAT_SetCurrentDirectory(m_strInstall.c_str()));
    }

    // What an update check would do after an archive was refused (deleted with the
    // pending manifest): fetch both again.
    void RedownloadDeletedArchives(bool bManifestToo)
    {
        for (const fs::directory_entry &entry : fs::directory_iterator(m_Dir.File("template/package")))
        {
            std::string strName = entry.path().filename().string();
            bool bFetched = strName.find(".zip.") != std::string::npos ||
                            (bManifestToo && "package/" + strName == PendingManifest());
            if (bFetched && !BExists("package/" + strName))
                fs::copy_file(entry.path(), Install("package/" + strName));
        }
    }

    // No backup, no temporary folder, no journal naming anything that is still there.
    void ExpectNoLeftovers()
    {
        for (fs::recursive_directory_iterator it(m_strInstall), end; it != end; ++it)
            EXPECT_NE(".old", it->path().extension().string()) << it->path();
        EXPECT_FALSE(BExists("package/tmp"));
        EXPECT_FALSE(BExists("package/arvo_launcher.backups"));
    }

    // The two builds of the walks, the old one installed and the new one pending; the
    // template keeps that state.
    void PublishTheTwoBuilds()
    {
        PublishBuild(1, {{"core",
                          {{"bin/client.dll", "old client"},
                           {"bin/engine.dll", "engine"},
                           {"data/a.txt", "old a"},
                           {"readme.txt", "old readme"},
                           {"Keep.txt", "old keep"},
                           {"tools/run.sh", "old run", 0755}}}});
        ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate());
        m_mapOld = GameFiles();
        m_setOldDirs = Directories(m_strInstall);
        m_mapNew = PublishBuild(
            2, {{"core",
                 {{"bin/client.dll", "new client, longer"},
                  {"bin/engine.dll", "engine"},
                  {"data/a.txt", "new a"},
                  {"KEEP.TXT", "new keep"},
                  {"data/new/b.txt", "new b"},
                  {"newdir/deep/x.txt", "new x"},
                  {"docs/", ""},
                  {"tools/run.sh", "new run", 0755}}},
                {"extra", {{"extra/x.bin", std::string(3000, 'x')}, {"notes.txt", "new notes"}}}});
        m_pUpdater.reset();
        CopyTree(m_strInstall, m_Dir.File("template"));
    }

    // After a failed installation: the old build exactly, with its directories and no more.
    void ExpectTheOldBuild(CFerroUpdater &updater)
    {
        const FileMap_t mapNow = GameFiles();
        EXPECT_EQ("", DifferenceFrom(mapNow, m_mapOld)) << "not the old build:\n" << DescribeFiles(mapNow);
        EXPECT_EQ(m_setOldDirs, Directories(m_strInstall));
        // The old list still describes what is installed, contents included.
        EXPECT_TRUE(updater.BVerifyInstalledFiles(true));
        std::vector<InstalledFile_t> vecDamaged;
        bool bStopped = false;
        EXPECT_TRUE(updater.BVerifyInstalledContents(&vecDamaged, &bStopped));
    }

    FileMap_t m_mapOld, m_mapNew;
    std::set<std::string> m_setOldDirs;
};

TEST_F(InstallFaultTest, EveryStepOfAnInstallationMayFail)
{
    PublishTheTwoBuilds();

    // How many operations a whole installation takes.
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate());
    ASSERT_EQ(m_mapNew, GameFiles());
    const int cSteps = m_FileOps.m_cSteps;
    const std::vector<std::string> vecSteps = m_FileOps.m_vecSteps;
    // Reads, directories, writes, renames, deletes: far more than a handful.
    ASSERT_GT(cSteps, 60);

    int cFailedBeforeCommit = 0, cRolledBack = 0, cFailedAfterCommit = 0, cCompletedAnyway = 0;
    int cRenames = 0, cDeletes = 0;
    for (int nStep = 1; nStep <= cSteps; ++nStep)
    {
        SCOPED_TRACE("failing step " + std::to_string(nStep) + " of " + std::to_string(cSteps) + ": " +
                     vecSteps[(size_t)nStep - 1]);
        cRenames += vecSteps[(size_t)nStep - 1].compare(0, 7, "rename ") == 0;
        cDeletes += vecSteps[(size_t)nStep - 1].compare(0, 7, "delete ") == 0;
        Restore();
        CFerroUpdater &updater = MakeInstallUpdater();
        m_FileOps.m_nFailAtStep = nStep;
        const bool bFirst = updater.BApplyUpdate();
        ASSERT_EQ(nStep, m_FileOps.m_nFailedStep) << "the fault was not reached";

        const FileMap_t mapAfterFault = GameFiles();
        if (bFirst)
        {
            // A fault that the installation could absorb (a retry, a cleanup that may fail).
            ++cCompletedAnyway;
            EXPECT_EQ(m_mapNew, mapAfterFault) << DescribeFiles(mapAfterFault);
            EXPECT_FALSE(BExists(PendingManifest()));
            EXPECT_TRUE(updater.BVerifyInstalledFiles(true));
        }
        else if (mapAfterFault == m_mapNew)
        {
            // After the commit: the new files are in place and the update is still pending,
            // so the next start installs it again.
            ++cFailedAfterCommit;
            EXPECT_TRUE(BExists(PendingManifest()));
            EXPECT_FALSE(updater.BVerifyInstalledFiles(true));
        }
        else
        {
            // Before the commit or rolled back: the old build byte for byte, and nothing
            // unpacked left (unless the fault hit the clearing of the folder itself).
            ExpectTheOldBuild(updater);
            const std::string &strFailed = m_FileOps.m_strFailedStep;
            bool bClearingTemp =
                strFailed.find("package/tmp") != std::string::npos &&
                (strFailed.compare(0, 7, "delete ") == 0 || strFailed.compare(0, 6, "rmdir ") == 0 ||
                 strFailed.compare(0, 5, "list ") == 0 || strFailed.compare(0, 17, "clear-attributes ") == 0);
            if (!bClearingTemp)
            {
                EXPECT_FALSE(BExists("package/tmp"));
            }
            bool bCommitStarted = false;
            for (int i = 0; i < nStep; ++i)
                bCommitStarted =
                    bCommitStarted || vecSteps[(size_t)i].compare(0, 19, "rename package/tmp/") == 0;
            ++(bCommitStarted ? cRolledBack : cFailedBeforeCommit);
        }

        // Without the fault (and with a refused archive fetched again) the same update
        // completes, and whatever the failed one left is gone.
        RedownloadDeletedArchives(!bFirst);
        CFerroUpdater &next = MakeInstallUpdater();
        next.RemoveLeftoversOfInterruptedWork();
        EXPECT_EQ(!bFirst, next.BApplyUpdate()) << next.GetLastErrorText().Get();
        EXPECT_EQ(m_mapNew, GameFiles()) << DescribeFiles(GameFiles());
        EXPECT_TRUE(next.BVerifyInstalledFiles(true));
        EXPECT_FALSE(BExists(PendingManifest()));
        ExpectNoLeftovers();
        if (HasFailure())
            break;
    }
    // Every kind of outcome was met: the walk went through the whole installation.
    EXPECT_GT(cFailedBeforeCommit, 0);
    EXPECT_GT(cRolledBack, 0);
    EXPECT_GT(cFailedAfterCommit, 0);
    EXPECT_GT(cCompletedAnyway, 0);
    printf("[ steps    ] %d operations (%d renames, %d deletes); failing each: %d before the commit, %d "
           "rolled back, %d after the commit (still pending), %d absorbed\n",
           cSteps, cRenames, cDeletes, cFailedBeforeCommit, cRolledBack, cFailedAfterCommit,
           cCompletedAnyway);
}

TEST_F(InstallFaultTest, TheRollbackGoesOnThroughAnErrorOfItsOwn)
{
    PublishTheTwoBuilds();

    // The commit fails at its last rename; the rollback then has every kind of step to undo.
    MakeInstallUpdater().BApplyUpdate();
    const std::vector<std::string> vecSteps = m_FileOps.m_vecSteps;
    int nLastCommitRename = 0;
    for (int i = 0; i < (int)vecSteps.size(); ++i)
    {
        if (vecSteps[(size_t)i].compare(0, 19, "rename package/tmp/") == 0)
            nLastCommitRename = i + 1;
    }
    ASSERT_GT(nLastCommitRename, 0);

    Restore();
    MakeInstallUpdater();
    m_FileOps.m_nFailAtStep = nLastCommitRename;
    ASSERT_FALSE(m_pUpdater->BApplyUpdate());
    ExpectTheOldBuild(*m_pUpdater);
    // The rollback's own steps: everything after the fault up to the end of the rollback.
    const std::vector<std::string> vecFailed = m_FileOps.m_vecSteps;
    int cRollbackSteps = 0;
    for (size_t i = (size_t)nLastCommitRename; i < vecFailed.size(); ++i)
    {
        if (vecFailed[i].compare(0, 7, "rename ") == 0 || vecFailed[i].compare(0, 7, "delete ") == 0 ||
            vecFailed[i].compare(0, 6, "rmdir ") == 0)
            ++cRollbackSteps;
        else
            break;
    }
    ASSERT_GT(cRollbackSteps, 5);

    // Each of those steps fails once as well (an EIO of the moment): the old build still
    // comes back whole, and the next run installs the new one.
    for (int iExtra = 1; iExtra <= cRollbackSteps; ++iExtra)
    {
        const int nExtra = nLastCommitRename + iExtra;
        SCOPED_TRACE("and rollback step " + std::to_string(nExtra) + ": " + vecFailed[(size_t)nExtra - 1]);
        Restore();
        CFerroUpdater &updater = MakeInstallUpdater();
        m_FileOps.m_fnFail = [this, nLastCommitRename, nExtra](const std::string &, const std::string &)
        { return m_FileOps.m_cSteps == nLastCommitRename || m_FileOps.m_cSteps == nExtra; };
        EXPECT_FALSE(updater.BApplyUpdate());
        ExpectTheOldBuild(updater);

        CFerroUpdater &next = MakeInstallUpdater();
        next.RemoveLeftoversOfInterruptedWork();
        EXPECT_TRUE(next.BApplyUpdate()) << next.GetLastErrorText().Get();
        EXPECT_EQ(m_mapNew, GameFiles()) << DescribeFiles(GameFiles());
        ExpectNoLeftovers();
        if (HasFailure())
            break;
    }
    printf("[ rollback ] %d rollback steps, each failing once after the commit's last rename\n",
           cRollbackSteps);
}

// The installation under a fault at every single step: for every N, the Nth file operation
// of a whole installation fails. Afterwards the install directory must hold the old build
// or the new one, never a mix and with nothing lost, and an installation without the fault
// must then end with the complete new build.
#include "installtestsupport.h"

#include "ferroexe/bootstrapperversion.h"

namespace
{
namespace fs = std::filesystem;

void CopyTree(const std::string &strFrom, const std::string &strTo)
{
    fs::remove_all(strTo);
    fs::copy(strFrom, strTo, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
}

// What is not the old build exactly: every old file with its old content, and besides them
// only files that the new build adds where the old had none (a rolled-back commit leaves
// those, as it must not guess whether they are someone else's).
std::string DifferenceFromOld(const FileMap_t &mapNow, const FileMap_t &mapOld, const FileMap_t &mapNew)
{
    std::string strDiff;
    for (const auto &entry : mapOld)
    {
        auto it = mapNow.find(entry.first);
        if (it == mapNow.end())
            strDiff += "  missing " + entry.first + "\n";
        else if (it->second != entry.second)
            strDiff += "  changed " + entry.first + "\n";
    }
    for (const auto &entry : mapNow)
    {
        if (mapOld.count(entry.first))
            continue;
        auto it = mapNew.find(entry.first);
        if (it == mapNew.end() || it->second != entry.second)
            strDiff += "  extra " + entry.first + "\n";
    }
    return strDiff;
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

    // What an update check would do after an archive was deleted as bad: fetch it again.
    void RedownloadDeletedArchives()
    {
        for (const fs::directory_entry &entry : fs::directory_iterator(m_Dir.File("template/package")))
        {
            std::string strName = entry.path().filename().string();
            if (strName.find(".zip.") != std::string::npos && !BExists("package/" + strName))
                fs::copy_file(entry.path(), Install("package/" + strName));
        }
    }

    FileMap_t m_mapOld, m_mapNew;
};

TEST_F(InstallFaultTest, EveryStepOfAnInstallationMayFail)
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
    m_mapNew =
        PublishBuild(2, {{"core",
                          {{"bin/client.dll", "new client, longer"},
                           {"bin/engine.dll", "engine"},
                           {"data/a.txt", "new a"},
                           {"KEEP.TXT", "new keep"},
                           {"data/new/b.txt", "new b"},
                           {"docs/", ""},
                           {"tools/run.sh", "new run", 0755}}},
                         {"extra", {{"extra/x.bin", std::string(3000, 'x')}, {"notes.txt", "new notes"}}}});
    m_pUpdater.reset();
    CopyTree(m_strInstall, m_Dir.File("template"));

    // How many operations a whole installation takes.
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate());
    ASSERT_EQ(m_mapNew, GameFiles());
    const int cSteps = m_FileOps.m_cSteps;
    const std::vector<std::string> vecSteps = m_FileOps.m_vecSteps;
    // Reads, directories, writes, renames, deletes: far more than a handful.
    ASSERT_GT(cSteps, 60);

    int cFailedBeforeCommit = 0, cRolledBack = 0, cFailedAfterCommit = 0, cCompletedAnyway = 0;
    for (int nStep = 1; nStep <= cSteps; ++nStep)
    {
        SCOPED_TRACE("failing step " + std::to_string(nStep) + " of " + std::to_string(cSteps) + ": " +
                     vecSteps[(size_t)nStep - 1]);
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
            std::string strDiff = DifferenceFromOld(mapAfterFault, m_mapOld, m_mapNew);
            EXPECT_EQ("", strDiff) << "neither the old build nor the new one:\n"
                                   << DescribeFiles(mapAfterFault);
            // The old list still describes what is installed.
            EXPECT_TRUE(updater.BVerifyInstalledFiles(true));
            if (mapAfterFault == m_mapOld)
                ++cFailedBeforeCommit;
            else
                ++cRolledBack;
        }

        // Without the fault (and with any archive deleted as bad fetched again) the same
        // update completes.
        RedownloadDeletedArchives();
        CFerroUpdater &next = MakeInstallUpdater();
        EXPECT_EQ(!bFirst, next.BApplyUpdate()) << next.GetLastErrorText().Get();
        EXPECT_EQ(m_mapNew, GameFiles()) << DescribeFiles(GameFiles());
        EXPECT_TRUE(next.BVerifyInstalledFiles(true));
        EXPECT_FALSE(BExists(PendingManifest()));
        // (A temporary folder that the first run could not remove stays until the next
        // installation clears it before unpacking.)
        if (!bFirst)
        {
            EXPECT_FALSE(BExists("package/tmp"));
        }
        if (HasFailure())
            break;
    }
    // Every kind of outcome was met: the walk went through the whole installation.
    EXPECT_GT(cFailedBeforeCommit, 0);
    EXPECT_GT(cRolledBack, 0);
    EXPECT_GT(cFailedAfterCommit, 0);
    EXPECT_GT(cCompletedAnyway, 0);
    printf("[ steps    ] %d operations; failing each: %d before the commit, %d rolled back, %d after the "
           "commit (still pending), %d absorbed\n",
           cSteps, cFailedBeforeCommit, cRolledBack, cFailedAfterCommit, cCompletedAnyway);
}

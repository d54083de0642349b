// An installation that is always exactly one build: one updater at a time (the lock and its
// wait), backups of a commit cut short removed by a later run, deletes that never follow a
// link out of the install directory, and the content check with its repair.
#include "updatechecktestsupport.h"

#include "foundation/clock.h"

#include <sys/stat.h>
#include <unistd.h>

namespace
{
namespace fs = std::filesystem;

const char k_szWaiting[] = "Waiting for another launcher to finish...";
const char k_szBusy[] =
    "Another launcher is still updating Ferro in this folder. Please try again when it has "
    "finished.";

bool BLogHasPrefix(const std::vector<std::string> &vecLog, const std::string &strPrefix)
{
    for (const std::string &str : vecLog)
    {
        if (str.compare(0, strPrefix.size(), strPrefix) == 0)
            return true;
    }
    return false;
}

int CountWithPrefix(const std::vector<std::string> &vecLog, const std::string &strPrefix)
{
    int c = 0;
    for (const std::string &str : vecLog)
        c += str.compare(0, strPrefix.size(), strPrefix) == 0;
    return c;
}

ino_t Inode(const std::string &strPath)
{
    struct stat st;
    return stat(strPath.c_str(), &st) == 0 ? st.st_ino : 0;
}

std::vector<TestPackage_t> TwoPackages(const std::string &strVersion)
{
    return {
        TestPackage_t("core", {{"bin/a.dll", "a of " + strVersion}, {"bin/b.dll", "b of " + strVersion}}),
        TestPackage_t("data", {{"data/x.txt", "x of " + strVersion}, {"data/y.txt", "y of " + strVersion}})};
}
} // namespace

class IntegrityTest : public UpdateCheckTest
{
protected:
    std::string LockFile() const { return Install("package/arvo_launcher.lock"); }
    std::string Journal() const { return Install("package/arvo_launcher.backups"); }

    // Moves the manual clock on until the condition holds (the updater's pauses wait for
    // it); bounded in count.
    static bool BAdvanceUntil(CManualClock &clock, const std::function<bool()> &fnCondition, uint64 usStep)
    {
        for (int i = 0; i < 5000 && !fnCondition(); ++i)
        {
            clock.Advance(usStep);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return fnCondition();
    }

    std::vector<InstalledFile_t> Damaged(bool bExpectIntact = false)
    {
        std::vector<InstalledFile_t> vecDamaged;
        bool bStopped = false;
        EXPECT_EQ(bExpectIntact, m_pUpdater->BVerifyInstalledContents(&vecDamaged, &bStopped));
        EXPECT_FALSE(bStopped);
        return vecDamaged;
    }
};

TEST_F(IntegrityTest, ASecondUpdaterWaitsForTheFirstAndGivesUpInTime)
{
    CScopedManualClock clock;
    CFerroUpdater &updater = MakeInstallUpdater();
    updater.SetUpdateStatusUI(&m_UI);
    fs::create_directories(Install("package"));
    CPlatFileLock other;
    ASSERT_EQ(k_EPlatFileLockAcquired, other.TryLock(LockFile().c_str()));

    // It waits, showing why, as long as the other holds the lock; then goes on.
    std::atomic<int> nResult(-1);
    std::thread waiter([&] { nResult = updater.BLockInstallation(true); });
    ASSERT_TRUE(BWaitUntil([&] { return BStatusSeen(k_szWaiting); }));
    EXPECT_EQ(1, m_UI.m_cShowWindow.load());
    EXPECT_EQ(-1, m_UI.Progress().back());
    for (int i = 0; i < 50; ++i)
    {
        clock->AdvanceMilliseconds(100);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(-1, nResult.load());
    other.Unlock();
    EXPECT_TRUE(BAdvanceUntil(
        clock.Clock(), [&] { return nResult != -1; }, 100000));
    waiter.join();
    EXPECT_EQ(1, nResult.load());
    EXPECT_TRUE(updater.BHoldsInstallLock());
    EXPECT_EQ(k_EPlatFileLockBusy, other.TryLock(LockFile().c_str()));
    std::vector<std::string> vecLog = LogMessages();
    EXPECT_TRUE(BLogHasPrefix(vecLog, "Another launcher is updating this installation (" +
                                          std::string(m_strInstall)));
    EXPECT_TRUE(BLogHasPrefix(vecLog, "The other launcher has finished (waited "));
    updater.UnlockInstallation();
    EXPECT_FALSE(updater.BHoldsInstallLock());

    // Held for good: after ten minutes it gives up.
    ASSERT_EQ(k_EPlatFileLockAcquired, other.TryLock(LockFile().c_str()));
    nResult = -1;
    std::thread giveUp([&] { nResult = updater.BLockInstallation(false); });
    EXPECT_TRUE(BAdvanceUntil(
        clock.Clock(), [&] { return nResult != -1; }, 60000000));
    giveUp.join();
    EXPECT_EQ(0, nResult.load());
    EXPECT_TRUE(BLogHas("Gave up waiting for the other launcher after 600 s\n"));

    // The start-up phase ends with a clear message then, and writes nothing.
    m_UI.m_bCancelled = false;
    ASSERT_TRUE(updater.Start());
    EXPECT_TRUE(BAdvanceUntil(
        clock.Clock(), [&] { return updater.m_bFatalError.load(); }, 60000000));
    updater.Join();
    EXPECT_EQ(k_szBusy, updater.GetLastErrorText().StdString());
    EXPECT_FALSE(updater.m_bUpdateFinished);
    EXPECT_FALSE(BExists("package/tmp"));

    // Cancel ends the wait at once, without a message of its own.
    CFerroUpdater &cancelled = MakeInstallUpdater();
    cancelled.SetUpdateStatusUI(&m_UI);
    m_UI.m_bCancelled = true;
    nResult = -1;
    std::thread cancel([&] { nResult = cancelled.BLockInstallation(true); });
    EXPECT_TRUE(BAdvanceUntil(
        clock.Clock(), [&] { return nResult != -1; }, 100000));
    cancel.join();
    EXPECT_EQ(0, nResult.load());
    EXPECT_TRUE(BLogHas("user canceled the wait for the other launcher\n"));
    cancelled.SetUpdateStatusUI(nullptr);
}

TEST_F(IntegrityTest, WhereNoLockCanBeHadTheUpdaterGoesOnAndSaysSo)
{
    // A file system without locks.
    CFerroUpdater &updater = MakeInstallUpdater();
    m_FileOps.m_bNoLocks = true;
    EXPECT_TRUE(updater.BLockInstallation(true));
    EXPECT_TRUE(BLogHasPrefix(LogMessages(), "Cannot lock the installation (" + LockFile() + ", error "));
    m_FileOps.m_bNoLocks = false;

    // A lock file that is a directory.
    fs::create_directories(LockFile());
    EXPECT_TRUE(updater.BLockInstallation(true));
    EXPECT_FALSE(updater.BHoldsInstallLock());
    EXPECT_EQ(2, CountWithPrefix(LogMessages(), "Cannot lock the installation (" + LockFile() + ", error "));
    fs::remove(LockFile());

    // A package folder that cannot be made (a file in its place).
    fs::remove_all(Install("package"));
    WriteInstallFile("package", "not a folder");
    EXPECT_TRUE(updater.BLockInstallation(true));
    EXPECT_EQ(3, CountWithPrefix(LogMessages(), "Cannot lock the installation ("));
}

TEST_F(IntegrityTest, BackupsOfACommitCutShortGoWithTheNextInstallation)
{
    PublishBuild(1, {{"core", {{"a.dll", "a1"}, {"b.dll", "b1"}, {"c.dll", "c1"}}}});
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate());
    PublishBuild(2, {{"core", {{"a.dll", "a2"}, {"b.dll", "b2"}, {"c.dll", "c2"}}}});

    // The process dies in the middle of the commit: from the third file on, nothing it does
    // reaches the disk any more, its rollback included.
    CFerroUpdater &updater = MakeInstallUpdater();
    m_FileOps.m_bSortListings = true;
    bool bDead = false;
    m_FileOps.m_fnFail = [&](const std::string &strOp, const std::string &strPath)
    {
        bDead = bDead || (strOp == "rename" && strPath == "package/tmp/./c.dll");
        return bDead;
    };
    EXPECT_FALSE(updater.BApplyUpdate());
    EXPECT_TRUE(BExists("a.dll.old"));
    EXPECT_TRUE(BExists("c.dll.old"));
    EXPECT_FALSE(BExists("c.dll")) << "between its two renames";
    ASSERT_TRUE(BExists("package/arvo_launcher.backups"));
    EXPECT_EQ("./a.dll.old\n./b.dll.old\n./c.dll.old\n", ReadTextFile(Journal()));

    // The next start installs a build that no longer ships c.dll: its backup goes all the same.
    PublishBuild(3, {{"core", {{"a.dll", "a3"}, {"b.dll", "b3"}}}});
    CFerroUpdater &next = MakeInstallUpdater();
    next.RemoveLeftoversOfInterruptedWork();
    ASSERT_TRUE(next.BApplyUpdate()) << next.GetLastErrorText().Get();
    EXPECT_EQ((FileMap_t{{"a.dll", "a3"}, {"b.dll", "b3"}}), GameFiles()) << DescribeFiles(GameFiles());
    EXPECT_FALSE(BExists("package/arvo_launcher.backups"));
    EXPECT_FALSE(BExists("package/tmp"));

    // A backup that cannot be deleted yet (a running executable on Windows) stays in the
    // journal and goes at the next start.
    PublishBuild(4, {{"core", {{"a.dll", "a4"}, {"b.dll", "b4"}}}});
    MakeInstallUpdater();
    m_FileOps.m_setStuck = {"./a.dll.old"};
    ASSERT_TRUE(m_pUpdater->BApplyUpdate());
    EXPECT_TRUE(BExists("a.dll.old"));
    EXPECT_EQ("./a.dll.old\n", ReadTextFile(Journal()));
    MakeInstallUpdater().RemoveLeftoversOfInterruptedWork();
    EXPECT_EQ((FileMap_t{{"a.dll", "a4"}, {"b.dll", "b4"}}), GameFiles());
    EXPECT_FALSE(BExists("package/arvo_launcher.backups"));
    EXPECT_TRUE(BLogHas("Deleted ./a.dll.old, a backup left by an earlier installation\n"));

#ifndef _WIN32 // directory links need a privilege on Windows (and Wine makes none)
    // The journal is a file like any other: nothing outside the install directory, nothing
    // through a link, nothing that is no backup, no file of the build.
    WriteInstallFile("../outside.old", "outside");
    fs::create_directories(m_Dir.File("elsewhere"));
    WriteInstallFile("../elsewhere/v.old", "victim");
    fs::create_directory_symlink(m_Dir.File("elsewhere"), Install("linked"));
    WriteInstallFile("keep.txt", "not a backup");
    WriteInstallFile("stale.old", "stale");
    WriteInstallFile("package/arvo_launcher.backups", "../outside.old\n./linked/v.old\nkeep.txt\n" +
                                                          m_Dir.File("elsewhere/v.old") + "\n./stale.old\n");
    MakeInstallUpdater().RemoveLeftoversOfInterruptedWork();
    EXPECT_EQ("outside", ReadTextFile(m_Dir.File("outside.old")));
    EXPECT_EQ("victim", ReadTextFile(m_Dir.File("elsewhere/v.old")));
    EXPECT_TRUE(BExists("keep.txt"));
    EXPECT_FALSE(BExists("stale.old"));
    EXPECT_TRUE(BLogHas("Not deleting ./linked/v.old: it is no backup of ours\n"));
    EXPECT_FALSE(BExists("package/arvo_launcher.backups"));
#endif
}

TEST_F(IntegrityTest, ObsoleteFilesAreNotDeletedThroughALink)
{
    PublishBuild(1, {{"core", {{"a.dll", "a1"}, {"victimdir/v_link.txt", "ours"}, {"l.txt", "l1"}}}});
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate());
    // The user moved the directory elsewhere and left a link in its place; another file
    // became a link to something outside.
    fs::create_directories(m_Dir.File("victimdir"));
    WriteInstallFile("../victimdir/v_link.txt", "not ours");
    WriteInstallFile("../target.txt", "target");
    fs::remove_all(Install("victimdir"));
    fs::create_directory_symlink(m_Dir.File("victimdir"), Install("victimdir"));
    fs::remove(Install("l.txt"));
    fs::create_symlink(m_Dir.File("target.txt"), Install("l.txt"));

    PublishBuild(2, {{"core", {{"a.dll", "a2"}}}});
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate());
    EXPECT_EQ("not ours", ReadTextFile(m_Dir.File("victimdir/v_link.txt")));
    EXPECT_TRUE(BLogHas("Not deleting victimdir/v_link.txt: its directory is a link\n"));
    // A link itself goes; what it points to stays.
    EXPECT_FALSE(fs::is_symlink(Install("l.txt")));
    EXPECT_EQ("target", ReadTextFile(m_Dir.File("target.txt")));
}

TEST_F(IntegrityTest, ContentsAreCheckedAndTheDamagedPackagesInstalledAgain)
{
    FileMap_t mapBuild = PublishBuild(1, TwoPackages("one"));
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate());
    CScriptedUpdateUI ui;
    m_pUpdater->SetUpdateStatusUI(&ui);
    EXPECT_TRUE(Damaged(true).empty());
    EXPECT_TRUE(BLogHas("BVerifyInstalledContents: 4 files checked, 0 damaged\n"));

    // The same size with other content passes the quick check; the content check finds it.
    WriteInstallFile("data/x.txt", "X OF ONE");
    EXPECT_TRUE(m_pUpdater->BVerifyInstalledFiles(true));
    std::vector<InstalledFile_t> vecDamaged = Damaged();
    ASSERT_EQ(1u, vecDamaged.size());
    EXPECT_EQ("data/x.txt", vecDamaged[0].m_strPath);
    EXPECT_EQ("data", vecDamaged[0].m_strPackage);
    EXPECT_TRUE(
        BLogHas("BVerifyInstalledContents: data/x.txt has other content than the list says (SHA-256 " +
                SHA256Hex("X OF ONE") + ")\n"));

    // Only the package that holds it is installed again: the other's files stay as they are.
#ifndef _WIN32 // no inode numbers there
    const ino_t inodeA = Inode(Install("bin/a.dll"));
    const ino_t inodeY = Inode(Install("data/y.txt"));
#endif
    const std::string strListBefore = ReadTextFile(Install(InstalledList()));
    ASSERT_TRUE(m_pUpdater->BRepairInstalledFiles(vecDamaged)) << m_pUpdater->GetLastErrorText().Get();
    EXPECT_EQ(mapBuild, GameFiles());
#ifndef _WIN32 // no inode numbers there
    EXPECT_EQ(inodeA, Inode(Install("bin/a.dll")));
    EXPECT_NE(inodeY, Inode(Install("data/y.txt")));
#endif
    EXPECT_TRUE(BLogHas("Repairing 1 files from the packages data\n"));
    EXPECT_TRUE(Damaged(true).empty());
    EXPECT_EQ(strListBefore.size(), ReadTextFile(Install(InstalledList())).size());
    EXPECT_FALSE(BExists("package/tmp"));
    EXPECT_FALSE(BExists("package/arvo_launcher.backups"));

    // A file replaced by a directory, and one missing: both found and why, both put back.
    fs::remove(Install("bin/b.dll"));
    fs::create_directories(Install("bin/b.dll/sub"));
    WriteInstallFile("bin/b.dll/sub/junk.txt", "junk");
    fs::remove(Install("data/y.txt"));
    EXPECT_FALSE(m_pUpdater->BVerifyInstalledFiles(true));
    vecDamaged = Damaged();
    ASSERT_EQ(2u, vecDamaged.size());
    EXPECT_TRUE(BLogHas("BVerifyInstalledContents: bin/b.dll is a directory where the list has a file\n"));
    EXPECT_TRUE(BLogHas("BVerifyInstalledContents: data/y.txt is missing\n"));
    ASSERT_TRUE(m_pUpdater->BRepairInstalledFiles(vecDamaged)) << m_pUpdater->GetLastErrorText().Get();
    EXPECT_EQ(mapBuild, GameFiles()) << DescribeFiles(GameFiles());
    EXPECT_TRUE(m_pUpdater->BVerifyInstalledFiles(true));
    EXPECT_FALSE(BExists("bin/b.dll.old"));

    // A size that differs.
    WriteInstallFile("bin/a.dll", "longer than it was");
    vecDamaged = Damaged();
    ASSERT_EQ(1u, vecDamaged.size());
    EXPECT_TRUE(
        BLogHas("BVerifyInstalledContents: bin/a.dll has the wrong size: 18 bytes, the list says 8\n"));
    m_pUpdater->SetUpdateStatusUI(nullptr);
}

TEST_F(IntegrityTest, OlderListsStillVerifyAndGetTheirHashesAtTheNextUpdate)
{
    FileMap_t mapOne = PublishBuild(1, TwoPackages("one"));
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate());
    // The list as an older launcher wrote it: path and size only; and one whose third field
    // is no digest.
    for (const char *pchThird : {"", ",not-a-digest"})
    {
        SCOPED_TRACE(pchThird);
        std::string strList;
        for (const auto &entry : mapOne)
            strList += entry.first + "," + std::to_string(entry.second.size()) + pchThird + "\n";
        WriteInstallFile(InstalledList(), strList);
        CFerroUpdater &updater = MakeInstallUpdater();
        EXPECT_TRUE(updater.BVerifyInstalledFiles(true));
        // Content unknown: the content check cannot vouch for it, and cannot tell the
        // packages either (the caller installs the build again).
        std::vector<InstalledFile_t> vecDamaged = Damaged();
        EXPECT_EQ(4u, vecDamaged.size());
        EXPECT_TRUE(BLogHas("BVerifyInstalledContents: bin/a.dll has no content hash in the list\n"));
        EXPECT_FALSE(updater.BRepairInstalledFiles(vecDamaged));
        EXPECT_TRUE(
            BLogHas("Cannot tell which packages hold the damaged files: installing the build again\n"));
        EXPECT_EQ(mapOne, GameFiles());
    }

    // The next update writes every line with its digest.
    FileMap_t mapTwo = PublishBuild(2, TwoPackages("two"));
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate());
    std::string strList = ReadTextFile(Install(InstalledList()));
    EXPECT_EQ(
        TextModeFile(ListLine("bin/a.dll", "a of two", "core") + ListLine("bin/b.dll", "b of two", "core") +
                     ListLine("data/x.txt", "x of two", "data") + ListLine("data/y.txt", "y of two", "data")),
        strList);
    EXPECT_TRUE(Damaged(true).empty());
}

TEST_F(IntegrityTest, AListOfAMillionLinesNeitherCrashesNorHangs)
{
    std::string strList;
    strList.reserve(40u << 20);
    for (int i = 0; i < 1000000; ++i)
        strList += "bin/file" + std::to_string(i) + ".dll,1234," + std::string(64, 'a') + ",core\n";
    WriteInstallFile(InstalledList(), strList);
    strList.clear();
    CFerroUpdater &updater = MakeInstallUpdater();
    CUtlVector<CUtlString> vecFiles;
    EXPECT_EQ(1000000, updater.ReadInstalledFileList(Install(InstalledList()).c_str(), vecFiles));
    EXPECT_FALSE(updater.BVerifyInstalledFiles(true));
    EXPECT_TRUE(BLogHas("BVerifyInstalledFiles: bin/file0.dll should be 1234\n"));

    // Every file missing: fifty named, the rest counted, and the list in doubt as a whole.
    std::vector<InstalledFile_t> vecDamaged = Damaged();
    std::vector<std::string> vecLog = LogMessages();
    EXPECT_EQ(50 + 2, CountWithPrefix(vecLog, "BVerifyInstalledContents: "));
    EXPECT_TRUE(BLogHas("BVerifyInstalledContents: 999950 more damaged files not named\n"));
    EXPECT_TRUE(BLogHas("BVerifyInstalledContents: 1000000 files checked, 1000000 damaged\n"));
    EXPECT_LE(vecDamaged.size(), 10001u);
    EXPECT_TRUE(vecDamaged.back().m_strPath.empty());
    EXPECT_FALSE(updater.BRepairInstalledFiles(vecDamaged));

    // An update over it: the old list's files are looked for (and not found) cheaply.
    FileMap_t mapBuild = PublishBuild(2, TwoPackages("two"));
    ASSERT_TRUE(MakeInstallUpdater().BApplyUpdate()) << m_pUpdater->GetLastErrorText().Get();
    EXPECT_EQ(mapBuild, GameFiles());
    EXPECT_TRUE(m_pUpdater->BVerifyInstalledFiles(true));
}

TEST_F(IntegrityTest, ARepairFetchesOnlyTheArchivesOfTheDamagedFiles)
{
    FileMap_t mapBuild = ServeBuild(1, TwoPackages("one"));
    MakeNetworkUpdater("", "arvolauncher");
    ASSERT_TRUE(BRunCheck(true)) << LastError();
    ASSERT_TRUE(m_pUpdater->BApplyUpdate()) << LastError();
    // The archives were deleted to save space; a file was damaged.
    for (const TestPackage_t &package : m_vecServedPackages)
        fs::remove(Install("package/" + package.m_strFile));
    WriteInstallFile("data/y.txt", "Y OF ONE");
    std::vector<InstalledFile_t> vecDamaged = Damaged();
    const size_t cBefore = RequestedPaths().size();
    EXPECT_TRUE(BRunPumping([&] { return m_pUpdater->BRepairInstalledFiles(vecDamaged); })) << LastError();
    std::vector<std::string> vecPaths = RequestedPaths();
    EXPECT_EQ((std::vector<std::string>{"/client/" + PackageBase(), PackageURL(m_vecServedPackages[1])}),
              std::vector<std::string>(vecPaths.begin() + (ptrdiff_t)cBefore, vecPaths.end()));
    EXPECT_EQ(mapBuild, BuildFiles());
    EXPECT_TRUE(Damaged(true).empty());
    // A repair is no update: nothing is pending afterwards.
    EXPECT_FALSE(BExists(PendingManifest()));
}

TEST_F(IntegrityTest, TheThreadChecksContentsWhenAskedAtStartAndWhileTheClientRuns)
{
    FileMap_t mapBuild = ServeBuild(1, TwoPackages("one"));
    MakeNetworkUpdater("", "arvolauncher");
    ASSERT_TRUE(BRunCheck(true)) << LastError();
    ASSERT_TRUE(m_pUpdater->BApplyUpdate()) << LastError();
    ShutDownUpdater();
    auto fnDone = [this]
    { return m_pUpdater->m_bUpdateFinished || m_pUpdater->m_bRestartRequired || m_pUpdater->m_bFatalError; };

    // A start after a crash (or with "-verify"): contents, and the damage repaired.
    WriteInstallFile("data/x.txt", "X OF ONE");
    MakeNetworkUpdater("", "arvolauncher");
    m_pUpdater->RequestContentVerification();
    ASSERT_TRUE(m_pUpdater->Start());
    ASSERT_TRUE(PumpUntil(fnDone, 30000));
    EXPECT_TRUE(m_pUpdater->m_bUpdateFinished);
    EXPECT_FALSE(m_pUpdater->m_bRestartRequired);
    EXPECT_EQ(mapBuild, BuildFiles());
    EXPECT_TRUE(
        BLogHas("BVerifyInstalledContents: data/x.txt has other content than the list says (SHA-256 " +
                SHA256Hex("X OF ONE") + ")\n"));
    ASSERT_TRUE(PumpUntil([this] { return !m_pUpdater->m_bCheckingForUpdates; }, 10000));

    // While the client runs (VerifyInstallation): the background loop checks and repairs.
    WriteInstallFile("bin/a.dll", "A OF ONE");
    m_pUpdater->RequestContentVerification();
    m_pUpdater->WakeUp();
    ASSERT_TRUE(PumpUntil(
        [this] { return BLogHas("BVerifyInstalledContents: 4 files checked, 1 damaged\n"); }, 30000));
    ASSERT_TRUE(
        PumpUntil([&] { return !m_pUpdater->m_bCheckingForUpdates && BuildFiles() == mapBuild; }, 30000));
    EXPECT_TRUE(BLogHas("Background update loop verifying the installation. . ."));
    EXPECT_FALSE(m_pUpdater->BHoldsInstallLock());
    ShutDownUpdater();

    // Without the request, the start-up check is the quick one.
    WriteInstallFile("data/x.txt", "X OF ONE");
    MakeNetworkUpdater("", "arvolauncher");
    ASSERT_TRUE(m_pUpdater->Start());
    ASSERT_TRUE(PumpUntil(fnDone, 30000));
    EXPECT_EQ("X OF ONE", ReadTextFile(Install("data/x.txt")));
}

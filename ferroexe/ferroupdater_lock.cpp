// One updater per installation. Two launchers started at once on one install directory
// (a double click twice) would otherwise unpack into the same temporary folder and rename
// the same files, and leave a mix of two builds under one installed file list. Whoever
// reads the installed state and writes a new one holds the lock file's lock in the package
// folder until it is done; another launcher waits, showing why, for a bounded time.
#include "ferroexe/ferroupdater.h"

#include "ferroexe/ferroupdater_fileops.h"
#include "foundation/clock.h"

namespace
{
const char k_szLockFileName[] = "arvo_launcher.lock";
} // namespace

bool CFerroUpdater::BLockInstallation(bool bShowWaiting)
{
    if (m_InstallLock.BIsLocked())
        return true;
    CUtlString strPackageDir, strLockFile;
    strPackageDir.Format("%s/package", m_strInstallDir.Get());
    strLockFile.Format("%s/%s", strPackageDir.Get(), k_szLockFileName);
    if (!m_pFileOps->BIsDirectory(strPackageDir.Get()))
        m_pFileOps->BCreateDirectory(strPackageDir.Get());

    auto GoOnWithoutLock = [&]()
    {
        // A read-only install directory, a lock file that is a directory, a file system
        // without locks: updating goes on as it would without a second launcher.
        Log("Cannot lock the installation (%s, error %d): going on without the lock\n", strLockFile.Get(),
            m_InstallLock.GetLastSystemError());
        return true;
    };

    EPlatFileLock eLock = m_pFileOps->TryLockFile(&m_InstallLock, strLockFile.Get());
    if (eLock == k_EPlatFileLockAcquired)
        return true;
    if (eLock == k_EPlatFileLockFailed)
        return GoOnWithoutLock();

    Log("Another launcher is updating this installation (%s is locked): waiting for it\n", strLockFile.Get());
    if (bShowWaiting)
    {
        ShowWindowOnce();
        SetProgress(-1);
        UpdateStatusLocalized("#FerroBootstrapper_WaitingForLauncher",
                              "Waiting for another launcher to finish...");
    }
    const uint64 ulStart = Clock_GetTicks();
    const uint64 ulLimit = Clock_MicrosecondsToTicks((uint64)k_msInstallLockWait * 1000);
    uint64 ulWaited = 0;
    for (;;)
    {
        m_ShutdownEvent.Wait(k_msInstallLockPoll);
        if (m_bShutdownRequested)
            return false;
        if (m_pUpdateStatusUI && m_pUpdateStatusUI->BUserCancelled())
        {
            Log("user canceled the wait for the other launcher\n");
            return false;
        }
        eLock = m_pFileOps->TryLockFile(&m_InstallLock, strLockFile.Get());
        if (eLock == k_EPlatFileLockFailed)
            return GoOnWithoutLock();
        uint64 ulNow = Clock_GetTicks();
        ulWaited = ulNow >= ulStart ? ulNow - ulStart : 0;
        if (eLock == k_EPlatFileLockAcquired)
        {
            Log("The other launcher has finished (waited %llu ms)\n",
                (unsigned long long)(Clock_TicksToMicroseconds(ulWaited) / 1000));
            return true;
        }
        if (ulWaited >= ulLimit)
        {
            Log("Gave up waiting for the other launcher after %u s\n", k_msInstallLockWait / 1000);
            return false;
        }
    }
}

void CFerroUpdater::UnlockInstallation()
{
    m_InstallLock.Unlock();
}

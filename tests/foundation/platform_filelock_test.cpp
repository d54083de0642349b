// The file lock: two holders exclude each other whether they are objects of one process or
// two processes; the system lets go of it when the holder ends, even by a kill; a process
// started meanwhile does not keep it; what cannot be locked says so.
#include "foundation/platform/file.h"
#include "foundation/platform/filelock.h"
#include "foundation/platform/process.h"
#include "foundation/platform/thread.h"

#include "support/testsupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

TEST(PlatformFileLock, TwoHoldersExcludeEachOtherUntilOneLetsGo)
{
    CTempDir dir;
    const std::string strLock = dir.File("install.lock");
    CPlatFileLock first, second;
    EXPECT_FALSE(first.BIsLocked());
    ASSERT_EQ(k_EPlatFileLockAcquired, first.TryLock(strLock.c_str()));
    EXPECT_TRUE(first.BIsLocked());
    // Created when missing, and left on disk.
    EXPECT_TRUE(PLAT_FileExists(strLock.c_str()));
    // Held already: at once.
    EXPECT_EQ(k_EPlatFileLockAcquired, first.TryLock(strLock.c_str()));

    // Another object of this process is another holder; the path may be spelt the Windows way.
    std::string strWindowsWay = strLock;
    for (char &ch : strWindowsWay)
        ch = ch == '/' ? '\\' : ch;
    EXPECT_EQ(k_EPlatFileLockBusy, second.TryLock(strWindowsWay.c_str()));
    EXPECT_FALSE(second.BIsLocked());
    EXPECT_EQ(0, second.GetLastSystemError());

    first.Unlock();
    EXPECT_FALSE(first.BIsLocked());
    EXPECT_TRUE(PLAT_FileExists(strLock.c_str()));
    EXPECT_EQ(k_EPlatFileLockAcquired, second.TryLock(strLock.c_str()));
    {
        // The destructor lets go as well.
        CPlatFileLock third;
        second.Unlock();
        EXPECT_EQ(k_EPlatFileLockAcquired, third.TryLock(strLock.c_str()));
        EXPECT_EQ(k_EPlatFileLockBusy, first.TryLock(strLock.c_str()));
    }
    EXPECT_EQ(k_EPlatFileLockAcquired, first.TryLock(strLock.c_str()));
}

TEST(PlatformFileLock, AKilledHolderLetsGoAndAStartedProcessDoesNotKeepIt)
{
    CTempDir dir;
    const std::string strLock = dir.File("install.lock");

    // Another process takes it and is killed while holding it.
    int rgfdPipe[2];
    ASSERT_EQ(0, pipe(rgfdPipe));
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0)
    {
        CPlatFileLock lock;
        char ch = lock.TryLock(strLock.c_str()) == k_EPlatFileLockAcquired ? 'y' : 'n';
        (void)!write(rgfdPipe[1], &ch, 1);
        for (;;)
            pause();
    }
    close(rgfdPipe[1]);
    char ch = 0;
    ASSERT_EQ(1, read(rgfdPipe[0], &ch, 1));
    close(rgfdPipe[0]);
    ASSERT_EQ('y', ch);
    CPlatFileLock lock;
    EXPECT_EQ(k_EPlatFileLockBusy, lock.TryLock(strLock.c_str()));
    kill(pid, SIGKILL);
    int nStatus = 0;
    ASSERT_EQ(pid, waitpid(pid, &nStatus, 0));
    EXPECT_EQ(k_EPlatFileLockAcquired, lock.TryLock(strLock.c_str()));

    // A launcher started while the lock is held (the restart after an update) must not
    // inherit it: once this holder lets go, the lock is free although the child still runs.
    const std::string strMarker = dir.File("child-ran");
    std::string strCommand = "/bin/sh -c \"touch '" + strMarker + "'; sleep 5\"";
    ASSERT_TRUE(PLAT_StartProcess(strCommand.c_str()));
    for (int i = 0; i < 5000 && !PLAT_FileExists(strMarker.c_str()); ++i)
        PLAT_Sleep(1);
    ASSERT_TRUE(PLAT_FileExists(strMarker.c_str()));
    lock.Unlock();
    CPlatFileLock after;
    EXPECT_EQ(k_EPlatFileLockAcquired, after.TryLock(strLock.c_str()));
}

TEST(PlatformFileLock, WhatCannotBeLockedSaysWhy)
{
    CTempDir dir;
    CPlatFileLock lock;
    // A directory in its place (Windows cannot lock one either).
    ASSERT_TRUE(PLAT_CreateDirectory(dir.File("dir.lock").c_str()));
    EXPECT_EQ(k_EPlatFileLockFailed, lock.TryLock(dir.File("dir.lock").c_str()));
    EXPECT_EQ(EISDIR, lock.GetLastSystemError());
    EXPECT_FALSE(lock.BIsLocked());
    // A folder that is not there.
    EXPECT_EQ(k_EPlatFileLockFailed, lock.TryLock(dir.File("missing/x.lock").c_str()));
    EXPECT_EQ(ENOENT, lock.GetLastSystemError());
    EXPECT_EQ(k_EPlatFileLockFailed, lock.TryLock(nullptr));
    // Then a good one.
    EXPECT_EQ(k_EPlatFileLockAcquired, lock.TryLock(dir.File("x.lock").c_str()));
    EXPECT_EQ(0, lock.GetLastSystemError());
}

// An exclusive lock on a file, the way processes agree that only one of them works on
// something at a time. The system releases it when the holder closes it or ends, however
// it ends, so a crash never leaves it taken.
//
// Every lock object opens the file on its own: two objects in one process exclude each
// other as two processes do (flock on POSIX, LockFileEx on Windows). The handle is not
// inherited by processes started meanwhile. The object belongs to one thread at a time.
#pragma once

#include "foundation/basetypes.h"

#include <cstdint>

enum EPlatFileLock
{
    k_EPlatFileLockAcquired, // this object holds the lock
    k_EPlatFileLockBusy,     // another holder has it
    k_EPlatFileLockFailed,   // no lock to be had: the file cannot be opened, or its file system has none
};

class CPlatFileLock
{
public:
    CPlatFileLock();
    // Releases the lock.
    ~CPlatFileLock();
    CPlatFileLock(const CPlatFileLock &) = delete;
    CPlatFileLock &operator=(const CPlatFileLock &) = delete;

    // Opens the file (created when missing, opened for reading only when it cannot be
    // written) and tries once, without waiting, to take its lock. A lock this object holds
    // already is acquired again at once. The file must be a regular file.
    EPlatFileLock TryLock(const char *pchPath);
    // Releases the lock and closes the file (which stays on disk). Nothing when not held.
    void Unlock();
    bool BIsLocked() const { return m_hFile != k_hNone; }
    // The system's error code of the last TryLock that failed (errno on POSIX, the Windows
    // error code on Windows); 0 after a success or a busy lock.
    int GetLastSystemError() const { return m_nLastError; }

private:
    static const intptr_t k_hNone = -1;
    intptr_t m_hFile;
    int m_nLastError;
};

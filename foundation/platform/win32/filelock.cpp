// Windows only: file locks with LockFileEx on the first byte, which belong to the handle
// (so two opens in one process exclude each other) and go when it is closed.
#include "foundation/platform/filelock.h"

#include "foundation/platform/win32/widepath.h"

#include <windows.h>

CPlatFileLock::CPlatFileLock() : m_hFile(k_hNone), m_nLastError(0) {}

CPlatFileLock::~CPlatFileLock()
{
    Unlock();
}

EPlatFileLock CPlatFileLock::TryLock(const char *pchPath)
{
    if (BIsLocked())
        return k_EPlatFileLockAcquired;
    std::wstring wstrPath;
    if (!pchPath || !BPathToWide(pchPath, &wstrPath))
    {
        m_nLastError = ERROR_INVALID_NAME;
        return k_EPlatFileLockFailed;
    }
    // Shared for everything: the file holds nothing, only its lock counts. The handle is not
    // inheritable (no security attributes), so a launcher started from this one does not
    // keep the lock.
    const DWORD dwShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE hFile = CreateFileW(wstrPath.c_str(), GENERIC_READ | GENERIC_WRITE, dwShare, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
    {
        // A read-only file locks as well (a directory fails here too).
        hFile = CreateFileW(wstrPath.c_str(), GENERIC_READ, dwShare, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (hFile == INVALID_HANDLE_VALUE)
    {
        m_nLastError = (int)GetLastError();
        return k_EPlatFileLockFailed;
    }
    OVERLAPPED overlapped = {};
    if (!LockFileEx(hFile, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &overlapped))
    {
        DWORD dwError = GetLastError();
        CloseHandle(hFile);
        if (dwError == ERROR_LOCK_VIOLATION || dwError == ERROR_IO_PENDING)
        {
            m_nLastError = 0;
            return k_EPlatFileLockBusy;
        }
        m_nLastError = (int)dwError;
        return k_EPlatFileLockFailed;
    }
    m_hFile = (intptr_t)hFile;
    m_nLastError = 0;
    return k_EPlatFileLockAcquired;
}

void CPlatFileLock::Unlock()
{
    if (!BIsLocked())
        return;
    HANDLE hFile = (HANDLE)m_hFile;
    OVERLAPPED overlapped = {};
    UnlockFileEx(hFile, 0, 1, 0, &overlapped);
    CloseHandle(hFile);
    m_hFile = k_hNone;
}

// POSIX only: file locks with flock, which belong to the open file description (so two
// opens in one process exclude each other) and go with the last descriptor.
#include "foundation/platform/filelock.h"

#include "foundation/platform/file.h"
#include "foundation/platform/posix/listingcache.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

CPlatFileLock::CPlatFileLock() : m_hFile(k_hNone), m_nLastError(0) {}

CPlatFileLock::~CPlatFileLock()
{
    Unlock();
}

EPlatFileLock CPlatFileLock::TryLock(const char *pchPath)
{
    if (BIsLocked())
        return k_EPlatFileLockAcquired;
    if (!pchPath)
    {
        m_nLastError = EINVAL;
        return k_EPlatFileLockFailed;
    }
    std::string strPath = PLAT_ResolvePath(pchPath);
    // O_CLOEXEC: a launcher started from this one must not inherit (and so keep) the lock.
    int fd = open(strPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS))
    {
        // A lock needs no write access; a file we may only read locks all the same.
        fd = open(strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    }
    if (fd < 0)
    {
        m_nLastError = errno;
        return k_EPlatFileLockFailed;
    }
    NoteDirectoryEntryChanged(strPath);
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
    {
        // Windows cannot lock a directory: neither do we, so both builds behave alike.
        m_nLastError = fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        close(fd);
        return k_EPlatFileLockFailed;
    }
    int nResult;
    while ((nResult = flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR)
    {
    }
    if (nResult != 0)
    {
        int nError = errno;
        close(fd);
        if (nError == EWOULDBLOCK)
        {
            m_nLastError = 0;
            return k_EPlatFileLockBusy;
        }
        // ENOLCK, EOPNOTSUPP, EINVAL: a file system without locks.
        m_nLastError = nError;
        return k_EPlatFileLockFailed;
    }
    m_hFile = fd;
    m_nLastError = 0;
    return k_EPlatFileLockAcquired;
}

void CPlatFileLock::Unlock()
{
    if (!BIsLocked())
        return;
    // Closing the only descriptor of the open file description releases the lock.
    close((int)m_hFile);
    m_hFile = k_hNone;
}

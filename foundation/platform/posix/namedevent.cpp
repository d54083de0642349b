// POSIX only: named events as named semaphores whose liveness is shown by lock files.
#include "foundation/platform/namedevent.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <semaphore.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// sem_clockwait (glibc 2.30) waits on the monotonic clock; elsewhere the wall clock.
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 30))
#define FERRO_HAVE_SEM_CLOCKWAIT 1
#endif

struct PlatNamedEvent_s
{
    sem_t *m_pSemaphore = SEM_FAILED;
    std::string m_strSemaphoreName;
    bool m_bCanWait = false;
    // The creator's locks; -1 in a handle that only opened the event.
    int m_fdOwner = -1;
    int m_fdReady = -1;
};

namespace
{
// Room kept in a file name for the lock files' suffixes.
const size_t k_cchSuffixRoom = 8;

// "Global\\Quill_FerroIPC_Class" becomes "/Global.Quill_FerroIPC_Class", or
// "/<namespace>.Global.Quill_FerroIPC_Class" in a private namespace: a semaphore name is
// one slash and a file name.
bool BSemaphoreName(const char *pchName, std::string *pstrName)
{
    if (!pchName || !*pchName)
        return false;
    std::string strName = "/";
    const char *pchNamespace;
    if (!BGetNamedEventNamespace(&pchNamespace))
        return false;
    if (*pchNamespace)
    {
        strName += pchNamespace;
        strName += '.';
    }
    for (const char *pch = pchName; *pch; ++pch)
        strName += (*pch == '\\' || *pch == '/') ? '.' : *pch;
    // glibc keeps the semaphore as the file "sem.<name>" in /dev/shm.
    if (strName.size() + k_cchSuffixRoom > NAME_MAX)
        return false;
    *pstrName = strName;
    return true;
}

// The lock files live where the semaphores do, so both go away with a reboot.
std::string LockFilePath(const std::string &strSemaphoreName, const char *pchSuffix)
{
    std::string strDir = "/dev/shm";
    struct stat st;
    if (stat(strDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || access(strDir.c_str(), W_OK) != 0)
    {
        const char *pchTemp = getenv("TMPDIR");
        strDir = pchTemp && *pchTemp ? pchTemp : "/tmp";
    }
    return strDir + "/" + strSemaphoreName.substr(1) + pchSuffix;
}

// An exclusive lock without waiting; false when someone has the file locked (errno
// EWOULDBLOCK) or the lock failed otherwise.
bool BTryLockExclusive(int fd)
{
    for (;;)
    {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

// Whether some open file (of any process, this one included) holds a lock on the file
// that excludes a shared one.
bool BLockedByAnyone(const std::string &strPath)
{
    int fd = open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    int nResult;
    do
    {
        nResult = flock(fd, LOCK_SH | LOCK_NB);
    } while (nResult != 0 && errno == EINTR);
    bool bLocked = nResult != 0 && errno == EWOULDBLOCK;
    close(fd); // drops our own shared lock, if we got it
    return bLocked;
}

PlatNamedEvent_t OpenLive(const std::string &strSemaphoreName, bool bCanWait)
{
    if (!BLockedByAnyone(LockFilePath(strSemaphoreName, ".ready")))
        return nullptr;
    sem_t *pSemaphore = sem_open(strSemaphoreName.c_str(), 0);
    if (pSemaphore == SEM_FAILED)
        return nullptr;
    PlatNamedEvent_t hEvent = new PlatNamedEvent_s;
    hEvent->m_pSemaphore = pSemaphore;
    hEvent->m_strSemaphoreName = strSemaphoreName;
    hEvent->m_bCanWait = bCanWait;
    return hEvent;
}

void CloseFile(int *pfd)
{
    if (*pfd >= 0)
        close(*pfd);
    *pfd = -1;
}
} // namespace

PlatNamedEvent_t PLAT_CreateNamedEvent(const char *pchName)
{
    std::string strSemaphoreName;
    if (!BSemaphoreName(pchName, &strSemaphoreName))
        return nullptr;

    int fdOwner = open(LockFilePath(strSemaphoreName, ".owner").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fdOwner < 0)
        return nullptr;
    if (!BTryLockExclusive(fdOwner))
    {
        bool bOwnedByOther = errno == EWOULDBLOCK;
        close(fdOwner);
        // A live creator has it: share its event, as a second create does on Windows.
        return bOwnedByOther ? OpenLive(strSemaphoreName, true) : nullptr;
    }

    // Whatever a creator that died left behind (perhaps with a signal nobody took) goes;
    // openers only look at the semaphore while ".ready" is locked, which is not yet.
    sem_unlink(strSemaphoreName.c_str());
    sem_t *pSemaphore = sem_open(strSemaphoreName.c_str(), O_CREAT | O_EXCL, 0600, 0);
    int fdReady = -1;
    if (pSemaphore != SEM_FAILED)
        fdReady = open(LockFilePath(strSemaphoreName, ".ready").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (pSemaphore == SEM_FAILED || fdReady < 0 || !BTryLockExclusive(fdReady))
    {
        if (pSemaphore != SEM_FAILED)
        {
            sem_close(pSemaphore);
            sem_unlink(strSemaphoreName.c_str());
        }
        CloseFile(&fdReady);
        close(fdOwner);
        return nullptr;
    }

    PlatNamedEvent_t hEvent = new PlatNamedEvent_s;
    hEvent->m_pSemaphore = pSemaphore;
    hEvent->m_strSemaphoreName = strSemaphoreName;
    hEvent->m_bCanWait = true;
    hEvent->m_fdOwner = fdOwner;
    hEvent->m_fdReady = fdReady;
    return hEvent;
}

PlatNamedEvent_t PLAT_OpenNamedEvent(const char *pchName)
{
    std::string strSemaphoreName;
    if (!BSemaphoreName(pchName, &strSemaphoreName))
        return nullptr;
    return OpenLive(strSemaphoreName, false);
}

bool PLAT_SetNamedEvent(PlatNamedEvent_t hEvent)
{
    if (!hEvent)
        return false;
    // An event is signalled or not; a semaphore counts. Two signals racing past this look
    // give two wake-ups, which a waiter that checks for work tolerates.
    int nValue = 0;
    if (sem_getvalue(hEvent->m_pSemaphore, &nValue) == 0 && nValue > 0)
        return true;
    return sem_post(hEvent->m_pSemaphore) == 0;
}

bool PLAT_WaitNamedEvent(PlatNamedEvent_t hEvent, uint32 unMilliseconds)
{
    if (!hEvent || !hEvent->m_bCanWait)
        return false;
    sem_t *pSemaphore = hEvent->m_pSemaphore;
    int nResult;
    if (unMilliseconds == 0)
    {
        do
        {
            nResult = sem_trywait(pSemaphore);
        } while (nResult != 0 && errno == EINTR);
        return nResult == 0;
    }
    if (unMilliseconds == INFINITE_WAIT)
    {
        do
        {
            nResult = sem_wait(pSemaphore);
        } while (nResult != 0 && errno == EINTR);
        return nResult == 0;
    }

#ifdef FERRO_HAVE_SEM_CLOCKWAIT
    // On the monotonic clock, so that a change of the wall clock does not stretch the wait.
    const clockid_t clock = CLOCK_MONOTONIC;
#else
    const clockid_t clock = CLOCK_REALTIME;
#endif
    struct timespec tsDeadline;
    clock_gettime(clock, &tsDeadline);
    tsDeadline.tv_sec += unMilliseconds / 1000;
    tsDeadline.tv_nsec += (long)(unMilliseconds % 1000) * 1000000L;
    if (tsDeadline.tv_nsec >= 1000000000L)
    {
        tsDeadline.tv_sec += 1;
        tsDeadline.tv_nsec -= 1000000000L;
    }
    do
    {
#ifdef FERRO_HAVE_SEM_CLOCKWAIT
        nResult = sem_clockwait(pSemaphore, clock, &tsDeadline);
#else
        nResult = sem_timedwait(pSemaphore, &tsDeadline);
#endif
    } while (nResult != 0 && errno == EINTR);
    return nResult == 0;
}

void PLAT_CloseNamedEvent(PlatNamedEvent_t hEvent)
{
    if (!hEvent)
        return;
    if (hEvent->m_fdOwner >= 0)
    {
        // Openers stop finding the event first; then its name goes, while we still own
        // it, so a new creator cannot lose its fresh semaphore to this unlink.
        CloseFile(&hEvent->m_fdReady);
        sem_unlink(hEvent->m_strSemaphoreName.c_str());
        CloseFile(&hEvent->m_fdOwner);
    }
    sem_close(hEvent->m_pSemaphore);
    delete hEvent;
}

// POSIX only: threads on pthreads.
#include "foundation/platform/thread.h"

#include <cerrno>
#include <ctime>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace
{
struct PosixThread_t
{
    pthread_t m_Thread;
    FnPlatThreadProc m_pfn;
    void *m_pvParam;
    pthread_mutex_t m_Mutex;
    pthread_cond_t m_Cond; // on the monotonic clock: timed waits ignore changes of the date
    uint32 m_unThreadId;   // known once the thread runs
    bool m_bEnded;
    bool m_bJoined; // one waiter has claimed the pthread_join (a second join is undefined)
    bool m_bClosed; // the owner no longer holds the handle; the thread frees it at its end
};

void FreeThread(PosixThread_t *pThread)
{
    pthread_mutex_destroy(&pThread->m_Mutex);
    pthread_cond_destroy(&pThread->m_Cond);
    delete pThread;
}

void *PosixThreadEntry(void *pv)
{
    PosixThread_t *pThread = static_cast<PosixThread_t *>(pv);
    pthread_mutex_lock(&pThread->m_Mutex);
    pThread->m_unThreadId = PLAT_GetCurrentThreadId();
    pthread_cond_broadcast(&pThread->m_Cond);
    pthread_mutex_unlock(&pThread->m_Mutex);

    pThread->m_pfn(pThread->m_pvParam);

    pthread_mutex_lock(&pThread->m_Mutex);
    pThread->m_bEnded = true;
    bool bFree = pThread->m_bClosed;
    pthread_cond_broadcast(&pThread->m_Cond);
    pthread_mutex_unlock(&pThread->m_Mutex);
    if (bFree)
        FreeThread(pThread);
    return nullptr;
}
} // namespace

bool PLAT_CreateThread(FnPlatThreadProc pfn, void *pvParam, uint32 cubStack, PlatThreadHandle_t *phThread,
                       uint32 *punThreadId)
{
    if (!pfn || !phThread)
        return false;
    PosixThread_t *pThread = new PosixThread_t();
    pThread->m_pfn = pfn;
    pThread->m_pvParam = pvParam;
    pthread_mutex_init(&pThread->m_Mutex, nullptr);
    pthread_condattr_t condAttr;
    pthread_condattr_init(&condAttr);
    pthread_condattr_setclock(&condAttr, CLOCK_MONOTONIC);
    pthread_cond_init(&pThread->m_Cond, &condAttr);
    pthread_condattr_destroy(&condAttr);

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (cubStack)
        pthread_attr_setstacksize(&attr, cubStack < PTHREAD_STACK_MIN ? PTHREAD_STACK_MIN : cubStack);
    int nResult = pthread_create(&pThread->m_Thread, &attr, PosixThreadEntry, pThread);
    pthread_attr_destroy(&attr);
    if (nResult != 0)
    {
        FreeThread(pThread);
        return false;
    }
    if (punThreadId)
    {
        // Windows tells the id at creation; here only the thread knows it, so wait for it.
        pthread_mutex_lock(&pThread->m_Mutex);
        while (!pThread->m_unThreadId)
            pthread_cond_wait(&pThread->m_Cond, &pThread->m_Mutex);
        *punThreadId = pThread->m_unThreadId;
        pthread_mutex_unlock(&pThread->m_Mutex);
    }
    *phThread = pThread;
    return true;
}

bool PLAT_WaitForThread(PlatThreadHandle_t hThread, uint32 unMilliseconds)
{
    PosixThread_t *pThread = static_cast<PosixThread_t *>(hThread);
    if (!pThread)
        return true;
    pthread_mutex_lock(&pThread->m_Mutex);
    if (unMilliseconds == INFINITE_WAIT)
    {
        while (!pThread->m_bEnded)
            pthread_cond_wait(&pThread->m_Cond, &pThread->m_Mutex);
    }
    else
    {
        timespec tsEnd;
        clock_gettime(CLOCK_MONOTONIC, &tsEnd);
        tsEnd.tv_sec += unMilliseconds / 1000;
        tsEnd.tv_nsec += (long)(unMilliseconds % 1000) * 1000000L;
        if (tsEnd.tv_nsec >= 1000000000L)
        {
            tsEnd.tv_sec++;
            tsEnd.tv_nsec -= 1000000000L;
        }
        while (!pThread->m_bEnded)
        {
            if (pthread_cond_timedwait(&pThread->m_Cond, &pThread->m_Mutex, &tsEnd) == ETIMEDOUT)
                break;
        }
    }
    bool bEnded = pThread->m_bEnded;
    bool bJoin = bEnded && !pThread->m_bJoined;
    if (bJoin)
        pThread->m_bJoined = true;
    pthread_t thread = pThread->m_Thread;
    pthread_mutex_unlock(&pThread->m_Mutex);
    // The thread has left its function; the join waits the few instructions to its real end.
    if (bJoin)
        pthread_join(thread, nullptr);
    return bEnded;
}

void PLAT_CloseThread(PlatThreadHandle_t hThread)
{
    PosixThread_t *pThread = static_cast<PosixThread_t *>(hThread);
    if (!pThread)
        return;
    pthread_mutex_lock(&pThread->m_Mutex);
    bool bEnded = pThread->m_bEnded;
    if (!pThread->m_bJoined)
    {
        pthread_detach(pThread->m_Thread);
        pThread->m_bJoined = true;
    }
    pThread->m_bClosed = true;
    pthread_mutex_unlock(&pThread->m_Mutex);
    if (bEnded)
        FreeThread(pThread);
}

uint32 PLAT_GetCurrentThreadId()
{
    return (uint32)syscall(SYS_gettid);
}

void PLAT_SetCurrentThreadName(const char *pchName)
{
    char rgchName[16]; // the kernel keeps 15 characters
    size_t i = 0;
    for (; pchName && pchName[i] && i < sizeof(rgchName) - 1; ++i)
        rgchName[i] = pchName[i];
    rgchName[i] = '\0';
    pthread_setname_np(pthread_self(), rgchName);
}

void PLAT_Sleep(uint32 unMilliseconds)
{
    if (unMilliseconds == 0)
    {
        sched_yield();
        return;
    }
    timespec ts;
    ts.tv_sec = unMilliseconds / 1000;
    ts.tv_nsec = (long)(unMilliseconds % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) == -1 && errno == EINTR)
    {
    }
}

// Threads and events: auto-reset events, timed waits on the manual clock, CThread's life
// cycle, and the platform thread calls beneath them.
#include "foundation/clock.h"
#include "foundation/platform/thread.h"
#include "foundation/thread.h"
#include "foundation/threadtools.h"

#include <gtest/gtest.h>

#include <atomic>
#include <pthread.h>
#include <string>
#include <thread>

namespace
{
// Spins (really sleeping a millisecond at a time, at most 10 s) until the condition holds.
template <typename Fn>
bool BEventually(Fn fnCondition)
{
    for (int i = 0; i < 10000; ++i)
    {
        if (fnCondition())
            return true;
        PLAT_Sleep(1);
    }
    return fnCondition();
}

// A manual clock that counts how often it was read, so a test knows that a timed wait has
// taken its start time before the test moves the clock.
class CCountingClock : public CManualClock
{
public:
    uint64 GetTicks() override
    {
        uint64 unTicks = CManualClock::GetTicks();
        m_nReads.fetch_add(1);
        return unTicks;
    }
    std::atomic<int> m_nReads{0};
};

class CScopedClock
{
public:
    explicit CScopedClock(IClock *pClock) : m_pPrevious(SetClock(pClock)) {}
    ~CScopedClock() { SetClock(m_pPrevious); }

private:
    IClock *m_pPrevious;
};

// Runs one timed wait on a thread of its own and keeps the result.
class CTimedWaiter
{
public:
    CTimedWaiter(CThreadEvent &event, uint32 unMilliseconds)
        : m_Thread(
              [this, &event, unMilliseconds]()
              {
                  m_bResult = event.Wait(unMilliseconds);
                  m_bDone = true;
              })
    {
    }
    ~CTimedWaiter() { m_Thread.join(); }
    bool BDone() const { return m_bDone.load(); }
    bool BResult()
    {
        m_Thread.join();
        m_Thread = std::thread([]() {});
        return m_bResult.load();
    }

private:
    std::atomic<bool> m_bResult{false};
    std::atomic<bool> m_bDone{false};
    std::thread m_Thread;
};
} // namespace

TEST(PlatformThread, AutoResetEventReleasesOneWaiterPerSetAndKeepsAnUnclaimedSet)
{
    CThreadEvent event;
    EXPECT_FALSE(event.BIsSignalled());
    EXPECT_FALSE(event.Wait(0));

    // Set with nobody waiting stays for the next Wait, which takes it; two Sets are one.
    event.Set();
    event.Set();
    EXPECT_TRUE(event.BIsSignalled());
    EXPECT_TRUE(event.Wait(0));
    EXPECT_FALSE(event.BIsSignalled());
    EXPECT_FALSE(event.Wait(0));

    std::atomic<int> nWoken{0};
    std::thread waiterA(
        [&]()
        {
            event.Wait();
            nWoken.fetch_add(1);
        });
    std::thread waiterB(
        [&]()
        {
            event.Wait();
            nWoken.fetch_add(1);
        });
    event.Set();
    EXPECT_TRUE(BEventually([&]() { return nWoken.load() == 1; }));
    EXPECT_FALSE(event.BIsSignalled()) << "the one waiter released took the signal";
    EXPECT_EQ(1, nWoken.load());
    event.Set();
    EXPECT_TRUE(BEventually([&]() { return nWoken.load() == 2; }));
    waiterA.join();
    waiterB.join();
    EXPECT_FALSE(event.BIsSignalled());

    // A manual-reset event releases everyone and stays set until Reset.
    CThreadEvent manual(true);
    manual.Set();
    EXPECT_TRUE(manual.Wait(0));
    EXPECT_TRUE(manual.Wait());
    manual.Reset();
    EXPECT_FALSE(manual.Wait(0));
}

TEST(PlatformThread, TimedWaitsEndWhenTheManualClockPassesTheirEnd)
{
    CCountingClock clock;
    CScopedClock scoped(&clock);
    CThreadEvent event;

    {
        // Just short of the end the wait still runs, and a Set releases it.
        CTimedWaiter waiter(event, 1000);
        ASSERT_TRUE(BEventually([&]() { return clock.m_nReads.load() > 0; }));
        clock.AdvanceMilliseconds(999);
        event.Set();
        EXPECT_TRUE(waiter.BResult());
        EXPECT_FALSE(event.BIsSignalled());
    }
    {
        // At the end it times out; a later Set is kept for the next wait.
        clock.m_nReads = 0;
        CTimedWaiter waiter(event, 1000);
        ASSERT_TRUE(BEventually([&]() { return clock.m_nReads.load() > 0; }));
        clock.AdvanceMilliseconds(1000);
        EXPECT_FALSE(waiter.BResult());
        event.Set();
        EXPECT_TRUE(event.Wait(0));
    }
    {
        // Real time does not end a wait on the manual clock (the wait would have ended long
        // ago in real time), and a zero wait does not wait at all.
        clock.m_nReads = 0;
        CTimedWaiter waiter(event, 1);
        ASSERT_TRUE(BEventually([&]() { return clock.m_nReads.load() > 2; }));
        PLAT_Sleep(5);
        EXPECT_FALSE(waiter.BDone());
        clock.AdvanceMilliseconds(1);
        EXPECT_FALSE(waiter.BResult());
    }
    {
        // An unlimited wait is not a wait of 2^32 - 1 ms: fifty days later it still waits.
        CTimedWaiter waiter(event, INFINITE_WAIT);
        clock.AdvanceMilliseconds(50ull * 24 * 3600 * 1000);
        PLAT_Sleep(5);
        EXPECT_FALSE(waiter.BDone());
        event.Set();
        EXPECT_TRUE(waiter.BResult());
    }
}

namespace
{
class CTestThread : public CThread
{
public:
    bool Init() override
    {
        m_nInits.fetch_add(1);
        return m_bInitResult;
    }
    int Run() override
    {
        m_nRuns.fetch_add(1);
        m_bRunSawItself = BIsCurrentThread() && GetThreadId() == PLAT_GetCurrentThreadId();
        m_bSelfJoinRefused = !Join(0);
#ifndef _WIN32
        // Windows keeps the name as the thread's description, which only debuggers show.
        char rgchName[32] = "";
        pthread_getname_np(pthread_self(), rgchName, sizeof(rgchName));
        m_strSeenName = rgchName;
#endif
        m_Go.Wait();
        return m_nResult;
    }
    void OnExit() override
    {
        m_nExits.fetch_add(1);
    }

    CThreadEvent m_Go;
    std::atomic<int> m_nInits{0}, m_nRuns{0}, m_nExits{0};
    std::atomic<bool> m_bRunSawItself{false}, m_bSelfJoinRefused{false};
    std::string m_strSeenName;
    bool m_bInitResult = true;
    int m_nResult = 0;
};
} // namespace

TEST(PlatformThread, CThreadRunsAgainAfterItsRunEnded)
{
    CTestThread thread;
    EXPECT_FALSE(thread.IsAlive());
    EXPECT_TRUE(thread.Join(0)) << "never started";
    EXPECT_FALSE(thread.BIsCurrentThread());

    thread.SetName("CHTTPClientThreadPool");
    thread.m_nResult = 42;
    ASSERT_TRUE(thread.Start());
    EXPECT_TRUE(thread.IsAlive());
    EXPECT_EQ(CThread::k_unStillActive, thread.GetExitCode());
    EXPECT_FALSE(thread.Start()) << "already running";
    EXPECT_FALSE(thread.Join(0));
    EXPECT_FALSE(thread.BIsCurrentThread());
    ASSERT_TRUE(BEventually([&]() { return thread.m_nRuns.load() == 1; }));
    thread.m_Go.Set();
    EXPECT_TRUE(thread.Join());
    EXPECT_FALSE(thread.IsAlive());
    EXPECT_EQ(42u, thread.GetExitCode());
    EXPECT_TRUE(thread.m_bRunSawItself);
    EXPECT_TRUE(thread.m_bSelfJoinRefused);
#ifndef _WIN32
    EXPECT_EQ("CHTTPClientThre", thread.m_strSeenName) << "cut to the 15 characters Linux keeps";
#endif
    EXPECT_EQ(1, thread.m_nExits.load());

    // Again on the same object.
    thread.m_nResult = 7;
    ASSERT_TRUE(thread.Start());
    thread.m_Go.Set();
    ASSERT_TRUE(BEventually([&]() { return !thread.IsAlive(); }));
    EXPECT_EQ(2, thread.m_nRuns.load());
    EXPECT_EQ(7u, thread.GetExitCode());

    // And once more without a Join in between (Start collects the ended thread). A Run that
    // returns the still-active code must not look alive for ever.
    thread.m_nResult = (int)CThread::k_unStillActive;
    ASSERT_TRUE(thread.Start());
    thread.m_Go.Set();
    EXPECT_TRUE(thread.Join());
    EXPECT_FALSE(thread.IsAlive());
    EXPECT_EQ(0u, thread.GetExitCode());

    // Init refusing: no Run, no OnExit, exit code 0.
    thread.m_bInitResult = false;
    thread.m_nResult = 5;
    ASSERT_TRUE(thread.Start());
    EXPECT_TRUE(thread.Join());
    EXPECT_EQ(4, thread.m_nInits.load());
    EXPECT_EQ(3, thread.m_nRuns.load());
    EXPECT_EQ(3, thread.m_nExits.load());
    EXPECT_EQ(0u, thread.GetExitCode());
    EXPECT_FALSE(thread.IsAlive());
}

namespace
{
struct ThreadProbe_t
{
    CThreadEvent m_Go;
    std::atomic<uint32> m_unSeenId{0};
    std::atomic<bool> m_bEnded{false};
};

uint32 ProbeThreadProc(void *pv)
{
    ThreadProbe_t *pProbe = static_cast<ThreadProbe_t *>(pv);
    pProbe->m_unSeenId = PLAT_GetCurrentThreadId();
    pProbe->m_Go.Wait();
    pProbe->m_bEnded = true;
    return 3;
}
} // namespace

TEST(PlatformThread, HandlesWaitsAndIds)
{
    ThreadProbe_t probe;
    PlatThreadHandle_t hThread = nullptr;
    uint32 unId = 0;
    ASSERT_TRUE(PLAT_CreateThread(&ProbeThreadProc, &probe, 256 * 1024, &hThread, &unId));
    ASSERT_TRUE(BEventually([&]() { return probe.m_unSeenId.load() != 0; }));
    EXPECT_EQ(probe.m_unSeenId.load(), unId) << "the id given at creation is the thread's own";
    EXPECT_NE(PLAT_GetCurrentThreadId(), unId);
    EXPECT_FALSE(PLAT_WaitForThread(hThread, 0));

    // Two threads waiting for the same thread both see its end.
    std::atomic<int> nWaitersDone{0};
    std::thread waiterA([&]() { nWaitersDone += PLAT_WaitForThread(hThread, 10000) ? 1 : 0; });
    std::thread waiterB([&]() { nWaitersDone += PLAT_WaitForThread(hThread, 10000) ? 1 : 0; });
    probe.m_Go.Set();
    waiterA.join();
    waiterB.join();
    EXPECT_EQ(2, nWaitersDone.load());
    EXPECT_TRUE(PLAT_WaitForThread(hThread, 0)) << "ended stays ended";
    PLAT_CloseThread(hThread);

    // A handle closed while its thread runs leaves the thread running to its end.
    ThreadProbe_t detached;
    ASSERT_TRUE(PLAT_CreateThread(&ProbeThreadProc, &detached, 0, &hThread, nullptr));
    PLAT_CloseThread(hThread);
    detached.m_Go.Set();
    EXPECT_TRUE(BEventually([&]() { return detached.m_bEnded.load(); }));
}

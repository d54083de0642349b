#include "foundation/clock.h"
#include "jobs/scheduledfunction.h"

#include "support/testsupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
std::vector<std::string> g_vecRuns;

// A scheduled function owner that logs its runs and can reschedule itself.
class CTimed
{
public:
    CTimed(const char *pchName, CScheduledFunctionMgr *pMgr)
        : m_strName(pchName), m_Scheduled(this, &CTimed::OnTime, pMgr)
    {
    }
    void OnTime()
    {
        g_vecRuns.push_back(m_strName);
        ++m_cRuns;
        if (m_pClock)
            m_pClock->Advance(m_unAdvanceMicroSec);
        // Bounded, so that a manager that runs it again within one pass fails the test
        // instead of spinning.
        if (m_nRescheduleMicroSec >= 0 && m_cRuns < 50)
            m_Scheduled.Schedule(m_nRescheduleMicroSec);
    }

    std::string m_strName;
    CScheduledFunction<CTimed> m_Scheduled;
    int m_cRuns = 0;
    int64 m_nRescheduleMicroSec = -1;
    CManualClock *m_pClock = nullptr;
    uint64 m_unAdvanceMicroSec = 0;
};

// One pass of the manager's frame function with the usual budget.
bool RunPass(CScheduledFunctionMgr &mgr)
{
    CLimitTimer limitTimer;
    limitTimer.SetLimit(CFrameFunctionMgr::k_unMicroSecPerFunction);
    return mgr.BFrameFuncRun(limitTimer);
}

class ScheduledFunctionTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_vecRuns.clear();
        // A manager that has run once: the never-run warning stays out of these tests.
        RunPass(m_Mgr);
    }
    void TearDown() override
    {
        // The frame loop is left drained.
        RunPass(m_Mgr);
        EXPECT_EQ(0, m_Mgr.CountScheduledFunctions());
    }

    CScopedManualClock m_Clock;
    CScheduledFunctionMgr m_Mgr;
};
} // namespace

TEST_F(ScheduledFunctionTest, DueFunctionsRunTogetherAndLaterOnesWait)
{
    CTimed a("a", &m_Mgr), b("b", &m_Mgr), c("c", &m_Mgr);
    a.m_Scheduled.Schedule(1000);
    b.m_Scheduled.Schedule(1000);
    c.m_Scheduled.Schedule(2000);
    EXPECT_TRUE(a.m_Scheduled.BIsScheduled());
    EXPECT_EQ(m_Clock->GetTicks() + 1000, a.m_Scheduled.GetDueTime());

    m_Clock->Advance(999);
    EXPECT_FALSE(RunPass(m_Mgr));
    EXPECT_TRUE(g_vecRuns.empty());

    m_Clock->Advance(1);
    EXPECT_FALSE(RunPass(m_Mgr));
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), g_vecRuns);
    EXPECT_FALSE(a.m_Scheduled.BIsScheduled());
    EXPECT_EQ(0u, a.m_Scheduled.GetDueTime());
    EXPECT_TRUE(c.m_Scheduled.BIsScheduled());
    EXPECT_EQ(1, m_Mgr.CountQueuedItems());

    m_Clock->Advance(1000);
    EXPECT_FALSE(RunPass(m_Mgr));
    EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), g_vecRuns);
    EXPECT_EQ(0, m_Mgr.CountQueuedItems());
}

TEST_F(ScheduledFunctionTest, RescheduledFunctionsRunOnceAtTheirLatestTime)
{
    CTimed later("later", &m_Mgr), earlier("earlier", &m_Mgr);
    later.m_Scheduled.Schedule(1000);
    later.m_Scheduled.Schedule(3000);
    earlier.m_Scheduled.Schedule(3000);
    earlier.m_Scheduled.Schedule(1000);
    EXPECT_EQ(2, m_Mgr.CountScheduledFunctions());

    m_Clock->Advance(1000);
    RunPass(m_Mgr);
    EXPECT_EQ((std::vector<std::string>{"earlier"}), g_vecRuns);
    m_Clock->Advance(2000);
    RunPass(m_Mgr);
    EXPECT_EQ((std::vector<std::string>{"earlier", "later"}), g_vecRuns);
    EXPECT_EQ(1, later.m_cRuns);
    EXPECT_EQ(1, earlier.m_cRuns);
    EXPECT_EQ(0, m_Mgr.CountQueuedItems()); // the stale items went too
}

TEST_F(ScheduledFunctionTest, CancelledAndDestroyedFunctionsNeverRun)
{
    CTimed cancelled("cancelled", &m_Mgr), kept("kept", &m_Mgr);
    cancelled.m_Scheduled.Schedule(1000);
    cancelled.m_Scheduled.Cancel();
    EXPECT_FALSE(cancelled.m_Scheduled.BIsScheduled());
    EXPECT_EQ(0u, cancelled.m_Scheduled.GetDueTime());
    cancelled.m_Scheduled.Cancel(); // twice is harmless

    // The freed list entry goes to the next function, at the same due time: that one runs
    // once and the cancelled one not at all.
    kept.m_Scheduled.Schedule(1000);
    {
        CTimed gone("gone", &m_Mgr);
        gone.m_Scheduled.Schedule(500);
    }
    m_Clock->Advance(1000);
    RunPass(m_Mgr);
    EXPECT_EQ((std::vector<std::string>{"kept"}), g_vecRuns);
    m_Clock->Advance(10000);
    RunPass(m_Mgr);
    EXPECT_EQ(1u, g_vecRuns.size());
}

TEST_F(ScheduledFunctionTest, NegativeDelayIsReportedAndRunsAtTheNextPass)
{
    CSpewCapture spew;
    CTimed a("a", &m_Mgr);
    a.m_Scheduled.Schedule(-5);
    EXPECT_EQ(1, spew.CountContaining("Assertion Failed: nMicroSeconds >= 0"));
    EXPECT_EQ(m_Clock->GetTicks(), a.m_Scheduled.GetDueTime());
    RunPass(m_Mgr);
    EXPECT_EQ(1, a.m_cRuns);
}

TEST_F(ScheduledFunctionTest, SelfReschedulingFunctionRunsOncePerPass)
{
    CTimed again("again", &m_Mgr), other("other", &m_Mgr);
    again.m_nRescheduleMicroSec = 0;
    again.m_Scheduled.Schedule(0);
    other.m_Scheduled.Schedule(0);
    EXPECT_FALSE(RunPass(m_Mgr));
    EXPECT_EQ(1, again.m_cRuns);
    EXPECT_EQ(1, other.m_cRuns);
    EXPECT_TRUE(again.m_Scheduled.BIsScheduled());
    EXPECT_FALSE(RunPass(m_Mgr));
    EXPECT_EQ(2, again.m_cRuns);

    // With a delay it waits for the delay.
    again.m_nRescheduleMicroSec = 100;
    RunPass(m_Mgr);
    EXPECT_EQ(3, again.m_cRuns);
    RunPass(m_Mgr);
    EXPECT_EQ(3, again.m_cRuns);
    again.m_nRescheduleMicroSec = -1;
    m_Clock->Advance(100);
    RunPass(m_Mgr);
    EXPECT_EQ(4, again.m_cRuns);
    EXPECT_FALSE(again.m_Scheduled.BIsScheduled());
}

TEST_F(ScheduledFunctionTest, PassStopsAtItsLimitAndTheRestRunsNext)
{
    // Each run takes 3,000 µs: the 5,000 µs budget is spent after the second.
    CTimed a("a", &m_Mgr), b("b", &m_Mgr), c("c", &m_Mgr);
    for (CTimed *p : {&a, &b, &c})
    {
        p->m_pClock = &m_Clock.Clock();
        p->m_unAdvanceMicroSec = 3000;
        p->m_Scheduled.Schedule(10);
    }
    m_Clock->Advance(10);
    EXPECT_TRUE(RunPass(m_Mgr));
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), g_vecRuns);
    EXPECT_FALSE(RunPass(m_Mgr));
    EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), g_vecRuns);
}

TEST(ScheduledFunctionMgr, ReportsAManagerThatNeverRunsAndAZeroDueTime)
{
    CScopedManualClock clock;
    CSpewCapture spew;
    CScheduledFunctionMgr mgr;
    CTimed a("a", &mgr);
    a.m_Scheduled.Schedule(1000);
    EXPECT_EQ(0, spew.CountContaining("Relying on"));
    clock->Advance(1);
    a.m_Scheduled.Schedule(1000);
    a.m_Scheduled.Schedule(1000);
    EXPECT_EQ(1, spew.CountContaining(
                     "Assertion Failed: Relying on scheduled functions in a dll that doesn't run the "
                     "scheduled function managers frame loop?"));
    a.m_Scheduled.Cancel();

    // Due time 0 is the mark of "not scheduled": reported, and still run.
    g_vecRuns.clear();
    clock->Set(0);
    a.m_Scheduled.Schedule(0);
    EXPECT_EQ(1, spew.CountContaining("Assertion Failed: scheduledItem.m_ulTime"));
    RunPass(mgr);
    EXPECT_EQ(1, a.m_cRuns);
    EXPECT_EQ(2, (int)spew.Assertions().size());
}

TEST(ScheduledFunctionMgr, FunctionsOutlivingTheirManagerAreDetached)
{
    CScopedManualClock clock;
    CScheduledFunctionMgr *pMgr = new CScheduledFunctionMgr();
    CTimed a("a", pMgr);
    a.m_Scheduled.Schedule(100);
    delete pMgr;
    EXPECT_FALSE(a.m_Scheduled.BIsScheduled());
    EXPECT_EQ(0u, a.m_Scheduled.GetDueTime());
    // Its destructor, at the end of the test, leaves the dead manager alone.
}

TEST(ScheduledFunctionMgr, GlobalManagerRunsFromTheFrameLoop)
{
    CScopedManualClock clock;
    CScheduledFunctionMgr &mgr = GetScheduledFunctionMgr();
    ASSERT_TRUE(GetFrameFunctionMgr().Register(&mgr));

    g_vecRuns.clear();
    CTimed a("a", nullptr);
    a.m_Scheduled.Schedule(250);
    GetFrameFunctionMgr().RunFrame(k_EFrameTypeMain);
    EXPECT_EQ(0, a.m_cRuns);
    clock->Advance(250);
    EXPECT_FALSE(GetFrameFunctionMgr().RunFrame(k_EFrameTypeMain));
    EXPECT_EQ(1, a.m_cRuns);

    a.m_Scheduled.Schedule(1000);
    a.m_Scheduled.Cancel();
    GetFrameFunctionMgr().RunFrame(k_EFrameTypeMain);
    GetFrameFunctionMgr().Deregister(&mgr);
    EXPECT_EQ(0, mgr.CountScheduledFunctions());
}

#include "foundation/clock.h"
#include "jobs/framefunctionmgr.h"
#include "jobs/limittimer.h"

#include "support/testsupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
// A frame function owner whose work is a number of 100 µs steps on the manual clock.
class CWorker
{
public:
    explicit CWorker(CManualClock &clock, const char *pchName = "CWorker::BFrameFunc",
                     int eFrameType = k_EFrameTypeMain)
        : m_Clock(clock), m_FrameFunc(this, &CWorker::BFrameFunc, pchName, eFrameType)
    {
    }

    bool BFrameFunc(CLimitTimer &limitTimer)
    {
        ++m_cCalls;
        while (m_cStepsLeft > 0)
        {
            m_Clock.Advance(100);
            --m_cStepsLeft;
            ++m_cStepsDone;
            if (limitTimer.BLimitReached())
                break;
        }
        if (m_pMgrToLeave)
            m_pMgrToLeave->Deregister(&m_FrameFunc);
        return m_cStepsLeft > 0;
    }

    CManualClock &m_Clock;
    CFrameFunction<CWorker> m_FrameFunc;
    int m_cCalls = 0;
    int m_cStepsLeft = 0;
    int m_cStepsDone = 0;
    CFrameFunctionMgr *m_pMgrToLeave = nullptr;
};

// A static-kind frame function whose deletion can be seen.
class CTrackedStatic : public CBaseFrameFunction
{
public:
    CTrackedStatic(bool *pbDeleted)
        : CBaseFrameFunction("CTrackedStatic", k_EFrameTypeMain), m_pbDeleted(pbDeleted)
    {
    }
    ~CTrackedStatic() override { *m_pbDeleted = true; }
    bool BRun(CLimitTimer &) override { return false; }
    bool BIsStatic() const override { return true; }
    bool *m_pbDeleted;
};

int g_cStaticCalls = 0;
bool StaticIdle(CLimitTimer &)
{
    ++g_cStaticCalls;
    return false;
}
} // namespace

TEST(LimitTimer, ReachedAtTheEndAndSurvivesABackwardClock)
{
    CScopedManualClock clock;
    CLimitTimer limitTimer;
    limitTimer.SetLimit(5000);
    EXPECT_EQ(limitTimer.GetStartTick() + 5000, limitTimer.GetEndTick());
    clock->Advance(4999);
    EXPECT_FALSE(limitTimer.BLimitReached());
    EXPECT_EQ(1u, limitTimer.GetMicrosecondsLeft());
    clock->Advance(1);
    EXPECT_TRUE(limitTimer.BLimitReached());
    EXPECT_EQ(0u, limitTimer.GetMicrosecondsLeft());

    // The clock jumps back to 1 s before the start: the timer starts again from there (it
    // cannot tell how much of the limit went by before the jump), and ends 5,000 µs later.
    limitTimer.SetLimit(5000);
    clock->Advance(1000);
    clock->Set(limitTimer.GetStartTick() - 1000000);
    EXPECT_FALSE(limitTimer.BLimitReached());
    EXPECT_EQ(5000u, limitTimer.GetMicrosecondsLeft());
    clock->Advance(4999);
    EXPECT_FALSE(limitTimer.BLimitReached());
    clock->Advance(1);
    EXPECT_TRUE(limitTimer.BLimitReached());

    limitTimer.SetLimit(0);
    EXPECT_TRUE(limitTimer.BLimitReached());
}

TEST(FrameFunctionMgr, IdleFunctionsRunOncePerFrameAndBusyOnesStopAtTheirBudget)
{
    CScopedManualClock clock;
    CFrameFunctionMgr mgr;
    CWorker busy(clock.Clock(), "CWorker::Busy");
    CWorker idle(clock.Clock(), "CWorker::Idle");
    CWorker late(clock.Clock(), "CWorker::Late", k_EFrameTypeLate);
    ASSERT_TRUE(mgr.Register(&busy.m_FrameFunc));
    ASSERT_TRUE(mgr.Register(&idle.m_FrameFunc));
    ASSERT_TRUE(mgr.Register(&late.m_FrameFunc));
    EXPECT_EQ(&mgr, idle.m_FrameFunc.GetOwner());

    EXPECT_FALSE(mgr.RunFrame(k_EFrameTypeMain));
    EXPECT_FALSE(mgr.RunFrame(k_EFrameTypeMain));
    EXPECT_EQ(2, busy.m_cCalls);
    EXPECT_EQ(2, idle.m_cCalls);
    EXPECT_EQ(0, late.m_cCalls); // another frame type

    // 120 steps of 100 µs: 50 fit in each 5,000 µs budget, and the idle function still runs.
    busy.m_cStepsLeft = 120;
    uint64 cycTotal = 0;
    EXPECT_TRUE(mgr.RunFrame(k_EFrameTypeMain, &cycTotal));
    EXPECT_EQ(50, busy.m_cStepsDone);
    EXPECT_EQ(3, idle.m_cCalls);
    EXPECT_EQ(5000u, cycTotal);
    EXPECT_EQ(5000u, busy.m_FrameFunc.GetRunHistory(2));
    EXPECT_TRUE(mgr.RunFrame(k_EFrameTypeMain, &cycTotal));
    EXPECT_EQ(100, busy.m_cStepsDone);
    EXPECT_FALSE(mgr.RunFrame(k_EFrameTypeMain, &cycTotal));
    EXPECT_EQ(120, busy.m_cStepsDone);
    EXPECT_EQ(12000u, cycTotal);
    EXPECT_EQ(2000u, busy.m_FrameFunc.GetRunHistory(4));
    EXPECT_EQ(0, busy.m_FrameFunc.GetNextHistorySlot());
    // An idle run takes no time on the manual clock, yet counts as one tick.
    EXPECT_EQ(1u, idle.m_FrameFunc.GetRunHistory(0));

    EXPECT_FALSE(mgr.RunFrame(k_EFrameTypeLate));
    EXPECT_EQ(1, late.m_cCalls);

    mgr.Deregister(&busy.m_FrameFunc);
    mgr.Deregister(&idle.m_FrameFunc);
    mgr.Deregister(&late.m_FrameFunc);
    EXPECT_EQ(0, mgr.Count(k_EFrameTypeMain));
}

TEST(FrameFunctionMgr, CycleTotalIgnoresABackwardCounterForAThousandReadings)
{
    CScopedManualClock clock;
    CFrameFunctionMgr mgr;
    CWorker worker(clock.Clock());
    mgr.Register(&worker.m_FrameFunc);

    clock->Set(2000000);
    uint64 cycTotal = 0;
    mgr.RunFrame(k_EFrameTypeMain, &cycTotal);
    clock->Set(1000000);
    // Each frame reads the counter twice and runs 100 µs: 1,000 readings below the last good
    // one are replaced by it, so nothing is counted.
    for (int i = 0; i < 500; ++i)
    {
        worker.m_cStepsLeft = 1;
        mgr.RunFrame(k_EFrameTypeMain, &cycTotal);
    }
    EXPECT_EQ(0u, cycTotal);
    // The 1,001st is believed.
    worker.m_cStepsLeft = 1;
    mgr.RunFrame(k_EFrameTypeMain, &cycTotal);
    EXPECT_EQ(100u, cycTotal);
    mgr.Deregister(&worker.m_FrameFunc);
}

TEST(FrameFunctionMgr, DeregisterKeepsOrderAndReportsUnknownFunctions)
{
    CScopedManualClock clock;
    CSpewCapture spew;
    CFrameFunctionMgr mgr;
    CWorker a(clock.Clock(), "A"), b(clock.Clock(), "B"), c(clock.Clock(), "C"), stranger(clock.Clock(), "D");
    mgr.Register(&a.m_FrameFunc);
    mgr.Register(&b.m_FrameFunc);
    mgr.Register(&c.m_FrameFunc);

    mgr.Deregister(&stranger.m_FrameFunc);
    EXPECT_EQ(1, spew.CountContaining(
                     "Assertion Failed: CFrameFunctionMgr::Deregister: function to deregister not found"));
    EXPECT_EQ(3, mgr.Count(k_EFrameTypeMain));

    mgr.Deregister(&b.m_FrameFunc);
    EXPECT_FALSE(b.m_FrameFunc.BIsRegistered());
    ASSERT_EQ(2, mgr.Count(k_EFrameTypeMain));
    EXPECT_STREQ("A", mgr.Get(k_EFrameTypeMain, 0)->GetName());
    EXPECT_STREQ("C", mgr.Get(k_EFrameTypeMain, 1)->GetName());
    // A second deregistration is as unknown as a stranger.
    mgr.Deregister(&b.m_FrameFunc);
    EXPECT_EQ(2, spew.CountContaining("function to deregister not found"));

    // Registering twice would leave a dangling entry behind the destructor.
    EXPECT_FALSE(mgr.Register(&a.m_FrameFunc));
    EXPECT_EQ(2, mgr.Count(k_EFrameTypeMain));

    // A function that deregisters itself while it runs: the next one still runs this frame.
    a.m_pMgrToLeave = &mgr;
    mgr.RunFrame(k_EFrameTypeMain);
    EXPECT_EQ(1, a.m_cCalls);
    EXPECT_EQ(1, c.m_cCalls);
    EXPECT_FALSE(a.m_FrameFunc.BIsRegistered());
    mgr.Deregister(&c.m_FrameFunc);
    EXPECT_EQ(3, spew.CountContaining("Assertion Failed: "));
}

TEST(FrameFunctionMgr, CleanupDeletesStaticFunctionsAndReportsMemberFunctions)
{
    CScopedManualClock clock;
    CSpewCapture spew;
    bool bDeleted = false;
    CWorker member(clock.Clock());
    {
        CFrameFunctionMgr mgr;
        g_cStaticCalls = 0;
        CBaseFrameFunction *pStatic = mgr.RegisterStatic(&StaticIdle, "StaticIdle", k_EFrameTypeMain);
        ASSERT_NE(nullptr, pStatic);
        EXPECT_TRUE(pStatic->BIsStatic());
        mgr.Register(new CTrackedStatic(&bDeleted));
        mgr.Register(&member.m_FrameFunc);
        mgr.RunFrame(k_EFrameTypeMain);
        EXPECT_EQ(1, g_cStaticCalls);

        mgr.Cleanup();
        EXPECT_TRUE(bDeleted);
        EXPECT_EQ(1, spew.CountContaining("Assertion Failed: CFrameFunctionMgr::~CFrameFunctionMgr: non "
                                          "static FrameFunction still registered"));
        EXPECT_FALSE(member.m_FrameFunc.BIsRegistered());
        EXPECT_EQ(0, mgr.Count(k_EFrameTypeMain));
        mgr.RunFrame(k_EFrameTypeMain);
        EXPECT_EQ(1, g_cStaticCalls);

        // The destructor cleans up too.
        mgr.Register(&member.m_FrameFunc);
    }
    EXPECT_EQ(2, spew.CountContaining("non static FrameFunction still registered"));
    EXPECT_FALSE(member.m_FrameFunc.BIsRegistered());
    EXPECT_EQ(2, (int)spew.Assertions().size()); // the member's own destructor has nothing to say
}

TEST(FrameFunctionMgr, BadFrameTypesAndNamesAreReportedAndSurvived)
{
    CScopedManualClock clock;
    CSpewCapture spew;
    CFrameFunctionMgr mgr;

    CWorker bad(clock.Clock(), "Bad", 3);
    EXPECT_EQ(1, spew.CountContaining("Assertion Failed: eFrameType < k_EFrameTypeMax"));
    EXPECT_FALSE(mgr.Register(&bad.m_FrameFunc));
    EXPECT_FALSE(bad.m_FrameFunc.BIsRegistered());
    EXPECT_EQ(nullptr, mgr.RegisterStatic(&StaticIdle, "StaticBad", k_EFrameTypeMax));
    EXPECT_FALSE(mgr.RunFrame(3));
    EXPECT_EQ(5, spew.CountContaining("eFrameType < k_EFrameTypeMax"));
    for (int eFrameType = 0; eFrameType < k_EFrameTypeMax; ++eFrameType)
        EXPECT_EQ(0, mgr.Count(eFrameType));

    // 63 bytes fit the 64-byte name; 64 are cut to 63 and reported.
    std::string str63(63, 'n');
    CWorker fits(clock.Clock(), str63.c_str());
    EXPECT_EQ(str63, fits.m_FrameFunc.GetName());
    EXPECT_EQ(0, spew.CountContaining("Q_strlen"));
    std::string str64 = str63 + "X";
    CWorker cut(clock.Clock(), str64.c_str());
    EXPECT_EQ(str63, cut.m_FrameFunc.GetName());
    EXPECT_EQ(1, spew.CountContaining("Assertion Failed: Q_strlen( pchName ) < Q_ARRAYSIZE( m_rgchName )"));

    CWorker nameless(clock.Clock(), nullptr);
    EXPECT_STREQ("", nameless.m_FrameFunc.GetName());
    EXPECT_EQ(1, spew.CountContaining("Assertion Failed: pchName"));

    // The cut and the nameless functions still work.
    mgr.Register(&cut.m_FrameFunc);
    mgr.Register(&nameless.m_FrameFunc);
    mgr.RunFrame(k_EFrameTypeMain);
    EXPECT_EQ(1, cut.m_cCalls);
    EXPECT_EQ(1, nameless.m_cCalls);
    mgr.Deregister(&cut.m_FrameFunc);
    mgr.Deregister(&nameless.m_FrameFunc);
}

TEST(FrameFunctionMgr, GlobalManagerRunsRegisteredFunctions)
{
    CScopedManualClock clock;
    CFrameFunctionMgr &mgr = GetFrameFunctionMgr();
    {
        CWorker worker(clock.Clock());
        mgr.Register(&worker.m_FrameFunc);
        mgr.RunFrame(k_EFrameTypeMain);
        EXPECT_EQ(1, worker.m_cCalls);
        // Destroyed while registered: it leaves on its own.
    }
    EXPECT_EQ(0, mgr.Count(k_EFrameTypeMain));
}

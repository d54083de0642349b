#include "support/net/nettestutil.h"

#include "foundation/platform/socket.h"
#include "jobs/framefunctionmgr.h"
#include "jobs/scheduledfunction.h"
#include "support/testsupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace
{
// Ends the network layer's threads before the test program exits.
class CNetTestEnvironment : public ::testing::Environment
{
public:
    void TearDown() override
    {
        if (!m_bInitialized)
            return;
        TCPConnectionGlobalShutdown();
    }
    bool m_bInitialized = false;
};

CNetTestEnvironment *g_pNetEnvironment =
    static_cast<CNetTestEnvironment *>(::testing::AddGlobalTestEnvironment(new CNetTestEnvironment()));

// Ends the network layer after every test that started it, so that none of its threads
// outlives the test: a later test may install a manual clock of its own, which those
// threads would otherwise read while it comes and goes. (Each test starts the layer it
// needs with NetTestInit.)
class CNetTestListener : public ::testing::EmptyTestEventListener
{
public:
    void OnTestEnd(const ::testing::TestInfo &) override { NetTestShutdown(); }
};

const bool g_bNetListenerAdded = []
{
    ::testing::UnitTest::GetInstance()->listeners().Append(new CNetTestListener());
    return true;
}();

// The scheduled function manager joins the frame loop while these helpers pump it, and
// leaves it afterwards, so that tests of the manager itself find it unregistered.
class CScopedSchedulerInFrameLoop
{
public:
    CScopedSchedulerInFrameLoop() : m_bRegistered(!GetScheduledFunctionMgr().BIsRegistered())
    {
        if (m_bRegistered)
            GetFrameFunctionMgr().Register(&GetScheduledFunctionMgr());
    }
    ~CScopedSchedulerInFrameLoop()
    {
        if (m_bRegistered)
            GetFrameFunctionMgr().Deregister(&GetScheduledFunctionMgr());
    }

private:
    bool m_bRegistered;
};

bool RunPass()
{
    return GetFrameFunctionMgr().RunFrame(k_EFrameTypeMain);
}
} // namespace

void NetTestInit()
{
    if (g_pNetEnvironment->m_bInitialized)
        return;
    g_pNetEnvironment->m_bInitialized = true;
    TCPConnectionGlobalInit(true, GetFrameFunctionMgr());
    // As in the main flow, the frame loop runs before anything is scheduled.
    CScopedSchedulerInFrameLoop scheduler;
    RunPass();
}

bool PumpUntil(const std::function<bool()> &fnCondition, uint32 unMaxMilliseconds)
{
    CScopedSchedulerInFrameLoop scheduler;
    return BWaitUntil(fnCondition, unMaxMilliseconds, [] { return RunPass(); });
}

void PumpFor(uint32 unMilliseconds)
{
    CScopedSchedulerInFrameLoop scheduler;
    auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(unMilliseconds))
    {
        if (!RunPass())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void NetTestShutdown()
{
    if (!g_pNetEnvironment->m_bInitialized)
        return;
    g_pNetEnvironment->m_bInitialized = false;
    TCPConnectionGlobalShutdown();
}

CNetTestManualClock::CNetTestManualClock()
{
    NetTestShutdown();
    m_pPrevious = SetClock(&m_Clock);
    NetTestInit();
}

CNetTestManualClock::~CNetTestManualClock()
{
    NetTestShutdown();
    SetClock(m_pPrevious);
}

uint16 ClosedLoopbackPort()
{
    return 1;
}

#include "nettestutil.h"

#include "common/framefunctionmgr.h"
#include "common/scheduledfunction.h"

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
        GetFrameFunctionMgr().Deregister(&GetScheduledFunctionMgr());
    }
    bool m_bInitialized = false;
};

CNetTestEnvironment *g_pNetEnvironment =
    static_cast<CNetTestEnvironment *>(::testing::AddGlobalTestEnvironment(new CNetTestEnvironment()));

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
    if (!GetScheduledFunctionMgr().BIsRegistered())
        GetFrameFunctionMgr().Register(&GetScheduledFunctionMgr());
}

bool PumpUntil(const std::function<bool()> &fnCondition, uint32 unMaxMilliseconds)
{
    auto start = std::chrono::steady_clock::now();
    for (;;)
    {
        if (fnCondition())
            return true;
        if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(unMaxMilliseconds))
            return fnCondition();
        if (!RunPass())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void PumpFor(uint32 unMilliseconds)
{
    auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(unMilliseconds))
    {
        if (!RunPass())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

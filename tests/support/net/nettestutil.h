// Helpers of the network and HTTP tests: the network layer initialised once per test
// program (and shut down at its end), and pumping of the frame loop on the test's thread.
#pragma once

#include "foundation/clock.h"
#include "net/net.h"

#include <functional>

// Initialises the TCP layer on the process-wide frame function manager (again after
// NetTestShutdown).
void NetTestInit();
// Ends the TCP layer and its threads.
void NetTestShutdown();

// A manual clock for a test of the network layer: the layer's work threads read the clock,
// so they are stopped before it is installed and before it goes away (the layer starts
// again on the new clock).
class CNetTestManualClock
{
public:
    CNetTestManualClock();
    ~CNetTestManualClock();
    CManualClock *operator->() { return &m_Clock; }

private:
    CManualClock m_Clock;
    IClock *m_pPrevious;
};
// Runs the main frame pass, with the scheduled function manager in it, until the condition
// holds or the real time limit has passed; returns the condition's value. Waits a
// millisecond between passes that found no work.
bool PumpUntil(const std::function<bool()> &fnCondition, uint32 unMaxMilliseconds = 10000);
// Runs the main frame pass for a real time span (to see that nothing more happens).
void PumpFor(uint32 unMilliseconds);
// A loopback port on which nothing listens: port 1, below the range from which the system
// hands out ports (a port taken and given back could go to the next server a test starts)
// and reserved on every system.
uint16 ClosedLoopbackPort();

// Events and locks shared between threads.
#pragma once

#include "foundation/basetypes.h"

#include <condition_variable>
#include <mutex>

typedef std::mutex CThreadMutex;
typedef std::recursive_mutex CThreadRecursiveMutex;
typedef std::lock_guard<std::mutex> CThreadAutoLock;

// An event that a thread waits on and another signals. Auto-reset (the default): one
// waiter is released per Set, and a Set with nobody waiting stays until the next Wait.
// Manual-reset: stays signalled until Reset. Timed waits count time on the installed
// clock, so under a manual clock they end when the test moves time past their end.
class CThreadEvent
{
public:
    explicit CThreadEvent(bool bManualReset = false) : m_bManualReset(bManualReset) {}
    CThreadEvent(const CThreadEvent &) = delete;
    CThreadEvent &operator=(const CThreadEvent &) = delete;

    void Set();
    void Reset();
    // True when signalled within the time (INFINITE_WAIT: no limit), false on time-out.
    bool Wait(uint32 unMilliseconds = INFINITE_WAIT);
    // Signalled state without waiting or consuming it.
    bool BIsSignalled();

private:
    std::mutex m_Mutex;
    std::condition_variable m_Cond;
    bool m_bSignalled = false;
    const bool m_bManualReset;
};

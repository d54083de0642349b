// CThread: a class whose Run executes on a thread of its own. The updater and every
// worker thread derive from it.
#pragma once

#include "foundation/basetypes.h"
#include "foundation/platform/thread.h"

#include <atomic>
#include <mutex>
#include <string>

class CThread
{
public:
    // The exit code of a thread that has not ended (the Windows still-active code).
    static constexpr uint32 k_unStillActive = 259;

    CThread();
    // Waits for a thread that still runs (a derived class should have stopped it already;
    // a thread that does not end within 10 s is reported and left detached).
    virtual ~CThread();

    // Called on the new thread before Run; false ends the thread with exit code 0.
    virtual bool Init() { return true; }
    virtual int Run() = 0;
    // Called on the thread after Run returned.
    virtual void OnExit() {}
    // The thread exists and has not ended.
    virtual bool IsAlive();
    typedef uint32 (*FnThreadProc)(void *);
    virtual FnThreadProc GetThreadProc() { return &ThreadProc; }

    // Starts the thread (again, when an earlier run has ended). cubStack 0: the default.
    // False when it is running already or cannot be created.
    bool Start(uint32 cubStack = 0);
    // Waits up to the given real time for the thread to end; true when it has ended
    // (or was never started).
    bool Join(uint32 unMilliseconds = INFINITE_WAIT);

    // The name is given to the thread when it starts (and at once if it runs already and
    // the caller is that thread).
    void SetName(const char *pchName);
    const char *GetName() const { return m_strName.c_str(); }
    // k_unStillActive while running; Run's result afterwards.
    uint32 GetExitCode() const { return m_unExitCode.load(); }
    uint32 GetThreadId() const { return m_unThreadId.load(); }
    // Whether the calling thread is this thread.
    bool BIsCurrentThread() const;

private:
    static uint32 ThreadProc(void *pvThis);
    void ReleaseHandle();

    std::mutex m_Mutex; // guards the handle across Start, Join and destruction
    PlatThreadHandle_t m_hThread = nullptr;
    std::atomic<uint32> m_unThreadId{0};
    std::atomic<uint32> m_unExitCode{0};
    std::atomic<bool> m_bRunning{false};
    std::string m_strName;
};

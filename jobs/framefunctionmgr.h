// Frame functions: the cooperative per-pass work of the main thread.
//
// Each piece of asynchronous machinery registers a frame function with the global
// CFrameFunctionMgr; the owner of the main thread calls RunFrame over and over. Each call
// gives every function of the frame type a limit timer of 5,000 microseconds; a function
// does work until the timer is reached and returns true when work is left, false when idle.
//
// Thread: everything here belongs to the main thread (the one that runs the frame loop)
// and is not locked.
#pragma once

#include "foundation/basetypes.h"
#include "foundation/utlvector.h"
#include "jobs/limittimer.h"

class CFrameFunctionMgr;

class CBaseFrameFunction
{
public:
    static constexpr int k_cRunHistory = 5;
    static constexpr int k_cchNameMax = 64;

    // Frame types of 3 and above and names of 64 bytes or more are reported (the name is
    // cut); a function of an invalid type cannot be registered.
    CBaseFrameFunction(const char *pchName, int eFrameType);
    // Deregisters from the manager it is registered with.
    virtual ~CBaseFrameFunction();
    CBaseFrameFunction(const CBaseFrameFunction &) = delete;
    CBaseFrameFunction &operator=(const CBaseFrameFunction &) = delete;

    // Does work until the limit is reached; true when work is left.
    virtual bool BRun(CLimitTimer &limitTimer) = 0;
    // True for functions that the manager owns and deletes.
    virtual bool BIsStatic() const = 0;

    const char *GetName() const { return m_rgchName; }
    int GetFrameType() const { return m_eFrameType; }
    bool BIsRegistered() const { return m_pOwner != nullptr; }
    CFrameFunctionMgr *GetOwner() const { return m_pOwner; }
    // Durations in microseconds of the latest runs: slot i of k_cRunHistory; the next run
    // goes to GetNextHistorySlot().
    uint32 GetRunHistory(int i) const { return m_rgunMicroSecRunHistory[i]; }
    int GetNextHistorySlot() const { return m_iHistory; }

private:
    friend class CFrameFunctionMgr;

    int32 m_eFrameType;
    char m_rgchName[k_cchNameMax];
    uint32 m_rgunMicroSecRunHistory[k_cRunHistory];
    int32 m_iHistory;
    CFrameFunctionMgr *m_pOwner;
};

typedef bool (*FnFrameFunction_t)(CLimitTimer &limitTimer);

// A frame function over a plain function; created, owned and deleted by the manager.
class CStaticFrameFunction : public CBaseFrameFunction
{
public:
    CStaticFrameFunction(FnFrameFunction_t pfn, const char *pchName, int eFrameType)
        : CBaseFrameFunction(pchName, eFrameType), m_pfn(pfn)
    {
    }
    bool BRun(CLimitTimer &limitTimer) override { return m_pfn ? m_pfn(limitTimer) : false; }
    bool BIsStatic() const override { return true; }

private:
    FnFrameFunction_t m_pfn;
};

// A frame function over a member function of its owner. It is a member of that owner,
// which registers it and deregisters it before it dies (its destructor does so too).
template <class T>
class CFrameFunction : public CBaseFrameFunction
{
public:
    typedef bool (T::*FnMember_t)(CLimitTimer &limitTimer);

    CFrameFunction(T *pObj, FnMember_t pfn, const char *pchName, int eFrameType)
        : CBaseFrameFunction(pchName, eFrameType), m_pObj(pObj), m_pfn(pfn)
    {
    }
    bool BRun(CLimitTimer &limitTimer) override
    {
        return (m_pObj && m_pfn) ? (m_pObj->*m_pfn)(limitTimer) : false;
    }
    bool BIsStatic() const override { return false; }

private:
    T *m_pObj;
    FnMember_t m_pfn;
};

class CFrameFunctionMgr
{
public:
    // Budget of one frame function in one RunFrame call.
    static constexpr uint32 k_unMicroSecPerFunction = 5000;

    CFrameFunctionMgr();
    // Runs Cleanup.
    ~CFrameFunctionMgr();
    CFrameFunctionMgr(const CFrameFunctionMgr &) = delete;
    CFrameFunctionMgr &operator=(const CFrameFunctionMgr &) = delete;

    // Appends the function to its frame type's list. False (reported) for a function of an
    // invalid frame type or one that is registered already.
    bool Register(CBaseFrameFunction *pFrameFunction);
    // Creates a static frame function and registers it; the manager owns it. Returns it,
    // or null when it could not be registered (nothing is kept then).
    CBaseFrameFunction *RegisterStatic(FnFrameFunction_t pfn, const char *pchName, int eFrameType);
    // Removes the function, keeping the order of the others. A static one is not deleted:
    // the caller takes it back.
    void Deregister(CBaseFrameFunction *pFrameFunction);

    // Runs every function of the frame type once; true when any reported more work. The
    // high-resolution ticks it took are added to *pcycTotal when given. bCheckTime reports
    // functions that ran past their budget (diagnostic group "frame", level 3).
    bool RunFrame(int eFrameType, uint64 *pcycTotal = nullptr, bool bCheckTime = false);

    // Deletes static functions and reports the others that are still registered (detaching
    // them), then empties the lists.
    void Cleanup();

    int Count(int eFrameType) const;
    CBaseFrameFunction *Get(int eFrameType, int i) const;

private:
    // A tick reading that never goes back, unless the counter stays back for 1,000
    // readings in a row (then it has really been reset and the new reading is taken).
    uint64 ReadMonotonicTicks();

    CUtlVector<CBaseFrameFunction *> m_rgVecFrameFunctions[k_EFrameTypeMax];
    uint64 m_unLastTicks = 0;
    uint32 m_cBackwardReadings = 0;
};

// The process-wide manager, created on first use.
CFrameFunctionMgr &GetFrameFunctionMgr();

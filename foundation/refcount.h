// A reference-counted base for objects shared between threads (work items, request
// handles). The count changes atomically; the creator holds the first reference and the
// last Release deletes the object (when the release hook agrees).
#pragma once

#include "foundation/basetypes.h"

#include <atomic>

class CRefCountThreadSafe
{
public:
    CRefCountThreadSafe() : m_cRef(1) {}
    CRefCountThreadSafe(const CRefCountThreadSafe &) = delete;
    CRefCountThreadSafe &operator=(const CRefCountThreadSafe &) = delete;

    // Returns the count after the change.
    int32 AddRef() { return m_cRef.fetch_add(1, std::memory_order_relaxed) + 1; }
    // Returns the count after the change; at 0 the object is gone (when the hook agreed).
    int32 Release()
    {
        // Acquire-release: whatever another thread wrote before dropping its reference is
        // visible to the thread that deletes.
        int32 cRef = m_cRef.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (cRef == 0 && BOnFinalRelease())
            delete this;
        return cRef;
    }
    int32 GetRefCount() const { return m_cRef.load(std::memory_order_acquire); }

protected:
    virtual ~CRefCountThreadSafe() {}
    // Called when the count reaches 0: true deletes the object.
    virtual bool BOnFinalRelease() { return true; }

private:
    std::atomic<int32> m_cRef;
};

// CUtlHandleList: elements under stable integer handles. A handle stays valid and keeps
// naming the same element until it is freed; freed handles are handed out again (the most
// recently freed first), so the handle space stays as small as the peak number of elements.
// Not thread-safe.
#pragma once

#include "foundation/basetypes.h"

#include <vector>

template <class T>
class CUtlHandleList
{
public:
    static const int32 k_iInvalid = -1;

    // Stores the value and returns its handle.
    int32 Add(const T &val)
    {
        int32 h;
        if (m_iFreeHead != k_iInvalid)
        {
            h = m_iFreeHead;
            m_iFreeHead = m_vecSlots[(size_t)h].m_iNextFree;
        }
        else
        {
            h = (int32)m_vecSlots.size();
            m_vecSlots.emplace_back();
        }
        Slot_t &slot = m_vecSlots[(size_t)h];
        slot.m_Value = val;
        slot.m_bUsed = true;
        slot.m_iNextFree = k_iInvalid;
        ++m_cUsed;
        return h;
    }

    // Frees a handle; false (and nothing changes) when it is not in use.
    bool Free(int32 h)
    {
        if (!IsValidHandle(h))
            return false;
        Slot_t &slot = m_vecSlots[(size_t)h];
        slot.m_bUsed = false;
        slot.m_Value = T();
        slot.m_iNextFree = m_iFreeHead;
        m_iFreeHead = h;
        --m_cUsed;
        return true;
    }

    bool IsValidHandle(int32 h) const
    {
        return h >= 0 && h < (int32)m_vecSlots.size() && m_vecSlots[(size_t)h].m_bUsed;
    }
    // Only for valid handles.
    T &operator[](int32 h) { return m_vecSlots[(size_t)h].m_Value; }
    const T &operator[](int32 h) const { return m_vecSlots[(size_t)h].m_Value; }

    int32 Count() const { return m_cUsed; }
    // One past the highest handle ever handed out: iterate 0..MaxHandle() with IsValidHandle.
    int32 MaxHandle() const { return (int32)m_vecSlots.size(); }

    void RemoveAll()
    {
        m_vecSlots.clear();
        m_iFreeHead = k_iInvalid;
        m_cUsed = 0;
    }

private:
    struct Slot_t
    {
        T m_Value{};
        int32 m_iNextFree = k_iInvalid;
        bool m_bUsed = false;
    };
    std::vector<Slot_t> m_vecSlots;
    int32 m_iFreeHead = k_iInvalid;
    int32 m_cUsed = 0;
};

// A running statistic (count, maximum) that any thread may add to.
#pragma once

#include "foundation/basetypes.h"

#include <mutex>

class CRunningStat
{
public:
    void Add(uint64 unValue)
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (unValue > m_unMax)
            m_unMax = unValue;
        ++m_cSamples;
    }
    uint64 GetCount() const
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_cSamples;
    }
    uint64 GetMax() const
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_unMax;
    }

private:
    mutable std::mutex m_Mutex;
    uint64 m_cSamples = 0;
    uint64 m_unMax = 0;
};

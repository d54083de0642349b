// A running statistic (count, sum, minimum, maximum) that any thread may add to.
#pragma once

#include "foundation/basetypes.h"

#include <mutex>

class CRunningStat
{
public:
    void Add(uint64 unValue)
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_cSamples == 0 || unValue < m_unMin)
            m_unMin = unValue;
        if (unValue > m_unMax)
            m_unMax = unValue;
        m_unSum += unValue;
        ++m_cSamples;
    }
    uint64 GetCount() const
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_cSamples;
    }
    uint64 GetSum() const
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_unSum;
    }
    uint64 GetMin() const
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_unMin;
    }
    uint64 GetMax() const
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_unMax;
    }
    uint64 GetMean() const
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_cSamples ? m_unSum / m_cSamples : 0;
    }

private:
    mutable std::mutex m_Mutex;
    uint64 m_cSamples = 0;
    uint64 m_unSum = 0;
    uint64 m_unMin = 0;
    uint64 m_unMax = 0;
};

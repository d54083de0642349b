// A growable array of plain characters addressed by offset, grown by a fixed step.
//
// The localization table keeps every name and every text in one such pool each and refers
// to them by offset, so entries stay valid when the memory moves. Offsets are ints: a pool
// refuses to grow past INT_MAX elements.
#pragma once

#include <climits>
#include <cstdlib>
#include <cstring>

template <class T>
class CLocalizePool
{
public:
    explicit CLocalizePool(int nGrowStep) : m_nGrowStep(nGrowStep) {}
    ~CLocalizePool() { free(m_pBase); }
    CLocalizePool(const CLocalizePool &) = delete;
    CLocalizePool &operator=(const CLocalizePool &) = delete;

    int Count() const { return m_nCount; }
    int Allocated() const { return m_nAllocated; }
    T *Base() { return m_pBase; }
    const T *Base() const { return m_pBase; }
    T *At(int nOffset) { return m_pBase + nOffset; }
    const T *At(int nOffset) const { return m_pBase + nOffset; }

    // Appends c elements; returns the offset of the first, or -1 when no room can be had.
    // pData may point into the pool itself.
    int Append(const T *pData, int c)
    {
        if (c < 0 || c > INT_MAX - m_nCount)
            return -1;
        if (m_nCount + c > m_nAllocated)
        {
            // Whole steps, as many as the data needs.
            long long llSteps = ((long long)m_nCount + c - m_nAllocated + m_nGrowStep - 1) / m_nGrowStep;
            long long llNew = (long long)m_nAllocated + llSteps * m_nGrowStep;
            if (llNew > INT_MAX)
                llNew = INT_MAX;
            size_t nOffsetInPool = (size_t)-1;
            if (pData >= m_pBase && pData < m_pBase + m_nCount)
                nOffsetInPool = (size_t)(pData - m_pBase);
            T *pNew = (T *)realloc(m_pBase, (size_t)llNew * sizeof(T));
            if (!pNew)
                return -1;
            m_pBase = pNew;
            m_nAllocated = (int)llNew;
            if (nOffsetInPool != (size_t)-1)
                pData = m_pBase + nOffsetInPool;
        }
        int nOffset = m_nCount;
        if (c > 0)
            memmove(m_pBase + nOffset, pData, (size_t)c * sizeof(T));
        m_nCount += c;
        return nOffset;
    }

    // Drops the elements from nCount on (the memory stays).
    void Truncate(int nCount)
    {
        if (nCount >= 0 && nCount < m_nCount)
            m_nCount = nCount;
    }

    void Purge()
    {
        free(m_pBase);
        m_pBase = nullptr;
        m_nCount = 0;
        m_nAllocated = 0;
    }

private:
    T *m_pBase = nullptr;
    int m_nCount = 0;
    int m_nAllocated = 0;
    int m_nGrowStep;
};

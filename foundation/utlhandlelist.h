// CUtlHandleList: a doubly linked list whose elements are named by stable integer handles.
//
// A handle stays valid from insertion until removal, whatever else is inserted or removed
// meanwhile; a removed element's handle goes onto a free list and is handed out again by
// a later insertion (the most recently freed first). -1 is never a valid handle. Storage
// grows a fixed number of elements at a time. Not locked.
#pragma once

#include "foundation/basetypes.h"

#include <new>
#include <vector>

template <class T>
class CUtlHandleList
{
public:
    explicit CUtlHandleList(int nGrowSize = 16) : m_nGrowSize(nGrowSize > 0 ? nGrowSize : 1) {}

    static int InvalidIndex() { return -1; }

    // Appends at the tail; returns the new element's handle, or InvalidIndex() when no
    // storage can be had.
    int AddToTail(const T &value)
    {
        int h = AllocElement();
        if (h == InvalidIndex())
            return h;
        Element_t &elem = m_vecElements[(size_t)h];
        elem.m_Value = value;
        elem.m_iPrev = m_iTail;
        elem.m_iNext = InvalidIndex();
        if (m_iTail != InvalidIndex())
            m_vecElements[(size_t)m_iTail].m_iNext = h;
        else
            m_iHead = h;
        m_iTail = h;
        ++m_nCount;
        return h;
    }

    // Unlinks the element and frees its handle for reuse; an invalid handle is ignored.
    void Remove(int h)
    {
        if (!IsValidIndex(h))
            return;
        Element_t &elem = m_vecElements[(size_t)h];
        if (elem.m_iPrev != InvalidIndex())
            m_vecElements[(size_t)elem.m_iPrev].m_iNext = elem.m_iNext;
        else
            m_iHead = elem.m_iNext;
        if (elem.m_iNext != InvalidIndex())
            m_vecElements[(size_t)elem.m_iNext].m_iPrev = elem.m_iPrev;
        else
            m_iTail = elem.m_iPrev;
        elem.m_Value = T();
        elem.m_bInUse = false;
        elem.m_iPrev = InvalidIndex();
        elem.m_iNext = m_iFirstFree;
        m_iFirstFree = h;
        --m_nCount;
    }

    void RemoveAll()
    {
        m_vecElements.clear();
        m_iHead = m_iTail = m_iFirstFree = InvalidIndex();
        m_nCount = 0;
    }

    // Within the allocated range and in use (not on the free list).
    bool IsValidIndex(int h) const
    {
        return h >= 0 && h < (int)m_vecElements.size() && m_vecElements[(size_t)h].m_bInUse;
    }

    int Head() const { return m_iHead; }
    int Tail() const { return m_iTail; }
    int Next(int h) const { return IsValidIndex(h) ? m_vecElements[(size_t)h].m_iNext : InvalidIndex(); }
    int Count() const { return m_nCount; }

    // Only for valid handles.
    T &operator[](int h) { return m_vecElements[(size_t)h].m_Value; }
    const T &operator[](int h) const { return m_vecElements[(size_t)h].m_Value; }

private:
    struct Element_t
    {
        T m_Value{};
        int m_iPrev = -1;
        int m_iNext = -1; // next in the list, or next free element while on the free list
        bool m_bInUse = false;
    };

    int AllocElement()
    {
        int h = m_iFirstFree;
        if (h != InvalidIndex())
        {
            m_iFirstFree = m_vecElements[(size_t)h].m_iNext;
        }
        else
        {
            if (m_vecElements.size() >= 0x7FFFFFFF)
                return InvalidIndex();
            if (m_vecElements.size() == m_vecElements.capacity())
            {
                try
                {
                    m_vecElements.reserve(m_vecElements.size() + (size_t)m_nGrowSize);
                }
                catch (const std::bad_alloc &)
                {
                    return InvalidIndex();
                }
            }
            h = (int)m_vecElements.size();
            m_vecElements.emplace_back();
        }
        m_vecElements[(size_t)h].m_bInUse = true;
        return h;
    }

    std::vector<Element_t> m_vecElements;
    int m_nGrowSize;
    int m_iHead = -1;
    int m_iTail = -1;
    int m_iFirstFree = -1;
    int m_nCount = 0;
};

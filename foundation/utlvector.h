// CUtlVector: a growable array of values in insertion order, over std::vector.
#pragma once

#include "foundation/basetypes.h"

#include <algorithm>
#include <vector>

template <class T>
class CUtlVector
{
public:
    CUtlVector() {}

    int Count() const { return (int)m_vec.size(); }
    bool IsEmpty() const { return m_vec.empty(); }
    bool IsValidIndex(int i) const { return i >= 0 && i < Count(); }

    T &operator[](int i) { return m_vec[(size_t)i]; }
    const T &operator[](int i) const { return m_vec[(size_t)i]; }
    T &Element(int i) { return m_vec[(size_t)i]; }
    const T &Element(int i) const { return m_vec[(size_t)i]; }
    T &Head() { return m_vec.front(); }
    T &Tail() { return m_vec.back(); }
    T *Base() { return m_vec.data(); }
    const T *Base() const { return m_vec.data(); }

    int AddToTail(const T &val)
    {
        m_vec.push_back(val);
        return Count() - 1;
    }
    int AddToTail()
    {
        m_vec.emplace_back();
        return Count() - 1;
    }
    int AddToHead(const T &val) { return InsertBefore(0, val); }
    int InsertBefore(int i, const T &val)
    {
        m_vec.insert(m_vec.begin() + i, val);
        return i;
    }
    // Removes element i, keeping the order of the rest.
    void Remove(int i) { m_vec.erase(m_vec.begin() + i); }
    // Removes the first element equal to val; false when there is none.
    bool FindAndRemove(const T &val)
    {
        int i = Find(val);
        if (i < 0)
            return false;
        Remove(i);
        return true;
    }
    int Find(const T &val) const
    {
        auto it = std::find(m_vec.begin(), m_vec.end(), val);
        return it == m_vec.end() ? -1 : (int)(it - m_vec.begin());
    }
    bool HasElement(const T &val) const { return Find(val) >= 0; }
    void RemoveAll() { m_vec.clear(); }
    void Purge() { std::vector<T>().swap(m_vec); }
    void EnsureCapacity(int n) { m_vec.reserve((size_t)n); }

    typename std::vector<T>::iterator begin() { return m_vec.begin(); }
    typename std::vector<T>::iterator end() { return m_vec.end(); }
    typename std::vector<T>::const_iterator begin() const { return m_vec.begin(); }
    typename std::vector<T>::const_iterator end() const { return m_vec.end(); }

    std::vector<T> &StdVector() { return m_vec; }

private:
    std::vector<T> m_vec;
};

// CTSQueue: a first-in first-out queue that any number of threads may push to and pop
// from at once. A mutex guards a deque: each operation holds it for a few instructions,
// which keeps it far from being the limit of a pool whose items do real work. The count
// can be read without the lock (it may be stale by the time the caller acts on it).
#pragma once

#include "foundation/basetypes.h"

#include <atomic>
#include <deque>
#include <mutex>

template <class T>
class CTSQueue
{
public:
    CTSQueue() {}
    CTSQueue(const CTSQueue &) = delete;
    CTSQueue &operator=(const CTSQueue &) = delete;

    void PushItem(const T &item)
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_deque.push_back(item);
        m_cItems.store((int32)m_deque.size());
    }

    // Takes the oldest item; false when the queue is empty.
    bool PopItem(T *pItem)
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_deque.empty())
            return false;
        *pItem = m_deque.front();
        m_deque.pop_front();
        m_cItems.store((int32)m_deque.size());
        return true;
    }

    // Copies the oldest item without taking it; false when the queue is empty.
    bool PeekItem(T *pItem)
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_deque.empty())
            return false;
        *pItem = m_deque.front();
        return true;
    }

    // Under the lock: exact at the moment of the call.
    bool BIsEmpty()
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_deque.empty();
    }

    int32 Count() const { return m_cItems.load(); }

private:
    std::mutex m_Mutex;
    std::deque<T> m_deque;
    std::atomic<int32> m_cItems{0};
};

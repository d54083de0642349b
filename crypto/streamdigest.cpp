#include "crypto/streamdigest.h"

#include <cstring>
#include <system_error>

namespace
{
// Buffers kept for reuse: enough for the queue of a stream that arrives in pieces of the
// usual size, without holding on to thousands of small ones.
const size_t k_cMaxSpare = 64;
} // namespace

CStreamDigest::~CStreamDigest()
{
    EndThread(false);
}

void CStreamDigest::Update(const void *pubData, size_t cubData)
{
    if (cubData == 0)
        return;
    std::unique_lock<std::mutex> lock(m_Mutex);
    if (!m_Thread.joinable() && !m_bInline)
    {
        m_bEnd = m_bDrop = false;
        try
        {
            m_Thread = std::thread([this] { HashLoop(); });
        }
        catch (const std::system_error &)
        {
            // No thread to be had: this stream is hashed on the caller's.
            m_bInline = true;
        }
    }
    if (m_bInline)
    {
        lock.unlock();
        m_SHA1.Update(pubData, (uint32)cubData);
        m_SHA256.Update(pubData, cubData);
        return;
    }
    // One piece larger than the bound passes alone.
    m_Changed.wait(lock, [&] { return m_cubQueued == 0 || m_cubQueued + cubData <= k_cubMaxQueued; });
    std::vector<uint8> vecPiece;
    if (!m_vecSpare.empty())
    {
        vecPiece.swap(m_vecSpare.back());
        m_vecSpare.pop_back();
    }
    vecPiece.resize(cubData);
    memcpy(vecPiece.data(), pubData, cubData);
    m_dequeQueued.push_back(std::move(vecPiece));
    m_cubQueued += cubData;
    lock.unlock();
    m_Changed.notify_all();
}

void CStreamDigest::HashLoop()
{
    std::unique_lock<std::mutex> lock(m_Mutex);
    for (;;)
    {
        m_Changed.wait(lock, [&] { return !m_dequeQueued.empty() || m_bEnd; });
        if (m_dequeQueued.empty())
            return;
        std::vector<uint8> vecPiece = std::move(m_dequeQueued.front());
        m_dequeQueued.pop_front();
        if (!m_bDrop)
        {
            lock.unlock();
            // Both digests while the piece is in the cache.
            m_SHA1.Update(vecPiece.data(), (uint32)vecPiece.size());
            m_SHA256.Update(vecPiece.data(), vecPiece.size());
            lock.lock();
        }
        m_cubQueued -= vecPiece.size();
        if (m_vecSpare.size() < k_cMaxSpare)
            m_vecSpare.push_back(std::move(vecPiece));
        m_Changed.notify_all();
    }
}

void CStreamDigest::EndThread(bool bFinish)
{
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_bEnd = true;
        m_bDrop = !bFinish;
    }
    m_Changed.notify_all();
    if (m_Thread.joinable())
        m_Thread.join();
    // An idle stream holds no memory either.
    std::vector<std::vector<uint8>>().swap(m_vecSpare);
    m_bInline = false;
}

void CStreamDigest::Final(uint8 *pubSHA1, std::string *pstrSHA256)
{
    EndThread(true);
    m_SHA1.Final(pubSHA1);
    *pstrSHA256 = m_SHA256.FinalHex();
}

void CStreamDigest::Reset()
{
    EndThread(false);
    m_SHA1.Reset();
    m_SHA256.Reset();
}

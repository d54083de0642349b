// CStreamDigest: the SHA-1 and SHA-256 of a stream of bytes, taken on a thread of its own
// while the caller goes on with the next bytes. A download's receiving thread would
// otherwise spend more time hashing an archive than receiving and writing it.
//
// The bytes are copied into a queue of bounded size: a caller that gets ahead of the
// digests by more than that waits for them. The thread lives from the first bytes to the
// digests (Final) or a Reset, so an idle stream holds no thread.
//
// One caller thread at a time; calls from different threads need an order between them
// (as a request handed from one thread to another has).
#pragma once

#include "crypto/sha1.h"
#include "crypto/sha256.h"
#include "foundation/basetypes.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CStreamDigest
{
public:
    // Bytes queued at most before Update waits.
    static const size_t k_cubMaxQueued = 8 * 1024 * 1024;

    CStreamDigest() = default;
    ~CStreamDigest();
    CStreamDigest(const CStreamDigest &) = delete;
    CStreamDigest &operator=(const CStreamDigest &) = delete;

    // Queues a copy of the bytes.
    void Update(const void *pubData, size_t cubData);
    // Waits for every queued byte, writes the k_cubSHA1Hash bytes of the SHA-1 and the
    // SHA-256 in lower-case hex, and starts over.
    void Final(uint8 *pubSHA1, std::string *pstrSHA256);
    // Drops whatever was queued or hashed and starts over.
    void Reset();

private:
    void HashLoop();
    // Ends the thread once it has hashed (bFinish) or dropped what is queued.
    void EndThread(bool bFinish);

    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    std::deque<std::vector<uint8>> m_dequeQueued;
    std::vector<std::vector<uint8>> m_vecSpare; // emptied buffers, reused
    size_t m_cubQueued = 0;                     // queued and being hashed
    bool m_bEnd = false;                        // the thread ends when the queue is empty
    bool m_bDrop = false;                       // the thread drops what is queued
    bool m_bInline = false;                     // no thread could be started for this stream
    std::thread m_Thread;
    // Written by the thread while it runs, by the caller when it does not.
    CSHA1 m_SHA1;
    CSHA256 m_SHA256;
};

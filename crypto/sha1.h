// SHA-1 digests, and the check of a downloaded package against the digest its name carries.
#pragma once

#include "foundation/basetypes.h"

#include <memory>

// Length of a SHA-1 digest in bytes.
const uint32 k_cubSHA1Hash = 20;

// Incremental SHA-1 over the cryptographic library's implementation (which uses the
// processor's SHA instructions where there are any). One object per thread at a time.
class CSHA1
{
public:
    CSHA1();
    ~CSHA1();
    CSHA1(const CSHA1 &) = delete;
    CSHA1 &operator=(const CSHA1 &) = delete;

    // Starts a new digest, dropping whatever was hashed so far.
    void Reset();
    void Update(const void *pubData, uint32 cubData);
    // Writes the k_cubSHA1Hash bytes of the digest and starts a new one.
    void Final(uint8 *pubDigest);

private:
    struct SHA1State_t;
    std::unique_ptr<SHA1State_t> m_pState;
};

// Whether the SHA-1 of the bytes equals the digest named by the package path: the text
// after its last '.', hex in either case. Digits beyond 40 are ignored, missing ones leave
// zero bytes, a character that is not a hex digit counts as 0. A path without a '.' fails.
bool BCheckPackageSHA1(const char *pchPackagePath, const void *pubData, uint32 cubData);

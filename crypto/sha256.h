// SHA-256 digests: what the installed file list records of each file's content.
#pragma once

#include "foundation/basetypes.h"

#include <memory>
#include <string>

// Length of a SHA-256 digest in bytes, and of its hexadecimal text.
const uint32 k_cubSHA256Hash = 32;
const uint32 k_cchSHA256Hex = 2 * k_cubSHA256Hash;

// Incremental SHA-256 over the cryptographic library's implementation (which uses the
// processor's SHA instructions where there are any). One object per thread at a time.
class CSHA256
{
public:
    CSHA256();
    ~CSHA256();
    CSHA256(const CSHA256 &) = delete;
    CSHA256 &operator=(const CSHA256 &) = delete;

    // Starts a new digest, dropping whatever was hashed so far.
    void Reset();
    void Update(const void *pubData, size_t cubData);
    // Writes the k_cubSHA256Hash bytes of the digest and starts a new one.
    void Final(uint8 *pubDigest);
    // The digest as k_cchSHA256Hex lower-case hex digits; starts a new one.
    std::string FinalHex();

private:
    struct SHA256State_t;
    std::unique_ptr<SHA256State_t> m_pState;
};

// Whether the text is a digest as FinalHex writes it: exactly k_cchSHA256Hex hex digits
// (either case).
bool BIsSHA256Hex(const char *pchText, size_t cchText);

// MurmurHash3 x86_32.
#include "foundation/murmurhash3.h"

#include <cstring>

namespace
{
inline uint32 Rotl32(uint32 x, int r)
{
    return (x << r) | (x >> (32 - r));
}

inline uint32 FinalMix(uint32 h)
{
    h ^= h >> 16;
    h *= 0x85ebca6b;
    h ^= h >> 13;
    h *= 0xc2b2ae35;
    h ^= h >> 16;
    return h;
}

// ubMask is applied to every byte before it is mixed in.
inline uint32 Hash(const void *pKey, int cubKey, uint32 unSeed, uint8 ubMask)
{
    const uint8 *pub = (const uint8 *)pKey;
    const int nBlocks = cubKey / 4;
    const uint32 unBlockMask = (uint32)ubMask * 0x01010101u;
    const uint32 c1 = 0xcc9e2d51;
    const uint32 c2 = 0x1b873593;
    uint32 h1 = unSeed;

    for (int i = 0; i < nBlocks; ++i)
    {
        // Little-endian block read, whatever the host's alignment rules.
        uint32 k1 = (uint32)pub[i * 4] | ((uint32)pub[i * 4 + 1] << 8) | ((uint32)pub[i * 4 + 2] << 16) |
                    ((uint32)pub[i * 4 + 3] << 24);
        k1 &= unBlockMask;
        k1 *= c1;
        k1 = Rotl32(k1, 15);
        k1 *= c2;
        h1 ^= k1;
        h1 = Rotl32(h1, 13);
        h1 = h1 * 5 + 0xe6546b64;
    }

    const uint8 *pubTail = pub + nBlocks * 4;
    uint32 k1 = 0;
    switch (cubKey & 3)
    {
    case 3:
        k1 ^= (uint32)(pubTail[2] & ubMask) << 16;
        // fall through
    case 2:
        k1 ^= (uint32)(pubTail[1] & ubMask) << 8;
        // fall through
    case 1:
        k1 ^= (uint32)(pubTail[0] & ubMask);
        k1 *= c1;
        k1 = Rotl32(k1, 15);
        k1 *= c2;
        h1 ^= k1;
    }

    h1 ^= (uint32)cubKey;
    return FinalMix(h1);
}
} // namespace

uint32 MurmurHash3_x86_32(const void *pKey, int cubKey, uint32 unSeed)
{
    return Hash(pKey, cubKey, unSeed, 0xFF);
}

uint32 MurmurHash3_x86_32_CaseFolded(const void *pKey, int cubKey, uint32 unSeed)
{
    return Hash(pKey, cubKey, unSeed, (uint8)~0x20);
}

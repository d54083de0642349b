// MurmurHash3, the 32-bit x86 variant: a fast, well-mixed, non-cryptographic hash.
#pragma once

#include "foundation/basetypes.h"

uint32 MurmurHash3_x86_32(const void *pKey, int cubKey, uint32 unSeed);

// The same hash over the bytes with bit 0x20 cleared in each, so that ASCII letters hash
// alike in either case (other bytes that differ only in that bit collide, which callers
// settle with a real comparison).
uint32 MurmurHash3_x86_32_CaseFolded(const void *pKey, int cubKey, uint32 unSeed);

// CUniformRandomStream: uniform random integers between two bounds, both included.
//
// One process-wide stream serves the updater (the case test of a directory, the intervals
// of the background checks). It is seeded from the system's entropy source when first
// used; tests seed it to make a draw repeatable. Any thread; draws are serialised.
#pragma once

#include "foundation/basetypes.h"

#include <mutex>
#include <random>

class CUniformRandomStream
{
public:
    CUniformRandomStream();
    CUniformRandomStream(const CUniformRandomStream &) = delete;
    CUniformRandomStream &operator=(const CUniformRandomStream &) = delete;

    void SetSeed(uint32 unSeed);
    // A whole number from nLow to nHigh, both included; nLow when nHigh < nLow.
    int RandomInt(int nLow, int nHigh);

private:
    std::mutex m_Mutex;
    std::mt19937 m_Engine;
};

// The process's stream, created on first use.
CUniformRandomStream &GetUniformRandomStream();

#include "foundation/uniformrandom.h"

CUniformRandomStream::CUniformRandomStream()
{
    std::random_device device;
    std::seed_seq seeds{device(), device(), device(), device()};
    m_Engine.seed(seeds);
}

void CUniformRandomStream::SetSeed(uint32 unSeed)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Engine.seed(unSeed);
}

int CUniformRandomStream::RandomInt(int nLow, int nHigh)
{
    if (nHigh <= nLow)
        return nLow;
    std::uniform_int_distribution<int> distribution(nLow, nHigh);
    std::lock_guard<std::mutex> lock(m_Mutex);
    return distribution(m_Engine);
}

CUniformRandomStream &GetUniformRandomStream()
{
    static CUniformRandomStream s_Stream;
    return s_Stream;
}

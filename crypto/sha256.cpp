#include "crypto/sha256.h"

#include "foundation/dbg.h"

#include <cryptopp/sha.h>

struct CSHA256::SHA256State_t
{
    CryptoPP::SHA256 m_Hash;
};

static_assert(CryptoPP::SHA256::DIGESTSIZE == k_cubSHA256Hash, "SHA-256 digest length");

CSHA256::CSHA256() : m_pState(new SHA256State_t) {}

CSHA256::~CSHA256() = default;

void CSHA256::Reset()
{
    m_pState->m_Hash.Restart();
}

void CSHA256::Update(const void *pubData, size_t cubData)
{
    AssertMsg(pubData || cubData == 0, "CSHA256::Update: null data");
    if (!pubData || cubData == 0)
        return;
    m_pState->m_Hash.Update(static_cast<const CryptoPP::byte *>(pubData), cubData);
}

void CSHA256::Final(uint8 *pubDigest)
{
    Assert(pubDigest);
    if (!pubDigest)
        return;
    m_pState->m_Hash.Final(pubDigest);
}

std::string CSHA256::FinalHex()
{
    uint8 rgubDigest[k_cubSHA256Hash];
    Final(rgubDigest);
    static const char k_rgchHex[] = "0123456789abcdef";
    std::string str(k_cchSHA256Hex, '0');
    for (uint32 i = 0; i < k_cubSHA256Hash; ++i)
    {
        str[2 * i] = k_rgchHex[rgubDigest[i] >> 4];
        str[2 * i + 1] = k_rgchHex[rgubDigest[i] & 0xF];
    }
    return str;
}

bool BIsSHA256Hex(const char *pchText, size_t cchText)
{
    if (!pchText || cchText != k_cchSHA256Hex)
        return false;
    for (size_t i = 0; i < cchText; ++i)
    {
        char ch = pchText[i];
        bool bHex = (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F');
        if (!bHex)
            return false;
    }
    return true;
}

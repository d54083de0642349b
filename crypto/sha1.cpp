#include "crypto/sha1.h"

#include "foundation/dbg.h"
#include "foundation/strtools.h"

#include <cstring>

#include <cryptopp/sha.h>

struct CSHA1::SHA1State_t
{
    CryptoPP::SHA1 m_Hash;
};

static_assert(CryptoPP::SHA1::DIGESTSIZE == k_cubSHA1Hash, "SHA-1 digest length");

CSHA1::CSHA1() : m_pState(new SHA1State_t) {}

CSHA1::~CSHA1() = default;

void CSHA1::Reset()
{
    m_pState->m_Hash.Restart();
}

void CSHA1::Update(const void *pubData, uint32 cubData)
{
    AssertMsg(pubData || cubData == 0, "CSHA1::Update: null data");
    if (!pubData || cubData == 0)
        return;
    m_pState->m_Hash.Update(static_cast<const CryptoPP::byte *>(pubData), cubData);
}

void CSHA1::Final(uint8 *pubDigest)
{
    Assert(pubDigest);
    if (!pubDigest)
        return;
    m_pState->m_Hash.Final(pubDigest);
}

bool BCheckPackageSHA1(const char *pchPackagePath, const void *pubData, uint32 cubData)
{
    Assert(pchPackagePath);
    AssertMsg(pubData || cubData == 0, "BCheckPackageSHA1: null data");
    if (!pchPackagePath || (!pubData && cubData != 0))
        return false;

    const char *pchDot = strrchr(pchPackagePath, '.');
    if (!pchDot)
        return false;
    const char *pchDigest = pchDot + 1;

    // Cleared first, so digits that are missing leave zero bytes; extra digits are cut.
    uint8 rgubExpected[k_cubSHA1Hash];
    Q_hextobinary(pchDigest, (int)strlen(pchDigest), rgubExpected, (int)sizeof(rgubExpected));

    uint8 rgubActual[k_cubSHA1Hash];
    CSHA1 sha1;
    sha1.Reset();
    sha1.Update(pubData, cubData);
    sha1.Final(rgubActual);
    return memcmp(rgubExpected, rgubActual, sizeof(rgubActual)) == 0;
}

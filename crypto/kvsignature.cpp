#include "crypto/kvsignature.h"

#include "crypto/crypto.h"
#include "foundation/dbg.h"
#include "foundation/keyvalues.h"
#include "foundation/strtools.h"
#include "foundation/utlbuffer.h"

#include <vector>

namespace
{
// Room for the decoded signature (RSA-1024) and for a decoded public key.
const int k_cubMaxSignature = k_cchMaxKVSignatureHex / 2;
const uint32 k_cubMaxPublicKey = 1024;

bool BVerifyWithKey(const CUtlBuffer &bufMessage, const byte *pubSignature, int cubSignature,
                    const char *pchPublicKeyHex)
{
    std::vector<uint8> vecKey(k_cubMaxPublicKey);
    uint32 cubKey = k_cubMaxPublicKey;
    if (!CCrypto::HexDecode(pchPublicKeyHex, vecKey.data(), &cubKey) || cubKey == 0)
        return false;
    // An empty message still needs a valid pointer.
    static const uint8 s_ubEmpty = 0;
    const uint8 *pubMessage = bufMessage.TellMaxPut() > 0 ? (const uint8 *)bufMessage.Base() : &s_ubEmpty;
    return CCrypto::RSAVerifySignature(pubMessage, (uint32)bufMessage.TellMaxPut(), pubSignature,
                                       (uint32)cubSignature, vecKey.data(), cubKey);
}
} // namespace

void SerializeKeyValuesForSignature(KeyValues *pKV, CUtlBuffer &buf)
{
    Assert(!buf.IsText());
    if (!pKV)
        return;
    for (const char *pch = pKV->GetName(); *pch; ++pch)
        buf.PutChar(Q_tolower_ascii(*pch));
    buf.PutString(pKV->GetString(nullptr, ""));
    for (KeyValues *pChild = pKV->GetFirstSubKey(); pChild; pChild = pChild->GetNextKey())
        SerializeKeyValuesForSignature(pChild, buf);
}

bool BVerifyKeyValuesSignature(KeyValues *pKV, const char *pchPublicKeyHex)
{
    if (!pKV || !pKV->GetNextKey() || !pchPublicKeyHex)
        return false;
    KeyValues *pSignatures = pKV->GetNextKey();
    while (pSignatures->GetNextKey())
        pSignatures = pSignatures->GetNextKey();
    if (Q_stricmp(pSignatures->GetName(), KV_SIGNATURES_KEY) != 0)
        return false;

    KeyValues *pSignature = pSignatures->FindKey(pKV->GetNameSymbol());
    if (!pSignature)
        return false;
    const char *pchSignatureHex = pSignature->GetString(nullptr, "");
    int cchSignatureHex = Q_strlen(pchSignatureHex);
    if (cchSignatureHex < k_cchMinKVSignatureHex || cchSignatureHex > k_cchMaxKVSignatureHex)
        return false;
    byte rgubSignature[k_cubMaxSignature];
    Q_hextobinary(pchSignatureHex, cchSignatureHex, rgubSignature, sizeof(rgubSignature));
    int cubSignature = cchSignatureHex / 2;

    CUtlBuffer bufMessage;
    SerializeKeyValuesForSignature(pKV, bufMessage);

    return BVerifyWithKey(bufMessage, rgubSignature, cubSignature, pchPublicKeyHex);
}

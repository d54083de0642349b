// Ed25519 verification of the crypto wrapper, apart from the RSA code so that each stays
// small.
#include "crypto/crypto.h"

#include "foundation/dbg.h"

#include <cryptopp/xed25519.h>

bool CCrypto::Ed25519VerifySignature(const uint8 *pubData, uint32 cubData, const uint8 *pubSignature,
                                     const uint8 *pubPublicKey)
{
    Assert(pubData);
    Assert(pubSignature);
    Assert(pubPublicKey);
    if (!pubData || !pubSignature || !pubPublicKey)
        return false;
    try
    {
        CryptoPP::ed25519Verifier verifier(pubPublicKey);
        return verifier.VerifyMessage(pubData, cubData, pubSignature, k_cubEd25519Signature);
    }
    catch (...)
    {
        // A point that does not decode is reported by throwing; it only fails the check.
        return false;
    }
}

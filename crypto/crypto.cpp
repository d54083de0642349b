#include "crypto/crypto.h"

#include "foundation/dbg.h"
#include "foundation/strtools.h"

#include <cctype>
#include <cstring>

#include <cryptopp/cryptlib.h>
#include <cryptopp/queue.h>
#include <cryptopp/rsa.h>
#include <cryptopp/sha.h>

bool CCrypto::HexDecode(const char *pchData, uint8 *pubDecodedData, uint32 *pcubDecodedData)
{
    Assert(pchData);
    Assert(pubDecodedData);
    Assert(pcubDecodedData);
    if (!pchData || !pubDecodedData || !pcubDecodedData)
        return false;

    uint32 cubCapacity = *pcubDecodedData;
    *pcubDecodedData = 0;

    // Only whole pairs of hex digits decode: a stray character or a lone last digit means
    // the text is not what its writer meant, and a key decoded from it could only fail
    // later with a less telling result.
    size_t cchData = strlen(pchData);
    if (cchData % 2 != 0)
        return false;
    for (size_t i = 0; i < cchData; ++i)
    {
        if (!isxdigit((unsigned char)pchData[i]))
            return false;
    }

    size_t cubNeeded = cchData / 2;
    if (cubNeeded > cubCapacity)
    {
        AssertMsgF(false, "CCrypto::HexDecode: insufficient output buffer for decoding, needed %d got %d\n",
                   (int)cubNeeded, (int)cubCapacity);
        return false;
    }

    *pcubDecodedData = (uint32)Q_hextobinary(pchData, (int)cchData, pubDecodedData, (int)cubNeeded);
    return true;
}

bool CCrypto::RSAVerifySignature(const uint8 *pubData, uint32 cubData, const uint8 *pubSignature,
                                 uint32 cubSignature, const uint8 *pubPublicKey, uint32 cubPublicKey)
{
    Assert(pubData);
    Assert(pubSignature);
    Assert(pubPublicKey);
    if (!pubData || !pubSignature || !pubPublicKey)
        return false;

    try
    {
        CryptoPP::ByteQueue queueKey;
        queueKey.Put(pubPublicKey, cubPublicKey);
        queueKey.MessageEnd();

        // X.509 SubjectPublicKeyInfo; the decoder insists on the rsaEncryption algorithm.
        CryptoPP::RSA::PublicKey publicKey;
        publicKey.BERDecode(queueKey);
        if (queueKey.CurrentSize() != 0)
            return false;
        // Level 0 needs no randomness: modulus and exponent are odd and in range.
        if (!publicKey.Validate(CryptoPP::NullRNG(), 0))
            return false;

        CryptoPP::RSASS<CryptoPP::PKCS1v15, CryptoPP::SHA1>::Verifier verifier(publicKey);
        // RFC 8017 8.2.2: a signature is exactly as long as the modulus.
        if (cubSignature != verifier.SignatureLength())
            return false;
        return verifier.VerifyMessage(pubData, cubData, pubSignature, cubSignature);
    }
    catch (...)
    {
        // The library reports a malformed key or signature (and running out of memory) by
        // throwing; none of that may leave the wrapper.
        return false;
    }
}

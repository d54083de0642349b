// The crypto wrapper: hex decoding and the RSA and Ed25519 signature checks of the
// updater's chain of trust.
//
// Nothing here throws: the cryptographic library's exceptions are caught inside and turn
// into a false result. All functions are stateless and may be called from any thread.
#pragma once

#include "foundation/basetypes.h"

class CCrypto
{
public:
    // Decodes NUL-terminated hex text (pairs of digits, either case) into pubDecodedData.
    // *pcubDecodedData holds the buffer's capacity on the way in and the decoded length on
    // the way out. Returns false, with *pcubDecodedData set to 0 and the buffer untouched,
    // when the text is not whole pairs of hex digits, or (with an assertion, as the caller
    // sized the buffer wrongly) when the decoded bytes do not fit.
    static bool HexDecode(const char *pchData, uint8 *pubDecodedData, uint32 *pcubDecodedData);

    // Whether pubSignature is a valid RSASSA-PKCS1-v1_5 signature with SHA-1 over the
    // message, under the RSA public key given as DER X.509 SubjectPublicKeyInfo. A key
    // that does not parse, is not an RSA key or has bytes after it, and a signature whose
    // length is not the modulus length, all simply fail. Null arguments are assertion
    // failures and fail as well.
    static bool RSAVerifySignature(const uint8 *pubData, uint32 cubData, const uint8 *pubSignature,
                                   uint32 cubSignature, const uint8 *pubPublicKey, uint32 cubPublicKey);

    // Whether pubSignature (k_cubEd25519Signature bytes) is a valid Ed25519 signature (RFC
    // 8032, pure) over the message under the raw public key (k_cubEd25519PublicKey bytes).
    // Null arguments are assertion failures and fail. (crypto_ed25519.cpp)
    static bool Ed25519VerifySignature(const uint8 *pubData, uint32 cubData, const uint8 *pubSignature,
                                       const uint8 *pubPublicKey);
    static const uint32 k_cubEd25519Signature = 64;
    static const uint32 k_cubEd25519PublicKey = 32;
};

// Signatures over KeyValues trees: the check of a downloaded manifest and the message a
// publisher signs.
//
// The signed message of a tree is, depth-first from its root, each key's name in lower
// case (ASCII), then its value as the string accessor gives it ("" for a section) and one
// zero byte. The signature stands in the last top-level key, "kvsignatures" (any case),
// under the name of the signed key, as 16 to 256 hex digits: RSASSA-PKCS1-v1_5 with SHA-1.
//
// Stateless; any thread, one thread per tree at a time (the string accessor converts
// numeric values to text in place).
#pragma once

#include "foundation/basetypes.h"

class CUtlBuffer;
class KeyValues;

// Name of the top-level key that holds the signatures.
#define KV_SIGNATURES_KEY "kvsignatures"
// Limits of a signature's hex text: RSA-1024 signatures have 256 digits.
const int k_cchMinKVSignatureHex = 16;
const int k_cchMaxKVSignatureHex = 256;

// Appends the signed message of pKV (the key and its descendants, not its peers) to a
// binary buffer.
void SerializeKeyValuesForSignature(KeyValues *pKV, CUtlBuffer &buf);

// Whether the signature block after pKV holds a valid signature of pKV under the public key
// (hex DER X.509 SubjectPublicKeyInfo; false without one). pKV is the first top-level key of
// a loaded text, its peers the others.
bool BVerifyKeyValuesSignature(KeyValues *pKV, const char *pchPublicKeyHex);

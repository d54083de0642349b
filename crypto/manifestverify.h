// Everything a manifest must pass before the updater believes it: bounds on its text,
// checked before it is parsed; the RSA signature; the shape the updater reads (under the
// manifest key only plain values and package blocks, each block plain values with one
// "file" and one "size" of strict forms); and, where present or required, the Ed25519
// signature over a serialization that binds the tree's structure.
//
// The RSA message (kvsignature.h) joins names and values without separating them, so two
// different trees can share it: moving a closing brace keeps a genuine signature valid.
// The structure check leaves only trees whose shape is the one the updater reads; the
// Ed25519 message marks every name, value, opening and closing with lengths and tags.
//
// Stateless; any thread, one thread per tree at a time.
#pragma once

#include "foundation/basetypes.h"
#include "foundation/utlstring.h"

#include <cstddef>

class CUtlBuffer;
class KeyValues;

// Manifest text longer than this, or with more keys than that, is refused unparsed: a
// manifest names a few packages, and parsing costs memory and names interned for good.
const size_t k_cubMaxManifestText = 4 * 1024 * 1024;
const int k_cMaxManifestKeys = 100000;
// The largest "size" a package may have: 2^53, which every reader of numbers holds exactly.
const uint64 k_cubMaxManifestPackageSize = 1ull << 53;
// Entries of the signature block: one per signed key and algorithm, never many.
const int k_cMaxSignatureEntries = 16;
// The signature block's entry that holds the Ed25519 signature of the manifest key.
#define KV_ED25519_SIGNATURE_KEY "ed25519"
const int k_cchEd25519SignatureHex = 128;
const int k_cchEd25519PublicKeyHex = 64;

// Whether NUL-terminated KeyValues text is within the limits above; counts its keys with a
// linear scan of its tokens and stops at the first limit passed. *pstrReason says why not.
bool BManifestTextWithinLimits(const char *pchText, CUtlString *pstrReason);

// Whether the loaded manifest (its first top-level key, with its peers) has the shape the
// updater reads; *pstrReason says what is wrong with it otherwise.
bool BCheckManifestStructure(KeyValues *pManifest, CUtlString *pstrReason);

// A package's "size" as its digits say, for a block that passed the structure check;
// 0 when the value is not a plain decimal of at most 2^53.
uint64 ManifestPackageSize(KeyValues *pPackage);
// Reads a plain decimal (digits only, no leading zero unless it is "0") of at most 2^53.
bool BParseManifestSize(const char *pchText, uint64 *pulSize);

// Appends the Ed25519 message of pKV (the key and its descendants, not its peers): a fixed
// label, then depth-first for each key either '{', name, children, '}' (a block) or '=',
// name, value (a plain value), every name (ASCII lower case) and value preceded by its
// length as 4 bytes, most significant first.
void SerializeKeyValuesForEd25519(KeyValues *pKV, CUtlBuffer &buf);

// Whether the signature block after pManifest holds a valid Ed25519 signature of it under
// the raw public key (64 hex digits). Nothing else is checked.
bool BVerifyManifestEd25519Signature(KeyValues *pManifest, const char *pchPublicKeyHex);

// The keys and rules a manifest is verified with.
struct ManifestTrust_t
{
    const char *m_pchRSAPublicKeyHex = nullptr;     // hex DER SubjectPublicKeyInfo
    const char *m_pchEd25519PublicKeyHex = nullptr; // 64 hex digits, or null/"" for none
    bool m_bRequireEd25519 = false;
    // Refuse a manifest with a package that has no "sha256" (manifestbinding.h).
    bool m_bRequirePackageSHA256 = false;
};

// The RSA signature, the structure check with the signed binding values (manifestbinding.h),
// then the Ed25519 signature: it must be well formed when present, verify when a key is
// configured, and be present when required.
bool BVerifyManifest(KeyValues *pManifest, const ManifestTrust_t &trust, CUtlString *pstrReason);

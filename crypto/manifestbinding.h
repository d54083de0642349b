// What ties a signed manifest to one moment, one channel and one set of archive bytes,
// beyond its signature: the optional values a publisher signs with it.
//
//   "timestamp"  when it was signed, decimal seconds since 1970: a manifest older than the
//                installed one of the same beta is a replay of an older build (rollback).
//   "expires"    decimal seconds since 1970 after which it is stale: a network that keeps
//                serving an old manifest cannot hold a launcher on it for ever (freeze).
//   "platform"   the platform tag, and "beta" the beta name ("" for the public channel), of
//                the name it is published under: served under another name it is refused
//                (mix and match).
//   "sha256"     in a package block, the SHA-256 of the archive in 64 hex digits, beside the
//                SHA-1 that the archive's name carries.
//
// All are optional: a manifest without them is believed as it always was, and launchers
// that know nothing of them ignore them (they are covered by the signature all the same).
// Pure functions of their arguments (the time is passed in); any thread.
#pragma once

#include "foundation/basetypes.h"
#include "foundation/utlstring.h"

#include <cstddef>
#include <string>

class KeyValues;

#define KV_MANIFEST_TIMESTAMP_KEY "timestamp"
#define KV_MANIFEST_EXPIRES_KEY "expires"
#define KV_MANIFEST_PLATFORM_KEY "platform"
#define KV_MANIFEST_BETA_KEY "beta"
#define KV_PACKAGE_SHA256_KEY "sha256"

// A clock may be off by this much either way: an expiry is enforced only this long after it.
const int64 k_nManifestExpiryGraceSeconds = 24 * 60 * 60;
// The longest "platform" or "beta" a manifest may carry: tags and beta names are short words.
const size_t k_cchMaxManifestChannelName = 64;

// Whether the optional values above, where present, are well formed: times plain decimals
// (digits only, no leading zero) of at most 2^63 - 1, "platform" and "beta" at most 64
// printable characters, every "sha256" 64 hex digits (k_cchSHA256Hex); and, with bRequirePackageSHA256, that
// every package has one. *pstrReason says what is wrong otherwise.
bool BCheckManifestBindingValues(KeyValues *pManifest, bool bRequirePackageSHA256, CUtlString *pstrReason);

// A time value of the manifest key (KV_MANIFEST_TIMESTAMP_KEY or KV_MANIFEST_EXPIRES_KEY):
// false when it is absent or not well formed.
bool BGetManifestTime(KeyValues *pManifest, const char *pchKey, int64 *pnSeconds);
// Reads a plain decimal (digits only, no leading zero unless it is "0") of at most 2^63 - 1.
bool BParseManifestTime(const char *pchText, int64 *pnSeconds);
// Reads a plain decimal of at most ulMax (which is at most 2^63 - 1); 0 when it is not one.
bool BParsePlainDecimal(const char *pchText, uint64 ulMax, uint64 *pulValue);

// Whether the manifest is meant for the channel the launcher asked for: its "platform", when
// present, names pchPlatform, and its "beta" names pchBeta ("" for none); both compared
// without regard to ASCII case. A manifest that carries "platform" and no "beta" is one of
// the public channel; one that carries neither is bound to no channel.
bool BCheckManifestChannel(KeyValues *pManifest, const char *pchPlatform, const char *pchBeta,
                           CUtlString *pstrReason);

// What a new manifest is compared with: the clock and the installed manifest of the same
// beta (null when there is none).
struct ManifestFreshness_t
{
    int64 m_nNowSeconds = 0;
    KeyValues *m_pInstalled = nullptr;
    // Refuse a "version" below the installed one (a rollback that needs no signed time).
    bool m_bRefuseOlderVersions = false;
};

// Whether the manifest is neither stale nor older than the installed one: its "expires" is
// not more than k_nManifestExpiryGraceSeconds before now; its "timestamp" is not older than
// the installed manifest's (a manifest without one is refused once the installed one has
// one, since any manifest of before the publisher signed times could be replayed); with
// m_bRefuseOlderVersions its "version" is not below the installed one's. An installed
// manifest of another beta is not compared (a change of beta is no rollback).
bool BCheckManifestFreshness(KeyValues *pManifest, const ManifestFreshness_t &freshness,
                             CUtlString *pstrReason);

enum EPackageSHA256
{
    k_EPackageSHA256Match,
    k_EPackageSHA256Absent, // the package block has no "sha256"
    k_EPackageSHA256Mismatch,
};

// Compares the archive bytes with the package block's "sha256" (either case). *pstrActual
// gets the bytes' digest in lower-case hex when it was computed.
EPackageSHA256 CheckPackageSHA256(KeyValues *pPackage, const void *pubData, size_t cubData,
                                  std::string *pstrActual = nullptr);
// The same for a digest already computed (lower-case hex), as when an archive was hashed
// from its file.
EPackageSHA256 ComparePackageSHA256(KeyValues *pPackage, const std::string &strActual);

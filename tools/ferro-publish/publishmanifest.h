// Signing manifest text the way the launcher checks it: the text is loaded as the launcher
// loads it, the first top-level key is serialized and signed (RSA, and Ed25519 when a key is
// given), and the signatures go into the "kvsignatures" block written last.
#pragma once

#include "crypto/manifestbinding.h"

#include <string>

class CPublishEd25519Key;
class CPublishKey;
class KeyValues;

// Values a build's manifest carries besides "version" and each package's "file" and "size",
// all plain values inside the signed manifest key, which launchers that do not know them
// leave alone:
//   "timestamp"  seconds since 1970 (UTC) when the build was published, decimal;
//   "expires"    seconds since 1970 after which the manifest is stale, decimal (only when the
//                publisher gives a lifetime);
//   "platform"   the platform tag of the manifest's name ("linux", "win32", "win64");
//   "beta"       the beta of the manifest's name, exactly (absent for the public build, so
//                that a manifest with "platform" and without "beta" is the public one);
//   "sha256"     in each package block: the archive's SHA-256, 64 lower-case hex digits.
const char *const k_szManifestTimestampKey = KV_MANIFEST_TIMESTAMP_KEY;
const char *const k_szManifestExpiresKey = KV_MANIFEST_EXPIRES_KEY;
const char *const k_szManifestPlatformKey = KV_MANIFEST_PLATFORM_KEY;
const char *const k_szManifestBetaKey = KV_MANIFEST_BETA_KEY;
const char *const k_szManifestSHA256Key = KV_PACKAGE_SHA256_KEY;

// Loads KeyValues text as the launcher loads a manifest (a root created as "manifest",
// within the launcher's limits on size and keys); the caller deletes the tree. Null, with
// the reason or the loader's reports, when it does not load.
KeyValues *LoadManifestText(const std::string &strText, const char *pchResourceName, std::string *pstrError);

// Signs the first top-level key of the text. The output holds every top-level key of the
// input except signature blocks, then one "kvsignatures" block with the signatures of the
// input's blocks for other keys and the new ones (the Ed25519 one under "ed25519", when
// pEd25519Key is given). Checks that the output verifies.
bool BSignManifestText(const std::string &strInput, const char *pchResourceName, const CPublishKey &key,
                       const CPublishEd25519Key *pEd25519Key, std::string *pstrOutput,
                       std::string *pstrError);

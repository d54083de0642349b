// The public keys that manifests are checked with.
//
// They are fixed when the launcher is built: FERRO_MANIFEST_PUBLIC_KEY, an RSA-1024 public
// key as DER X.509 SubjectPublicKeyInfo, 320 hex characters, which every manifest must be
// signed for; FERRO_MANIFEST_PUBLIC_KEY_ED25519, a raw Ed25519 public key as 64 hex
// characters (or none), which checks a manifest's Ed25519 signature where there is one;
// FERRO_REQUIRE_ED25519, which makes that signature necessary; FERRO_REQUIRE_PACKAGE_SHA256,
// which makes every package's "sha256" necessary; FERRO_REFUSE_OLDER_VERSIONS, which refuses
// a manifest whose "version" is below the installed one. Unless a build sets its own,
// the keys are the development keys of tests/keys/, whose private halves are public: such a
// build must never be pointed at a real content service.
#pragma once

#include "crypto/manifestverify.h"

// The key as hex text (NUL-terminated, 320 characters); valid for the life of the process.
const char *GetManifestPublicKeyHex();

// Whether the key is the development key of tests/keys/.
bool BManifestKeyIsDevelopmentKey();

// The Ed25519 key as hex text (64 characters), or "" when the build has none.
const char *GetManifestEd25519PublicKeyHex();

// Whether a manifest without a valid Ed25519 signature is refused.
bool BManifestRequiresEd25519();

// Whether a manifest with a package that has no "sha256" is refused.
bool BManifestRequiresPackageSHA256();

// Whether a manifest whose "version" is below the installed one of the same beta is refused.
bool BManifestRefusesOlderVersions();

// The keys and rules above, as the manifest check takes them.
ManifestTrust_t GetBuiltInManifestTrust();

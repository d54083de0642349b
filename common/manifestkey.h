// The public key that every downloaded manifest must be signed for.
//
// It is fixed when the launcher is built (the CMake setting FERRO_MANIFEST_PUBLIC_KEY):
// an RSA-1024 public key as DER X.509 SubjectPublicKeyInfo, 320 hex characters. Unless a
// build sets its own, it is the development key of tests/keys/, whose private half is
// public: such a build must never be pointed at a real content service.
#pragma once

// The key as hex text (NUL-terminated, 320 characters); valid for the life of the process.
const char *GetManifestPublicKeyHex();

// Whether the key is the development key of tests/keys/.
bool BManifestKeyIsDevelopmentKey();

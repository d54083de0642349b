// Signing manifest text the way the launcher checks it: the text is loaded as the launcher
// loads it, the first top-level key is serialized and signed (RSA, and Ed25519 when a key is
// given), and the signatures go into the "kvsignatures" block written last.
#pragma once

#include <string>

class CPublishEd25519Key;
class CPublishKey;
class KeyValues;

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

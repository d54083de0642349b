// Signing manifest text the way the launcher checks it: the text is loaded as the launcher
// loads it, the first top-level key is serialized and signed, and the signature goes into
// the "kvsignatures" block written last.
#pragma once

#include <string>

class CPublishKey;
class KeyValues;

// Loads KeyValues text as the launcher loads a manifest (a root created as "manifest");
// the caller deletes the tree. Null, with the loader's reports, when it does not load.
KeyValues *LoadManifestText(const std::string &strText, const char *pchResourceName, std::string *pstrError);

// Signs the first top-level key of the text. The output holds every top-level key of the
// input except signature blocks, then one "kvsignatures" block with the signatures of the
// input's blocks for other keys and the new one. Checks that the output verifies.
bool BSignManifestText(const std::string &strInput, const char *pchResourceName, const CPublishKey &key,
                       std::string *pstrOutput, std::string *pstrError);

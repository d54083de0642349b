// libFuzzer target for what a manifest passes before it is believed: any bytes go through
// the limits on its text, and what loads through the whole verification with a real key
// (the signatures fail, the structure check and both serializations still run) without a
// crash, a hang or a leak; the key count never passes a text that has more keys.
#include "crypto/manifestverify.h"
#include "ferroexe/manifestkey.h"
#include "foundation/dbg.h"
#include "foundation/keyvalues.h"
#include "foundation/utlbuffer.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pubData, size_t cubData)
{
    static bool s_bQuiet = (SetSpewToStderr(false), true);
    (void)s_bQuiet;
    if (cubData > 1 << 20)
        return 0;
    std::string strText((const char *)pubData, cubData);
    CUtlString strReason;
    if (!BManifestTextWithinLimits(strText.c_str(), &strReason))
        return 0;
    KeyValues *pManifest = new KeyValues("manifest");
    CKeyValuesParser parser("manifest", false);
    if (pManifest->LoadFromString("manifest", strText.c_str(), &parser))
    {
        BCheckManifestStructure(pManifest, &strReason);
        CUtlBuffer buf;
        SerializeKeyValuesForEd25519(pManifest, buf);
        ManifestTrust_t trust = GetBuiltInManifestTrust();
        trust.m_bRequireEd25519 = true;
        BVerifyManifest(pManifest, trust, &strReason);
    }
    pManifest->DeleteThis();
    return 0;
}

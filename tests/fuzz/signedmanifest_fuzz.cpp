// libFuzzer target for a manifest that is genuinely signed: any text that loads is signed as
// the publisher signs it (RSA and Ed25519, with the development keys of tests/keys, which the
// fuzz build trusts) and then read by the updater as it reads a download. The signatures then
// hold, so what decides is the structure check, and everything after it runs: a signed text
// is believed exactly when its structure and its build values pass; a believed manifest
// saved as the pending one and read back is believed again; its package paths stay in the
// package folder and its download URLs under the content path.
#include "fuzzsupport.h"

#include "../../tools/ferro-publish/publishkeys.h"
#include "../../tools/ferro-publish/publishmanifest.h"
#include "crypto/manifestbinding.h"
#include "crypto/manifestverify.h"
#include "ferroexe/manifestkey.h"
#include "foundation/keyvalues.h"
#include "foundation/strtools.h"
#include "foundation/utlbuffer.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#ifndef FERRO_FUZZ_KEY_DIR
#error "FERRO_FUZZ_KEY_DIR names the folder of the development keys (tests/fuzz/CMakeLists.txt)"
#endif

namespace
{
const char k_szSavedManifest[] = "package/fuzz_pending.manifest";

struct DevKeys_t
{
    CPublishKey m_RSA;
    CPublishEd25519Key m_Ed25519;
};

// The development keys; the build must trust them (its default), or nothing would verify.
DevKeys_t &Keys()
{
    static DevKeys_t *s_pKeys = nullptr;
    if (s_pKeys)
        return *s_pKeys;
    s_pKeys = new DevKeys_t;
    std::string strError;
    if (!s_pKeys->m_RSA.BLoad(FERRO_FUZZ_KEY_DIR "/dev_manifest_private.der", &strError) ||
        !s_pKeys->m_Ed25519.BLoad(FERRO_FUZZ_KEY_DIR "/dev_manifest_ed25519_private.der", &strError))
        FuzzFailure("development keys: %s", strError.c_str());
    ManifestTrust_t trust = GetBuiltInManifestTrust();
    if (s_pKeys->m_RSA.PublicKeyHex() != trust.m_pchRSAPublicKeyHex ||
        s_pKeys->m_Ed25519.PublicKeyHex() !=
            (trust.m_pchEd25519PublicKeyHex ? trust.m_pchEd25519PublicKeyHex : ""))
        FuzzFailure("this build trusts other manifest keys than the development keys: build the fuzz "
                    "targets with the default FERRO_MANIFEST_PUBLIC_KEY[_ED25519]");
    return *s_pKeys;
}

// A believed manifest, saved as the pending one and read back, is believed again.
void CheckSavedCopy(CFerroUpdater &updater, KeyValues *pManifest)
{
    if (!updater.BSaveManifestFile(pManifest, k_szSavedManifest))
        FuzzFailure("a believed manifest cannot be saved");
    CUtlBuffer buf(0, 0, CUtlBuffer::TEXT_BUFFER);
    if (!LoadFileIntoBuffer(k_szSavedManifest, buf, true))
        FuzzFailure("the saved manifest cannot be read");
    // Deleted at once: saving over it again would make ext4 flush it to the disk.
    remove(k_szSavedManifest);
    KeyValues *pAgain = updater.LoadManifestFromBuffer((const char *)buf.Base());
    if (!pAgain || !updater.BVerifyManifestTree(pAgain, "saved"))
        FuzzFailure("a believed manifest is refused once saved and read back: %s",
                    updater.GetLastErrorText().Get());
    pAgain->DeleteThis();
}

// Package paths and download URLs of a believed manifest stay where they belong.
void CheckPackageNames(CFerroUpdater &updater, KeyValues *pManifest)
{
    CUtlVector<CUtlString> vecPaths;
    const CUtlString strPackageDir = updater.GetPackageDir();
    updater.GetPackagePaths(pManifest, vecPaths);
    for (const CUtlString &strPath : vecPaths)
    {
        const char *pchName = strPath.Get() + strPackageDir.Length() + 1;
        if (strPath.Length() <= strPackageDir.Length() || strpbrk(pchName, "/\\:") || strstr(pchName, ".."))
            FuzzFailure("package path %s leaves %s", strPath.Get(), strPackageDir.Get());
    }
    DownloadLocation_t location;
    location.m_eUniverse = k_EUniversePublic;
    location.m_strManifestHost = location.m_strPackageHost = "127.0.0.1";
    location.m_strURLPath = "/client/";
    CUtlVector<CUtlString> vecDownloads;
    uint64 cubTotal = 0;
    updater.BuildDownloadList(location, pManifest, vecDownloads, &cubTotal);
    for (const CUtlString &strURL : vecDownloads)
    {
        const char *pchName = strURL.Get() + strlen("/client/");
        if (strncmp(strURL.Get(), "/client/", 8) != 0 || strpbrk(pchName, "/\\?#%: \t\r\n") ||
            strstr(pchName, ".."))
            FuzzFailure("download URL %s", strURL.Get());
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pubData, size_t cubData)
{
    CFerroUpdater &updater = FuzzUpdater();
    DevKeys_t &keys = Keys();
    if (cubData > 1 << 16)
        return 0;
    std::string strSigned, strError;
    if (!BSignManifestText(std::string((const char *)pubData, cubData), "fuzz", keys.m_RSA, &keys.m_Ed25519,
                           &strSigned, &strError))
        return 0;

    KeyValues *pManifest = updater.LoadManifestFromBuffer(strSigned.c_str());
    if (!pManifest)
        FuzzFailure("the updater does not load what the publisher signed");
    CUtlString strReason;
    // The shape the updater reads, and the signed build values in their forms.
    const bool bStructure =
        BCheckManifestStructure(pManifest, &strReason) &&
        BCheckManifestBindingValues(pManifest, BManifestRequiresPackageSHA256(), &strReason);
    const bool bBelieved = updater.BVerifyManifestTree(pManifest, "fuzz");
    if (bBelieved != bStructure)
        FuzzFailure("signed manifest %s although its structure %s (%s)", bBelieved ? "believed" : "refused",
                    bStructure ? "passes" : "fails", strReason.Get());
    if (bBelieved)
    {
        for (KeyValues *pPackage = pManifest->GetFirstTrueSubKey(); pPackage;
             pPackage = pPackage->GetNextTrueSubKey())
        {
            if (ManifestPackageSize(pPackage) > k_cubMaxManifestPackageSize)
                FuzzFailure("package %s of %llu bytes", pPackage->GetName(),
                            (unsigned long long)ManifestPackageSize(pPackage));
        }
        CheckSavedCopy(updater, pManifest);
        CheckPackageNames(updater, pManifest);
    }
    pManifest->DeleteThis();
    return 0;
}

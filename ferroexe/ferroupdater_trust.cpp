// What the updater asks of a manifest and an archive beyond the signature and the SHA-1 of
// the archive's name: a manifest meant for this launcher's channel, not stale and not older
// than the installed one; archives whose bytes have the SHA-256 the manifest gives them.
// The rules themselves are in crypto/manifestbinding.h; this file applies them with the
// updater's clock, beta, installed manifest and build settings, and logs every refusal.
#include "ferroexe/ferroupdater.h"
#include "ferroexe/packagedownloadsink.h"

#include "crypto/manifestbinding.h"
#include "crypto/sha1.h"
#include "ferroexe/ferroupdater_fileops.h"
#include "ferroexe/manifestkey.h"
#include "foundation/clock.h"
#include "foundation/keyvalues.h"
#include "foundation/strtools.h"

#include <string>

bool CFerroUpdater::BAcceptManifest(KeyValues *pManifest, const char *pchBeta, const char *pchWhat)
{
    CUtlString strReason;
    bool bAccepted = BCheckManifestChannel(pManifest, FERRO_PLATFORM_TAG, pchBeta, &strReason);
    if (bAccepted)
    {
        char rgchInstalled[MAX_PATH_BYTES];
        BuildInstalledFilePath(rgchInstalled, sizeof(rgchInstalled), ".manifest");
        CKeyValuesAutoDelete installed(LoadManifestFile(rgchInstalled));
        ManifestFreshness_t freshness;
        freshness.m_nNowSeconds = Clock_GetSecondsSince1970();
        freshness.m_pInstalled = installed.Get();
        freshness.m_bRefuseOlderVersions = BManifestRefusesOlderVersions();
        bAccepted = BCheckManifestFreshness(pManifest, freshness, &strReason);
    }
    if (!bAccepted)
        Log("Manifest %s refused: %s\n", pchWhat, strReason.Get());
    return bAccepted;
}

bool CFerroUpdater::BCheckPackageArchive(KeyValues *pPackage, const char *pchPath, const void *pubData,
                                         size_t cubData)
{
    // The SHA-1 check takes 32-bit lengths: a larger archive cannot be checked.
    if (cubData != (uint32)cubData || !BCheckPackageSHA1(pchPath, pubData, (uint32)cubData))
        return false;
    std::string strActual;
    return BAcceptPackageSHA256(pPackage, pchPath, CheckPackageSHA256(pPackage, pubData, cubData, &strActual),
                                strActual);
}

bool CFerroUpdater::BCheckPackageArchiveFile(KeyValues *pPackage, const char *pchArchiveName,
                                             const char *pchPath)
{
    std::string strActual;
    if (!BCheckPackageFileSHA1(pchArchiveName, pchPath, &strActual))
        return false;
    return BAcceptPackageSHA256(pPackage, pchArchiveName, ComparePackageSHA256(pPackage, strActual),
                                strActual);
}

bool CFerroUpdater::BCheckPackageDigests(KeyValues *pPackage, const char *pchArchiveName,
                                         const uint8 *pubSHA1, const std::string &strSHA256)
{
    if (!BSHA1MatchesArchiveName(pchArchiveName, pubSHA1))
        return false;
    return BAcceptPackageSHA256(pPackage, pchArchiveName, ComparePackageSHA256(pPackage, strSHA256),
                                strSHA256);
}

void CFerroUpdater::NoteVerifiedArchive(const char *pchPath)
{
    // Known by its size and time: an archive changed after its check is checked again.
    m_mapVerifiedArchives[pchPath] = {m_pFileOps->GetFileSize(pchPath),
                                      m_pFileOps->GetFileWriteTime(pchPath)};
}

bool CFerroUpdater::BVerifiedThisRun(const char *pchPath)
{
    auto it = m_mapVerifiedArchives.find(pchPath);
    return it != m_mapVerifiedArchives.end() && it->second.first >= 0 &&
           it->second.first == m_pFileOps->GetFileSize(pchPath) &&
           it->second.second == m_pFileOps->GetFileWriteTime(pchPath);
}

bool CFerroUpdater::BAcceptPackageSHA256(KeyValues *pPackage, const char *pchPath, EPackageSHA256 eSHA256,
                                         const std::string &strActual)
{
    const char *pchFileName = Q_UnqualifiedFileName(pchPath);
    const char *pchPackage = pPackage ? pPackage->GetName() : pchFileName;
    switch (eSHA256)
    {
    case k_EPackageSHA256Match:
        return true;
    case k_EPackageSHA256Absent:
        if (!BManifestRequiresPackageSHA256())
            return true;
        Log("Package %s refused: its manifest gives no SHA-256 of %s, which this launcher requires\n",
            pchPackage, pchFileName);
        return false;
    case k_EPackageSHA256Mismatch:
        break;
    }
    Log("Package %s refused: the SHA-256 of %s is %s, and its manifest says %s\n", pchPackage, pchFileName,
        strActual.c_str(), pPackage->GetString(KV_PACKAGE_SHA256_KEY, ""));
    return false;
}

#include "publishchecks.h"

#include "publishbuild.h"
#include "publishmanifest.h"

#include "crypto/kvsignature.h"
#include "crypto/manifestbinding.h"
#include "crypto/manifestverify.h"
#include "crypto/sha256.h"
#include "foundation/keyvalues.h"
#include "foundation/strtools.h"

#include <cstdint>
#include <cstring>
#include <ctime>

namespace
{
const char k_szManifestNamePrefix[] = "arvo_launcher_";

// The plain value of the manifest key's child, if it has one.
bool BFindValue(KeyValues *pManifest, const char *pchName, std::string *pstrValue)
{
    KeyValues *pKey = pManifest->FindKey(pchName);
    if (!pKey || pKey->GetDataType() == KeyValues::TYPE_NONE)
        return false;
    *pstrValue = pKey->GetString(nullptr, "");
    return true;
}

std::string UTCText(unsigned long long ulSeconds)
{
    std::time_t tSeconds = (std::time_t)ulSeconds;
    std::tm *pTime = std::gmtime(&tSeconds);
    char rgchText[64];
    if (!pTime || std::strftime(rgchText, sizeof(rgchText), "%Y-%m-%d %H:%M:%S UTC", pTime) == 0)
        return "beyond the calendar";
    return rgchText;
}

bool BFail(std::string *pstrReason, const std::string &strReason)
{
    *pstrReason = strReason;
    return false;
}

void CountPackageDigests(KeyValues *pManifest, ManifestChecks_t *pChecks)
{
    for (KeyValues *pPackage = pManifest->GetFirstTrueSubKey(); pPackage;
         pPackage = pPackage->GetNextTrueSubKey())
    {
        ++pChecks->m_cPackages;
        std::string strDigest;
        if (BFindValue(pPackage, k_szManifestSHA256Key, &strDigest))
            ++pChecks->m_cPackagesWithSHA256;
    }
}

// The platform and beta bind the manifest to the name it is served under.
bool BCheckChannel(const ManifestChecks_t &checks, const std::string &strFileName, std::string *pstrReason)
{
    if (checks.m_bBeta && checks.m_strPlatform.empty())
        return BFail(pstrReason, "a \"beta\" without a \"platform\"");
    for (const std::string *pstrToken : {&checks.m_strPlatform, &checks.m_strBeta})
    {
        if (!pstrToken->empty() && !BIsPublishNameToken(*pstrToken))
            return BFail(pstrReason, "\"" + *pstrToken + "\" is not a name of ASCII letters, digits and '_'");
    }
    if (checks.m_bBeta && checks.m_strBeta.empty())
        return BFail(pstrReason, "an empty \"beta\" (the public build has none)");
    // Only a name that a launcher asks for ("arvo_launcher_" and name characters) binds; a copy
    // kept as "arvo_launcher_linux.old" or "manifest-41" is checked for its values alone.
    bool bServedName = strFileName.compare(0, strlen(k_szManifestNamePrefix), k_szManifestNamePrefix) == 0 &&
                       BIsPublishNameToken(strFileName);
    if (checks.m_strPlatform.empty() || !bServedName)
        return true;
    std::string strName = PublishManifestName(checks.m_strBeta, checks.m_strPlatform);
    if (strName != strFileName)
        return BFail(pstrReason,
                     "its platform and beta name the manifest " + strName + ", not " + strFileName);
    return true;
}
} // namespace

bool BReadManifestChecks(KeyValues *pManifest, const std::string &strFileName, ManifestChecks_t *pChecks,
                         std::string *pstrReason)
{
    KeyValues *pSignatures = pManifest;
    while (pSignatures->GetNextKey())
        pSignatures = pSignatures->GetNextKey();
    pChecks->m_bEd25519 = Q_stricmp(pSignatures->GetName(), KV_SIGNATURES_KEY) == 0 &&
                          pSignatures->FindKey(KV_ED25519_SIGNATURE_KEY) != nullptr;
    // The forms a launcher refuses, in the launcher's own words.
    CUtlString strReason;
    if (!BCheckManifestBindingValues(pManifest, false, &strReason))
        return BFail(pstrReason, strReason.String());
    CountPackageDigests(pManifest, pChecks);
    BFindValue(pManifest, k_szManifestTimestampKey, &pChecks->m_strTimestamp);
    BFindValue(pManifest, k_szManifestExpiresKey, &pChecks->m_strExpires);
    BFindValue(pManifest, k_szManifestPlatformKey, &pChecks->m_strPlatform);
    pChecks->m_bBeta = BFindValue(pManifest, k_szManifestBetaKey, &pChecks->m_strBeta);
    return BCheckChannel(*pChecks, strFileName, pstrReason);
}

std::string DescribeManifestChecks(const ManifestChecks_t &checks, bool bEd25519Verified,
                                   unsigned long long ulNow)
{
    std::string strText = "RSA signature: verified\n";
    strText += std::string("Ed25519 signature: ") +
               (!checks.m_bEd25519 ? "absent"
                : bEd25519Verified ? "verified"
                                   : "present, not checked (no key given)") +
               "\n";
    strText += "SHA-256: " + std::to_string(checks.m_cPackagesWithSHA256) + " of " +
               std::to_string(checks.m_cPackages) + " packages\n";
    strText += "timestamp: " +
               (checks.m_strTimestamp.empty()
                    ? std::string("absent")
                    : checks.m_strTimestamp + " (" + UTCText(std::stoull(checks.m_strTimestamp)) + ")") +
               "\n";
    std::string strExpires = "absent";
    if (!checks.m_strExpires.empty())
    {
        unsigned long long ulExpires = std::stoull(checks.m_strExpires);
        strExpires =
            checks.m_strExpires + " (" + UTCText(ulExpires) + (ulExpires < ulNow ? ", passed" : "") + ")";
    }
    strText += "expires: " + strExpires + "\n";
    strText +=
        "platform: " + (checks.m_strPlatform.empty() ? std::string("absent") : checks.m_strPlatform) + "\n";
    strText += "beta: " +
               (checks.m_bBeta                 ? checks.m_strBeta
                : checks.m_strPlatform.empty() ? std::string("absent")
                                               : std::string("none (public)")) +
               "\n";
    return strText;
}

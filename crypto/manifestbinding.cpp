#include "crypto/manifestbinding.h"

#include "crypto/manifestreason.h"
#include "crypto/sha256.h"
#include "foundation/keyvalues.h"
#include "foundation/strtools.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace
{
std::string Quoted(const char *pch)
{
    return QuoteManifestText(pch);
}

bool Fail(CUtlString *pstrReason, const std::string &strReason)
{
    return BFailManifestCheck(pstrReason, strReason);
}

bool BIsSection(KeyValues *pKV)
{
    return pKV->GetDataType() == KeyValues::TYPE_NONE;
}

// A plain value of the key, or null when there is none (or it is a block).
const char *FindValue(KeyValues *pKV, const char *pchName)
{
    KeyValues *pValue = pKV->FindKey(pchName);
    return pValue && !BIsSection(pValue) ? pValue->GetString(nullptr, "") : nullptr;
}

bool BCheckTimeValue(KeyValues *pManifest, const char *pchKey, CUtlString *pstrReason)
{
    const char *pchText = FindValue(pManifest, pchKey);
    int64 nSeconds;
    if (pchText && !BParseManifestTime(pchText, &nSeconds))
        return Fail(pstrReason, std::string("the ") + pchKey + " " + Quoted(pchText) +
                                    " is not a plain decimal number of seconds up to 2^63 - 1");
    return true;
}

bool BCheckChannelValue(KeyValues *pManifest, const char *pchKey, CUtlString *pstrReason)
{
    const char *pchText = FindValue(pManifest, pchKey);
    if (!pchText)
        return true;
    size_t cch = strnlen(pchText, k_cchMaxManifestChannelName + 1);
    if (cch > k_cchMaxManifestChannelName)
        return Fail(pstrReason, std::string("the ") + pchKey + " " + Quoted(pchText) + " is longer than " +
                                    std::to_string(k_cchMaxManifestChannelName) + " characters");
    for (size_t i = 0; i < cch; ++i)
    {
        if ((unsigned char)pchText[i] <= 0x20 || (unsigned char)pchText[i] >= 0x7F)
            return Fail(pstrReason, std::string("the ") + pchKey + " " + Quoted(pchText) +
                                        " holds a character that is not printable ASCII");
    }
    return true;
}

// The beta a manifest says it is for: its "beta"; "" when it names the platform and no beta
// (the public channel); null when it names neither.
const char *ChannelBeta(KeyValues *pManifest)
{
    const char *pchBeta = FindValue(pManifest, KV_MANIFEST_BETA_KEY);
    if (!pchBeta && FindValue(pManifest, KV_MANIFEST_PLATFORM_KEY))
        return "";
    return pchBeta;
}

// Names of the channel as a reason shows them: the public channel has no beta name.
std::string BetaForReason(const char *pchBeta)
{
    return *pchBeta ? "the beta " + Quoted(pchBeta) : std::string("the public channel (no beta)");
}
} // namespace

bool BParsePlainDecimal(const char *pchText, uint64 ulMax, uint64 *pulValue)
{
    *pulValue = 0;
    size_t cch = strlen(pchText);
    // Nineteen digits cannot overflow 64 bits, and 2^63 - 1 has nineteen.
    if (cch == 0 || cch > 19 || strspn(pchText, "0123456789") != cch || (cch > 1 && pchText[0] == '0'))
        return false;
    uint64 ul = 0;
    for (size_t i = 0; i < cch; ++i)
        ul = ul * 10 + (uint64)(pchText[i] - '0');
    if (ul > ulMax)
        return false;
    *pulValue = ul;
    return true;
}

bool BParseManifestTime(const char *pchText, int64 *pnSeconds)
{
    uint64 ul;
    bool bParsed = BParsePlainDecimal(pchText, (uint64)INT64_MAX, &ul);
    *pnSeconds = (int64)ul;
    return bParsed;
}

bool BGetManifestTime(KeyValues *pManifest, const char *pchKey, int64 *pnSeconds)
{
    const char *pchText = pManifest ? FindValue(pManifest, pchKey) : nullptr;
    return pchText && BParseManifestTime(pchText, pnSeconds);
}

bool BCheckManifestBindingValues(KeyValues *pManifest, bool bRequirePackageSHA256, CUtlString *pstrReason)
{
    if (!pManifest)
        return Fail(pstrReason, "no manifest");
    if (!BCheckTimeValue(pManifest, KV_MANIFEST_TIMESTAMP_KEY, pstrReason) ||
        !BCheckTimeValue(pManifest, KV_MANIFEST_EXPIRES_KEY, pstrReason) ||
        !BCheckChannelValue(pManifest, KV_MANIFEST_PLATFORM_KEY, pstrReason) ||
        !BCheckChannelValue(pManifest, KV_MANIFEST_BETA_KEY, pstrReason))
        return false;
    for (KeyValues *pPackage = pManifest->GetFirstTrueSubKey(); pPackage;
         pPackage = pPackage->GetNextTrueSubKey())
    {
        const std::string strPackage = std::string("package ") + Quoted(pPackage->GetName());
        const char *pchSHA256 = FindValue(pPackage, KV_PACKAGE_SHA256_KEY);
        if (!pchSHA256 && bRequirePackageSHA256)
            return Fail(pstrReason, strPackage + " has no \"sha256\", which this launcher requires");
        if (pchSHA256 && !BIsSHA256Hex(pchSHA256, strlen(pchSHA256)))
            return Fail(pstrReason, strPackage + ": sha256 " + Quoted(pchSHA256) + " is not " +
                                        std::to_string(k_cchSHA256Hex) + " hex digits");
    }
    return true;
}

bool BCheckManifestChannel(KeyValues *pManifest, const char *pchPlatform, const char *pchBeta,
                           CUtlString *pstrReason)
{
    const char *pchOwnPlatform = FindValue(pManifest, KV_MANIFEST_PLATFORM_KEY);
    if (pchOwnPlatform && Q_stricmp(pchOwnPlatform, pchPlatform) != 0)
        return Fail(pstrReason, std::string("it is for the platform ") + Quoted(pchOwnPlatform) +
                                    ", and this launcher's is " + Quoted(pchPlatform));
    const char *pchOwnBeta = ChannelBeta(pManifest);
    if (pchOwnBeta && Q_stricmp(pchOwnBeta, pchBeta) != 0)
        return Fail(pstrReason, "it is for " + BetaForReason(pchOwnBeta) + ", and this launcher asked for " +
                                    BetaForReason(pchBeta));
    return true;
}

bool BCheckManifestFreshness(KeyValues *pManifest, const ManifestFreshness_t &freshness,
                             CUtlString *pstrReason)
{
    int64 nExpires;
    // Subtracted from now, which is never near the ends of the range, not added to a signed
    // value that may be.
    if (BGetManifestTime(pManifest, KV_MANIFEST_EXPIRES_KEY, &nExpires) &&
        freshness.m_nNowSeconds - k_nManifestExpiryGraceSeconds > nExpires)
        return Fail(pstrReason, "it expired at " + std::to_string(nExpires) + " and the clock says " +
                                    std::to_string(freshness.m_nNowSeconds) +
                                    " (24 hours of clock difference allowed)");

    KeyValues *pInstalled = freshness.m_pInstalled;
    if (!pInstalled)
        return true;
    // Only a manifest of the same channel is an earlier state of this one.
    const char *pchBeta = ChannelBeta(pManifest);
    const char *pchInstalledBeta = ChannelBeta(pInstalled);
    if (pchBeta && pchInstalledBeta && Q_stricmp(pchBeta, pchInstalledBeta) != 0)
        return true;

    int64 nInstalled, nTimestamp;
    if (BGetManifestTime(pInstalled, KV_MANIFEST_TIMESTAMP_KEY, &nInstalled))
    {
        if (!BGetManifestTime(pManifest, KV_MANIFEST_TIMESTAMP_KEY, &nTimestamp))
            return Fail(pstrReason, "it has no timestamp, and the installed manifest has one (" +
                                        std::to_string(nInstalled) + "): an older manifest replayed");
        if (nTimestamp < nInstalled)
            return Fail(pstrReason, "its timestamp " + std::to_string(nTimestamp) +
                                        " is older than the installed manifest's " +
                                        std::to_string(nInstalled) + ": an older manifest replayed");
    }
    if (freshness.m_bRefuseOlderVersions)
    {
        uint64 ulVersion = pManifest->GetUint64("version", 0);
        uint64 ulInstalled = pInstalled->GetUint64("version", 0);
        if (ulVersion < ulInstalled)
            return Fail(pstrReason, "its version " + std::to_string(ulVersion) + " is below the installed " +
                                        std::to_string(ulInstalled) +
                                        ", and this launcher refuses older versions");
    }
    return true;
}

EPackageSHA256 CheckPackageSHA256(KeyValues *pPackage, const void *pubData, size_t cubData,
                                  std::string *pstrActual)
{
    if (!pPackage || !FindValue(pPackage, KV_PACKAGE_SHA256_KEY))
        return k_EPackageSHA256Absent;
    CSHA256 sha;
    sha.Update(pubData, cubData);
    std::string strActual = sha.FinalHex();
    if (pstrActual)
        *pstrActual = strActual;
    return ComparePackageSHA256(pPackage, strActual);
}

EPackageSHA256 ComparePackageSHA256(KeyValues *pPackage, const std::string &strActual)
{
    const char *pchExpected = pPackage ? FindValue(pPackage, KV_PACKAGE_SHA256_KEY) : nullptr;
    if (!pchExpected)
        return k_EPackageSHA256Absent;
    return Q_stricmp(strActual.c_str(), pchExpected) == 0 ? k_EPackageSHA256Match : k_EPackageSHA256Mismatch;
}

// What a manifest carries beyond its signatures: the checks that launchers can make with the
// build's values (publishmanifest.h names them), for "ferro-publish verify".
#pragma once

#include <string>

class KeyValues;

struct ManifestChecks_t
{
    bool m_bEd25519 = false;       // an Ed25519 signature is present
    int m_cPackages = 0;           // package blocks
    int m_cPackagesWithSHA256 = 0; // of them with a "sha256"
    std::string m_strTimestamp;    // "" when absent
    std::string m_strExpires;      // "" when absent
    std::string m_strPlatform;     // "" when absent
    bool m_bBeta = false;
    std::string m_strBeta;
};

// Reads the checks of a manifest that passed the launcher's check. False, with the reason,
// when one of the values is present in a form that a launcher checking it refuses: a
// "sha256" that is not 64 hex digits, a "timestamp" or "expires" that is not a plain decimal
// below 2^63, a "platform" or "beta" that is not ASCII letters, digits and '_', a "beta"
// without a "platform", or (for a file named like a manifest, "arvo_launcher_...") a
// platform and beta that would name the manifest otherwise.
bool BReadManifestChecks(KeyValues *pManifest, const std::string &strFileName, ManifestChecks_t *pChecks,
                         std::string *pstrReason);

// One line per check ("RSA signature: verified", "SHA-256: 3 of 3 packages", "timestamp:
// 1765119600 (2025-12-07 14:20:00 UTC)", ...); bEd25519Verified says whether the Ed25519
// signature was checked against a key. ulNow marks an "expires" that has passed.
std::string DescribeManifestChecks(const ManifestChecks_t &checks, bool bEd25519Verified,
                                   unsigned long long ulNow);

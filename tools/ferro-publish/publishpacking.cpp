#include "publishpacking.h"

#include "publishkeys.h"

#include "crypto/sha256.h"
#include "foundation/strtools.h"

#include <algorithm>
#include <map>
#include <utility>

namespace
{
// Bits of the path digest that can split a folder.
const size_t k_cMaxSplitBits = 8 * k_cubSHA256Hash;
// Hex digits of the digest in the name of a file's own package.
const size_t k_cchOversizeDigest = 16;

struct Entry_t
{
    const PublishZipItem_t *m_pItem;
    uint64 m_cubBound;
    uint8 m_rgubDigest[k_cubSHA256Hash];
};

bool BDigestBit(const Entry_t &entry, size_t iBit)
{
    return ((entry.m_rgubDigest[iBit / 8] >> (7 - iBit % 8)) & 1) != 0;
}

PublishPackage_t MakePackage(const std::string &strName, const std::vector<Entry_t> &vecEntries)
{
    PublishPackage_t package;
    package.m_strName = strName;
    for (const Entry_t &entry : vecEntries)
        package.m_vecItems.push_back(*entry.m_pItem);
    std::sort(package.m_vecItems.begin(), package.m_vecItems.end(),
              [](const PublishZipItem_t &a, const PublishZipItem_t &b) { return a.m_strName < b.m_strName; });
    return package;
}

// The part of the folder reached by strBits: one package when it fits, else its two halves
// by the next bit of the digests.
bool BSplit(const std::string &strFolder, const std::string &strBits, std::vector<Entry_t> vecEntries,
            uint64 cubMaxPackage, std::map<std::string, PublishPackage_t> *pmapPackages,
            std::string *pstrError)
{
    uint64 cubBound = k_cubPublishZipArchiveOverhead;
    for (const Entry_t &entry : vecEntries)
        cubBound += entry.m_cubBound;
    if (cubBound <= cubMaxPackage)
    {
        std::string strName = strBits.empty() ? strFolder : strFolder + "-" + strBits;
        (*pmapPackages)[strName] = MakePackage(strName, vecEntries);
        return true;
    }
    // Every file fits alone and no two share a digest, so this is never reached.
    if (strBits.size() >= k_cMaxSplitBits)
    {
        *pstrError = "cannot split the folder \"" + strFolder + "\" into packages";
        return false;
    }
    std::vector<Entry_t> vecOne;
    std::vector<Entry_t> vecZero;
    for (const Entry_t &entry : vecEntries)
        (BDigestBit(entry, strBits.size()) ? vecOne : vecZero).push_back(entry);
    vecEntries.clear();
    if (!vecZero.empty() &&
        !BSplit(strFolder, strBits + "0", std::move(vecZero), cubMaxPackage, pmapPackages, pstrError))
        return false;
    return vecOne.empty() ||
           BSplit(strFolder, strBits + "1", std::move(vecOne), cubMaxPackage, pmapPackages, pstrError);
}
} // namespace

bool BPackFolder(const std::string &strFolder, const std::vector<PublishZipItem_t> &vecItems,
                 uint64 cubMaxPackage, std::vector<PublishPackage_t> *pvecPackages, std::string *pstrError)
{
    std::map<std::string, const PublishZipItem_t *> mapLowerPaths;
    std::map<std::string, PublishPackage_t> mapPackages;
    std::vector<Entry_t> vecFitting;
    CSHA256 sha256;
    for (const PublishZipItem_t &item : vecItems)
    {
        std::string strLower = item.m_strName;
        std::transform(strLower.begin(), strLower.end(), strLower.begin(), Q_tolower_ascii);
        auto inserted = mapLowerPaths.emplace(strLower, &item);
        if (!inserted.second)
        {
            *pstrError = "\"" + inserted.first->second->m_strName + "\" and \"" + item.m_strName +
                         "\" differ only in letter case: a launcher would install them as one file";
            return false;
        }
        Entry_t entry;
        entry.m_pItem = &item;
        entry.m_cubBound = PublishZipItemBound(item);
        sha256.Update(strLower.data(), strLower.size());
        sha256.Final(entry.m_rgubDigest);
        if (entry.m_cubBound <= cubMaxPackage - k_cubPublishZipArchiveOverhead)
        {
            vecFitting.push_back(entry);
            continue;
        }
        std::string strHex = HexEncode(entry.m_rgubDigest, sizeof(entry.m_rgubDigest));
        std::string strName = strFolder + "-f" + strHex.substr(0, k_cchOversizeDigest);
        // Two paths whose digests share 64 bits: never seen, but a file must not be lost to it.
        if (mapPackages.count(strName))
        {
            *pstrError = "two files of \"" + strFolder + "\" would both be the package " + strName;
            return false;
        }
        PublishPackage_t package = MakePackage(strName, {entry});
        package.m_bOversize = true;
        mapPackages[strName] = package;
    }
    // An empty folder stays the empty package it always was.
    if (vecItems.empty())
        mapPackages[strFolder] = MakePackage(strFolder, {});
    if (!vecFitting.empty() &&
        !BSplit(strFolder, "", std::move(vecFitting), cubMaxPackage, &mapPackages, pstrError))
        return false;
    for (auto &entry : mapPackages)
        pvecPackages->push_back(std::move(entry.second));
    return true;
}

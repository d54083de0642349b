#include "publishdiff.h"

#include "publishbuild.h"
#include "publishfile.h"
#include "publishmanifest.h"

#include "crypto/manifestverify.h"
#include "foundation/keyvalues.h"
#include "foundation/strtools.h"
#include "foundation/utlstring.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <utility>

namespace fs = std::filesystem;

namespace
{
// The manifest file of a source: the path itself, or the manifest in a content folder.
bool BManifestPath(const PublishDiffSource_t &source, std::string *pstrPath, std::string *pstrError)
{
    std::error_code ec;
    if (!fs::is_directory(source.m_strPath, ec))
    {
        *pstrPath = source.m_strPath;
        return true;
    }
    std::string strName = PublishManifestName(source.m_strBeta, source.m_strPlatform);
    // A content folder, or its client folder.
    for (const fs::path &path :
         {fs::path(source.m_strPath) / "client" / strName, fs::path(source.m_strPath) / strName})
    {
        if (fs::is_regular_file(path, ec))
        {
            *pstrPath = path.string();
            return true;
        }
    }
    *pstrError = "no manifest " + strName + " in " + source.m_strPath + " or its client folder";
    return false;
}

bool BReadPackages(const PublishDiffSource_t &source, std::vector<PublishDiffPackage_t> *pvecPackages,
                   std::string *pstrError)
{
    std::string strPath, strText;
    if (!BManifestPath(source, &strPath, pstrError))
        return false;
    if (!BReadWholeFile(strPath, &strText))
    {
        *pstrError = "cannot read " + strPath;
        return false;
    }
    KeyValues *pManifest = LoadManifestText(strText, strPath.c_str(), pstrError);
    CKeyValuesAutoDelete manifestDelete(pManifest);
    if (!pManifest)
        return false;
    CUtlString strReason;
    if (!BCheckManifestStructure(pManifest, &strReason))
    {
        *pstrError = strPath + " is not a manifest a launcher reads: " + strReason.Get();
        return false;
    }
    for (KeyValues *pPackage = pManifest->GetFirstTrueSubKey(); pPackage;
         pPackage = pPackage->GetNextTrueSubKey())
    {
        PublishDiffPackage_t package;
        package.m_strName = pPackage->GetName();
        package.m_strFile = pPackage->GetString("file", "");
        package.m_cubSize = ManifestPackageSize(pPackage);
        pvecPackages->push_back(package);
    }
    return true;
}
} // namespace

bool BDiffBuilds(const PublishDiffSource_t &oldBuild, const PublishDiffSource_t &newBuild,
                 PublishDiff_t *pDiff, std::string *pstrError)
{
    std::vector<PublishDiffPackage_t> vecOld, vecNew;
    if (!BReadPackages(oldBuild, &vecOld, pstrError) || !BReadPackages(newBuild, &vecNew, pstrError))
        return false;
    // The launcher finds an archive by its file name (compared as the file system does) and size.
    auto key = [](const PublishDiffPackage_t &package)
    {
        std::string strFile = package.m_strFile;
        std::transform(strFile.begin(), strFile.end(), strFile.begin(), Q_tolower_ascii);
        return std::make_pair(strFile, package.m_cubSize);
    };
    std::set<std::pair<std::string, uint64>> setOld, setNew;
    for (const PublishDiffPackage_t &package : vecOld)
        setOld.insert(key(package));
    for (const PublishDiffPackage_t &package : vecNew)
    {
        setNew.insert(key(package));
        ++pDiff->m_cNewPackages;
        pDiff->m_cubNewBuild += package.m_cubSize;
        if (setOld.count(key(package)))
            ++pDiff->m_cKept;
        else
            pDiff->m_vecDownloads.push_back(package);
    }
    for (const PublishDiffPackage_t &package : vecOld)
        pDiff->m_cDropped += setNew.count(key(package)) == 0;
    return true;
}

std::string DescribeDiff(const PublishDiff_t &diff)
{
    std::string strText;
    uint64 cubDownload = 0;
    for (const PublishDiffPackage_t &package : diff.m_vecDownloads)
    {
        strText += "download " + package.m_strName + " " + package.m_strFile + " " +
                   std::to_string(package.m_cubSize) + "\n";
        cubDownload += package.m_cubSize;
    }
    strText += "total: " + std::to_string(diff.m_vecDownloads.size()) + " of " +
               std::to_string(diff.m_cNewPackages) + " packages, " + std::to_string(cubDownload) + " of " +
               std::to_string(diff.m_cubNewBuild) + " bytes to download; " + std::to_string(diff.m_cKept) +
               " kept, " + std::to_string(diff.m_cDropped) + " no longer used\n";
    return strText;
}

#include "publishbuild.h"

#include "publishfile.h"
#include "publishkeys.h"
#include "publishmanifest.h"
#include "publishpacking.h"
#include "publishzip.h"

#include "crypto/sha1.h"
#include "crypto/sha256.h"
#include "foundation/keyvalues.h"
#include "foundation/utlbuffer.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <vector>

namespace fs = std::filesystem;

namespace
{
const char k_szRootPackage[] = "root";

const uint64 k_nSecondsPerDay = 86400;

// The items of one package source: a top-level directory, or the top-level files.
typedef std::map<std::string, std::vector<PublishZipItem_t>> FolderItems_t;

std::string ToLowerASCII(std::string str)
{
    for (char &ch : str)
    {
        if (ch >= 'A' && ch <= 'Z')
            ch = (char)(ch + ('a' - 'A'));
    }
    return str;
}

// A package name ends up in a key of the manifest, in a file name whose text before the
// first dot must be the name, and in a URL path.
bool BIsPackageName(const std::string &strName)
{
    if (strName.empty())
        return false;
    for (char ch : strName)
    {
        if (!((ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '_' || ch == '-'))
            return false;
    }
    return true;
}

bool BIsExecutable(const fs::path &path)
{
    std::error_code ec;
    fs::perms perms = fs::status(path, ec).permissions();
    return !ec && (perms & (fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec)) !=
                      fs::perms::none;
}

bool BAddFile(const fs::path &pathStaging, const fs::path &pathFile, std::vector<PublishZipItem_t> *pvecItems,
              std::string *pstrError)
{
    std::string strName = pathFile.lexically_relative(pathStaging).generic_string();
    // On Windows a backslash separates directories: such a name would land elsewhere.
    if (strName.find('\\') != std::string::npos)
    {
        *pstrError = "file name with a backslash: " + pathFile.string();
        return false;
    }
    PublishZipItem_t item;
    item.m_strName = strName;
    item.m_strSourcePath = pathFile.string();
    item.m_bExecutable = BIsExecutable(pathFile);
    std::error_code ec;
    item.m_cubSize = (uint64)fs::file_size(pathFile, ec);
    if (ec)
    {
        *pstrError = "cannot read the size of " + pathFile.string() + ": " + ec.message();
        return false;
    }
    pvecItems->push_back(item);
    return true;
}

// The files of every top-level directory, and those at the top level as "root".
bool BCollectFolders(const fs::path &pathStaging, FolderItems_t *pmapFolders, std::string *pstrError)
{
    FolderItems_t &mapPackages = *pmapFolders;
    std::error_code ec;
    std::vector<fs::path> vecTop;
    for (fs::directory_iterator it(pathStaging, ec), end; !ec && it != end; it.increment(ec))
        vecTop.push_back(it->path());
    if (ec)
    {
        *pstrError = "cannot list " + pathStaging.string() + ": " + ec.message();
        return false;
    }
    std::sort(vecTop.begin(), vecTop.end());

    std::vector<fs::path> vecDirs;
    for (const fs::path &pathTop : vecTop)
    {
        // The launcher keeps its own state there and refuses archives that would write it.
        std::string strTopName = ToLowerASCII(pathTop.filename().string());
        if (strTopName == "package" || strTopName == "logs")
        {
            *pstrError = "\"" + pathTop.filename().string() +
                         "\" is the launcher's own folder in an install directory; a build cannot ship it";
            return false;
        }
        if (fs::is_directory(pathTop, ec))
        {
            vecDirs.push_back(pathTop);
            continue;
        }
        if (!fs::is_regular_file(pathTop, ec))
        {
            *pstrError = "neither a file nor a directory: " + pathTop.string();
            return false;
        }
        if (!BAddFile(pathStaging, pathTop, &mapPackages[k_szRootPackage], pstrError))
            return false;
    }

    for (const fs::path &pathDir : vecDirs)
    {
        std::string strName = ToLowerASCII(pathDir.filename().string());
        if (!BIsPackageName(strName))
        {
            *pstrError = "directory name \"" + pathDir.filename().string() +
                         "\" cannot name a package (letters, digits, '_' and '-' only)";
            return false;
        }
        if (mapPackages.count(strName))
        {
            *pstrError = "two sources for the package \"" + strName +
                         "\" (directories differing in case, or top-level files and a directory named root)";
            return false;
        }
        std::vector<PublishZipItem_t> &vecItems = mapPackages[strName];
        for (fs::recursive_directory_iterator it(pathDir, ec), end; !ec && it != end; it.increment(ec))
        {
            if (it->is_directory(ec))
                continue;
            if (!it->is_regular_file(ec))
            {
                *pstrError = "neither a file nor a directory: " + it->path().string();
                return false;
            }
            if (!BAddFile(pathStaging, it->path(), &vecItems, pstrError))
                return false;
        }
        if (ec)
        {
            *pstrError = "cannot list " + pathDir.string() + ": " + ec.message();
            return false;
        }
    }

    return true;
}

// Every folder packed within the maximum; the package names are unique, and a file too large
// for any package is named in a warning.
bool BCollectPackages(const fs::path &pathStaging, uint64 cubMaxPackage,
                      std::vector<PublishPackage_t> *pvecPackages, std::string *pstrError)
{
    FolderItems_t mapFolders;
    if (!BCollectFolders(pathStaging, &mapFolders, pstrError))
        return false;
    std::map<std::string, std::string> mapNameToFolder;
    for (const auto &folder : mapFolders)
    {
        std::vector<PublishPackage_t> vecPackages;
        if (!BPackFolder(folder.first, folder.second, cubMaxPackage, &vecPackages, pstrError))
            return false;
        for (PublishPackage_t &package : vecPackages)
        {
            auto inserted = mapNameToFolder.emplace(package.m_strName, folder.first);
            if (!inserted.second)
            {
                *pstrError = "the package name \"" + package.m_strName + "\" is wanted by two folders, \"" +
                             inserted.first->second + "\" and \"" + folder.first + "\"; rename one of them";
                return false;
            }
            if (package.m_bOversize)
                fprintf(
                    stderr,
                    "ferro-publish: warning: %s (%llu bytes) does not fit in a package of the maximum size "
                    "(%llu bytes); it gets the package %s of its own\n",
                    package.m_vecItems[0].m_strName.c_str(),
                    (unsigned long long)package.m_vecItems[0].m_cubSize, (unsigned long long)cubMaxPackage,
                    package.m_strName.c_str());
            pvecPackages->push_back(std::move(package));
        }
    }
    std::sort(pvecPackages->begin(), pvecPackages->end(),
              [](const PublishPackage_t &a, const PublishPackage_t &b) { return a.m_strName < b.m_strName; });
    return true;
}

// The SHA-1 (the archive's name) and SHA-256 (its "sha256") of the file, in one read.
bool BHashFile(const std::string &strPath, std::string *pstrSHA1Hex, std::string *pstrSHA256Hex,
               uint64 *pcubFile)
{
    FILE *pFile = fopen(strPath.c_str(), "rb");
    if (!pFile)
        return false;
    CSHA1 sha1;
    CSHA256 sha256;
    std::vector<char> vecChunk(1 << 16);
    uint64 cubFile = 0;
    size_t cubRead;
    while ((cubRead = fread(vecChunk.data(), 1, vecChunk.size(), pFile)) > 0)
    {
        sha1.Update(vecChunk.data(), (uint32)cubRead);
        sha256.Update(vecChunk.data(), cubRead);
        cubFile += cubRead;
    }
    bool bOk = !ferror(pFile);
    fclose(pFile);
    uint8 rgubDigest[k_cubSHA1Hash];
    sha1.Final(rgubDigest);
    *pstrSHA1Hex = HexEncode(rgubDigest, sizeof(rgubDigest));
    *pstrSHA256Hex = sha256.FinalHex();
    *pcubFile = cubFile;
    return bOk;
}

// Writes the archive under a temporary name and moves it to its content-addressed name.
bool BWritePackage(const fs::path &pathClient, uint64 cubMaxPackage, PublishPackage_t *pPackage,
                   std::string *pstrError)
{
    std::string strTemp = (pathClient / ("." + pPackage->m_strName + ".zip.tmp")).string();
    if (!BWriteDeterministicZip(strTemp, pPackage->m_vecItems, pstrError))
        return false;
    std::string strSHA1;
    std::error_code ec;
    if (!BHashFile(strTemp, &strSHA1, &pPackage->m_strSHA256Hex, &pPackage->m_cubArchive))
    {
        fs::remove(strTemp, ec);
        *pstrError = "cannot read back " + strTemp;
        return false;
    }
    // The packing counts every item at its worst, so this would be a fault of that count.
    if (!pPackage->m_bOversize && pPackage->m_cubArchive > cubMaxPackage)
    {
        fs::remove(strTemp, ec);
        *pstrError = "the package " + pPackage->m_strName + " came out at " +
                     std::to_string(pPackage->m_cubArchive) + " bytes, over the maximum of " +
                     std::to_string(cubMaxPackage);
        return false;
    }
    pPackage->m_strFileName = pPackage->m_strName + ".zip." + strSHA1;
    fs::rename(strTemp, pathClient / pPackage->m_strFileName, ec);
    if (ec)
    {
        fs::remove(strTemp, ec);
        *pstrError = "cannot store " + pPackage->m_strFileName;
        return false;
    }
    return true;
}

void SetDecimal(KeyValues *pKV, const char *pchName, uint64 ulValue)
{
    pKV->CreateKey(pchName)->SetString(nullptr, std::to_string(ulValue).c_str());
}

// The manifest key: the build's values, then one block per package.
std::string ManifestText(const PublishBuildOptions_t &options,
                         const std::vector<PublishPackage_t> &vecPackages)
{
    CKeyValuesAutoDelete manifest("manifest");
    SetDecimal(manifest.Get(), "version", options.m_ulVersion);
    SetDecimal(manifest.Get(), k_szManifestTimestampKey, options.m_ulTimestamp);
    if (options.m_cDaysToExpiry > 0)
        SetDecimal(manifest.Get(), k_szManifestExpiresKey,
                   options.m_ulTimestamp + options.m_cDaysToExpiry * k_nSecondsPerDay);
    manifest->CreateKey(k_szManifestPlatformKey)->SetString(nullptr, options.m_strPlatform.c_str());
    if (!options.m_strBeta.empty())
        manifest->CreateKey(k_szManifestBetaKey)->SetString(nullptr, options.m_strBeta.c_str());
    for (const PublishPackage_t &package : vecPackages)
    {
        KeyValues *pPackage = manifest->CreateKey(package.m_strName.c_str());
        pPackage->CreateKey("file")->SetString(nullptr, package.m_strFileName.c_str());
        SetDecimal(pPackage, "size", package.m_cubArchive);
        pPackage->CreateKey(k_szManifestSHA256Key)->SetString(nullptr, package.m_strSHA256Hex.c_str());
    }
    CUtlBuffer buf(0, 0, CUtlBuffer::TEXT_BUFFER);
    manifest->WriteAsText(buf, false);
    return std::string((const char *)buf.Base(), (size_t)buf.TellMaxPut());
}
} // namespace

std::string PublishManifestName(const std::string &strBeta, const std::string &strPlatform)
{
    return "arvo_launcher_" + (strBeta.empty() ? std::string() : strBeta + "_") + strPlatform;
}

bool BIsPublishNameToken(const std::string &strName)
{
    if (strName.empty())
        return false;
    for (char ch : strName)
    {
        if (!((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_'))
            return false;
    }
    return true;
}

bool BPublishBuild(const PublishBuildOptions_t &options, const CPublishKey &key,
                   const CPublishEd25519Key *pEd25519Key, std::string *pstrError)
{
    std::error_code ec;
    fs::path pathStaging(options.m_strInputDir);
    if (!fs::is_directory(pathStaging, ec))
    {
        *pstrError = options.m_strInputDir + " is not a directory";
        return false;
    }
    std::vector<PublishPackage_t> vecPackages;
    if (!BCollectPackages(pathStaging, options.m_cubMaxPackage, &vecPackages, pstrError))
        return false;

    fs::path pathClient = fs::path(options.m_strOutputDir) / "client";
    fs::create_directories(pathClient, ec);
    if (!fs::is_directory(pathClient, ec))
    {
        *pstrError = "cannot create " + pathClient.string();
        return false;
    }

    for (PublishPackage_t &package : vecPackages)
    {
        if (!BWritePackage(pathClient, options.m_cubMaxPackage, &package, pstrError))
            return false;
        printf("package %s: %s (%llu bytes, %u files)\n", package.m_strName.c_str(),
               package.m_strFileName.c_str(), (unsigned long long)package.m_cubArchive,
               (unsigned)package.m_vecItems.size());
    }

    std::string strName = PublishManifestName(options.m_strBeta, options.m_strPlatform);
    std::string strSigned;
    if (!BSignManifestText(ManifestText(options, vecPackages), strName.c_str(), key, pEd25519Key, &strSigned,
                           pstrError))
        return false;
    std::string strManifestPath = (pathClient / strName).string();
    if (!BWriteFileAtomically(strManifestPath, strSigned, pstrError))
        return false;
    printf("manifest %s: version %llu, %u packages\n", strManifestPath.c_str(),
           (unsigned long long)options.m_ulVersion, (unsigned)vecPackages.size());
    fflush(stdout);
    return true;
}

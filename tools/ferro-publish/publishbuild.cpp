#include "publishbuild.h"

#include "publishfile.h"
#include "publishkeys.h"
#include "publishmanifest.h"
#include "publishzip.h"

#include "crypto/sha1.h"
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

struct Package_t
{
    std::string m_strName;
    std::vector<PublishZipItem_t> m_vecItems;
    std::string m_strFileName; // <name>.zip.<sha1>
    uint64 m_cubArchive = 0;
};

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

bool BAddFile(const fs::path &pathStaging, const fs::path &pathFile, Package_t *pPackage,
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
    pPackage->m_vecItems.push_back(item);
    return true;
}

// One package per top-level directory and "root" for the top-level files, sorted by name,
// each with its items sorted by name.
bool BCollectPackages(const fs::path &pathStaging, std::vector<Package_t> *pvecPackages,
                      std::string *pstrError)
{
    std::map<std::string, Package_t> mapPackages;
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
        Package_t &package = mapPackages[k_szRootPackage];
        package.m_strName = k_szRootPackage;
        if (!BAddFile(pathStaging, pathTop, &package, pstrError))
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
        Package_t &package = mapPackages[strName];
        package.m_strName = strName;
        for (fs::recursive_directory_iterator it(pathDir, ec), end; !ec && it != end; it.increment(ec))
        {
            if (it->is_directory(ec))
                continue;
            if (!it->is_regular_file(ec))
            {
                *pstrError = "neither a file nor a directory: " + it->path().string();
                return false;
            }
            if (!BAddFile(pathStaging, it->path(), &package, pstrError))
                return false;
        }
        if (ec)
        {
            *pstrError = "cannot list " + pathDir.string() + ": " + ec.message();
            return false;
        }
    }

    for (auto &entry : mapPackages)
    {
        std::sort(entry.second.m_vecItems.begin(), entry.second.m_vecItems.end(),
                  [](const PublishZipItem_t &a, const PublishZipItem_t &b)
                  { return a.m_strName < b.m_strName; });
        pvecPackages->push_back(entry.second);
    }
    return true;
}

bool BHashFile(const std::string &strPath, std::string *pstrSHA1Hex, uint64 *pcubFile)
{
    FILE *pFile = fopen(strPath.c_str(), "rb");
    if (!pFile)
        return false;
    CSHA1 sha1;
    std::vector<char> vecChunk(1 << 16);
    uint64 cubFile = 0;
    size_t cubRead;
    while ((cubRead = fread(vecChunk.data(), 1, vecChunk.size(), pFile)) > 0)
    {
        sha1.Update(vecChunk.data(), (uint32)cubRead);
        cubFile += cubRead;
    }
    bool bOk = !ferror(pFile);
    fclose(pFile);
    uint8 rgubDigest[k_cubSHA1Hash];
    sha1.Final(rgubDigest);
    *pstrSHA1Hex = HexEncode(rgubDigest, sizeof(rgubDigest));
    *pcubFile = cubFile;
    return bOk;
}

// Writes the archive under a temporary name and moves it to its content-addressed name.
bool BWritePackage(const fs::path &pathClient, Package_t *pPackage, std::string *pstrError)
{
    std::string strTemp = (pathClient / ("." + pPackage->m_strName + ".zip.tmp")).string();
    if (!BWriteDeterministicZip(strTemp, pPackage->m_vecItems, pstrError))
        return false;
    std::string strSHA1;
    if (!BHashFile(strTemp, &strSHA1, &pPackage->m_cubArchive))
    {
        *pstrError = "cannot read back " + strTemp;
        return false;
    }
    pPackage->m_strFileName = pPackage->m_strName + ".zip." + strSHA1;
    std::error_code ec;
    fs::rename(strTemp, pathClient / pPackage->m_strFileName, ec);
    if (ec)
    {
        fs::remove(strTemp, ec);
        *pstrError = "cannot store " + pPackage->m_strFileName;
        return false;
    }
    return true;
}

std::string ManifestText(uint64 ulVersion, const std::vector<Package_t> &vecPackages)
{
    CKeyValuesAutoDelete manifest("manifest");
    char rgchNumber[32];
    snprintf(rgchNumber, sizeof(rgchNumber), "%llu", (unsigned long long)ulVersion);
    manifest->CreateKey("version")->SetString(nullptr, rgchNumber);
    for (const Package_t &package : vecPackages)
    {
        KeyValues *pPackage = manifest->CreateKey(package.m_strName.c_str());
        pPackage->CreateKey("file")->SetString(nullptr, package.m_strFileName.c_str());
        snprintf(rgchNumber, sizeof(rgchNumber), "%llu", (unsigned long long)package.m_cubArchive);
        pPackage->CreateKey("size")->SetString(nullptr, rgchNumber);
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
    std::vector<Package_t> vecPackages;
    if (!BCollectPackages(pathStaging, &vecPackages, pstrError))
        return false;

    fs::path pathClient = fs::path(options.m_strOutputDir) / "client";
    fs::create_directories(pathClient, ec);
    if (!fs::is_directory(pathClient, ec))
    {
        *pstrError = "cannot create " + pathClient.string();
        return false;
    }

    for (Package_t &package : vecPackages)
    {
        if (!BWritePackage(pathClient, &package, pstrError))
            return false;
        printf("package %s: %s (%llu bytes, %u files)\n", package.m_strName.c_str(),
               package.m_strFileName.c_str(), (unsigned long long)package.m_cubArchive,
               (unsigned)package.m_vecItems.size());
    }

    std::string strName = PublishManifestName(options.m_strBeta, options.m_strPlatform);
    std::string strSigned;
    if (!BSignManifestText(ManifestText(options.m_ulVersion, vecPackages), strName.c_str(), key, pEd25519Key,
                           &strSigned, pstrError))
        return false;
    std::string strManifestPath = (pathClient / strName).string();
    if (!BWriteFileAtomically(strManifestPath, strSigned, pstrError))
        return false;
    printf("manifest %s: version %llu, %u packages\n", strManifestPath.c_str(),
           (unsigned long long)options.m_ulVersion, (unsigned)vecPackages.size());
    fflush(stdout);
    return true;
}

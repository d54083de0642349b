// Shared by the installation tests: real zip archives (minizip's zip API), published into
// the install directory's package folder as content-addressed packages with a pending
// manifest, snapshots of the install directory, and a UI that cancels on a chosen status.
#pragma once

#include "updatertestsupport.h"

#include "crypto/kvsignature.h"
#include "crypto/manifestverify.h"
#include "foundation/utlbuffer.h"
#include "support/devkeytestsupport.h"

#include "crypto/sha1.h"
#include "crypto/sha256.h"
#include "faultyfileops.h"
#include "ferroexe/ferroupdater_fileops.h"
#include "foundation/keyvalues.h"
#include "foundation/strtools.h"

#include <zip.h>

#include <map>
#include <string>
#include <vector>

struct ZipItem_t
{
    std::string m_strName; // as stored; a name ending in "/" is a directory item
    std::string m_strContent;
    uint32 m_unMode = 0644; // Unix mode, stored when m_bUnix
    bool m_bUnix = true;
};

struct TestPackage_t
{
    TestPackage_t(const std::string &strName, const std::vector<ZipItem_t> &vecItems)
        : m_strName(strName), m_vecItems(vecItems)
    {
    }
    std::string m_strName;
    std::vector<ZipItem_t> m_vecItems;
    std::string m_strFile; // "<name>.zip.<sha1>" once published
    uint64 m_cubSize = 0;
};

// What a build installs: lower-case path -> content.
typedef std::map<std::string, std::string> FileMap_t;

inline std::string SHA1Hex(const std::string &strData)
{
    CSHA1 sha;
    sha.Update(strData.data(), (uint32)strData.size());
    uint8 rgubDigest[k_cubSHA1Hash];
    sha.Final(rgubDigest);
    char rgchHex[2 * k_cubSHA1Hash + 1];
    Q_binarytohex(rgubDigest, (int)k_cubSHA1Hash, rgchHex, sizeof(rgchHex));
    return rgchHex;
}

inline std::string SHA256Hex(const std::string &strData)
{
    CSHA256 sha;
    sha.Update(strData.data(), strData.size());
    return sha.FinalHex();
}

// The line the installed file list has for a file unpacked from a package.
inline std::string ListLine(const std::string &strPath, const std::string &strContent,
                            const std::string &strPackage)
{
    return strPath + "," + std::to_string(strContent.size()) + "," + SHA256Hex(strContent) + "," +
           strPackage + "\n";
}

// The bytes of a zip archive with the items, in order (written through a scratch file).
inline std::string BuildZip(const std::string &strScratchPath, const std::vector<ZipItem_t> &vecItems)
{
    zipFile hZip = zipOpen64(strScratchPath.c_str(), APPEND_STATUS_CREATE);
    EXPECT_NE(nullptr, hZip);
    if (!hZip)
        return std::string();
    for (const ZipItem_t &item : vecItems)
    {
        zip_fileinfo info = {};
        info.tmz_date.tm_mday = 1;
        info.tmz_date.tm_year = 1980;
        uLong unMadeBy = 20;
        if (item.m_bUnix)
        {
            bool bDir = !item.m_strName.empty() && item.m_strName.back() == '/';
            info.external_fa = (uLong)((bDir ? 040000u : 0100000u) | item.m_unMode) << 16;
            unMadeBy |= 3u << 8;
        }
        EXPECT_EQ(ZIP_OK,
                  zipOpenNewFileInZip4_64(hZip, item.m_strName.c_str(), &info, nullptr, 0, nullptr, 0,
                                          nullptr, Z_DEFLATED, Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS,
                                          DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0, unMadeBy, 0, 0));
        if (!item.m_strContent.empty())
        {
            EXPECT_EQ(ZIP_OK, zipWriteInFileInZip(hZip, item.m_strContent.data(),
                                                  (unsigned)item.m_strContent.size()));
        }
        EXPECT_EQ(ZIP_OK, zipCloseFileInZip(hZip));
    }
    EXPECT_EQ(ZIP_OK, zipClose(hZip, nullptr));
    return ReadTextFile(strScratchPath);
}

inline std::string LowerPath(std::string str)
{
    for (char &ch : str)
        ch = ch == '\\' ? '/' : Q_tolower_ascii(ch);
    return str;
}

// Every regular file of a directory tree: lower-case relative path -> content. Top-level
// folders named in vecSkip are left out. Two entries that differ only in letter case are
// a fault of their own: both show, under "<case clash>" keys.
inline FileMap_t SnapshotFiles(const std::string &strRoot, const std::vector<std::string> &vecSkip = {})
{
    FileMap_t map;
    namespace fs = std::filesystem;
    for (fs::recursive_directory_iterator it(strRoot), end; it != end; ++it)
    {
        std::string strRelative = fs::relative(it->path(), strRoot).generic_string();
        std::string strTop = strRelative.substr(0, strRelative.find('/'));
        bool bSkip = false;
        for (const std::string &str : vecSkip)
            bSkip = bSkip || strTop == str;
        if (bSkip)
        {
            if (it->is_directory())
                it.disable_recursion_pending();
            continue;
        }
        if (!it->is_regular_file())
            continue;
        std::string strKey = LowerPath(strRelative);
        if (map.count(strKey))
            strKey = "<case clash> " + strRelative;
        map[strKey] = ReadTextFile(it->path().string());
    }
    return map;
}

inline std::string DescribeFiles(const FileMap_t &map)
{
    std::string str;
    for (const auto &entry : map)
        str += "  " + entry.first + " (" + std::to_string(entry.second.size()) + " bytes)\n";
    return str;
}

// Shows every status and can cancel when a chosen status appears.
class CScriptedUpdateUI : public CRecordingUpdateUI
{
public:
    void SetStatusText(const char *pchText) override
    {
        m_vecStatus.push_back(pchText);
        if (!m_strCancelOnStatus.empty() && m_strCancelOnStatus == pchText)
            m_bCancelled = true;
    }
    bool BUserCancelled() override { return m_bCancelled; }

    std::vector<std::string> m_vecStatus;
    std::string m_strCancelOnStatus;
    bool m_bCancelled = false;
};

class InstallTest : public UpdaterTest
{
protected:
    std::string PackageBase(const std::string &strBeta = "") const
    {
        return std::string("arvo_launcher_") + (strBeta.empty() ? "" : strBeta + "_") + FERRO_PLATFORM_TAG;
    }
    std::string PendingManifest(const std::string &strBeta = "") const
    {
        return "package/" + PackageBase(strBeta);
    }
    std::string InstalledList(const std::string &strBeta = "") const
    {
        return "package/" + PackageBase(strBeta) + ".installed";
    }
    std::string InstalledManifest(const std::string &strBeta = "") const
    {
        return "package/" + PackageBase(strBeta) + ".manifest";
    }

    // Writes the archive into a directory as "<name>.zip.<sha1>" and fills in its file name
    // and size.
    void WritePackage(TestPackage_t *pPackage, const std::string &strDir)
    {
        std::string strZip = BuildZip(m_Dir.File("scratch.zip"), pPackage->m_vecItems);
        pPackage->m_strFile = pPackage->m_strName + ".zip." + SHA1Hex(strZip);
        pPackage->m_cubSize = strZip.size();
        std::filesystem::create_directories(strDir);
        ASSERT_TRUE(WriteTextFile(strDir + "/" + pPackage->m_strFile, strZip));
    }

    static std::string ManifestText(uint64 ulVersion, const std::vector<TestPackage_t> &vecPackages)
    {
        std::string str = "\"manifest\"\n{\n\t\"version\"\t\"" + std::to_string(ulVersion) + "\"\n";
        for (const TestPackage_t &package : vecPackages)
        {
            str += "\t\"" + package.m_strName + "\"\n\t{\n\t\t\"file\"\t\"" + package.m_strFile +
                   "\"\n\t\t\"size\"\t\"" + std::to_string(package.m_cubSize) + "\"\n\t}\n";
        }
        return str + "}\n";
    }

    // The manifest text followed by a "kvsignatures" block with its signature by the
    // development key, and with bEd25519 its Ed25519 signature as well.
    static std::string SignedManifestText(const std::string &strManifest, bool bEd25519 = false)
    {
        KeyValues *pKV = new KeyValues("manifest");
        EXPECT_TRUE(pKV->LoadFromString("manifest", strManifest.c_str()));
        CUtlBuffer buf;
        SerializeKeyValuesForSignature(pKV, buf);
        CUtlBuffer bufEd25519;
        SerializeKeyValuesForEd25519(pKV, bufEd25519);
        std::string strName = pKV->GetName();
        pKV->DeleteThis();
        std::vector<uint8> vecSignature = SignWithDevKey((const uint8 *)buf.Base(), (size_t)buf.TellPut());
        char rgchHex[1024];
        Q_binarytohex(vecSignature.data(), (int)vecSignature.size(), rgchHex, sizeof(rgchHex));
        std::string strBlock = "\"kvsignatures\"\n{\n\t\"" + strName + "\"\t\"" + rgchHex + "\"\n";
        if (bEd25519)
        {
            vecSignature =
                SignWithDevEd25519Key((const uint8 *)bufEd25519.Base(), (size_t)bufEd25519.TellPut());
            Q_binarytohex(vecSignature.data(), (int)vecSignature.size(), rgchHex, sizeof(rgchHex));
            strBlock += std::string("\t\"ed25519\"\t\"") + rgchHex + "\"\n";
        }
        return strManifest + strBlock + "}\n";
    }

    // Publishes the packages into a directory (default: the install directory's package
    // folder) with a pending manifest for the beta; returns the files the build installs.
    FileMap_t PublishBuild(uint64 ulVersion, std::vector<TestPackage_t> vecPackages,
                           const std::string &strBeta = "", const std::string &strDir = "")
    {
        std::string strTarget = strDir.empty() ? Install("package") : strDir;
        FileMap_t mapFiles;
        for (TestPackage_t &package : vecPackages)
        {
            WritePackage(&package, strTarget);
            for (const ZipItem_t &item : package.m_vecItems)
            {
                if (item.m_strName.empty() || item.m_strName.back() != '/')
                    mapFiles[LowerPath(item.m_strName)] = item.m_strContent;
            }
        }
        m_vecLastPackages = vecPackages;
        EXPECT_TRUE(WriteTextFile(strTarget + "/" + PackageBase(strBeta),
                                  SignedManifestText(ManifestText(ulVersion, vecPackages))));
        return mapFiles;
    }

    // The install directory's own files (package folder and log left out).
    FileMap_t GameFiles() const { return SnapshotFiles(m_strInstall, {"package", "logs"}); }

    bool BExists(const std::string &strRelative) const
    {
        return std::filesystem::exists(Install(strRelative));
    }

    // An updater over the install directory as it is now, working through m_FileOps (which
    // fails nothing until told to and reports plenty of free space).
    CFerroUpdater &MakeInstallUpdater()
    {
        CFerroUpdater &updater = MakeUpdater();
        // The launcher fixes the package folder at start-up, before any update work; its
        // writable probe is not part of what the tests count.
        updater.EnsurePackageDir();
        m_FileOps = CFaultyFileOps();
        m_FileOps.m_bOverrideFreeSpace = true;
        m_FileOps.m_cubFreeSpace = 1ull << 40;
        updater.SetFileOps(&m_FileOps);
        return updater;
    }

    // The path the updater forms for a package of the install directory's package folder.
    std::string PackagePath(const TestPackage_t &package) const
    {
        std::string str = m_strInstall + "/package/" + package.m_strFile;
        for (char &ch : str)
        {
            if (ch == '/')
                ch = '\\';
        }
        return str;
    }

    std::vector<TestPackage_t> m_vecLastPackages;
    CFaultyFileOps m_FileOps;
};

// POSIX only: the registry as one KeyValues text file per hive in the registry directory.
#include "foundation/platform/registry.h"

#include "foundation/keyvalues.h"
#include "foundation/strtools.h"
#include "foundation/utlbuffer.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
std::string RegistryDir()
{
    if (const char *pchDir = getenv("FERRO_REGISTRY_DIR"); pchDir && *pchDir)
        return pchDir;
    if (const char *pchConfig = getenv("XDG_CONFIG_HOME"); pchConfig && *pchConfig)
        return std::string(pchConfig) + "/quill";
    const char *pchHome = getenv("HOME");
    return std::string(pchHome && *pchHome ? pchHome : ".") + "/.config/quill";
}

const char *HiveName(EPlatRegistryHive eHive)
{
    return eHive == k_EPlatRegistryHiveLocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

std::string HivePath(EPlatRegistryHive eHive)
{
    return RegistryDir() + (eHive == k_EPlatRegistryHiveLocalMachine ? "/HKLM.txt" : "/HKCU.txt");
}

// "Software\\Quill\\Ferro" as a KeyValues path ("Software/Quill/Ferro").
std::string KeyPath(const char *pchKey)
{
    std::string strPath = pchKey ? pchKey : "";
    for (char &ch : strPath)
    {
        if (ch == '\\')
            ch = '/';
    }
    while (!strPath.empty() && strPath.back() == '/')
        strPath.pop_back();
    while (!strPath.empty() && strPath.front() == '/')
        strPath.erase(0, 1);
    return strPath;
}

// The hive's tree; a missing or unreadable file gives an empty hive, a damaged one what
// could be read of it.
KeyValues *LoadHive(EPlatRegistryHive eHive)
{
    KeyValues *pHive = new KeyValues(HiveName(eHive));
    // Values such as command lines hold quotes and backslashes: keep them escaped.
    pHive->UsesEscapeSequences(true);
    CUtlBuffer buf(0, 0, CUtlBuffer::TEXT_BUFFER);
    if (LoadFileIntoBuffer(HivePath(eHive).c_str(), buf, true) && buf.TellMaxPut() > 0)
    {
        CKeyValuesParser parser(HivePath(eHive).c_str(), false);
        pHive->LoadFromBuffer(HivePath(eHive).c_str(), buf, &parser);
        pHive->SetName(HiveName(eHive));
    }
    return pHive;
}

// A key is a section; a leaf of that name is a value, not a key.
KeyValues *FindKey(KeyValues *pHive, const char *pchKey, bool bCreate)
{
    std::string strPath = KeyPath(pchKey);
    if (strPath.empty())
        return pHive;
    KeyValues *pKey = pHive->FindKey(strPath.c_str(), bCreate);
    if (pKey && pKey->GetDataType() != KeyValues::TYPE_NONE)
        return nullptr;
    return pKey;
}

KeyValues *FindValue(KeyValues *pKey, const char *pchValue)
{
    if (!pKey || !pchValue)
        return nullptr;
    for (KeyValues *pChild = pKey->GetFirstSubKey(); pChild; pChild = pChild->GetNextKey())
    {
        if (pChild->GetDataType() != KeyValues::TYPE_NONE && !Q_stricmp(pChild->GetName(), pchValue))
            return pChild;
    }
    return nullptr;
}

// Read-modify-write under an exclusive lock on a companion file; the hive file is replaced
// by a rename, so readers (which take no lock) always see a whole file.
template <class Fn>
bool BModifyHive(EPlatRegistryHive eHive, Fn fnModify)
{
    std::string strDir = RegistryDir();
    for (size_t i = 1; i <= strDir.size(); ++i)
    {
        if (i == strDir.size() || strDir[i] == '/')
            mkdir(strDir.substr(0, i).c_str(), 0700);
    }
    std::string strFile = HivePath(eHive);
    int fdLock = open((strFile + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fdLock < 0)
        return false;
    while (flock(fdLock, LOCK_EX) != 0 && errno == EINTR)
    {
    }

    bool bOk = false;
    KeyValues *pHive = LoadHive(eHive);
    if (fnModify(pHive))
    {
        CUtlBuffer buf(0, 0, CUtlBuffer::TEXT_BUFFER);
        pHive->RecursiveSaveToFile(buf, 0);
        std::string strTemp = strFile + ".tmp." + std::to_string(getpid());
        if (FILE *pFile = fopen(strTemp.c_str(), "wbe"))
        {
            bool bWritten =
                fwrite(buf.Base(), 1, (size_t)buf.TellMaxPut(), pFile) == (size_t)buf.TellMaxPut();
            bWritten = fflush(pFile) == 0 && bWritten;
            bWritten = fsync(fileno(pFile)) == 0 && bWritten;
            bWritten = fclose(pFile) == 0 && bWritten;
            bOk = bWritten && rename(strTemp.c_str(), strFile.c_str()) == 0;
            if (!bOk)
                unlink(strTemp.c_str());
        }
    }
    pHive->DeleteThis();
    flock(fdLock, LOCK_UN);
    close(fdLock);
    return bOk;
}

bool BWriteValue(EPlatRegistryHive eHive, const char *pchKey, const char *pchValue, const char *pchText)
{
    if (!pchValue || !*pchValue)
        return false;
    return BModifyHive(eHive,
                       [&](KeyValues *pHive)
                       {
                           KeyValues *pKey = FindKey(pHive, pchKey, false);
                           if (!pKey)
                               return false;
                           KeyValues *pLeaf = FindValue(pKey, pchValue);
                           if (!pLeaf)
                               pLeaf = pKey->CreateKey(pchValue);
                           pLeaf->SetString(nullptr, pchText);
                           return true;
                       });
}
} // namespace

bool PLAT_RegistryKeyExists(EPlatRegistryHive eHive, const char *pchKey)
{
    KeyValues *pHive = LoadHive(eHive);
    bool bExists = FindKey(pHive, pchKey, false) != nullptr;
    pHive->DeleteThis();
    return bExists;
}

bool PLAT_RegistryCreateKey(EPlatRegistryHive eHive, const char *pchKey)
{
    if (KeyPath(pchKey).empty())
        return false;
    return BModifyHive(eHive, [&](KeyValues *pHive) { return FindKey(pHive, pchKey, true) != nullptr; });
}

bool PLAT_RegistryReadDWORD(EPlatRegistryHive eHive, const char *pchKey, const char *pchValue,
                            uint32 *punValue)
{
    if (!punValue)
        return false;
    KeyValues *pHive = LoadHive(eHive);
    bool bOk = false;
    if (KeyValues *pLeaf = FindValue(FindKey(pHive, pchKey, false), pchValue))
    {
        const char *pchText = pLeaf->GetString();
        char *pchEnd = nullptr;
        errno = 0;
        unsigned long long ullValue = strtoull(pchText, &pchEnd, 10);
        if (*pchText >= '0' && *pchText <= '9' && *pchEnd == '\0' && errno == 0 && ullValue <= 0xFFFFFFFFull)
        {
            *punValue = (uint32)ullValue;
            bOk = true;
        }
    }
    pHive->DeleteThis();
    return bOk;
}

bool PLAT_RegistryReadString(EPlatRegistryHive eHive, const char *pchKey, const char *pchValue, char *pchBuf,
                             size_t cubBuf)
{
    if (!pchBuf || !cubBuf)
        return false;
    KeyValues *pHive = LoadHive(eHive);
    KeyValues *pLeaf = FindValue(FindKey(pHive, pchKey, false), pchValue);
    if (pLeaf)
        Q_strncpy(pchBuf, pLeaf->GetString(), (int)(cubBuf > 0x7FFFFFFF ? 0x7FFFFFFF : cubBuf));
    pHive->DeleteThis();
    return pLeaf != nullptr;
}

bool PLAT_RegistryWriteDWORD(EPlatRegistryHive eHive, const char *pchKey, const char *pchValue,
                             uint32 unValue)
{
    return BWriteValue(eHive, pchKey, pchValue, std::to_string(unValue).c_str());
}

bool PLAT_RegistryWriteString(EPlatRegistryHive eHive, const char *pchKey, const char *pchValue,
                              const char *pchString)
{
    return BWriteValue(eHive, pchKey, pchValue, pchString ? pchString : "");
}

bool PLAT_RegistryDeleteValue(EPlatRegistryHive eHive, const char *pchKey, const char *pchValue)
{
    return BModifyHive(eHive,
                       [&](KeyValues *pHive)
                       {
                           KeyValues *pKey = FindKey(pHive, pchKey, false);
                           KeyValues *pLeaf = FindValue(pKey, pchValue);
                           if (!pLeaf)
                               return false;
                           pKey->RemoveSubKey(pLeaf);
                           pLeaf->DeleteThis();
                           return true;
                       });
}

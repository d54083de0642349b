// Manifests on disk and the installed file list: loading and saving manifests, the
// installed version, and the check of the install directory against the list.
#include "ferroexe/ferroupdater.h"

#include "crypto/kvsignature.h"
#include "crypto/manifestverify.h"
#include "ferroexe/bootstrapperversion.h"
#include "ferroexe/crashhandler.h"
#include "ferroexe/ferroupdater_fileops.h"
#include "ferroexe/installedfilelist.h"
#include "ferroexe/manifestkey.h"
#include "foundation/keyvalues.h"
#include "foundation/platform/file.h"
#include "foundation/strtools.h"
#include "foundation/utlbuffer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

KeyValues *CFerroUpdater::LoadManifestFromBuffer(const char *pchText)
{
    // Bounded before it is parsed: parsing is the one step that runs on text nobody signed.
    CUtlString strReason;
    if (pchText && !BManifestTextWithinLimits(pchText, &strReason))
    {
        Log("Manifest refused unparsed: %s\n", strReason.Get());
        Log("failed to load manifest from buffer.\n");
        return nullptr;
    }
    KeyValues *pManifest = new KeyValues("manifest");
    if (!pchText || !pManifest->LoadFromString("manifest", pchText))
    {
        Log("failed to load manifest from buffer.\n");
        pManifest->DeleteThis();
        return nullptr;
    }
    return pManifest;
}

bool CFerroUpdater::BVerifyManifestTree(KeyValues *pManifest, const char *pchWhat)
{
    CUtlString strReason;
    if (BVerifyManifest(pManifest, GetBuiltInManifestTrust(), &strReason))
        return true;
    Log("Manifest %s refused: %s\n", pchWhat, strReason.Get());
    return false;
}

bool CFerroUpdater::BSaveManifestFile(KeyValues *pManifest, const char *pchPath)
{
    if (!pManifest || !pchPath)
        return false;
    CUtlBuffer buf(0, 0, CUtlBuffer::TEXT_BUFFER);
    if (!pManifest->WriteAsText(buf, false))
        return false;
    // The signatures go with it, so that whoever reads the file back can check it again; a
    // reader that knows nothing of them takes the first key alone.
    KeyValues *pLast = pManifest;
    while (pLast->GetNextKey())
        pLast = pLast->GetNextKey();
    if (pLast != pManifest && Q_stricmp(pLast->GetName(), KV_SIGNATURES_KEY) == 0 &&
        !pLast->WriteAsText(buf, false))
        return false;
    // Half a manifest would be trusted when it is read back: a failed write deletes it.
    return BWriteWholeFile(*m_pFileOps, pchPath, buf.Base(), (size_t)buf.TellMaxPut(), true);
}

void CFerroUpdater::ReadInstalledVersion()
{
    char rgchPath[MAX_PATH_BYTES];
    BuildInstalledFilePath(rgchPath, sizeof(rgchPath), ".manifest");
    uint64 ulVersion = 0;
    CUtlBuffer buf(0, 0, CUtlBuffer::TEXT_BUFFER);
    if (LoadFileIntoBuffer(rgchPath, buf, true) && buf.TellMaxPut() > 0)
    {
        if (KeyValues *pManifest = LoadManifestFromBuffer((const char *)buf.Base()))
        {
            ulVersion = pManifest->GetUint64("version", 0);
            SetCrashHandlerBuildNumber((uint32)ulVersion);
            pManifest->DeleteThis();
        }
    }
    SetBootstrapperVersion(ulVersion);
}

bool CFerroUpdater::BVerifyInstalledFiles(bool bFailIfMissing)
{
    char rgchListPath[MAX_PATH_BYTES];
    BuildInstalledFilePath(rgchListPath, sizeof(rgchListPath), ".installed");
    CInstalledFileListReader list(rgchListPath);
    if (!list.BIsOpen())
        return !bFailIfMissing;
    // A missing file is looked up without regard to case: one listing of its directory for all.
    CPlatDirectoryListingScope listings;

    InstalledFile_t file;
    std::string strLine;
    for (;;)
    {
        CInstalledFileListReader::ELine eLine = list.Next(&file, &strLine);
        if (eLine == CInstalledFileListReader::k_ELineEnd)
            return true;
        if (eLine == CInstalledFileListReader::k_ELineMalformed)
        {
            Log("malformed manifest line: '%s'\n", strLine.c_str());
            return false;
        }
        const char *pchPath = file.m_strPath.c_str();
        if (BIsExemptLauncher(pchPath))
            continue;
        // One look per file: every start pays for it.
        PlatFileInfo_t info;
        m_pFileOps->BGetFileInfo(pchPath, &info);
        if (info.m_bIsDirectory && file.BIsDirectoryItem())
            continue;
        if (info.m_bIsDirectory)
        {
            // Something put a directory where the build has a file: the file is gone.
            Log("BVerifyInstalledFiles: %s should be a file of %s bytes, not a directory\n", pchPath,
                WithoutLineEnd(file.m_strSizeField).c_str());
            return false;
        }
        size_t cchPath = file.m_strPath.size();
        bool bLineOk = !(file.m_llSize == -1 && (cchPath == 0 || pchPath[cchPath - 1] != '\\'));
        if (bLineOk)
            bLineOk = info.m_llSize == file.m_llSize;
        if (!bLineOk)
        {
            Log("BVerifyInstalledFiles: %s should be %s\n", pchPath, file.m_strSizeField.c_str());
            return false;
        }
    }
}

bool CFerroUpdater::BIsExemptLauncher(const char *pchPath) const
{
    const char *pchName = strncmp(pchPath, "./", 2) == 0 ? pchPath + 2 : pchPath;
    return m_bInhibitChecksum && strcmp(pchName, k_szLauncherFileName) == 0;
}

int CFerroUpdater::ReadInstalledFileList(const char *pchPath, CUtlVector<CUtlString> &vecFiles)
{
    std::vector<InstalledFile_t> vecEntries;
    ReadInstalledFileEntries(pchPath, &vecEntries);
    for (const InstalledFile_t &entry : vecEntries)
        vecFiles.AddToTail(CUtlString(entry.m_strPath));
    return (int)vecEntries.size();
}

int CFerroUpdater::ReadInstalledFileEntries(const char *pchPath, std::vector<InstalledFile_t> *pvecEntries,
                                            int *pcMalformed)
{
    CInstalledFileListReader list(pchPath);
    int cAdded = 0;
    InstalledFile_t file;
    std::string strLine;
    CInstalledFileListReader::ELine eLine;
    while ((eLine = list.Next(&file, &strLine)) != CInstalledFileListReader::k_ELineEnd)
    {
        if (eLine != CInstalledFileListReader::k_ELineEntry)
        {
            if (pcMalformed)
                ++*pcMalformed;
            continue;
        }
        // Next fills every field anew.
        pvecEntries->push_back(std::move(file));
        ++cAdded;
    }
    return cAdded;
}

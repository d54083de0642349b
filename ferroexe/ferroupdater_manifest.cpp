// Manifests on disk and the installed file list: loading and saving manifests, the
// installed version, and the check of the install directory against the list.
#include "ferroexe/ferroupdater.h"

#include "common/kvsignature.h"
#include "common/manifestverify.h"
#include "ferroexe/bootstrapperversion.h"
#include "ferroexe/crashhandler.h"
#include "ferroexe/ferroupdater_fileops.h"
#include "foundation/keyvalues.h"
#include "foundation/platform/file.h"
#include "foundation/strtools.h"
#include "foundation/utlbuffer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{
// Lines of the installed file list are read in pieces of at most 259 characters (a path
// of the Windows limit).
const int k_cchInstalledListLine = MAX_PATH_BYTES - 1;
// The launcher's own executable: exempt from verification while its checksum is inhibited.
const char k_szLauncherFileName[] = "ferro.exe";
} // namespace

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
    FILE *pFile = PLAT_fopen(rgchListPath, "r");
    if (!pFile)
        return !bFailIfMissing;

    bool bIntact = true;
    char rgchLine[k_cchInstalledListLine + 1];
    while (bIntact && fgets(rgchLine, sizeof(rgchLine), pFile))
    {
        char *pchComma = strchr(rgchLine, ',');
        if (!pchComma)
        {
            Log("malformed manifest line: '%s'\n", rgchLine);
            bIntact = false;
            break;
        }
        *pchComma = '\0';
        const char *pchPath = rgchLine;
        char *pchSize = pchComma + 1;
        // A third field (written by other tools) ends the size; its line end goes with it.
        if (char *pchSecondComma = strchr(pchSize, ','))
        {
            *pchSecondComma = '\0';
            char *pchThird = pchSecondComma + 1;
            size_t cchThird = strlen(pchThird);
            if (cchThird > 0)
                pchThird[cchThird - 1] = '\0';
        }

        const char *pchName = strncmp(pchPath, "./", 2) == 0 ? pchPath + 2 : pchPath;
        if (m_bInhibitChecksum && strcmp(pchName, k_szLauncherFileName) == 0)
            continue;
        if (PLAT_IsDirectory(pchPath))
            continue;

        int64 llExpected = (int64)strtoll(pchSize, nullptr, 10);
        size_t cchPath = strlen(pchPath);
        bool bLineOk = !(llExpected == -1 && (cchPath == 0 || pchPath[cchPath - 1] != '\\'));
        if (bLineOk)
            bLineOk = PLAT_GetFileSize(pchPath) == llExpected;
        if (!bLineOk)
        {
            Log("BVerifyInstalledFiles: %s should be %s\n", pchPath, pchSize);
            bIntact = false;
        }
    }
    fclose(pFile);
    return bIntact;
}

int CFerroUpdater::ReadInstalledFileList(const char *pchPath, CUtlVector<CUtlString> &vecFiles)
{
    FILE *pFile = PLAT_fopen(pchPath, "r");
    if (!pFile)
        return 0;
    int cAdded = 0;
    char rgchLine[k_cchInstalledListLine + 1];
    while (fgets(rgchLine, sizeof(rgchLine), pFile))
    {
        if (const char *pchComma = strchr(rgchLine, ','))
        {
            vecFiles.AddToTail(CUtlString(rgchLine, (size_t)(pchComma - rgchLine)));
            ++cAdded;
        }
    }
    fclose(pFile);
    return cAdded;
}

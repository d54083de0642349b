// The updater's configuration: ferro.cfg, universes and download locations, offline mode,
// the client beta, the package directory and the checks an install directory must pass.
#include "ferroexe/ferroupdater.h"

#include "ferroexe/ferroupdater_fileops.h"
#include "foundation/dbg.h"
#include "foundation/platform/process.h"
#include "foundation/platform/registry.h"
#include "foundation/strtools.h"
#include "foundation/uniformrandom.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

// Build settings (ferroexe/CMakeLists.txt): the production and test endpoints of the
// content service, and the directory server addresses of the older configuration form.
#if !defined(FERRO_CONTENT_HOST_PUBLIC) || !defined(FERRO_CONTENT_HOST_TEST) ||                              \
    !defined(FERRO_DIRECTORY_SERVER_BETA) || !defined(FERRO_DIRECTORY_SERVER_INTERNAL) ||                    \
    !defined(FERRO_DIRECTORY_SERVER_PREFIX)
#error "The content hosts and directory servers come from the build settings of ferroexe/CMakeLists.txt"
#endif

namespace
{
// ferro.cfg lines are read in pieces of at most this many characters.
const int k_cchConfigLine = 1023;
// A beta file this long or longer is not a beta name.
const int64 k_cubBetaFileLimit = 4096;
const char k_szOfflineRegistryKey[] = "Software\\Quill\\Ferro";

// ---- the download location table ----

const int k_cDownloadLocations = 5;

void FillBuiltInLocations(DownloadLocation_t *pRows)
{
    pRows[0].m_eUniverse = k_EUniversePublic;
    pRows[0].m_strManifestHost = FERRO_CONTENT_HOST_PUBLIC;
    pRows[0].m_strPackageHost = FERRO_CONTENT_HOST_PUBLIC;
    pRows[0].m_strURLPath = "/client/";
    pRows[1].m_eUniverse = k_EUniverseBeta;
    pRows[1].m_strManifestHost = FERRO_CONTENT_HOST_TEST;
    pRows[1].m_strPackageHost = FERRO_CONTENT_HOST_TEST;
    pRows[1].m_strURLPath = "/client/";
    const EUniverse rgeRest[] = {k_EUniverseInternal, k_EUniverseDev, k_EUniverseInvalid};
    for (int i = 2; i < k_cDownloadLocations; ++i)
    {
        pRows[i] = DownloadLocation_t();
        pRows[i].m_eUniverse = rgeRest[i - 2];
    }
}

// The rows are changed by a configuration read (main thread) and read by the updater
// thread: copies are handed out under the lock.
struct DownloadLocationTable_t
{
    DownloadLocationTable_t() { FillBuiltInLocations(m_rgRows); }
    std::mutex m_Mutex;
    DownloadLocation_t m_rgRows[k_cDownloadLocations];
};

DownloadLocationTable_t &LocationTable()
{
    static DownloadLocationTable_t s_Table;
    return s_Table;
}

bool BIsBetaNameChar(char ch)
{
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_';
}

// Creates (as text) and closes the file; true when it could be created.
bool BCreateEmptyFile(IInstallFileOps &ops, const char *pchPath)
{
    std::unique_ptr<IInstallFileWriter> pFile = ops.OpenForWrite(pchPath, true);
    return pFile && pFile->BClose();
}

// The next piece of the configuration text from *piPos, as a line reader with a buffer of
// k_cchConfigLine characters takes it: up to and with the line feed, or that many
// characters of a longer line. Text mode: a carriage return before the line feed is
// dropped. False at the end.
bool BNextConfigPiece(const InstallFileData_t &file, size_t *piPos, char *pchPiece)
{
    const char *pchText = (const char *)file.m_pubData.get();
    size_t iPos = *piPos;
    if (iPos >= file.m_cubData)
        return false;
    int cch = 0;
    while (iPos < file.m_cubData && cch < k_cchConfigLine)
    {
        char ch = pchText[iPos++];
        if (ch == '\r' && iPos < file.m_cubData && pchText[iPos] == '\n')
            continue;
        pchPiece[cch++] = ch;
        if (ch == '\n')
            break;
    }
    pchPiece[cch] = 0;
    *piPos = iPos;
    return true;
}
} // namespace

DownloadLocation_t GetDownloadLocation(EUniverse eUniverse)
{
    DownloadLocationTable_t &table = LocationTable();
    std::lock_guard<std::mutex> lock(table.m_Mutex);
    for (const DownloadLocation_t &row : table.m_rgRows)
    {
        if (row.m_eUniverse == eUniverse)
            return row;
    }
    DownloadLocation_t none;
    none.m_eUniverse = eUniverse;
    return none;
}

bool SetDownloadLocationHosts(EUniverse eUniverse, const char *pchHost)
{
    DownloadLocationTable_t &table = LocationTable();
    std::lock_guard<std::mutex> lock(table.m_Mutex);
    for (DownloadLocation_t &row : table.m_rgRows)
    {
        if (row.m_eUniverse == eUniverse)
        {
            row.m_strManifestHost = pchHost;
            row.m_strPackageHost = pchHost;
            return true;
        }
    }
    return false;
}

void ResetDownloadLocations()
{
    DownloadLocationTable_t &table = LocationTable();
    std::lock_guard<std::mutex> lock(table.m_Mutex);
    FillBuiltInLocations(table.m_rgRows);
}

EUniverse ParseUniverseLine(const char *pchLine)
{
    if (!pchLine)
        return k_EUniverseInvalid;
    if (Q_stristr(pchLine, "Universe"))
    {
        if (Q_stristr(pchLine, "public"))
            return k_EUniversePublic;
        if (Q_stristr(pchLine, "beta"))
            return k_EUniverseBeta;
        if (Q_stristr(pchLine, "internal"))
            return k_EUniverseInternal;
        if (Q_stristr(pchLine, "dev"))
            return k_EUniverseDev;
        return k_EUniverseInvalid;
    }
    if (Q_stristr(pchLine, "GeneralDirectoryServer_FindServerIPAddrPorts"))
    {
        // The older form names the universe by its directory server; any other server of
        // the private network is not a universe we know, and a server elsewhere is public.
        if (Q_stristr(pchLine, FERRO_DIRECTORY_SERVER_BETA))
            return k_EUniverseBeta;
        if (Q_stristr(pchLine, FERRO_DIRECTORY_SERVER_INTERNAL))
            return k_EUniverseInternal;
        if (Q_stristr(pchLine, FERRO_DIRECTORY_SERVER_PREFIX))
            return k_EUniverseInvalid;
        return k_EUniversePublic;
    }
    return k_EUniverseInvalid;
}

CUtlString FilterClientBetaName(const char *pchName)
{
    CUtlString strFiltered;
    for (const char *pch = pchName; pch && *pch; ++pch)
    {
        if (BIsBetaNameChar(*pch))
            strFiltered += *pch;
    }
    return strFiltered;
}

void InvertCaseFrom(std::string *pstrName, size_t iStart)
{
    for (size_t i = iStart; i < pstrName->size(); ++i)
    {
        char ch = (*pstrName)[i];
        (*pstrName)[i] = (ch >= 'A' && ch <= 'Z') ? Q_tolower_ascii(ch) : Q_toupper_ascii(ch);
    }
}

// ---- ferro.cfg ----

void CFerroUpdater::ReadConfigFile()
{
    InstallFileData_t file;
    if (!m_pFileOps->BReadWholeFile("ferro.cfg", &file) && !m_pFileOps->BReadWholeFile("Ferro.cfg", &file))
        return;

    // Plain substring rules, every one that matches applies: "BootStrapperInhibitAll = not
    // enabled" counts as enabled, as it always has.
    CUtlString strHostOverride;
    char rgchLine[k_cchConfigLine + 1];
    size_t iPos = 0;
    while (BNextConfigPiece(file, &iPos, rgchLine))
    {
        Q_StripSurroundingWhiteSpace(rgchLine);
        if (rgchLine[0] == '#')
            continue;
        const bool bEnable = Q_stristr(rgchLine, "enable") != nullptr;
        if (Q_stristr(rgchLine, "BootStrapperInhibitAll") && bEnable)
        {
            m_bInhibitChecksum = true;
            m_bInhibitAll = true;
        }
        if (Q_stristr(rgchLine, "BootStrapperInhibitClientChecksum") && bEnable)
            m_bInhibitChecksum = true;
        if (Q_stristr(rgchLine, "BootStrapperInhibitBootstrapperChecksum") && bEnable)
            m_bInhibitChecksum = true;
        if (Q_stristr(rgchLine, "BootStrapperInhibitUpdateOnLaunch") && bEnable)
            m_bUpdateOnLaunch = false;
        if (Q_stristr(rgchLine, "Universe") ||
            Q_stristr(rgchLine, "GeneralDirectoryServer_FindServerIPAddrPorts"))
        {
            EUniverse eUniverse = ParseUniverseLine(rgchLine);
            if (eUniverse != k_EUniverseInvalid)
                m_eUniverse = eUniverse;
        }
        if (Q_stristr(rgchLine, "ClientDownloadHost"))
        {
            if (char *pchEquals = strchr(rgchLine, '='))
            {
                Q_StripSurroundingWhiteSpace(pchEquals + 1);
                strHostOverride = pchEquals + 1;
            }
        }
    }

    // The row is the one of the universe the whole file chose, wherever the host line stood.
    if (!strHostOverride.IsEmpty())
        SetDownloadLocationHosts(m_eUniverse, strHostOverride.Get());
}

// ---- the client beta ----

CUtlString CFerroUpdater::BetaFilePath()
{
    // Relative to the working directory, like every path that begins with "package".
    char rgchPath[MAX_PATH_BYTES];
    Q_snprintf(rgchPath, sizeof(rgchPath), "%s/beta", k_szPackageFolder);
    Q_FixSlashes(rgchPath, CORRECT_PATH_SEPARATOR);
    return rgchPath;
}

void CFerroUpdater::ReadBetaFile()
{
    int64 cubFile = m_pFileOps->GetFileSize(BetaFilePath().Get());
    if (cubFile < 0 || cubFile >= k_cubBetaFileLimit)
        return;
    InstallFileData_t file;
    if (!m_pFileOps->BReadWholeFile(BetaFilePath().Get(), &file))
        return;
    std::string strContent((const char *)file.m_pubData.get(), file.m_cubData);

    CUtlString strBeta = FilterClientBetaName(strContent.c_str());
    if (strBeta.IsEmpty())
        return;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_strClientBeta = strBeta;
    }
    Log("Opted in to client beta '%s' via beta file", strBeta.Get());
}

CUtlString CFerroUpdater::GetClientBeta() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_strClientBeta;
}

void CFerroUpdater::SetClientBeta(const char *pchBeta)
{
    // The name goes into file names and URL paths: only what the beta file may hold passes.
    CUtlString strBeta = FilterClientBetaName(pchBeta);
    if (!strBeta.IsEmpty())
    {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_strClientBeta = strBeta;
        }
        // A fresh installation may not have its package folder yet; the choice must survive.
        m_pFileOps->BCreateDirectory(k_szPackageFolder);
        bool bSaved = false;
        if (std::unique_ptr<IInstallFileWriter> pFile = m_pFileOps->OpenForWrite(BetaFilePath().Get(), true))
        {
            bSaved = pFile->BWrite(strBeta.Get(), (size_t)strBeta.Length());
            bSaved = pFile->BClose() && bSaved;
        }
        if (!bSaved)
            Log("Failed to save client beta '%s' to %s", strBeta.Get(), BetaFilePath().Get());
    }
    else
    {
        BDeleteFileWithRetry(*m_pFileOps, BetaFilePath().Get());
        if (!GetClientBeta().IsEmpty())
        {
            char rgchPath[MAX_PATH_BYTES];
            BuildInstalledFilePath(rgchPath, sizeof(rgchPath), ".installed");
            BDeleteFileWithRetry(*m_pFileOps, rgchPath);
            BuildInstalledFilePath(rgchPath, sizeof(rgchPath), ".manifest");
            BDeleteFileWithRetry(*m_pFileOps, rgchPath);
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_strClientBeta.Clear();
        }
    }
    WakeUp();
}

// ---- initialisation ----

bool CFerroUpdater::BInitialize(CHTTPClient *pHTTPClient, bool bForceUpdate,
                                const char *pchClientBetaOverride)
{
    return BInitializeWithCommandLine(pHTTPClient, bForceUpdate, pchClientBetaOverride,
                                      PLAT_GetRawCommandLine());
}

bool CFerroUpdater::BInitializeWithCommandLine(CHTTPClient *pHTTPClient, bool bForceUpdate,
                                               const char *pchClientBetaOverride, const char *pchCommandLine)
{
    if (!pHTTPClient || m_pHTTPClient)
        return false;
    m_pHTTPClient = pHTTPClient;
    if (!pchCommandLine)
        pchCommandLine = "";

    // In the public universe the start-up check runs only when asked for or forced (after
    // an unclean shutdown); elsewhere unless ferro.cfg inhibits it.
    if (m_eUniverse == k_EUniversePublic && !Q_stristr(pchCommandLine, "-download") && !bForceUpdate)
        m_bUpdateOnLaunch = false;

    ApplyDownloadRateLimit(pchCommandLine);
    uint32 unOffline = 0;
    if (PLAT_RegistryReadDWORD(k_EPlatRegistryHiveCurrentUser, k_szOfflineRegistryKey, "Offline",
                               &unOffline) &&
        unOffline != 0)
    {
        Log("Going into offline mode because of %s", "registry key");
        m_bOffline = true;
    }
    else if (Q_stristr(pchCommandLine, "-offline"))
    {
        Log("Going into offline mode because of %s", "'-offline' command-line option");
        m_bOffline = true;
    }

    // Filtered as the beta file is: a name that keeps nothing selects nothing.
    CUtlString strOverride = FilterClientBetaName(pchClientBetaOverride);
    if (!strOverride.IsEmpty())
    {
        CUtlString strCurrent = GetClientBeta();
        Log("Changing client beta flag from '%s' (beta file) to '%s' (command-line override)",
            strCurrent.Get(), strOverride.Get());
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_strClientBeta = strOverride;
    }
    else if (pchClientBetaOverride && *pchClientBetaOverride)
    {
        Log("Ignoring client beta '%s' (command-line override): no letter, digit or '_' in it",
            pchClientBetaOverride);
    }
    return true;
}

// ---- package directory names ----

void CFerroUpdater::BuildPackageBasePath(char *pchOut, int cubOut, const char *pchDir, bool bWithBeta) const
{
    CUtlString strBeta;
    if (bWithBeta)
        strBeta = GetClientBeta();
    Q_snprintf(pchOut, cubOut, "%s/%s%s%s%s", pchDir, "arvo_launcher_", strBeta.Get(),
               strBeta.IsEmpty() ? "" : "_", FERRO_PLATFORM_TAG);
    Q_FixSlashes(pchOut, CORRECT_PATH_SEPARATOR);
}

void CFerroUpdater::BuildInstalledFilePath(char *pchOut, int cubOut, const char *pchSuffix) const
{
    char rgchDir[MAX_PATH_BYTES];
    Q_snprintf(rgchDir, sizeof(rgchDir), "%s/%s", m_strInstallDir.Get(), k_szPackageFolder);
    BuildPackageBasePath(pchOut, cubOut, rgchDir, true);
    Q_strncat(pchOut, pchSuffix, cubOut);
}

void CFerroUpdater::EnsurePackageDir()
{
    std::lock_guard<std::mutex> fixLock(m_PackageDirFixMutex);
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (!m_strPackageDir.IsEmpty())
            return;
    }
    bool bCreated = BProbeWritable(".writable");
    bool bUsable = BCheckDirectoryUsable(m_strInstallDir.Get());
    CUtlString strDir;
    strDir.Format("%s/%s", (bCreated && bUsable ? m_strInstallDir : m_strAlternateBaseDir).Get(),
                  k_szPackageFolder);
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_strPackageDir = strDir;
}

CUtlString CFerroUpdater::GetPackageDir()
{
    EnsurePackageDir();
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_strPackageDir;
}

// ---- directory checks ----

bool CFerroUpdater::BProbeWritable(const char *pchPath)
{
    bool bCreated = BCreateEmptyFile(*m_pFileOps, pchPath);
    m_pFileOps->BDeleteFile(pchPath);
    return bCreated;
}

bool CFerroUpdater::BIsInstallDirWritable()
{
    bool bCreated = BProbeWritable(".writable");
    return bCreated && BCheckDirectoryUsable(m_strInstallDir.Get());
}

bool CFerroUpdater::BCheckUserDirectories()
{
    return BCheckDirectoryUsable(m_strAlternateBaseDir.Get()) && BCheckDirectoryUsable(m_strInstallDir.Get());
}

void CFerroUpdater::ReportDirectoryFailure(const char *pchText)
{
    Log("%s", pchText);
    if (m_pUpdateStatusUI)
        m_pUpdateStatusUI->ShowFatalError(pchText);
    m_bFatalError = true;
}

bool CFerroUpdater::BCheckDirectoryUsable(const char *pchDir)
{
    CUtlString strText;
    std::vector<PlatDirEntry_t> vecEntries;
    m_pFileOps->BListDirectory(pchDir, "*", &vecEntries);

    if (!vecEntries.empty())
    {
        // The client names its files in any case it likes: the first entry, with the case
        // of a random tail inverted, must still be found.
        std::string strName = vecEntries[0].m_strName;
        InvertCaseFrom(&strName, (size_t)GetUniformRandomStream().RandomInt(0, (int)strName.size()));
        CUtlString strPath;
        strPath.Format("%s/%s", pchDir, strName.c_str());
        if (m_pFileOps->BFileExists(strPath.Get()))
            return true;
        strText.Format("Ferro requires that '%s' be on a case-insensitive filesystem.", pchDir);
        ReportDirectoryFailure(strText.Get());
        return false;
    }

    // An empty (or missing) directory: make it, write into it, and look for what was
    // written under another spelling.
    bool bWritten = false;
    if (m_pFileOps->BFileExists(pchDir) || m_pFileOps->BCreateDirectory(pchDir))
    {
        CUtlString strProbe;
        strProbe.Format("%s/.writable", pchDir);
        bWritten = BCreateEmptyFile(*m_pFileOps, strProbe.Get());
        if (bWritten)
        {
            CUtlString strOtherCase;
            strOtherCase.Format("%s/.WRITABLE", pchDir);
            bool bFound = m_pFileOps->BFileExists(strOtherCase.Get());
            m_pFileOps->BDeleteFile(strProbe.Get());
            if (bFound)
                return true;
            strText.Format("Ferro requires that '%s' be on a case-insensitive filesystem.", pchDir);
            ReportDirectoryFailure(strText.Get());
            return false;
        }
    }

    if (!m_pFileOps->BFileExists(pchDir))
        strText.Format("Ferro Fatal Error: Could not create directory:\n%s.", pchDir);
    else if (m_pFileOps->BIsDirectory(pchDir))
        strText.Format("Ferro Fatal Error: Failed to access directory:\n%s.", pchDir);
    else
        strText.Format("Ferro Fatal Error: Expected:\n %s\nto be a directory.", pchDir);
    ReportDirectoryFailure(strText.Get());
    return false;
}

// The exported functions: paths, the updater's state, the frame step and the interface
// registry (the bootstrapper version is in bootstrapperversion.cpp).
//
// All in this one file on purpose: the launcher's core is a static library, and the linker
// takes an object file into the executable only when something uses it. The launch uses
// ClientUpdateRunFrame, which brings every export of this file along; an export alone in
// a file of its own would be left out of the executable without a word.
#include "clientapi/exports.h"

#include "ferroexe/ferroupdater.h"
#include "ferroexe/installpaths.h"
#include "ferroexe/interfaceregistry.h"
#include "foundation/platform/codepage.h"
#include "foundation/strtools.h"
#include "jobs/framefunctionmgr.h"

#include <string>

// Exported with C linkage by its declaration in exports.h.
uint32 g_dwDllEntryThreadId = 0;

namespace
{
void CopyUTF8(const char *pchPath, char *pchBuf, int32 cubBuf)
{
    if (pchBuf && cubBuf > 0)
        Q_strncpy(pchBuf, pchPath, cubBuf);
}

// UTF-8 to UTF-16 (at most MAX_UNICODE_PATH units with the NUL) to the 8-bit code page.
int32 CopyANSI(const char *pchPathUTF8, char *pchBuf, int32 cubBuf)
{
    if (!pchBuf || cubBuf <= 0)
        return 0;
    wchar16 rgwchPath[MAX_UNICODE_PATH];
    int cubNeeded = Q_UTF8ToUnicode(pchPathUTF8, nullptr, 0, k_EStringConvertFail);
    if (cubNeeded <= 0 || cubNeeded > (int)sizeof(rgwchPath) ||
        Q_UTF8ToUnicode(pchPathUTF8, rgwchPath, sizeof(rgwchPath), k_EStringConvertFail) <= 0)
    {
        pchBuf[0] = '\0';
        return 0;
    }
    return PLAT_UTF16ToANSI(rgwchPath, pchBuf, cubBuf);
}
} // namespace

FERRO_EXPORT void GetFerroExePathUTF8(char *pchBuf, int32 cubBuf)
{
    CopyUTF8(CInstallPaths::ExePath(), pchBuf, cubBuf);
}

FERRO_EXPORT void GetFerroInstallDirUTF8(char *pchBuf, int32 cubBuf)
{
    CopyUTF8(CInstallPaths::InstallDir(), pchBuf, cubBuf);
}

FERRO_EXPORT void GetBaseUserDirUTF8(char *pchBuf, int32 cubBuf)
{
    GetFerroInstallDirUTF8(pchBuf, cubBuf);
}

FERRO_EXPORT void GetBaseUserContentDirUTF8(char *pchBuf, int32 cubBuf)
{
    GetFerroInstallDirUTF8(pchBuf, cubBuf);
}

FERRO_EXPORT int32 GetFerroExePath(char *pchBuf, int32 cubBuf)
{
    return CopyANSI(CInstallPaths::ExePath(), pchBuf, cubBuf);
}

FERRO_EXPORT int32 GetFerroInstallDir(char *pchBuf, int32 cubBuf)
{
    return CopyANSI(CInstallPaths::InstallDir(), pchBuf, cubBuf);
}

FERRO_EXPORT int32 GetBaseUserDir(char *pchBuf, int32 cubBuf)
{
    return GetFerroInstallDir(pchBuf, cubBuf);
}

FERRO_EXPORT int32 GetBaseUserContentDir(char *pchBuf, int32 cubBuf)
{
    return GetFerroInstallDir(pchBuf, cubBuf);
}

// The updater's fields are written by its thread: flags as single bytes, the counters as
// whole 64-bit values; the beta name is copied under the updater's lock.
FERRO_EXPORT int32 GetEUniverse()
{
    CFerroUpdater *pUpdater = GetFerroUpdater();
    return pUpdater ? (int32)pUpdater->m_eUniverse : (int32)k_EUniversePublic;
}

FERRO_EXPORT bool StartCheckingForUpdates()
{
    CFerroUpdater *pUpdater = GetFerroUpdater();
    if (!pUpdater)
        return false;
    pUpdater->WakeUp();
    return true;
}

FERRO_EXPORT bool VerifyInstallation()
{
    CFerroUpdater *pUpdater = GetFerroUpdater();
    if (!pUpdater || pUpdater->m_bInhibitAll)
        return false;
    pUpdater->RequestContentVerification();
    pUpdater->WakeUp();
    return true;
}

FERRO_EXPORT bool IsCheckingForUpdates()
{
    CFerroUpdater *pUpdater = GetFerroUpdater();
    return pUpdater && pUpdater->m_bCheckingForUpdates;
}

FERRO_EXPORT bool IsClientUpdateAvailable()
{
    CFerroUpdater *pUpdater = GetFerroUpdater();
    if (!pUpdater || pUpdater->m_bInhibitAll)
        return false;
    return pUpdater->BIsUpdatePending() || pUpdater->m_cubToDownload != 0 ||
           pUpdater->m_cubDownloadedComplete + pUpdater->m_cubDownloadedInFlight != 0;
}

FERRO_EXPORT uint32 GetClientUpdateBytesToDownload()
{
    CFerroUpdater *pUpdater = GetFerroUpdater();
    return pUpdater ? (uint32)pUpdater->m_cubToDownload : 0;
}

FERRO_EXPORT uint32 GetClientUpdateBytesDownloaded()
{
    CFerroUpdater *pUpdater = GetFerroUpdater();
    return pUpdater ? (uint32)(pUpdater->m_cubDownloadedComplete + pUpdater->m_cubDownloadedInFlight) : 0;
}

FERRO_EXPORT const char *GetCurrentClientBeta()
{
    // The caller keeps the pointer while SetClientBeta may run on another thread: it gets
    // a copy of its own thread, valid until its next call here.
    thread_local std::string t_strBeta;
    CFerroUpdater *pUpdater = GetFerroUpdater();
    t_strBeta = pUpdater ? pUpdater->GetClientBeta().Get() : "";
    return t_strBeta.c_str();
}

FERRO_EXPORT void SetClientBeta(const char *pchBeta)
{
    if (CFerroUpdater *pUpdater = GetFerroUpdater())
        pUpdater->SetClientBeta(pchBeta);
}

FERRO_EXPORT bool CanSetClientBeta()
{
    CFerroUpdater *pUpdater = GetFerroUpdater();
    return !pUpdater || pUpdater->BIsInstallDirWritable();
}

FERRO_EXPORT bool ClientUpdateRunFrame()
{
    return GetFrameFunctionMgr().RunFrame(k_EFrameTypeMain, nullptr, true);
}

FERRO_EXPORT void *CreateInterface(const char *pchName, int32 *pnReturnCode)
{
    void *pInterface = CInterfaceRegistration::Find(pchName);
    if (pnReturnCode)
        *pnReturnCode = pInterface ? 0 : 1;
    return pInterface;
}

// The exported functions that do not involve the updater: paths, the frame step and the
// interface registry.
#include "ferroexe/exports.h"

#include "common/framefunctionmgr.h"
#include "ferroexe/installpaths.h"
#include "ferroexe/interfaceregistry.h"
#include "foundation/platform/codepage.h"
#include "foundation/strtools.h"

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

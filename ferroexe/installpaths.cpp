#include "ferroexe/installpaths.h"

#include "foundation/strtools.h"

#include <cstring>

namespace
{
char g_rgchExePathUTF8[INSTALL_PATH_BUFFER_BYTES];
char g_rgchInstallDirUTF8[INSTALL_PATH_BUFFER_BYTES];
} // namespace

bool CInstallPaths::BSetFromExePath(const char *pchExePathUTF8)
{
    if (!pchExePathUTF8 || !*pchExePathUTF8 || strlen(pchExePathUTF8) >= INSTALL_PATH_BUFFER_BYTES)
        return false;
    const char *pchLastSeparator = nullptr;
    for (const char *pch = pchExePathUTF8; *pch; ++pch)
    {
        if (Q_IsPathSeparator(*pch))
            pchLastSeparator = pch;
    }
    if (!pchLastSeparator)
        return false;

    Q_strncpy(g_rgchExePathUTF8, pchExePathUTF8, sizeof(g_rgchExePathUTF8));
    size_t cchDir = (size_t)(pchLastSeparator - pchExePathUTF8);
    if (cchDir == 0)
        cchDir = 1; // an executable in the root: the directory is the root itself
    memcpy(g_rgchInstallDirUTF8, pchExePathUTF8, cchDir);
    g_rgchInstallDirUTF8[cchDir] = '\0';
    return true;
}

const char *CInstallPaths::ExePath()
{
    return g_rgchExePathUTF8;
}

const char *CInstallPaths::InstallDir()
{
    return g_rgchInstallDirUTF8;
}

void CInstallPaths::CopyExePath(char *pchBuf, int cubBuf)
{
    Q_strncpy(pchBuf, g_rgchExePathUTF8, cubBuf);
}

void CInstallPaths::CopyInstallDir(char *pchBuf, int cubBuf)
{
    Q_strncpy(pchBuf, g_rgchInstallDirUTF8, cubBuf);
}

bool CInstallPaths::BInstallDirIsASCII()
{
    for (const unsigned char *pch = (const unsigned char *)g_rgchInstallDirUTF8; *pch; ++pch)
    {
        if (*pch > 0x7F)
            return false;
    }
    return true;
}

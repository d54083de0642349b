#include "fuzzsupport.h"

#include "ferroexe/installpaths.h"
#include "foundation/dbg.h"
#include "foundation/platform/file.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace
{
std::string g_strRootDir;

void RemoveRootDir()
{
    std::error_code ec;
    if (!g_strRootDir.empty())
        std::filesystem::remove_all(g_strRootDir, ec);
}

std::string MakeRootDir()
{
    const char *pchTemp = getenv("TMPDIR");
    std::string strTemplate = std::string(pchTemp && *pchTemp ? pchTemp : "/tmp") + "/ferro_fuzz_XXXXXX";
    if (!mkdtemp(&strTemplate[0]))
        FuzzFailure("cannot make a temporary folder from %s", strTemplate.c_str());
    return strTemplate;
}
} // namespace

void FuzzFailure(const char *pchFormat, ...)
{
    va_list args;
    va_start(args, pchFormat);
    fprintf(stderr, "fuzz check failed: ");
    vfprintf(stderr, pchFormat, args);
    fprintf(stderr, "\n");
    va_end(args);
    abort();
}

const std::string &FuzzRootDir()
{
    FuzzUpdater();
    return g_strRootDir;
}

CFerroUpdater &FuzzUpdater()
{
    static CFerroUpdater *s_pUpdater = nullptr;
    if (s_pUpdater)
        return *s_pUpdater;
    SetSpewToStderr(false);
    g_strRootDir = MakeRootDir();
    atexit(RemoveRootDir);
    const std::string strInstall = g_strRootDir + "/install";
    std::filesystem::create_directories(strInstall);
    // The registry stand-in stays inside the folder too.
    setenv("FERRO_REGISTRY_DIR", (g_strRootDir + "/registry").c_str(), 1);
    if (!CInstallPaths::BSetFromExePath((strInstall + "/arvolauncher").c_str()) ||
        !PLAT_SetCurrentDirectory(strInstall.c_str()))
        FuzzFailure("cannot work in %s", strInstall.c_str());
    s_pUpdater = new CFerroUpdater();
    s_pUpdater->m_BootstrapLog.SetEnabled(false);
    PLAT_CreateDirectory("package");
    return *s_pUpdater;
}

bool BWriteFuzzFile(const std::string &strPath, const uint8_t *pubData, size_t cubData)
{
    // A new file each time: ext4 flushes a file that is truncated and written again to the
    // disk at its close, which would make every run wait for the disk.
    remove(strPath.c_str());
    FILE *pFile = fopen(strPath.c_str(), "wb");
    if (!pFile)
        return false;
    bool bOk = fwrite(pubData, 1, cubData, pFile) == cubData;
    return fclose(pFile) == 0 && bOk;
}

// Unpacks one archive the way an installation does (read whole into memory, then
// BUnzipPackage into "package/tmp" of a scratch install directory) and prints the
// milliseconds of the whole run, of the read, and the bytes written. Driven by
// unzip_bench.sh, which compares it with unzip on the same archive.
#include "ferroexe/ferroupdater.h"
#include "ferroexe/ferroupdater_fileops.h"
#include "ferroexe/installpaths.h"
#include "foundation/platform/file.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <string>

int main(int argc, char **argv)
{
    if (argc != 3)
    {
        fprintf(stderr, "usage: %s ARCHIVE SCRATCH_INSTALL_DIR\n", argv[0]);
        return 2;
    }
    // Both may be relative to where the bench was started; it works in the scratch folder.
    std::string strArchive = std::filesystem::absolute(argv[1]).string();
    std::string strInstall = std::filesystem::absolute(argv[2]).string();
    if (!PLAT_CreateDirectoryHierarchy((strInstall + "/package").c_str()) ||
        !CInstallPaths::BSetFromExePath((strInstall + "/arvolauncher").c_str()) ||
        !PLAT_SetCurrentDirectory(strInstall.c_str()))
    {
        fprintf(stderr, "cannot use %s\n", strInstall.c_str());
        return 1;
    }
    CFerroUpdater updater;

    auto tStart = std::chrono::steady_clock::now();
    InstallFileData_t archive;
    if (!PlatformInstallFileOps().BReadWholeFile(strArchive.c_str(), &archive))
    {
        fprintf(stderr, "cannot read %s\n", strArchive.c_str());
        return 1;
    }
    auto tRead = std::chrono::steady_clock::now();
    CUtlVector<CUtlString> vecOld, vecNew;
    bool bOk =
        updater.BUnzipPackage(archive.m_pubData.get(), archive.m_cubData, "package\\tmp", vecOld, vecNew);
    auto tEnd = std::chrono::steady_clock::now();
    if (!bOk)
    {
        fprintf(stderr, "unpacking failed: %s\n", updater.GetLastErrorText().Get());
        return 1;
    }
    int64 cubWritten = 0;
    for (const CUtlString &strName : vecNew)
        cubWritten += std::max<int64>(0, PLAT_GetFileSize(("package/tmp/" + strName.StdString()).c_str()));
    auto Ms = [](std::chrono::steady_clock::duration d)
    { return (long long)std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); };
    printf("%lld %lld %" PRId64 "\n", Ms(tEnd - tStart), Ms(tRead - tStart), (int64_t)cubWritten);
    return 0;
}

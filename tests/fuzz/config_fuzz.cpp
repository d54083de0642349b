// libFuzzer target for the two files a player (or anything on the machine) can write into an
// installation: any bytes as "ferro.cfg" and as the beta file "package/beta". Reading them
// must never crash or overrun; the configuration yields a known universe, and a host
// override that ends up in that universe's row; the beta is empty or only letters, digits and
// "_" and so can never lead a path out of the package folder.
#include "fuzzsupport.h"

#include "foundation/platform/file.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace
{
void CheckConfig(CFerroUpdater &updater)
{
    ResetDownloadLocations();
    updater.m_eUniverse = k_EUniversePublic;
    updater.m_bUpdateOnLaunch = true;
    updater.m_bInhibitChecksum = false;
    updater.m_bInhibitAll = false;
    updater.ReadConfigFile();
    if (updater.m_eUniverse < k_EUniversePublic || updater.m_eUniverse > k_EUniverseDev)
        FuzzFailure("universe %d", (int)updater.m_eUniverse);
    if (updater.m_bInhibitAll && !updater.m_bInhibitChecksum)
        FuzzFailure("everything inhibited but the checksum");
    // Every row keeps a usable shape: hosts present or absent together.
    DownloadLocation_t location = GetDownloadLocation(updater.m_eUniverse);
    if (location.m_strManifestHost != location.m_strPackageHost)
        FuzzFailure("manifest host '%s' and package host '%s' differ", location.m_strManifestHost.Get(),
                    location.m_strPackageHost.Get());
}

void CheckBeta(CFerroUpdater &updater)
{
    updater.m_strClientBeta.Clear();
    updater.ReadBetaFile();
    const CUtlString strBeta = updater.GetClientBeta();
    for (const char *pch = strBeta.Get(); *pch; ++pch)
    {
        const char ch = *pch;
        if (!((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_'))
            FuzzFailure("beta name '%s' holds 0x%02x", strBeta.Get(), (unsigned)(unsigned char)ch);
    }
    // The beta becomes part of the installed file names: they stay in the package folder.
    char rgchPath[MAX_PATH_BYTES];
    updater.BuildPackageBasePath(rgchPath, sizeof(rgchPath), "package", true);
    if (strncmp(rgchPath, "package\\arvo_launcher_", 22) != 0 &&
        strncmp(rgchPath, "package/arvo_launcher_", 22) != 0)
        FuzzFailure("package base path %s", rgchPath);
    if (strpbrk(rgchPath + 8, "/\\:") || strstr(rgchPath, ".."))
        FuzzFailure("package base path %s leaves the package folder", rgchPath);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pubData, size_t cubData)
{
    CFerroUpdater &updater = FuzzUpdater();
    if (cubData > 1 << 16)
        return 0;
    if (!BWriteFuzzFile("ferro.cfg", pubData, cubData))
        FuzzFailure("cannot write ferro.cfg");
    CheckConfig(updater);

    PLAT_CreateDirectory("package");
    if (!BWriteFuzzFile("package/beta", pubData, cubData))
        FuzzFailure("cannot write the beta file");
    CheckBeta(updater);
    return 0;
}

#include "ferroexe/moduleloader.h"

#include "foundation/dbg.h"
#include "foundation/platform/file.h"
#include "foundation/platform/module.h"
#include "foundation/strtools.h"
#include "foundation/utlstring.h"

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace
{
struct LoadedModule_t
{
    FerroModule_t m_hModule;
    uint32 m_cReferences;
};

// Function-local statics: modules may be loaded while other globals are still being built.
std::mutex &ModuleTableMutex()
{
    static std::mutex s_Mutex;
    return s_Mutex;
}

std::vector<LoadedModule_t> &ModuleTable()
{
    static std::vector<LoadedModule_t> s_vecModules;
    return s_vecModules;
}

// The load with the module's own directory searched for its dependencies. A path that is
// not valid UTF-8 is taken as 8-bit text by the platform layer.
FerroModule_t LoadFromPath(const std::string &strPath)
{
    if (strPath.size() >= MAX_UNICODE_PATH_IN_UTF8)
        return nullptr;
    return PLAT_LoadModule(strPath.c_str(), true);
}

FerroModule_t LoadFromNamePath(const char *pchModuleName)
{
    const char *pModuleExtension = FERRO_DLL_EXT;

    std::string strPath;
    if (Q_IsAbsolutePath(pchModuleName))
    {
        strPath = pchModuleName;
    }
    else
    {
        char rgchCurrentDir[MAX_UNICODE_PATH_IN_UTF8];
        if (!PLAT_GetCurrentDirectory(rgchCurrentDir, sizeof(rgchCurrentDir)))
            rgchCurrentDir[0] = '\0';
        int cch = Q_strlen(rgchCurrentDir);
        if (cch > 0 && Q_IsPathSeparator(rgchCurrentDir[cch - 1]))
            rgchCurrentDir[cch - 1] = '\0';
        CUtlString strJoined;
        strJoined.Format("%s/%s", rgchCurrentDir, pchModuleName);
        strPath = strJoined.Get();
    }
    Q_FixSlashes(&strPath[0], '\\');

    FerroModule_t hModule = LoadFromPath(strPath);
    if (!hModule && !Q_stristr(strPath.c_str(), pModuleExtension))
    {
        // Appending must not push the path past the longest one; a cut path would name a
        // different file, so that try is left out.
        bool bFits = strPath.size() + strlen(pModuleExtension) < MAX_UNICODE_PATH_IN_UTF8;
        AssertMsg(bFits, "strlen(pchModuleName) + Q_strlen(pModuleExtension) < MAX_UNICODE_PATH_IN_UTF8");
        if (bFits)
            hModule = LoadFromPath(strPath + pModuleExtension);
    }
    return hModule;
}
} // namespace

FerroModule_t LoadModule(const char *pchModuleName, uint32 /*unFlags*/)
{
    if (!pchModuleName || !*pchModuleName)
        return nullptr;

    FerroModule_t hModule = LoadFromNamePath(pchModuleName);
    if (!hModule)
    {
        CUtlString strName;
        strName.Format("%s%s", pchModuleName, Q_stristr(pchModuleName, FERRO_DLL_EXT) ? "" : FERRO_DLL_EXT);
        hModule = PLAT_LoadModuleBySearch(strName.Get());
    }
    if (!hModule)
        return nullptr;

    std::lock_guard<std::mutex> lock(ModuleTableMutex());
    for (LoadedModule_t &module : ModuleTable())
    {
        if (module.m_hModule == hModule)
        {
            ++module.m_cReferences;
            return hModule;
        }
    }
    ModuleTable().push_back(LoadedModule_t{hModule, 1});
    return hModule;
}

void UnloadModule(FerroModule_t hModule)
{
    if (!hModule)
        return;
    {
        std::lock_guard<std::mutex> lock(ModuleTableMutex());
        std::vector<LoadedModule_t> &vecModules = ModuleTable();
        for (size_t i = 0; i < vecModules.size(); ++i)
        {
            if (vecModules[i].m_hModule != hModule)
                continue;
            if (--vecModules[i].m_cReferences == 0)
                vecModules.erase(vecModules.begin() + (ptrdiff_t)i);
            break;
        }
    }
    PLAT_UnloadModule(hModule);
}

void *GetModuleExport(FerroModule_t hModule, const char *pchName)
{
    return PLAT_GetModuleExport(hModule, pchName);
}

uint32 GetModuleReferenceCount(FerroModule_t hModule)
{
    std::lock_guard<std::mutex> lock(ModuleTableMutex());
    for (const LoadedModule_t &module : ModuleTable())
    {
        if (module.m_hModule == hModule)
            return module.m_cReferences;
    }
    return 0;
}

// POSIX only: shared libraries through dlopen.
#include "foundation/platform/module.h"

#include "foundation/platform/file.h"

#include <dlfcn.h>

PlatModule_t PLAT_LoadModule(const char *pchPath, bool /*bAlteredSearchPath*/)
{
    if (!pchPath || !*pchPath)
        return nullptr;
    std::string strPath = PLAT_ResolvePath(pchPath);
    // dlopen treats a name without a slash as a search; a path given here is a path.
    if (strPath.find('/') == std::string::npos)
        strPath = "./" + strPath;
    return dlopen(strPath.c_str(), RTLD_NOW | RTLD_LOCAL);
}

PlatModule_t PLAT_LoadModuleBySearch(const char *pchName)
{
    if (!pchName || !*pchName)
        return nullptr;
    return dlopen(pchName, RTLD_NOW | RTLD_LOCAL);
}

void PLAT_UnloadModule(PlatModule_t hModule)
{
    if (hModule)
        dlclose(hModule);
}

void *PLAT_GetModuleExport(PlatModule_t hModule, const char *pchName)
{
    if (!pchName)
        return nullptr;
    if (!hModule)
    {
        static void *s_hSelf = dlopen(nullptr, RTLD_NOW);
        return s_hSelf ? dlsym(s_hSelf, pchName) : nullptr;
    }
    return dlsym(hModule, pchName);
}

// Loadable modules (POSIX: dlopen with the ".so" suffix; Windows: LoadLibraryExW).
#pragma once

#include "foundation/basetypes.h"

typedef void *PlatModule_t;

// Loads the module at a path (UTF-8). bAlteredSearchPath: the module's own directory is
// searched for its dependencies (Windows LOAD_WITH_ALTERED_SEARCH_PATH; ignored on POSIX).
// Null on failure.
PlatModule_t PLAT_LoadModule(const char *pchPath, bool bAlteredSearchPath);
// Loads by bare name with the system's normal search order.
PlatModule_t PLAT_LoadModuleBySearch(const char *pchName);
void PLAT_UnloadModule(PlatModule_t hModule);
// hModule null: the running executable itself.
void *PLAT_GetModuleExport(PlatModule_t hModule, const char *pchName);

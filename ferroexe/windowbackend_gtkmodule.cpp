// Linux only: the progress window's GTK backend lives in a module of its own,
// "arvolauncher_gtk.so" beside the executable, so that the launcher itself does not link
// GTK: a run that never shows its window never loads it (nor the libraries GTK needs).
#include "ferroexe/windowbackend_gtkmodule.h"

#include "ferroexe/windowbackend_deferred.h"
#include "foundation/platform/module.h"
#include "foundation/platform/process.h"
#include "foundation/strtools.h"

#include <cstdlib>
#include <string>

namespace
{
// GTK needs a display: a session without one shows progress on the console.
bool BHaveDisplayVariable()
{
    const char *pchX11 = getenv("DISPLAY");
    const char *pchWayland = getenv("WAYLAND_DISPLAY");
    return (pchX11 && *pchX11) || (pchWayland && *pchWayland);
}
} // namespace

IWindowBackend *LoadGtkWindowBackend(CUtlString *pstrError)
{
    char rgchExe[MAX_UNICODE_PATH_IN_UTF8];
    if (!PLAT_GetExecutablePathUTF8(rgchExe, sizeof(rgchExe)))
    {
        *pstrError = "the executable's path is unknown";
        return nullptr;
    }
    std::string strPath = rgchExe;
    strPath.erase(strPath.find_last_of('/') + 1);
    strPath += k_szGtkWindowModule;
    PlatModule_t hModule = PLAT_LoadModule(strPath.c_str(), true);
    FnCreateWindowBackend_t pfnCreate =
        hModule ? reinterpret_cast<FnCreateWindowBackend_t>(
                      PLAT_GetModuleExport(hModule, k_szCreateWindowBackendExport))
                : nullptr;
    if (!pfnCreate)
    {
        pstrError->Format("%s cannot be loaded", strPath.c_str());
        if (hModule)
            PLAT_UnloadModule(hModule);
        return nullptr;
    }
    // The module stays loaded for the rest of the process: GTK cannot be unloaded.
    return pfnCreate();
}

IWindowBackend *CreateWindowBackend()
{
    return new CDeferredWindowBackend(BHaveDisplayVariable, LoadGtkWindowBackend);
}

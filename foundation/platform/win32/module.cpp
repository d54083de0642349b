// Windows only: dynamic-link libraries through LoadLibraryExW.
#include "foundation/platform/module.h"

#include "foundation/platform/win32/widepath.h"

#include <string>
#include <windows.h>

PlatModule_t PLAT_LoadModule(const char *pchPath, bool bAlteredSearchPath)
{
    if (!pchPath || !*pchPath)
        return nullptr;
    // The altered search order is defined for full paths only, and a path given here is a
    // path, never a search (as on POSIX): a relative one is taken from the current directory.
    const DWORD dwFlags = bAlteredSearchPath ? LOAD_WITH_ALTERED_SEARCH_PATH : 0;
    std::wstring wstrPath;
    if (BPathToWide(pchPath, &wstrPath))
    {
        DWORD cwchFull = GetFullPathNameW(wstrPath.c_str(), 0, nullptr, nullptr);
        if (cwchFull > 0)
        {
            std::wstring wstrFull(cwchFull, L'\0');
            DWORD cwch = GetFullPathNameW(wstrPath.c_str(), cwchFull, &wstrFull[0], nullptr);
            if (cwch > 0 && cwch < cwchFull)
                wstrPath.assign(wstrFull, 0, cwch);
        }
        return LoadLibraryExW(wstrPath.c_str(), nullptr, dwFlags);
    }
    // Not UTF-8: a path in the system's 8-bit code page (an ANSI module file name, say).
    std::string strPath = pchPath;
    for (char &ch : strPath)
    {
        if (ch == '/')
            ch = '\\';
    }
    return LoadLibraryExA(strPath.c_str(), nullptr, dwFlags);
}

PlatModule_t PLAT_LoadModuleBySearch(const char *pchName)
{
    if (!pchName || !*pchName)
        return nullptr;
    return LoadLibraryA(pchName);
}

void PLAT_UnloadModule(PlatModule_t hModule)
{
    if (hModule)
        FreeLibrary(static_cast<HMODULE>(hModule));
}

void *PLAT_GetModuleExport(PlatModule_t hModule, const char *pchName)
{
    if (!pchName)
        return nullptr;
    HMODULE hFrom = hModule ? static_cast<HMODULE>(hModule) : GetModuleHandleW(nullptr);
    return reinterpret_cast<void *>(GetProcAddress(hFrom, pchName));
}

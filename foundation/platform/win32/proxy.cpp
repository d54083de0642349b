// Windows only: the user's proxy settings and proxy discovery through WinHTTP, loaded at
// run time so that the program still starts where the library is missing.
#include "foundation/platform/proxy.h"

#include "foundation/platform/win32/widepath.h"

#include <string>
#include <windows.h>

#include <winhttp.h>

namespace
{
// The entry points are looked up by name; only their types come from the header.
typedef decltype(&WinHttpGetProxyForUrl) FnWinHttpGetProxyForUrl;
typedef decltype(&WinHttpGetIEProxyConfigForCurrentUser) FnWinHttpGetIEProxyConfigForCurrentUser;
typedef decltype(&WinHttpOpen) FnWinHttpOpen;
typedef decltype(&WinHttpCloseHandle) FnWinHttpCloseHandle;

const DWORD k_dwAutoDetectDHCPAndDNS = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A; // 3
const DWORD k_dwErrorLoginFailure = ERROR_WINHTTP_LOGIN_FAILURE; // 12015

// Takes a string that WinHTTP allocated: converts it and frees it.
bool BTakeWinHTTPString(LPWSTR pwsz, std::string *pstr)
{
    if (!pwsz)
        return false;
    *pstr = WideToUTF8(pwsz, wcslen(pwsz));
    GlobalFree(pwsz);
    return true;
}

// GetProcAddress's generic pointer, as the entry point's own type.
template <class T>
T LookUpEntryPoint(HMODULE hModule, const char *pchName)
{
    return reinterpret_cast<T>(reinterpret_cast<void (*)()>(GetProcAddress(hModule, pchName)));
}

HMODULE LoadWinHTTP()
{
    // From the system directory only, never from the directory of the executable.
    HMODULE hModule = LoadLibraryExW(L"winhttp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!hModule && GetLastError() == ERROR_INVALID_PARAMETER)
        hModule = LoadLibraryW(L"winhttp.dll"); // a system without the restricted search
    return hModule;
}
} // namespace

struct PlatProxyService_t
{
    HMODULE m_hWinHTTP = nullptr;
    FnWinHttpGetProxyForUrl m_pfnWinHttpGetProxyForUrl = nullptr;
    FnWinHttpGetIEProxyConfigForCurrentUser m_pfnWinHttpGetIEProxyConfigForCurrentUser = nullptr;
    FnWinHttpOpen m_pfnWinHttpOpen = nullptr;
    FnWinHttpCloseHandle m_pfnWinHttpCloseHandle = nullptr;
    HINTERNET m_hSession = nullptr; // opened on first discovery
};

HPlatProxyService PLAT_ProxyServiceOpen()
{
    HMODULE hModule = LoadWinHTTP();
    if (!hModule)
        return nullptr;
    PlatProxyService_t *pService = new PlatProxyService_t();
    pService->m_hWinHTTP = hModule;
    pService->m_pfnWinHttpGetProxyForUrl =
        LookUpEntryPoint<FnWinHttpGetProxyForUrl>(hModule, "WinHttpGetProxyForUrl");
    pService->m_pfnWinHttpGetIEProxyConfigForCurrentUser =
        LookUpEntryPoint<FnWinHttpGetIEProxyConfigForCurrentUser>(hModule,
                                                                  "WinHttpGetIEProxyConfigForCurrentUser");
    pService->m_pfnWinHttpOpen = LookUpEntryPoint<FnWinHttpOpen>(hModule, "WinHttpOpen");
    pService->m_pfnWinHttpCloseHandle = LookUpEntryPoint<FnWinHttpCloseHandle>(hModule, "WinHttpCloseHandle");
    return pService;
}

void PLAT_ProxyServiceClose(HPlatProxyService hService)
{
    if (!hService)
        return;
    if (hService->m_hSession && hService->m_pfnWinHttpCloseHandle)
        hService->m_pfnWinHttpCloseHandle(hService->m_hSession);
    FreeLibrary(hService->m_hWinHTTP);
    delete hService;
}

bool PLAT_ProxyGetUserSettings(HPlatProxyService hService, PlatProxyUserSettings_t *pSettings)
{
    if (!hService || !pSettings || !hService->m_pfnWinHttpGetIEProxyConfigForCurrentUser)
        return false;
    *pSettings = PlatProxyUserSettings_t();
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config;
    ZeroMemory(&config, sizeof(config));
    if (!hService->m_pfnWinHttpGetIEProxyConfigForCurrentUser(&config))
        return false;
    pSettings->m_bAutoDetect = config.fAutoDetect != FALSE;
    std::string strAutoConfigURL;
    pSettings->m_bHasAutoConfigURL = BTakeWinHTTPString(config.lpszAutoConfigUrl, &strAutoConfigURL);
    pSettings->m_bHasProxy = BTakeWinHTTPString(config.lpszProxy, &pSettings->m_strProxy);
    pSettings->m_bHasBypass = BTakeWinHTTPString(config.lpszProxyBypass, &pSettings->m_strBypass);
    return true;
}

bool PLAT_ProxyDiscoverForURL(HPlatProxyService hService, const char *pchURL, PlatProxyDiscovery_t *pResult)
{
    if (!hService || !pchURL || !pResult || !hService->m_pfnWinHttpGetProxyForUrl)
        return false;
    *pResult = PlatProxyDiscovery_t();
    if (!hService->m_hSession)
    {
        if (!hService->m_pfnWinHttpOpen)
            return false;
        hService->m_hSession =
            hService->m_pfnWinHttpOpen(L"FerroHTTPClient", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                       WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
        if (!hService->m_hSession)
            return false;
    }
    std::wstring wstrURL;
    if (!BUTF8ToWide(pchURL, &wstrURL))
        return false;

    WINHTTP_AUTOPROXY_OPTIONS options;
    ZeroMemory(&options, sizeof(options));
    options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT; // 1
    options.dwAutoDetectFlags = k_dwAutoDetectDHCPAndDNS;
    options.lpszAutoConfigUrl = nullptr;
    options.fAutoLogonIfChallenged = FALSE;
    WINHTTP_PROXY_INFO info;
    ZeroMemory(&info, sizeof(info));
    BOOL bFound =
        hService->m_pfnWinHttpGetProxyForUrl(hService->m_hSession, wstrURL.c_str(), &options, &info);
    if (!bFound && GetLastError() == k_dwErrorLoginFailure)
    {
        // The configuration script's server wants the user's credentials.
        options.fAutoLogonIfChallenged = TRUE;
        ZeroMemory(&info, sizeof(info));
        bFound = hService->m_pfnWinHttpGetProxyForUrl(hService->m_hSession, wstrURL.c_str(), &options, &info);
    }
    if (!bFound)
        return false;
    pResult->m_bHasProxy = BTakeWinHTTPString(info.lpszProxy, &pResult->m_strProxy);
    pResult->m_bHasBypass = BTakeWinHTTPString(info.lpszProxyBypass, &pResult->m_strBypass);
    return true;
}

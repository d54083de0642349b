// The user's proxy settings and automatic proxy discovery, as the system provides them.
//
// Windows: WinHTTP, loaded at run time (a system without it has no service), with the
// proxy settings of the current user and discovery by DHCP and DNS. POSIX: the
// environment: the proxy of "http_proxy" (else "HTTP_PROXY") and the bypass list of
// "no_proxy" (else "NO_PROXY"); there is no discovery.
//
// Thread: one service object per thread (the HTTP client opens one per work thread); a
// service is used by one thread at a time. Discovery blocks (it may ask the network) and
// belongs on a work thread.
#pragma once

#include "foundation/basetypes.h"

#include <string>

typedef struct PlatProxyService_t *HPlatProxyService;

// The user's settings, UTF-8.
struct PlatProxyUserSettings_t
{
    bool m_bAutoDetect = false;       // discovery is to be tried for every request
    bool m_bHasAutoConfigURL = false; // an automatic configuration script is named
    bool m_bHasProxy = false;
    std::string m_strProxy; // as the system holds it: "host:port", or a URL on POSIX
    bool m_bHasBypass = false;
    // Entries separated by ';' or ','. "<local>" stands for the local host; on POSIX the
    // entries "localhost" and "127.0.0.1" of the environment are given as "<local>".
    std::string m_strBypass;
};

// What discovery found for one URL, UTF-8.
struct PlatProxyDiscovery_t
{
    bool m_bHasProxy = false;
    std::string m_strProxy; // one or more "host:port", separated by ';' or white space
    bool m_bHasBypass = false;
    std::string m_strBypass;
};

// Null when the system has no proxy service (Windows without "winhttp.dll").
HPlatProxyService PLAT_ProxyServiceOpen();
void PLAT_ProxyServiceClose(HPlatProxyService hService);

// False when the settings cannot be read.
bool PLAT_ProxyGetUserSettings(HPlatProxyService hService, PlatProxyUserSettings_t *pSettings);

// Asks automatic discovery which proxy serves the URL. False when discovery failed (or
// the system has none); true with the result otherwise (no proxy: go direct).
bool PLAT_ProxyDiscoverForURL(HPlatProxyService hService, const char *pchURL, PlatProxyDiscovery_t *pResult);

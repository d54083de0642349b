#include "http/httpclientworkthread.h"

#include "foundation/dbg.h"
#include "http/http.h"
#include "http/httpproxy.h"

CHTTPClientWorkThread::CHTTPClientWorkThread(CWorkThreadPool *pPool)
    : CWorkThread(pPool), m_hProxyService(PLAT_ProxyServiceOpen()), m_bProxySettingsLoaded(false),
      m_bAutoDetect(false)
{
    SetName("CHTTPClientWorkThread");
    if (!m_hProxyService)
        DMsg("http", 3,
             "winhttp.dll not supported on this windows platform, no proxy auto-detection will be done\n");
}

CHTTPClientWorkThread::~CHTTPClientWorkThread()
{
    PLAT_ProxyServiceClose(m_hProxyService);
}

void CHTTPClientWorkThread::LoadAutoDetectedProxySettings()
{
    PlatProxyUserSettings_t settings;
    if (!m_hProxyService || !PLAT_ProxyGetUserSettings(m_hProxyService, &settings))
        return;
    m_bAutoDetect = settings.m_bAutoDetect || settings.m_bHasAutoConfigURL;
    m_adrStaticProxy.Clear();
    m_vecAutoDetectedProxyExcludedHosts.RemoveAll();
    if (settings.m_bHasProxy)
    {
        BResolveProxyAddress(settings.m_strProxy.c_str(), &m_adrStaticProxy);
        // A bypass list means something only beside a proxy.
        if (settings.m_bHasBypass)
            SplitProxyBypassList(settings.m_strBypass.c_str(), m_vecAutoDetectedProxyExcludedHosts);
    }
    DMsg("http", 3, "Auto-detected proxy settings: auto-detect(%s), proxy(%s), exclude:\n",
         m_bAutoDetect ? "true" : "false", m_adrStaticProxy.ToString());
    for (int i = 0; i < m_vecAutoDetectedProxyExcludedHosts.Count(); ++i)
        DMsg("http", 3, "  %s\n", m_vecAutoDetectedProxyExcludedHosts[i].Get());
    m_bProxySettingsLoaded = true;
}

bool CHTTPClientWorkThread::BShouldRequestUseProxy(const CHTTPClientRequest *pRequest, netadr_t *pAdrProxy)
{
    pAdrProxy->Clear();
    if (m_bAutoDetect && m_hProxyService)
    {
        CUtlString strURL;
        strURL.Format("http%s://%s%s", pRequest->m_bSecure ? "s" : "", pRequest->GetHostname(),
                      pRequest->GetURL());
        PlatProxyDiscovery_t discovery;
        if (PLAT_ProxyDiscoverForURL(m_hProxyService, strURL.Get(), &discovery))
        {
            DMsg("http", 3, "Auto-proxy finds: %s, %s\n",
                 discovery.m_bHasProxy ? discovery.m_strProxy.c_str() : "NULL",
                 discovery.m_bHasBypass ? discovery.m_strBypass.c_str() : "NULL");
            // Discovery's answer stands: with no proxy named the request goes direct.
            return discovery.m_bHasProxy && BResolveProxyAddress(discovery.m_strProxy.c_str(), pAdrProxy);
        }
    }
    if (m_adrStaticProxy.BIsComplete() &&
        !BIsHostExcludedFromProxy(pRequest->GetHostname(), m_vecAutoDetectedProxyExcludedHosts))
    {
        *pAdrProxy = m_adrStaticProxy;
        return true;
    }
    return false;
}

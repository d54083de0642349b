// CHTTPClientWorkThread: a work thread of the HTTP client's pool. Besides running the
// client's work items it keeps the proxy state of its thread: the platform's proxy service
// (opened when the thread object is made), whether the user's proxy settings were loaded,
// whether proxy discovery is to be tried, the static proxy and its bypass list.
//
// Thread: constructed and destroyed by the pool's owner; the proxy operations run on the
// thread itself (from CWorkItemHTTPClientRequest::ThreadProcess) and touch only this
// object's state, so they need no lock.
#pragma once

#include "foundation/platform/proxy.h"
#include "foundation/utlstring.h"
#include "foundation/utlvector.h"
#include "jobs/workthread.h"
#include "net/netadr.h"

class CHTTPClientRequest;

class CHTTPClientWorkThread : public CWorkThread
{
public:
    explicit CHTTPClientWorkThread(CWorkThreadPool *pPool);
    ~CHTTPClientWorkThread() override;

    // Reads the user's proxy settings once per thread: whether discovery is to be tried,
    // the static proxy (looked up) and its bypass list; logs them. When the settings cannot
    // be read they stay unloaded, and every request goes direct.
    void LoadAutoDetectedProxySettings();
    bool BProxySettingsLoaded() const { return m_bProxySettingsLoaded; }

    // The proxy for the request: discovery when it is on (its answer, proxy or none,
    // decides), else the static proxy unless the host is on the bypass list. True with the
    // proxy's address; false: go direct.
    bool BShouldRequestUseProxy(const CHTTPClientRequest *pRequest, netadr_t *pAdrProxy);

    bool BAutoDetect() const { return m_bAutoDetect; }
    const netadr_t &GetStaticProxy() const { return m_adrStaticProxy; }
    const CUtlVector<CUtlString> &GetExcludedHosts() const { return m_vecAutoDetectedProxyExcludedHosts; }

private:
    HPlatProxyService m_hProxyService; // null: the system has no proxy service
    bool m_bProxySettingsLoaded;
    bool m_bAutoDetect;
    netadr_t m_adrStaticProxy;
    CUtlVector<CUtlString> m_vecAutoDetectedProxyExcludedHosts;
};

#include "support/http/httpclienttestutil.h"

#include "foundation/platform/process.h"
#include "jobs/framefunctionmgr.h"

CScopedEnvironment::CScopedEnvironment(
    std::initializer_list<std::pair<const char *, const char *>> listVariables)
{
    for (const auto &variable : listVariables)
    {
        const char *pchOld = PLAT_GetEnv(variable.first);
        m_vecSaved.push_back({variable.first, pchOld != nullptr, pchOld ? pchOld : ""});
        PLAT_SetEnv(variable.first, variable.second);
    }
}

CScopedEnvironment::~CScopedEnvironment()
{
    for (const Saved_t &saved : m_vecSaved)
        PLAT_SetEnv(saved.m_strName.c_str(), saved.m_bWasSet ? saved.m_strValue.c_str() : nullptr);
}

CScopedEnvironment *NewEnvironmentWithoutProxy()
{
    return new CScopedEnvironment(
        {{"http_proxy", nullptr}, {"HTTP_PROXY", nullptr}, {"no_proxy", nullptr}, {"NO_PROXY", nullptr}});
}

void CHTTPClientTestBase::SetUp()
{
    m_pEnvironment.reset(NewEnvironmentWithoutProxy());
    NetTestInit();
}

void CHTTPClientTestBase::TearDown()
{
    StopClient();
    m_pClock.reset();
    m_pEnvironment.reset();
}

void CHTTPClientTestBase::UseManualClock()
{
    ASSERT_EQ(nullptr, m_pClient);
    m_pClock.reset(new CNetTestManualClock());
}

CManualClock &CHTTPClientTestBase::Clock()
{
    return *m_pClock->operator->();
}

void CHTTPClientTestBase::StartClient(uint32 unKeepAliveSeconds, uint32 unMaxPerHost)
{
    m_pClient = new CHTTPClient(GetFrameFunctionMgr(), unKeepAliveSeconds, nullptr, 1, unMaxPerHost, nullptr,
                                nullptr);
}

void CHTTPClientTestBase::StopClient()
{
    if (!m_pClient)
        return;
    m_pClient->Shutdown();
    delete m_pClient;
    m_pClient = nullptr;
    // Let the network layer finish the disconnects and destroys of the connections.
    PumpUntil([] { return CNet::GetConnectionCount() == 0; }, 5000);
}

CHTTPRequestHandle *CHTTPClientTestBase::Get(const std::string &strHost, const char *pchPath,
                                             uint32 unNetworkTimeout, uint32 unAbsoluteTimeout)
{
    CHTTPClientRequest *pRequest = new CHTTPClientRequest(k_EHTTPMethodGET, strHost.c_str(), pchPath, false);
    pRequest->m_unNetworkTimeoutSeconds = unNetworkTimeout;
    pRequest->m_unAbsoluteTimeoutSeconds = unAbsoluteTimeout;
    CHTTPRequestHandle *pHandle = m_pClient->SendHTTPRequest(pRequest);
    pRequest->Release();
    return pHandle;
}

std::string CHTTPClientTestBase::Body(CHTTPRequestHandle *pHandle)
{
    const CUtlBuffer &buf = pHandle->AccessResponse()->GetBodyBuffer();
    return std::string((const char *)buf.Base(), (size_t)buf.TellPut());
}

bool CHTTPClientTestBase::BWaitCompleted(CHTTPRequestHandle *pHandle, uint32 unMaxMilliseconds)
{
    return PumpUntil([pHandle] { return pHandle->BCompleted(); }, unMaxMilliseconds);
}

std::string CHTTPClientTestBase::RequestLine(const std::string &strRequest)
{
    return strRequest.substr(0, strRequest.find("\r\n"));
}

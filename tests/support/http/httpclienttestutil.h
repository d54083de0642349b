// Helpers of the HTTP client tests: a fixture that runs a CHTTPClient over the network
// layer (optionally on a manual clock), and an environment without proxy settings.
#pragma once

#include "http/httpclient.h"
#include "support/net/nettestutil.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

// Sets environment variables for a scope (null: unset) and puts the old values back.
class CScopedEnvironment
{
public:
    CScopedEnvironment(std::initializer_list<std::pair<const char *, const char *>> listVariables);
    ~CScopedEnvironment();

private:
    struct Saved_t
    {
        std::string m_strName;
        bool m_bWasSet;
        std::string m_strValue;
    };
    std::vector<Saved_t> m_vecSaved;
};

// The proxy variables a developer's shell may hold, unset.
CScopedEnvironment *NewEnvironmentWithoutProxy();

class CHTTPClientTestBase : public ::testing::Test
{
protected:
    void SetUp() override;
    // Shuts the client down, lets the network layer finish, then drops the manual clock.
    void TearDown() override;

    // Installs a manual clock for the test; call before StartClient, since the client's
    // work threads read the clock.
    void UseManualClock();
    CManualClock &Clock();
    void StartClient(uint32 unKeepAliveSeconds = 60, uint32 unMaxPerHost = 3);
    void StopClient();

    // A GET to "host[:port]" and path, through SendHTTPRequest; the caller releases it.
    CHTTPRequestHandle *Get(const std::string &strHost, const char *pchPath = "/file",
                            uint32 unNetworkTimeout = 60, uint32 unAbsoluteTimeout = 14400);
    static std::string LoopbackHost(uint16 usPort) { return "127.0.0.1:" + std::to_string(usPort); }
    static std::string Body(CHTTPRequestHandle *pHandle);
    static bool BWaitCompleted(CHTTPRequestHandle *pHandle, uint32 unMaxMilliseconds = 10000);
    // The request line of a recorded request.
    static std::string RequestLine(const std::string &strRequest);

    CHTTPClient *m_pClient = nullptr;

private:
    std::unique_ptr<CScopedEnvironment> m_pEnvironment;
    std::unique_ptr<CNetTestManualClock> m_pClock;
};

// ferro-fetch: the operator's probe of the content service through exactly the launcher's
// network stack: one CHTTPClient as the launcher makes it (keep-alive 60 s, 3 connections
// per host), every URL sent at once, the frame loop pumped on the main thread until all
// are done.
//
//   ferro-fetch [--out DIR] [--headers] [--network-timeout S] URL...
//
// One line per URL, in the order given, as soon as it and those before it are done:
// "<succeeded 0|1> <status> <body bytes> <url>"; with --headers the response headers
// follow, indented by two spaces as "name: value". A URL that is not sent, or a request
// that fails, gets a reason on standard error. With --out each body of a 200 response is
// written to DIR under the last path segment of its URL, as it arrives, into a temporary
// file that takes the final name only once the body is whole; each body is let go as soon
// as its request is done.
//
// Exit codes: 0 every request succeeded with status 200 (and was written), 1 otherwise,
// 2 bad arguments.
#include "fetchtarget.h"
#include "foundation/clock.h"
#include "foundation/keyvalues.h"
#include "foundation/platform/file.h"
#include "foundation/platform/sockets_init.h"
#include "http/httpclient.h"
#include "jobs/framefunctionmgr.h"
#include "jobs/scheduledfunction.h"
#include "net/net.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace
{
const int k_nExitOk = 0;
const int k_nExitFailed = 1;
const int k_nExitUsage = 2;

// As the launcher creates its client.
const uint32 k_unKeepAliveSeconds = 60;
const uint32 k_unMaxInFlightRequestsPerHost = 3;
// How long the frame loop only yields the processor after its last busy pass.
const uint64 k_usYieldAfterBusy = 2000;
// How long the sockets get to close after the client is shut down.
const uint32 k_unMilliSecCloseGrace = 2000;

struct Options_t
{
    std::string m_strOutDir;
    bool m_bHeaders = false;
    uint32 m_unNetworkTimeoutSeconds = CHTTPClientRequest::k_unDefaultNetworkTimeoutSeconds;
    std::vector<std::string> m_vecURLs;
};

struct Fetch_t
{
    std::string m_strURL;        // as given
    std::string m_strRequestURL; // as sent
    std::string m_strFileName;   // with --out
    std::unique_ptr<CFetchOutputFile> m_pOutFile;
    std::string m_strError; // why it failed (not sent, not resolved, not written, ...)
    CHTTPRequestHandle *m_pHandle = nullptr;
    bool m_bDone = false;
    bool m_bSucceeded = false;
    int m_nStatus = 0;
    uint64 m_cubBody = 0;
    std::vector<std::pair<std::string, std::string>> m_vecHeaders;
};

int Usage(const char *pchProblem)
{
    if (pchProblem)
        fprintf(stderr, "ferro-fetch: %s\n", pchProblem);
    fprintf(stderr, "usage: ferro-fetch [--out DIR] [--headers] [--network-timeout S] URL...\n"
                    "  --out DIR              write each body of a 200 response to DIR under the last\n"
                    "                         path segment of its URL\n"
                    "  --headers              print the response headers after each result line\n"
                    "  --network-timeout S    fail a request after S seconds without a byte (default 60)\n"
                    "Prints \"<succeeded 0|1> <status> <body bytes> <url>\" per URL, in the order given.\n"
                    "Exit code: 0 every request succeeded with status 200, 1 otherwise, 2 bad arguments.\n");
    return k_nExitUsage;
}

// False (with the usage text printed) on bad arguments.
bool BParseArguments(int argc, char **argv, Options_t *pOptions, int *pnExit)
{
    bool bOptionsEnd = false;
    for (int i = 1; i < argc; ++i)
    {
        const char *pchArg = argv[i];
        if (bOptionsEnd || pchArg[0] != '-' || !pchArg[1])
        {
            pOptions->m_vecURLs.push_back(pchArg);
            continue;
        }
        if (!strcmp(pchArg, "--"))
            bOptionsEnd = true;
        else if (!strcmp(pchArg, "--headers"))
            pOptions->m_bHeaders = true;
        else if (!strcmp(pchArg, "--help") || !strcmp(pchArg, "-h"))
        {
            *pnExit = Usage(nullptr);
            return false;
        }
        else if (!strcmp(pchArg, "--out") || !strcmp(pchArg, "--network-timeout"))
        {
            if (i + 1 >= argc)
            {
                std::string strProblem = std::string(pchArg) + " needs a value";
                *pnExit = Usage(strProblem.c_str());
                return false;
            }
            const char *pchValue = argv[++i];
            if (!strcmp(pchArg, "--out"))
            {
                pOptions->m_strOutDir = pchValue;
                continue;
            }
            char *pchEnd = nullptr;
            unsigned long ulSeconds = strtoul(pchValue, &pchEnd, 10);
            if (!*pchValue || *pchEnd || pchValue[0] == '-' || ulSeconds < 1 || ulSeconds > 86400)
            {
                *pnExit = Usage("--network-timeout needs a number of seconds from 1 to 86400");
                return false;
            }
            pOptions->m_unNetworkTimeoutSeconds = (uint32)ulSeconds;
        }
        else
        {
            std::string strProblem = std::string("unknown option ") + pchArg;
            *pnExit = Usage(strProblem.c_str());
            return false;
        }
    }
    if (pOptions->m_vecURLs.empty())
    {
        *pnExit = Usage("no URL given");
        return false;
    }
    if (!pOptions->m_strOutDir.empty() && !PLAT_IsDirectory(pOptions->m_strOutDir.c_str()))
    {
        std::string strProblem = "--out " + pOptions->m_strOutDir + ": not a directory";
        *pnExit = Usage(strProblem.c_str());
        return false;
    }
    return true;
}

// Checks every URL and sends those that can be sent.
void SendAll(CHTTPClient &client, const Options_t &options, std::vector<Fetch_t> &vecFetches)
{
    std::set<std::string> setFileNames;
    for (Fetch_t &fetch : vecFetches)
    {
        if (!BCheckFetchURL(fetch.m_strURL, &fetch.m_strRequestURL, &fetch.m_strError))
        {
            fetch.m_bDone = true;
            continue;
        }
        if (!options.m_strOutDir.empty())
        {
            if (!BFileNameFromURL(fetch.m_strRequestURL, &fetch.m_strFileName, &fetch.m_strError))
            {
                fetch.m_bDone = true;
                continue;
            }
            // Two bodies under one name: whichever came last would win.
            if (!setFileNames.insert(fetch.m_strFileName).second)
            {
                fetch.m_strError = "an earlier URL writes " + fetch.m_strFileName + " already; not sent";
                fetch.m_bDone = true;
                continue;
            }
        }
        CHTTPClientRequest *pRequest = new CHTTPClientRequest(k_EHTTPMethodGET, "", "/", false);
        pRequest->BParseAbsoluteURL(fetch.m_strRequestURL.c_str());
        pRequest->m_unNetworkTimeoutSeconds = options.m_unNetworkTimeoutSeconds;
        fetch.m_pHandle = client.SendHTTPRequest(pRequest);
        pRequest->Release();
        if (!options.m_strOutDir.empty())
            fetch.m_pOutFile.reset(new CFetchOutputFile(options.m_strOutDir, fetch.m_strFileName));
    }
}

// Writes out what a 200 response in progress has received so far. On the thread that
// pumps the frame loop, between passes, the body of a response with a known length and no
// content coding holds the bytes received up to now; other bodies fill at the end. So the
// disk is kept busy while the transfers go on, and a body never waits whole in memory for
// its turn to be written.
void WriteBodySoFar(Fetch_t &fetch)
{
    if (!fetch.m_pOutFile || !fetch.m_strError.empty())
        return;
    CHTTPClientResponse *pResponse = fetch.m_pHandle->AccessResponse();
    if (pResponse->GetStatusCode() != k_EHTTPStatusCode200OK)
        return;
    const CUtlBuffer &bufBody = pResponse->GetBodyBuffer();
    uint64 cubBody = (uint64)bufBody.TellPut();
    if (cubBody != fetch.m_pOutFile->GetBytesWritten())
        fetch.m_pOutFile->BWriteBodySoFar((const uint8 *)bufBody.Base(), cubBody, &fetch.m_strError);
}

// Takes what the output needs from a completed request, writes its body, and lets the
// request go (with its body).
void FinishFetch(Fetch_t &fetch)
{
    CHTTPRequestHandle *pHandle = fetch.m_pHandle;
    CHTTPClientResponse *pResponse = pHandle->AccessResponse();
    fetch.m_bSucceeded = pHandle->m_bSucceeded;
    const CHTTPHeaderStore &headers = pResponse->GetResponseHeaders();
    for (int i = 0; i < headers.Count(); ++i)
        fetch.m_vecHeaders.emplace_back(headers.Name(i), headers.Value(i));
    // Without a status line the response keeps the client's placeholder status; 0 says
    // that nothing was received.
    fetch.m_nStatus =
        (fetch.m_bSucceeded || !fetch.m_vecHeaders.empty()) ? (int)pResponse->GetStatusCode() : 0;
    const CUtlBuffer &bufBody = pResponse->GetBodyBuffer();
    fetch.m_cubBody = (uint64)bufBody.TellPut();

    if (!fetch.m_bSucceeded)
    {
        if (!pHandle->AccessClientRequest()->m_adrTarget.BIsComplete())
            fetch.m_strError = "the host name did not resolve";
        else
            fetch.m_strError = "no complete response (refused, reset, closed early, timed out or malformed)";
    }
    else if (fetch.m_pOutFile && fetch.m_strError.empty())
    {
        if (fetch.m_nStatus != k_EHTTPStatusCode200OK)
            fetch.m_strError = "status " + std::to_string(fetch.m_nStatus) + ", nothing written";
        else if (fetch.m_pOutFile->BWriteBodySoFar((const uint8 *)bufBody.Base(), fetch.m_cubBody,
                                                   &fetch.m_strError))
            fetch.m_pOutFile->BCommit(&fetch.m_strError);
    }
    // An output file that was not committed goes away with its temporary file.
    fetch.m_pOutFile.reset();
    pHandle->Release();
    fetch.m_pHandle = nullptr;
    fetch.m_bDone = true;
}

void PrintFetch(const Options_t &options, const Fetch_t &fetch)
{
    printf("%d %d %llu %s\n", fetch.m_bSucceeded ? 1 : 0, fetch.m_nStatus,
           (unsigned long long)fetch.m_cubBody, fetch.m_strURL.c_str());
    if (options.m_bHeaders)
    {
        for (const auto &header : fetch.m_vecHeaders)
            printf("  %s: %s\n", header.first.c_str(), header.second.c_str());
    }
    fflush(stdout);
    if (!fetch.m_strError.empty())
        fprintf(stderr, "ferro-fetch: %s: %s\n", fetch.m_strURL.c_str(), fetch.m_strError.c_str());
}

// Pumps the frame loop until every request is done, printing the lines in order as they
// become ready. True when all succeeded with status 200 (and were written).
bool BRunFetches(CFrameFunctionMgr &frameFunctionMgr, CHTTPClient &client, const Options_t &options)
{
    std::vector<Fetch_t> vecFetches(options.m_vecURLs.size());
    for (size_t i = 0; i < vecFetches.size(); ++i)
        vecFetches[i].m_strURL = options.m_vecURLs[i];
    SendAll(client, options, vecFetches);

    bool bAllGood = true;
    size_t iNextToPrint = 0;
    uint64 ulLastBusy = Clock_GetMicroseconds();
    uint64 cubReceivedBefore = 0;
    while (iNextToPrint < vecFetches.size())
    {
        bool bMoreWork = frameFunctionMgr.RunFrame(k_EFrameTypeMain);
        // The network layer reports work left over, not work done: bytes that arrived in
        // this pass show in the responses' progress counters.
        uint64 cubReceived = 0;
        for (Fetch_t &fetch : vecFetches)
        {
            if (fetch.m_bDone)
                continue;
            cubReceived += fetch.m_pHandle->AccessResponse()->m_unBodyBytesReceived.load();
            if (fetch.m_pHandle->BCompleted())
            {
                FinishFetch(fetch);
                bMoreWork = true;
            }
            else
            {
                WriteBodySoFar(fetch);
            }
        }
        if (cubReceived != cubReceivedBefore)
            bMoreWork = true;
        cubReceivedBefore = cubReceived;
        while (iNextToPrint < vecFetches.size() && vecFetches[iNextToPrint].m_bDone)
        {
            const Fetch_t &fetch = vecFetches[iNextToPrint++];
            PrintFetch(options, fetch);
            bAllGood = bAllGood && fetch.m_bSucceeded && fetch.m_nStatus == k_EHTTPStatusCode200OK &&
                       fetch.m_strError.empty();
        }
        // Nothing to do until the network has more. Right after a busy pass more is due
        // any moment (a transfer in full swing), so the processor is only yielded; once the
        // loop has been idle for a while it rests a millisecond at a time instead of spinning.
        uint64 ulNow = Clock_GetMicroseconds();
        if (bMoreWork)
            ulLastBusy = ulNow;
        else
            Clock_Sleep(ulNow - ulLastBusy < k_usYieldAfterBusy ? 0 : 1);
    }
    return bAllGood;
}
} // namespace

int main(int argc, char **argv)
{
    Options_t options;
    int nExit = k_nExitOk;
    if (!BParseArguments(argc, argv, &options, &nExit))
        return nExit;
    if (!PLAT_StartSockets())
    {
        fprintf(stderr, "ferro-fetch: the system's socket library could not be started\n");
        return k_nExitFailed;
    }

    // The frame loop as the launcher's main flow sets it up.
    CFrameFunctionMgr &frameFunctionMgr = GetFrameFunctionMgr();
    frameFunctionMgr.Register(&GetScheduledFunctionMgr());
    TCPConnectionGlobalInit(true, frameFunctionMgr);
    {
        CHTTPClient client(frameFunctionMgr, k_unKeepAliveSeconds, nullptr, 1, k_unMaxInFlightRequestsPerHost,
                           nullptr, nullptr);
        nExit = BRunFetches(frameFunctionMgr, client, options) ? k_nExitOk : k_nExitFailed;
        client.Shutdown();
    }
    // The kept-alive connections close through the network layer's frame functions.
    uint64 ulEnd = Clock_GetMicroseconds() + (uint64)k_unMilliSecCloseGrace * 1000;
    while (CNet::GetConnectionCount() > 0 && Clock_GetMicroseconds() < ulEnd)
    {
        if (!frameFunctionMgr.RunFrame(k_EFrameTypeMain))
            Clock_Sleep(1);
    }
    frameFunctionMgr.Deregister(&GetScheduledFunctionMgr());
    TCPConnectionGlobalShutdown();
    PLAT_StopSockets();
    return nExit;
}

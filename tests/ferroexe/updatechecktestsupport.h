// Shared by the update check and updater thread tests: a content service on the scripted
// HTTP server (signed manifests and real zip packages, served by path, with faults per
// path), an updater pointed at it, and the main thread's part (pumping the frame loop)
// played by the test while the updater works on another thread.
#pragma once

#include "installtestsupport.h"

#include "crypto/kvsignature.h"
#include "foundation/utlbuffer.h"
#include "support/devkeytestsupport.h"
#include "support/http/httpclienttestutil.h"
#include "support/net/nettestutil.h"
#include "support/scriptedhttpserver.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

// Records what the updater shows, from the updater's thread, for the test's thread to read;
// Cancel can be pressed from any thread, or when a status starts with a chosen text.
class CCheckRecordingUI : public CRecordingUpdateUI
{
public:
    bool BShowWindow() override
    {
        ++m_cShowWindow;
        return true;
    }
    void SetStatusText(const char *pchText) override
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_vecStatus.push_back(pchText ? pchText : "");
        if (!m_strCancelOnStatusPrefix.empty() && m_vecStatus.back().rfind(m_strCancelOnStatusPrefix, 0) == 0)
            m_bCancelled = true;
    }
    void SetProgress(int nPercent) override
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_vecProgress.push_back(nPercent);
    }
    bool BUserCancelled() override { return m_bCancelled.load(); }

    std::vector<std::string> Status()
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_vecStatus;
    }
    std::vector<int> Progress()
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_vecProgress;
    }
    void CancelOnStatus(const std::string &strPrefix)
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_strCancelOnStatusPrefix = strPrefix;
    }

    std::atomic<int> m_cShowWindow{0};
    std::atomic<bool> m_bCancelled{false};

private:
    std::mutex m_Mutex;
    std::vector<std::string> m_vecStatus;
    std::vector<int> m_vecProgress;
    std::string m_strCancelOnStatusPrefix;
};

class UpdateCheckTest : public InstallTest
{
protected:
    void SetUp() override
    {
        InstallTest::SetUp();
        m_pEnvironment.reset(NewEnvironmentWithoutProxy());
        NetTestInit();
        m_Server.SetDefaultScript(
            CHTTPScript().AnswerByPath([this](const std::string &strPath, std::string *pstrResponse)
                                       { return BAnswer(strPath, pstrResponse); }));
        ASSERT_TRUE(m_Server.BStart());
    }
    void TearDown() override
    {
        // The updater (and its HTTP client) first, while the frame loop can still finish
        // what the client leaves; then the server.
        if (m_pUpdater)
            ShutDownUpdater();
        m_pUpdater.reset();
        PumpUntil([] { return CNet::GetConnectionCount() == 0; }, 5000);
        m_Server.Stop();
        m_pEnvironment.reset();
        InstallTest::TearDown();
    }

    std::string Host() const { return "127.0.0.1:" + std::to_string(m_Server.GetPort()); }

    // Zips the packages, signs a manifest for them and serves both under "/client/".
    // Returns the files the build installs.
    FileMap_t ServeBuild(uint64 ulVersion, std::vector<TestPackage_t> vecPackages,
                         const std::string &strBeta = "")
    {
        FileMap_t mapFiles;
        std::lock_guard<std::mutex> lock(m_Mutex);
        for (TestPackage_t &package : vecPackages)
        {
            std::string strZip = BuildZip(m_Dir.File("scratch.zip"), package.m_vecItems);
            package.m_strFile = package.m_strName + ".zip." + SHA1Hex(strZip);
            package.m_cubSize = strZip.size();
            m_mapContent["/client/" + package.m_strFile] = strZip;
            for (const ZipItem_t &item : package.m_vecItems)
            {
                if (item.m_strName.empty() || item.m_strName.back() != '/')
                    mapFiles[LowerPath(item.m_strName)] = item.m_strContent;
            }
        }
        m_vecServedPackages = vecPackages;
        m_mapContent["/client/" + PackageBase(strBeta)] =
            SignedManifestText(ManifestText(ulVersion, vecPackages));
        return mapFiles;
    }

    void SetContent(const std::string &strPath, const std::string &strBody)
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_mapContent[strPath] = strBody;
    }
    std::string PackageURL(const TestPackage_t &package) const { return "/client/" + package.m_strFile; }

    // Replaces how one path is answered (thread-safe; the function runs on the server's
    // connection thread).
    void SetFault(const std::string &strPath, const CHTTPScript::FnAnswer_t &fnAnswer)
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_mapFaults[strPath] = fnAnswer;
    }

    // The paths requested so far, in the order the requests arrived.
    std::vector<std::string> RequestedPaths()
    {
        std::vector<std::string> vecPaths;
        for (const std::string &strRequest : m_Server.GetRequests())
        {
            size_t iStart = strRequest.find(' ');
            size_t iEnd = strRequest.find(' ', iStart + 1);
            vecPaths.push_back(strRequest.substr(iStart + 1, iEnd - iStart - 1));
        }
        return vecPaths;
    }

    // An updater over the install directory, pointed at the server, initialised with its
    // own HTTP client (the command line given decides the start-up check).
    CFerroUpdater &MakeNetworkUpdater(const std::string &strExtraConfig = "",
                                      const char *pchCommandLine = "arvolauncher -download")
    {
        WriteInstallFile("ferro.cfg", "ClientDownloadHost=" + Host() + "\n" + strExtraConfig);
        CFerroUpdater &updater = MakeInstallUpdater();
        updater.SetUpdateStatusUI(&m_UI);
        // Retries follow each other at once: the tests count them, not their pauses.
        updater.m_DownloadSettings.m_msFirstRetryPause = 0;
        EXPECT_TRUE(updater.BInitializeWithCommandLine(NewHTTPClient(), false, "", pchCommandLine));
        return updater;
    }

    // Runs the work on a thread of its own while this thread pumps the frame loop, as the
    // main thread does in the launcher; bounded in real time.
    template <typename Fn>
    bool BRunPumping(Fn fnWork, uint32 unMaxMilliseconds = 30000)
    {
        std::atomic<bool> bDone(false);
        bool bResult = false;
        std::thread thread(
            [&]
            {
                bResult = fnWork();
                bDone = true;
            });
        bool bFinished = PumpUntil([&] { return bDone.load(); }, unMaxMilliseconds);
        EXPECT_TRUE(bFinished) << "the updater's work did not end in time";
        if (!bFinished)
            m_pUpdater->m_bShutdownRequested = true; // ends it at its next poll
        PumpUntil([&] { return bDone.load(); }, 10000);
        thread.join();
        return bResult;
    }
    // A check whose package stalls after its headers, with the given low-speed window; it
    // must fail after usExpected on the manual clock.
    void RunStalledCheck(uint32 unWindowSeconds, uint64 usExpected);
    bool BRunCheck(bool bSaveManifest)
    {
        return BRunPumping([this, bSaveManifest] { return m_pUpdater->BCheckForUpdate(bSaveManifest); });
    }

    // RequestShutdown on this thread, with the frame loop pumped afterwards so that the
    // network layer finishes the connections the client closed.
    void ShutDownUpdater()
    {
        m_pUpdater->RequestShutdown();
        PumpUntil([] { return CNet::GetConnectionCount() == 0; }, 5000);
    }

    // Pumps the frame loop and moves the manual clock on in steps (the updater's sleeps
    // and the client's time-outs wait for it) until the condition holds; bounded in count.
    static bool BPumpAdvancing(CNetTestManualClock &clock, const std::function<bool()> &fnCondition,
                               uint64 usStep = 50000, int cMaxSteps = 20000)
    {
        for (int i = 0; i < cMaxSteps; ++i)
        {
            if (PumpUntil(fnCondition, 1))
                return true;
            clock->Advance(usStep);
        }
        return fnCondition();
    }

    // The installed build's files (GameFiles without the configuration the test wrote).
    FileMap_t BuildFiles() const
    {
        FileMap_t map = GameFiles();
        map.erase("ferro.cfg");
        return map;
    }

    std::string LastError() const { return m_pUpdater->GetLastErrorText().Get(); }
    bool BStatusSeen(const std::string &strStatus)
    {
        std::vector<std::string> vecStatus = m_UI.Status();
        return std::find(vecStatus.begin(), vecStatus.end(), strStatus) != vecStatus.end();
    }

    CScriptedHTTPServer m_Server;
    CCheckRecordingUI m_UI;
    std::vector<TestPackage_t> m_vecServedPackages;

private:
    bool BAnswer(const std::string &strPath, std::string *pstrResponse)
    {
        CHTTPScript::FnAnswer_t fnFault;
        std::string strBody;
        bool bFound = false;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            auto itFault = m_mapFaults.find(strPath);
            if (itFault != m_mapFaults.end())
                fnFault = itFault->second;
            auto it = m_mapContent.find(strPath);
            if (it != m_mapContent.end())
            {
                strBody = it->second;
                bFound = true;
            }
        }
        if (fnFault)
            return fnFault(strPath, pstrResponse);
        *pstrResponse = bFound ? HTTPResponse(200, {}, strBody) : HTTPResponse(404, {}, "not found");
        return true;
    }

    std::unique_ptr<CScopedEnvironment> m_pEnvironment;
    std::mutex m_Mutex;
    std::map<std::string, std::string> m_mapContent;
    std::map<std::string, CHTTPScript::FnAnswer_t> m_mapFaults;
};

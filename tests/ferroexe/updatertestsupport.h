// Shared by the updater tests: a temporary install directory that is also the working
// directory (the updater works relative to it), a temporary registry, a UI that records
// fatal errors, and helpers to construct an updater there and read its bootstrap log.
#pragma once

#include "ferroexe/ferroupdater.h"
#include "ferroexe/installpaths.h"
#include "ferroexe/updatestatusui.h"
#include "foundation/platform/file.h"
#include "http/httpclient.h"
#include "jobs/framefunctionmgr.h"
#include "support/testsupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

// Records what the updater shows; everything else does nothing.
class CRecordingUpdateUI : public IUpdateStatusUI
{
public:
    bool BInit(int *, char ***) override { return true; }
    bool BCreateWindow() override { return true; }
    bool BShowWindow() override { return true; }
    void DestroyWindow() override {}
    void Shutdown() override {}
    void SetStatusText(const char *) override {}
    void SetProgress(int) override {}
    bool BUserCancelled() override { return false; }
    void ShowFatalError(const char *pchText) override { m_vecFatalErrors.push_back(pchText ? pchText : ""); }
    int AskYesNo(const char *, FnAskYesNoAnswer, void *) override { return 1; }
    bool BRunFrame(const uint64 *) override { return true; }
    bool BReadyToLaunchClient() override { return true; }
    void ShowFatalErrorWithCause(const char *pchCause, const char *pchText) override
    {
        m_vecFatalErrors.push_back(std::string(pchCause ? pchCause : "") + " | " + (pchText ? pchText : ""));
    }
    void WakeFrame() override { ++m_cWakes; }

    std::vector<std::string> m_vecFatalErrors;
    std::atomic<int> m_cWakes{0};
};

class UpdaterTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_strInstall = m_Dir.File("install");
        std::filesystem::create_directories(m_strInstall);
        ASSERT_TRUE(CInstallPaths::BSetFromExePath((m_strInstall + "/arvolauncher").c_str()));
        ASSERT_TRUE(PLAT_GetCurrentDirectory(m_rgchPreviousDir, sizeof(m_rgchPreviousDir)));
        ASSERT_TRUE(PLAT_SetCurrentDirectory(m_strInstall.c_str()));
        setenv("FERRO_REGISTRY_DIR", m_Dir.File("registry").c_str(), 1);
        ResetDownloadLocations();
    }
    void TearDown() override
    {
        m_pUpdater.reset();
        PLAT_SetCurrentDirectory(m_rgchPreviousDir);
        unsetenv("FERRO_REGISTRY_DIR");
        ResetDownloadLocations();
    }

    // A path inside the install directory.
    std::string Install(const std::string &strRelative) const { return m_strInstall + "/" + strRelative; }
    void WriteInstallFile(const std::string &strRelative, const std::string &strContent)
    {
        std::filesystem::create_directories(std::filesystem::path(Install(strRelative)).parent_path());
        ASSERT_TRUE(WriteTextFile(Install(strRelative), strContent)) << strRelative;
    }

    // Constructs the updater over the install directory as it is now.
    CFerroUpdater &MakeUpdater()
    {
        m_pUpdater.reset();
        m_pUpdater.reset(new CFerroUpdater());
        return *m_pUpdater;
    }
    CFerroUpdater &MakeUpdaterWithConfig(const std::string &strConfig)
    {
        WriteInstallFile("ferro.cfg", strConfig);
        return MakeUpdater();
    }

    std::string Log() const { return ReadTextFile(Install("logs/bootstrap_log.txt")); }
    // The message texts of the log's lines, in order (timestamps and line ends removed).
    std::vector<std::string> LogMessages() const
    {
        std::vector<std::string> vecMessages;
        std::string strLog = Log();
        size_t iPos = 0;
        while ((iPos = strLog.find("] ", iPos)) != std::string::npos)
        {
            size_t iEnd = strLog.find("\r\n", iPos);
            vecMessages.push_back(strLog.substr(iPos + 2, iEnd - iPos - 2));
            iPos = iEnd;
        }
        return vecMessages;
    }
    bool BLogHas(const std::string &strMessage) const
    {
        for (const std::string &str : LogMessages())
        {
            if (str == strMessage)
                return true;
        }
        return false;
    }

    bool BLogHasSubstring(const std::string &strPart) const
    {
        for (const std::string &str : LogMessages())
        {
            if (str.find(strPart) != std::string::npos)
                return true;
        }
        return false;
    }

    static CHTTPClient *NewHTTPClient()
    {
        return new CHTTPClient(GetFrameFunctionMgr(), 60, nullptr, 1, 3, nullptr, nullptr);
    }

    CTempDir m_Dir;
    std::string m_strInstall;
    std::unique_ptr<CFerroUpdater> m_pUpdater;

private:
    char m_rgchPreviousDir[4096];
};

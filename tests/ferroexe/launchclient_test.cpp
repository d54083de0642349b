// The client launch with the sample client libraries loaded into the test program (which
// exports the launcher's functions as the executable does).
#include "ferroexe/launchclient.h"

#include "ferroexe/ferroupdater.h"
#include "ferroexe/installpaths.h"

#include "clienttestutil.h"

#include <gtest/gtest.h>

#include <string>

namespace
{
const std::string k_strClient = "ferro" FERRO_DLL_EXT;
const std::string k_strConsoleUI = "ferroconsole" FERRO_DLL_EXT;
const std::string k_strWindowUI = "ferroui" FERRO_DLL_EXT;

int Launch(std::vector<std::string> vecArgs, bool bOffline, bool bConsole)
{
    std::vector<char *> vecArgv;
    for (std::string &str : vecArgs)
        vecArgv.push_back(&str[0]);
    vecArgv.push_back(nullptr);
    return LaunchClient((int)vecArgs.size(), vecArgv.data(), bOffline, bConsole);
}
} // namespace

TEST(LaunchClient, RunsStartupEntryAndShutdownInOrderAndReturnsTheEntryResult)
{
    CClientInstallDir dir;
    ASSERT_TRUE(dir.BCopyLibrary(k_strClient));
    ASSERT_TRUE(dir.BCopyLibrary(k_strConsoleUI));
    ASSERT_TRUE(CInstallPaths::BSetFromExePath(dir.File("arvolauncher").c_str()));

    testing::internal::CaptureStdout();
    int nResult = Launch({dir.File("arvolauncher"), "-client-exit", "42"}, true, true);
    std::string strOut = testing::internal::GetCapturedStdout();
    EXPECT_EQ(42, nResult) << strOut;

    // Start-up got the offline flag and its inverse; the entry point the vector; the
    // shut-down came after the entry point returned.
    size_t iStartup = strOut.find("client startup: offline=1 online=0\n");
    size_t iEntry = strOut.find("client ui: console\n");
    size_t iExit = strOut.find("client exit: 42\n");
    size_t iShutdown = strOut.find("client shutdown\n");
    ASSERT_NE(std::string::npos, iStartup) << strOut;
    ASSERT_NE(std::string::npos, iShutdown) << strOut;
    EXPECT_LT(iStartup, iEntry);
    EXPECT_LT(iEntry, iExit);
    EXPECT_LT(iExit, iShutdown);
    EXPECT_NE(std::string::npos, strOut.find("argv[2]: 42\n"));
    EXPECT_NE(std::string::npos, strOut.find("install dir: " + dir.Path() + "\n")) << strOut;
    EXPECT_NE(std::string::npos, strOut.find("validate interface: 1 (0)\n")) << strOut;
    EXPECT_EQ(std::string::npos, strOut.find("missing export")) << strOut;
    DeleteFerroUpdater(); // made by the client's first export call, in this directory

    // Without the console flag the window library is the one looked for.
    CSpewCapture capture;
    EXPECT_EQ(-1, Launch({dir.File("arvolauncher")}, false, false));
    EXPECT_TRUE(capture.BContains("Failed to load " + k_strWindowUI)) << "no UI set: a warning";
}

TEST(LaunchClient, EveryFailureShowsOneMessageAndReturnsMinus1)
{
    CClientInstallDir dir;
    CSpewCapture capture;

    // No client library, a text file in its place, one without the factory, one whose
    // factory gives nothing: all "Failed to load" with the client library's name.
    EXPECT_EQ(-1, Launch({"arvo"}, false, true));
    ASSERT_TRUE(WriteTextFile(dir.File(k_strClient), "this is not a library\n"));
    EXPECT_EQ(-1, Launch({"arvo"}, false, true));
    ASSERT_TRUE(dir.BCopyLibrary(k_strConsoleUI, k_strClient));
    EXPECT_EQ(-1, Launch({"arvo"}, false, true));
    EXPECT_EQ(3, capture.CountContaining("Failed to load " + k_strClient));

    CClientInstallDir dir2;
    ASSERT_TRUE(dir2.BCopyLibrary(k_strClient));
    setenv("FERRO_SAMPLE_CLIENT_FAIL", "nullinterface", 1);
    EXPECT_EQ(-1, Launch({"arvo"}, false, true));
    EXPECT_EQ(4, capture.CountContaining("Failed to load " + k_strClient));
    unsetenv("FERRO_SAMPLE_CLIENT_FAIL");

    // The UI library missing, or without its entry point.
    EXPECT_EQ(-1, Launch({"arvo"}, false, true));
    EXPECT_EQ(1, capture.CountContaining("Failed to load " + k_strConsoleUI));
    ASSERT_TRUE(dir2.BCopyLibrary(k_strClient, k_strConsoleUI));
    EXPECT_EQ(-1, Launch({"arvo"}, false, true));
    EXPECT_EQ(2, capture.CountContaining("Failed to load " + k_strConsoleUI));
}

TEST(LaunchClient, StatusRecordErrorsAreShownWithTheDescriptionCutToTheField)
{
    CClientInstallDir dir;
    ASSERT_TRUE(dir.BCopyLibrary(k_strClient));
    ASSERT_TRUE(dir.BCopyLibrary(k_strConsoleUI));
    CSpewCapture capture;

    testing::internal::CaptureStdout();
    setenv("FERRO_SAMPLE_CLIENT_FAIL", "status:3:x", 1);
    EXPECT_EQ(-1, Launch({"arvo"}, false, true));
    EXPECT_TRUE(capture.BContains("Ferro failed to load: x\n"));

    // An unterminated description: read no further than its 256 bytes, and the whole
    // message is cut at 255.
    setenv("FERRO_SAMPLE_CLIENT_FAIL", "garbage-status", 1);
    EXPECT_EQ(-1, Launch({"arvo"}, false, true));
    std::string strOut = testing::internal::GetCapturedStdout();
    unsetenv("FERRO_SAMPLE_CLIENT_FAIL");
    std::string strExpected = "Ferro failed to load: " + std::string(255 - 22, 'G') + "\n";
    EXPECT_TRUE(capture.BContains(strExpected));
    EXPECT_EQ(std::string::npos, strOut.find("client ui:")) << "the entry point never ran";
}

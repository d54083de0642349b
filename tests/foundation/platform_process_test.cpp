// The process services on POSIX: starting a process from a command line written the
// Windows way, the environment it inherits, the executable path, the administrator test.
#include "foundation/platform/file.h"
#include "foundation/platform/process.h"
#include "foundation/platform/thread.h"

#include "support/testsupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace
{
// The started process runs on its own; its output file is complete once it ends with the marker.
std::string AwaitOutput(const std::string &strPath, const std::string &strEndMarker)
{
    std::string strContent;
    for (int i = 0; i < 10000; ++i)
    {
        strContent = ReadTextFile(strPath);
        if (strContent.size() >= strEndMarker.size() &&
            strContent.compare(strContent.size() - strEndMarker.size(), strEndMarker.size(), strEndMarker) ==
                0)
            break;
        PLAT_Sleep(1);
    }
    return strContent;
}
} // namespace

TEST(PlatformProcess, StartSplitsTheCommandLineTheWindowsWay)
{
    CTempDir dir;
    const std::string strOut = dir.File("out.txt");
    // Quotes keep blanks; a backslash escapes a quote and is literal elsewhere; an odd run of
    // backslashes before a quote gives half of them and the quote; "" is an empty argument.
    std::string strCommand = "\\bin\\sh -c \"for a; do printf '[%s]' \\\"$a\\\"; done > " + strOut +
                             "\" zero \"a b\" c\\\"d \"e\\\\\\\"f\" g\\\\h \"\" end";
    ASSERT_TRUE(PLAT_StartProcess(strCommand.c_str())) << strCommand;
    EXPECT_EQ("[a b][c\"d][e\\\"f][g\\\\h][][end]", AwaitOutput(strOut, "[end]"));

    // A bare program name is looked up on the search path.
    const std::string strOut2 = dir.File("out2.txt");
    ASSERT_TRUE(PLAT_StartProcess(("sh -c \"echo found > " + strOut2 + "\"").c_str()));
    EXPECT_EQ("found\n", AwaitOutput(strOut2, "\n"));

    EXPECT_FALSE(PLAT_StartProcess((dir.Path() + "/no-such-program arg").c_str()));
    EXPECT_FALSE(PLAT_StartProcess(""));
    EXPECT_FALSE(PLAT_StartProcess("   "));
}

TEST(PlatformProcess, StartedProcessInheritsEnvironmentButNoDescriptors)
{
    CTempDir dir;
    ASSERT_TRUE(PLAT_SetEnv("FERRO_PLATFORM_TEST", "value with blanks"));
    EXPECT_STREQ("value with blanks", PLAT_GetEnv("FERRO_PLATFORM_TEST"));

    // A descriptor opened without close-on-exec must still not reach the new process (one
    // of a high number: the shell itself uses a few low ones).
    int fdPlain = open(dir.Path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fdPlain, 0);
    int fdHigh = fcntl(fdPlain, F_DUPFD, 200);
    ASSERT_GE(fdHigh, 200);

    const std::string strOut = dir.File("env.txt");
    const std::string strShell = "/bin/sh -c \"printf '%s|' \\\"$FERRO_PLATFORM_TEST\\\" > " + strOut +
                                 "; ls /proc/$$/fd | tr '\\n' ' ' >> " + strOut + "; echo done >> " + strOut +
                                 "\"";
    ASSERT_TRUE(PLAT_StartProcess(strShell.c_str()));
    std::string strResult = AwaitOutput(strOut, "done\n");
    close(fdHigh);
    close(fdPlain);
    ASSERT_EQ(0u, strResult.find("value with blanks|")) << strResult;
    EXPECT_EQ(std::string::npos, strResult.find(" " + std::to_string(fdHigh) + " ")) << strResult;

    ASSERT_TRUE(PLAT_SetEnv("FERRO_PLATFORM_TEST", nullptr));
    EXPECT_EQ(nullptr, PLAT_GetEnv("FERRO_PLATFORM_TEST"));
    EXPECT_FALSE(PLAT_SetEnv("", "x"));
}

TEST(PlatformProcess, ExecutablePathAndAdministratorOverride)
{
    char rgchPath[4096];
    ASSERT_TRUE(PLAT_GetExecutablePath(rgchPath, sizeof(rgchPath)));
    const std::string strPath = rgchPath;
    EXPECT_EQ('/', strPath[0]);
    EXPECT_EQ("foundation_tests", strPath.substr(strPath.rfind('/') + 1));
    ASSERT_TRUE(PLAT_GetExecutablePathUTF8(rgchPath, sizeof(rgchPath)));
    EXPECT_EQ(strPath, rgchPath);
    // Exactly the room for the path and its NUL fits; one byte less does not.
    EXPECT_TRUE(PLAT_GetExecutablePath(rgchPath, strPath.size() + 1));
    EXPECT_FALSE(PLAT_GetExecutablePath(rgchPath, strPath.size()));
    EXPECT_FALSE(PLAT_GetExecutablePathUTF8(rgchPath, strPath.size()));

    EXPECT_NE(nullptr, strstr(PLAT_GetRawCommandLine(), "foundation_tests"));
    EXPECT_EQ((uint32)getpid(), PLAT_GetCurrentProcessId());

    const char *pchSaved = PLAT_GetEnv("FERRO_ASSUME_ADMIN");
    std::string strSaved = pchSaved ? pchSaved : "";
    PLAT_SetEnv("FERRO_ASSUME_ADMIN", "1");
    EXPECT_TRUE(PLAT_IsUserAnAdmin());
    PLAT_SetEnv("FERRO_ASSUME_ADMIN", "0");
    EXPECT_FALSE(PLAT_IsUserAnAdmin());
    PLAT_SetEnv("FERRO_ASSUME_ADMIN", pchSaved ? strSaved.c_str() : nullptr);
}

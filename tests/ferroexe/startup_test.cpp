#include "ferroexe/crashmarker.h"
#include "ferroexe/installpaths.h"
#include "ferroexe/main.h"

#include "support/testsupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(InstallPaths, InstallDirIsTheExecutablePathCutAtItsLastSeparator)
{
    EXPECT_TRUE(CInstallPaths::BSetFromExePath("C:\\Games/Arvo\\arvolauncher.exe"));
    EXPECT_STREQ("C:\\Games/Arvo\\arvolauncher.exe", CInstallPaths::ExePath());
    EXPECT_STREQ("C:\\Games/Arvo", CInstallPaths::InstallDir());
    EXPECT_TRUE(CInstallPaths::BInstallDirIsASCII());

    EXPECT_TRUE(CInstallPaths::BSetFromExePath("/arvolauncher"));
    EXPECT_STREQ("/", CInstallPaths::InstallDir());

    // Refused, leaving the last good value: no separator, empty, too long for 778 bytes.
    EXPECT_FALSE(CInstallPaths::BSetFromExePath("arvolauncher"));
    EXPECT_FALSE(CInstallPaths::BSetFromExePath(""));
    EXPECT_FALSE(CInstallPaths::BSetFromExePath(nullptr));
    std::string strLongest = "/" + std::string(INSTALL_PATH_BUFFER_BYTES - 2, 'a');
    EXPECT_TRUE(CInstallPaths::BSetFromExePath(strLongest.c_str()));
    std::string strTooLong = strLongest + "b";
    EXPECT_FALSE(CInstallPaths::BSetFromExePath(strTooLong.c_str()));
    EXPECT_EQ(strLongest, CInstallPaths::ExePath());

    EXPECT_TRUE(CInstallPaths::BSetFromExePath("/opt/\xc3\xbcnstall/arvolauncher"));
    EXPECT_FALSE(CInstallPaths::BInstallDirIsASCII());
    // A non-ASCII byte in the file name alone does not count.
    EXPECT_TRUE(CInstallPaths::BSetFromExePath("/opt/arvo/\xc3\xbc"));
    EXPECT_TRUE(CInstallPaths::BInstallDirIsASCII());

    // Copies are cut to the caller's buffer and terminated.
    char rgch[8];
    memset(rgch, 'X', sizeof(rgch));
    CInstallPaths::CopyInstallDir(rgch, 5);
    EXPECT_STREQ("/opt", rgch);
    EXPECT_EQ('X', rgch[5]);
    CInstallPaths::CopyExePath(rgch, sizeof(rgch));
    EXPECT_STREQ("/opt/ar", rgch);
}

TEST(CrashMarker, PathUsesBackslashesAndTheFileComesAndGoes)
{
    char rgchPath[64];
    BuildCrashMarkerPath("C:/Games/Arvo", rgchPath, sizeof(rgchPath));
    EXPECT_STREQ("C:\\Games\\Arvo\\.crash", rgchPath);

    CTempDir dir;
    char rgchMarker[512];
    BuildCrashMarkerPath(dir.Path().c_str(), rgchMarker, sizeof(rgchMarker));
    EXPECT_FALSE(BCrashMarkerExists(rgchMarker));
    EXPECT_TRUE(BCreateCrashMarker(rgchMarker));
    EXPECT_TRUE(BCrashMarkerExists(rgchMarker));
    EXPECT_EQ("", ReadTextFile(dir.File(".crash")));
    DeleteCrashMarker(rgchMarker);
    EXPECT_FALSE(BCrashMarkerExists(rgchMarker));
}

TEST(Relaunch, EveryArgumentIsQuotedAndFollowedByABlank)
{
    char rgchArg0[] = "/opt/arvo/arvolauncher";
    char rgchArg1[] = "a b";
    char rgchArg2[] = "-textclient";
    char *rgpchArgs[] = {rgchArg0, rgchArg1, rgchArg2, nullptr};
    std::string strCommandLine;
    BuildRelaunchCommandLine(rgpchArgs, &strCommandLine);
    EXPECT_EQ("\"/opt/arvo/arvolauncher\" \"a b\" \"-textclient\" ", strCommandLine);
}

#include "clientapi/exports.h"

#include "ferroexe/ferroupdater.h"
#include "ferroexe/installpaths.h"
#include "ferroexe/interfaceregistry.h"
#include "jobs/framefunctionmgr.h"

#include "clienttestutil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

TEST(Exports, PathCopiesAreCutInUTF8AndAllOrNothingInTheCodePage)
{
    ASSERT_TRUE(CInstallPaths::BSetFromExePath("/opt/arvo/arvolauncher"));
    const int cubExePath = (int)strlen("/opt/arvo/arvolauncher") + 1;
    char rgch[64];

    // A buffer too small: the 8-bit form fails with 0 and an empty text, the UTF-8 form
    // is cut and terminated.
    memset(rgch, 'X', sizeof(rgch));
    EXPECT_EQ(0, GetFerroExePath(rgch, 5));
    EXPECT_STREQ("", rgch);
    GetFerroExePathUTF8(rgch, 5);
    EXPECT_STREQ("/opt", rgch);
    EXPECT_EQ('X', rgch[5]) << "nothing written past the size";

    // Exactly big enough, and one byte short.
    EXPECT_EQ(cubExePath, GetFerroExePath(rgch, cubExePath));
    EXPECT_STREQ("/opt/arvo/arvolauncher", rgch);
    EXPECT_EQ(0, GetFerroExePath(rgch, cubExePath - 1));
    GetFerroExePathUTF8(rgch, cubExePath - 1);
    EXPECT_STREQ("/opt/arvo/arvolaunche", rgch);

    // The install directory under all its names.
    EXPECT_EQ(10, GetFerroInstallDir(rgch, sizeof(rgch)));
    EXPECT_STREQ("/opt/arvo", rgch);
    for (auto pfn : {&GetBaseUserDir, &GetBaseUserContentDir})
    {
        memset(rgch, 'X', sizeof(rgch));
        EXPECT_EQ(10, pfn(rgch, sizeof(rgch)));
        EXPECT_STREQ("/opt/arvo", rgch);
    }
    for (auto pfn : {&GetFerroInstallDirUTF8, &GetBaseUserDirUTF8, &GetBaseUserContentDirUTF8})
    {
        memset(rgch, 'X', sizeof(rgch));
        pfn(rgch, 4);
        EXPECT_STREQ("/op", rgch);
    }

    // No buffer, or no room: nothing happens.
    EXPECT_EQ(0, GetFerroExePath(nullptr, 10));
    EXPECT_EQ(0, GetFerroExePath(rgch, 0));
    EXPECT_EQ(0, GetFerroExePath(rgch, -1));
    GetFerroExePathUTF8(nullptr, 10);
    rgch[0] = 'X';
    GetFerroExePathUTF8(rgch, 0);
    EXPECT_EQ('X', rgch[0]);
}

TEST(Exports, CodePageFormGoesThroughAtMost260UTF16Units)
{
    char rgchBig[2048];
    // Two-byte characters: 259 UTF-16 units with the NUL fit, 260 do not.
    std::string strDir = "/";
    while (strDir.size() < 1 + 2 * 250)
        strDir += "\xc3\xbc";
    std::string strFits = strDir + "/" + std::string(259 - 1 - 250 - 1, 'a');
    ASSERT_TRUE(CInstallPaths::BSetFromExePath(strFits.c_str()));
#ifdef _WIN32
    // The code page form is the system's (one byte per "ü" in the Western ones).
    int cubWritten = GetFerroExePath(rgchBig, sizeof(rgchBig));
    EXPECT_EQ((int)strlen(rgchBig) + 1, cubWritten);
    EXPECT_LT(250, cubWritten);
#else
    EXPECT_EQ((int)strFits.size() + 1, GetFerroExePath(rgchBig, sizeof(rgchBig)));
    EXPECT_EQ(strFits, rgchBig);
#endif
    ASSERT_TRUE(CInstallPaths::BSetFromExePath((strFits + "a").c_str()));
    EXPECT_EQ(0, GetFerroExePath(rgchBig, sizeof(rgchBig)));
    EXPECT_STREQ("", rgchBig);

    // Bytes that are not UTF-8 have no UTF-16 form.
    ASSERT_TRUE(CInstallPaths::BSetFromExePath("/opt/\xff/arvolauncher"));
    EXPECT_EQ(0, GetFerroInstallDir(rgchBig, sizeof(rgchBig)));
}

TEST(Exports, CreateInterfaceKnowsOnlyTheValidationStub)
{
    int32 nCode = -1;
    void *pValidate = CreateInterface("IVALIDATE001", &nCode);
    ASSERT_NE(nullptr, pValidate);
    EXPECT_EQ(0, nCode);
    static_cast<IValidate *>(pValidate)->Validate();
    EXPECT_EQ(pValidate, CreateInterface("IVALIDATE001", nullptr));

    for (const char *pchName : {"ivalidate001", "IVALIDATE00", "IVALIDATE0011", "", "Ferro006"})
    {
        nCode = -1;
        EXPECT_EQ(nullptr, CreateInterface(pchName, &nCode)) << pchName;
        EXPECT_EQ(1, nCode) << pchName;
    }
    nCode = -1;
    EXPECT_EQ(nullptr, CreateInterface(nullptr, &nCode));
    EXPECT_EQ(1, nCode);
    EXPECT_EQ(0u, g_dwDllEntryThreadId);
}

namespace
{
int g_cMainRuns = 0;
int g_cLateRuns = 0;
bool MainTwice(CLimitTimer &)
{
    return ++g_cMainRuns < 2;
}
bool LateRun(CLimitTimer &)
{
    ++g_cLateRuns;
    return true;
}
} // namespace

TEST(Exports, ClientUpdateRunFrameRunsTheMainFrameTypeOnce)
{
    CFrameFunctionMgr &mgr = GetFrameFunctionMgr();
    CBaseFrameFunction *pMain = mgr.RegisterStatic(&MainTwice, "ExportsTest::MainTwice", k_EFrameTypeMain);
    CBaseFrameFunction *pLate = mgr.RegisterStatic(&LateRun, "ExportsTest::LateRun", k_EFrameTypeLate);
    ASSERT_NE(nullptr, pMain);
    ASSERT_NE(nullptr, pLate);
    EXPECT_TRUE(ClientUpdateRunFrame());
    EXPECT_FALSE(ClientUpdateRunFrame());
    EXPECT_EQ(2, g_cMainRuns);
    EXPECT_EQ(0, g_cLateRuns);
    mgr.Deregister(pMain);
    mgr.Deregister(pLate);
    delete pMain;
    delete pLate;
}

TEST(Exports, UpdaterStateAsTheClientSeesIt)
{
    CClientInstallDir dir;
    ASSERT_TRUE(CInstallPaths::BSetFromExePath(dir.File("arvolauncher").c_str()));
    DeleteFerroUpdater();
    CFerroUpdater *pUpdater = GetFerroUpdater();
    ASSERT_NE(nullptr, pUpdater);
    EXPECT_EQ(1, GetEUniverse());
    EXPECT_FALSE(IsCheckingForUpdates());

    // Inhibited: never available, whatever the counters say.
    EXPECT_FALSE(IsClientUpdateAvailable());
    pUpdater->m_cubToDownload = 0x100000005ull;
    pUpdater->m_cubDownloadedComplete = 0xFFFFFFFFull;
    pUpdater->m_cubDownloadedInFlight = 2;
    pUpdater->m_bInhibitAll = true;
    EXPECT_FALSE(IsClientUpdateAvailable());
    pUpdater->m_bInhibitAll = false;
    EXPECT_TRUE(IsClientUpdateAvailable());
    // The low 32 bits of the 64-bit counts.
    EXPECT_EQ(5u, GetClientUpdateBytesToDownload());
    EXPECT_EQ(1u, GetClientUpdateBytesDownloaded());
    pUpdater->m_cubToDownload = 0;
    pUpdater->m_cubDownloadedComplete = 0;
    EXPECT_TRUE(IsClientUpdateAvailable()) << "a download in flight";
    pUpdater->m_cubDownloadedInFlight = 0;
    EXPECT_FALSE(IsClientUpdateAvailable());

    // A beta name read by one thread stays as it was while another thread changes it.
    EXPECT_STREQ("", GetCurrentClientBeta());
    EXPECT_TRUE(CanSetClientBeta());
    SetClientBeta("abc");
    const char *pchBeta = GetCurrentClientBeta();
    EXPECT_STREQ("abc", pchBeta);
    std::string strSeenThere;
    std::thread thread(
        [&]
        {
            SetClientBeta("xyz");
            strSeenThere = GetCurrentClientBeta();
        });
    thread.join();
    EXPECT_EQ("xyz", strSeenThere);
    EXPECT_STREQ("abc", pchBeta);
    EXPECT_STREQ("xyz", GetCurrentClientBeta());
    SetClientBeta(nullptr);
    EXPECT_STREQ("", GetCurrentClientBeta());

    // The wake-up starts the (ended) thread again.
    EXPECT_TRUE(StartCheckingForUpdates());
    EXPECT_TRUE(pUpdater->Join(60000));
    DeleteFerroUpdater();

    // Without an updater, one is made on first use.
    EXPECT_EQ(1, GetEUniverse());
    EXPECT_NE(nullptr, GetFerroUpdater());
    DeleteFerroUpdater();
}

#include "ferroexe/handoff.h"

#include "foundation/platform/namedevent.h"
#include "foundation/platform/registry.h"

#include "clienttestutil.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
std::string HandOffText(std::vector<std::string> vecArgs)
{
    std::vector<char *> vecArgv;
    for (std::string &str : vecArgs)
        vecArgv.push_back(&str[0]);
    vecArgv.push_back(nullptr);
    std::string strText;
    BuildHandOffCommandLine((int)vecArgs.size(), vecArgv.data(), &strText);
    return strText;
}

const EPlatRegistryHive HKLM = k_EPlatRegistryHiveLocalMachine;

std::string ReadCommandLineValue()
{
    std::vector<char> vecBuf(65536);
    if (!PLAT_RegistryReadString(HKLM, FERRO_HANDOFF_REGISTRY_KEY, FERRO_HANDOFF_COMMAND_LINE_VALUE,
                                 vecBuf.data(), vecBuf.size()))
        return "(absent)";
    return vecBuf.data();
}
} // namespace

TEST(HandOff, CommandLineTextQuotesArgumentsWithBlanksAndEndsEachWithOne)
{
    EXPECT_EQ("C:\\Arvo\\arvolauncher.exe -foreground", HandOffText({"C:\\Arvo\\arvolauncher.exe"}));
    EXPECT_EQ("\"C:\\My Games\\arvolauncher.exe\" -foreground",
              HandOffText({"C:\\My Games\\arvolauncher.exe"}));
    EXPECT_EQ("arvo \"C:\\My Games\" -x ", HandOffText({"arvo", "C:\\My Games", "-x"}));
    // Only a blank makes quotes: a tab or a quote does not; an empty argument is a blank
    // of its own.
    EXPECT_EQ("arvo a\tb say\"hi\"  ", HandOffText({"arvo", "a\tb", "say\"hi\"", ""}));
    EXPECT_EQ("-foreground", HandOffText({}));

    std::string strLong(10000, 'a');
    EXPECT_EQ("arvo " + strLong + " ", HandOffText({"arvo", strLong}));
    std::string strLongBlanks = strLong + " " + strLong;
    EXPECT_EQ("arvo \"" + strLongBlanks + "\" ", HandOffText({"arvo", strLongBlanks}));
}

TEST(HandOff, ValueFirstSignalLastAndNothingWithoutAClient)
{
    CClientInstallDir dir;
    char rgchArg0[] = "/opt/My Arvo/arvolauncher";
    char *rgpchArgv[] = {rgchArg0, nullptr};

    // No client: nothing is written, not even into an existing key.
    ASSERT_TRUE(PLAT_RegistryCreateKey(HKLM, FERRO_HANDOFF_REGISTRY_KEY));
    EXPECT_FALSE(BHandOffToRunningInstance(1, rgpchArgv));
    EXPECT_EQ("(absent)", ReadCommandLineValue());

    PlatNamedEvent_t hEvent = PLAT_CreateNamedEvent(FERRO_HANDOFF_EVENT_NAME);
    ASSERT_NE(nullptr, hEvent);
    EXPECT_TRUE(BHandOffToRunningInstance(1, rgpchArgv));
    EXPECT_TRUE(PLAT_WaitNamedEvent(hEvent, 0));
    EXPECT_EQ("\"/opt/My Arvo/arvolauncher\" -foreground", ReadCommandLineValue());

    // The last writer wins; a process id only adds the foreground permission.
    ASSERT_TRUE(
        PLAT_RegistryWriteDWORD(HKLM, FERRO_HANDOFF_REGISTRY_KEY, FERRO_HANDOFF_PROCESS_ID_VALUE, 4242));
    char rgchArg1[] = "-x";
    char *rgpchTwo[] = {rgchArg0, rgchArg1, nullptr};
    EXPECT_TRUE(BHandOffToRunningInstance(2, rgpchTwo));
    EXPECT_TRUE(PLAT_WaitNamedEvent(hEvent, 0));
    EXPECT_EQ("\"/opt/My Arvo/arvolauncher\" -x ", ReadCommandLineValue());

#ifndef _WIN32
    // The POSIX stand-in for the registry, written by hand: a hive without the key, a damaged one.
    // The event without the key: handed off all the same (exit 0), but nothing is written
    // and the client is not woken.
    ASSERT_TRUE(
        WriteTextFile(dir.File("registry/HKLM.txt"), "\"HKEY_LOCAL_MACHINE\" { \"Software\" { } }\n"));
    EXPECT_TRUE(BHandOffToRunningInstance(1, rgpchArgv));
    EXPECT_FALSE(PLAT_WaitNamedEvent(hEvent, 0));
    EXPECT_FALSE(PLAT_RegistryKeyExists(HKLM, FERRO_HANDOFF_REGISTRY_KEY));

    // A damaged hive reads as far as it goes; the hand-off neither crashes nor signals.
    ASSERT_TRUE(WriteTextFile(dir.File("registry/HKLM.txt"), "\"HKEY_LOCAL_MACHINE\" { \"Soft\x01{{ \"\n"));
    EXPECT_TRUE(BHandOffToRunningInstance(2, rgpchTwo));
    EXPECT_FALSE(PLAT_WaitNamedEvent(hEvent, 0));
#endif

    PLAT_CloseNamedEvent(hEvent);
    EXPECT_FALSE(BHandOffToRunningInstance(1, rgpchArgv)) << "the client has gone";
}

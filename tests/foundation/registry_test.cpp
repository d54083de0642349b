#include "foundation/platform/registry.h"

#include "support/testsupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace
{
class RegistryTest : public ::testing::Test
{
protected:
    void SetUp() override { setenv("FERRO_REGISTRY_DIR", (m_Dir.Path() + "/reg").c_str(), 1); }
    void TearDown() override { unsetenv("FERRO_REGISTRY_DIR"); }
    CTempDir m_Dir;
};

const EPlatRegistryHive HKCU = k_EPlatRegistryHiveCurrentUser;
const EPlatRegistryHive HKLM = k_EPlatRegistryHiveLocalMachine;
} // namespace

TEST_F(RegistryTest, MissingFileKeyOrValueReadsAsAbsent)
{
    char rgch[16];
    uint32 unValue = 7;
    EXPECT_FALSE(PLAT_RegistryKeyExists(HKCU, "Software\\Quill\\Ferro"));
    EXPECT_FALSE(PLAT_RegistryReadString(HKCU, "Software\\Quill\\Ferro", "Language", rgch, sizeof(rgch)));
    EXPECT_FALSE(PLAT_RegistryReadDWORD(HKCU, "Software\\Quill\\Ferro", "Offline", &unValue));
    EXPECT_EQ(7u, unValue);
    // Writing needs an existing key, as on Windows.
    EXPECT_FALSE(PLAT_RegistryWriteString(HKLM, "Software\\Quill\\Ferro", "TempAppCmdLine", "x"));
    EXPECT_FALSE(PLAT_RegistryKeyExists(HKLM, "Software\\Quill\\Ferro"));
}

TEST_F(RegistryTest, HandWrittenFileIsReadWithoutRegardToCase)
{
    ASSERT_TRUE(PLAT_RegistryCreateKey(HKCU, "Software"));
    WriteTextFile(
        m_Dir.Path() + "/reg/HKCU.txt",
        "\"HKEY_CURRENT_USER\" { \"software\" { \"QUILL\" { \"Ferro\" { \"Language\" \"german\" "
        "\"Offline\" \"1\" \"Big\" \"4294967295\" \"Huge\" \"4294967296\" \"Word\" \"yes\" } } } }\n");
    char rgch[4];
    ASSERT_TRUE(PLAT_RegistryReadString(HKCU, "Software\\Quill\\Ferro", "language", rgch, sizeof(rgch)));
    EXPECT_STREQ("ger", rgch) << "a value longer than the buffer is cut and terminated";
    uint32 unValue = 0;
    EXPECT_TRUE(PLAT_RegistryReadDWORD(HKCU, "SOFTWARE\\Quill\\Ferro", "Offline", &unValue));
    EXPECT_EQ(1u, unValue);
    EXPECT_TRUE(PLAT_RegistryReadDWORD(HKCU, "Software\\Quill\\Ferro", "Big", &unValue));
    EXPECT_EQ(4294967295u, unValue);
    EXPECT_FALSE(PLAT_RegistryReadDWORD(HKCU, "Software\\Quill\\Ferro", "Huge", &unValue));
    EXPECT_FALSE(PLAT_RegistryReadDWORD(HKCU, "Software\\Quill\\Ferro", "Word", &unValue));
    // A value is not a key.
    EXPECT_FALSE(PLAT_RegistryKeyExists(HKCU, "Software\\Quill\\Ferro\\Language"));
}

TEST_F(RegistryTest, WrittenValuesSurviveQuotesAndBackslashes)
{
    ASSERT_TRUE(PLAT_RegistryCreateKey(HKLM, "Software\\Quill\\Ferro"));
    const char *pchCmdLine = "\"C:\\My Games\\arvolauncher.exe\" -foreground \\\\x";
    ASSERT_TRUE(PLAT_RegistryWriteString(HKLM, "Software\\Quill\\Ferro", "TempAppCmdLine", pchCmdLine));
    ASSERT_TRUE(PLAT_RegistryWriteDWORD(HKLM, "Software\\Quill\\Ferro", "FerroPID", 4242));
    char rgch[128];
    ASSERT_TRUE(
        PLAT_RegistryReadString(HKLM, "Software\\Quill\\Ferro", "TempAppCmdLine", rgch, sizeof(rgch)));
    EXPECT_STREQ(pchCmdLine, rgch);
    uint32 unPid = 0;
    EXPECT_TRUE(PLAT_RegistryReadDWORD(HKLM, "Software\\Quill\\Ferro", "FerroPID", &unPid));
    EXPECT_EQ(4242u, unPid);
    // Replacing keeps one value; deleting removes it; the other hive is untouched.
    ASSERT_TRUE(PLAT_RegistryWriteString(HKLM, "Software\\Quill\\Ferro", "tempappcmdline", "second"));
    ASSERT_TRUE(
        PLAT_RegistryReadString(HKLM, "Software\\Quill\\Ferro", "TempAppCmdLine", rgch, sizeof(rgch)));
    EXPECT_STREQ("second", rgch);
    EXPECT_TRUE(PLAT_RegistryDeleteValue(HKLM, "Software\\Quill\\Ferro", "TempAppCmdLine"));
    EXPECT_FALSE(
        PLAT_RegistryReadString(HKLM, "Software\\Quill\\Ferro", "TempAppCmdLine", rgch, sizeof(rgch)));
    EXPECT_FALSE(PLAT_RegistryKeyExists(HKCU, "Software\\Quill\\Ferro"));
}

TEST_F(RegistryTest, CorruptFileIsReadSafelyAndRewrittenWhole)
{
    WriteTextFile(m_Dir.Path() + "/reg/HKCU.txt",
                  std::string("\"HKEY_CURRENT_USER\" { \"Software\" { \x01\xff{{\"", 30));
    CSpewCapture capture;
    char rgch[8];
    EXPECT_FALSE(PLAT_RegistryReadString(HKCU, "Software\\Quill\\Ferro", "Language", rgch, sizeof(rgch)));
    ASSERT_TRUE(PLAT_RegistryCreateKey(HKCU, "Software\\Quill\\Ferro"));
    ASSERT_TRUE(PLAT_RegistryWriteString(HKCU, "Software\\Quill\\Ferro", "Language", "german"));
    ASSERT_TRUE(PLAT_RegistryReadString(HKCU, "Software\\Quill\\Ferro", "Language", rgch, sizeof(rgch)));
    EXPECT_STREQ("german", rgch);
}

TEST_F(RegistryTest, ConcurrentWritersLoseNothing)
{
    ASSERT_TRUE(PLAT_RegistryCreateKey(HKCU, "Software\\Quill\\Ferro"));
    std::vector<std::thread> vecThreads;
    for (int t = 0; t < 4; ++t)
    {
        vecThreads.emplace_back(
            [t]()
            {
                for (int i = 0; i < 25; ++i)
                {
                    std::string strName = "v" + std::to_string(t) + "_" + std::to_string(i);
                    PLAT_RegistryWriteDWORD(HKCU, "Software\\Quill\\Ferro", strName.c_str(),
                                            (uint32)(t * 100 + i));
                }
            });
    }
    for (std::thread &thread : vecThreads)
        thread.join();
    for (int t = 0; t < 4; ++t)
    {
        for (int i = 0; i < 25; ++i)
        {
            std::string strName = "v" + std::to_string(t) + "_" + std::to_string(i);
            uint32 unValue = 0;
            ASSERT_TRUE(PLAT_RegistryReadDWORD(HKCU, "Software\\Quill\\Ferro", strName.c_str(), &unValue))
                << strName;
            EXPECT_EQ((uint32)(t * 100 + i), unValue);
        }
    }
}

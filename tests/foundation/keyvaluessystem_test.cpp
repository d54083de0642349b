#include "foundation/keyvaluessystem.h"
#include "foundation/murmurhash3.h"

#include "support/testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace
{
// A name of cch characters that no other test uses.
std::string UniqueName(const char *pchTag, int nIndex, size_t cch)
{
    std::string str = std::string(pchTag) + "_" + std::to_string(nIndex) + "_";
    str.resize(cch, 'n');
    return str;
}
} // namespace

TEST(MurmurHash3, KnownVectorsAndCaseFolding)
{
    struct Vector_t
    {
        const char *pch;
        int cub;
        uint32 unSeed;
        uint32 unHash;
    } rgVectors[] = {
        {"", 0, 0, 0},
        {"", 0, 1, 0x514E28B7},
        {"", 0, 0xFFFFFFFF, 0x81F16F39},
        {"\0\0\0\0", 4, 0, 0x2362F9DE},
        {"a", 1, 0x9747B28C, 0x7FA09EA6},
        {"abc", 3, 0, 0xB3DD93FA},
        {"aaaa", 4, 0x9747B28C, 0x5A97808A},
        {"Hello, world!", 13, 0x9747B28C, 0x24884CBA},
        {"The quick brown fox jumps over the lazy dog", 43, 0x9747B28C, 0x2FA826CD},
    };
    for (const Vector_t &v : rgVectors)
        EXPECT_EQ(v.unHash, MurmurHash3_x86_32(v.pch, v.cub, v.unSeed)) << v.pch;

    // Folding clears bit 0x20 of every byte, tail bytes included.
    EXPECT_EQ(MurmurHash3_x86_32("HELLO\x0C\0WORLD\x01", 13, 1047),
              MurmurHash3_x86_32_CaseFolded("hello, world!", 13, 1047));
    EXPECT_EQ(MurmurHash3_x86_32_CaseFolded("Version", 7, 1047),
              MurmurHash3_x86_32_CaseFolded("vERSION", 7, 1047));
    EXPECT_NE(MurmurHash3_x86_32_CaseFolded("Version", 7, 1047),
              MurmurHash3_x86_32_CaseFolded("Versioo", 7, 1047));
}

TEST(KeyValuesSystem, NamesAreInternedOnceAndCaseInsensitively)
{
    IKeyValuesSystem *pSystem = KeyValuesSystem();
    EXPECT_EQ(pSystem, KeyValuesSystem());
    EXPECT_EQ(0, pSystem->GetSymbol(nullptr, true));
    EXPECT_EQ(0, pSystem->GetSymbol("", true));
    EXPECT_STREQ("", pSystem->GetNameForSymbol(0));
    EXPECT_STREQ("", pSystem->GetNameForSymbol(0xFFFFFF));
    EXPECT_STREQ("", pSystem->GetNameForSymbol(-5));

    EXPECT_EQ(0, pSystem->GetSymbol("SysTestNeverAdded", false));
    HKeySymbol hFirst = pSystem->GetSymbol("SysTest_MixedCase", true);
    ASSERT_NE(0, hFirst);
    EXPECT_EQ(hFirst, pSystem->GetSymbol("systest_mixedcase", false));
    EXPECT_EQ(hFirst, pSystem->GetSymbol("SYSTEST_MIXEDCASE", true));
    EXPECT_STREQ("SysTest_MixedCase", pSystem->GetNameForSymbol(hFirst));
    // Only a-z fold: bytes that differ in bit 0x20 otherwise are different names.
    HKeySymbol hAt = pSystem->GetSymbol("SysTest@", true);
    HKeySymbol hBacktick = pSystem->GetSymbol("SysTest`", true);
    EXPECT_NE(hAt, hBacktick);
    EXPECT_STREQ("SysTest`", pSystem->GetNameForSymbol(hBacktick));

    const char *const *ppchPools = nullptr;
    EXPECT_EQ(hFirst, pSystem->GetSymbolCreate("sysTEST_mixedCASE", &ppchPools));
    ASSERT_NE(nullptr, ppchPools);
    EXPECT_STREQ("SysTest_MixedCase", KeyNameFromPoolTable(ppchPools, hFirst));
}

TEST(KeyValuesSystem, PoolLimitsLongNamesAndExhaustion)
{
    CSpewCapture capture;
    CKeyValuesSystem system;
    EXPECT_EQ(1, system.GetPoolCount());
    std::string strLongest(1022, 'x');
    HKeySymbol hLongest = system.GetSymbol(strLongest.c_str(), true);
    EXPECT_NE(0, hLongest);
    EXPECT_EQ(strLongest, system.GetNameForSymbol(hLongest));
    EXPECT_FALSE(capture.BContains("too long"));
    std::string strTooLong(1023, 'y');
    EXPECT_EQ(0, system.GetSymbol(strTooLong.c_str(), true));
    EXPECT_TRUE(capture.BContains("CKeyValuesSystem::AddStringToPool: key name too long (1024 chars)"));
    EXPECT_EQ(0, system.GetSymbol(strTooLong.c_str(), false));

    // Fill every pool with 1000-character names: none straddles two pools, warnings start
    // once half the space is used, and the name after the last pool gets the empty name.
    std::vector<std::pair<HKeySymbol, std::string>> vecNames;
    int nFirstWarningAt = -1;
    for (int i = 0; i < 20000; ++i)
    {
        std::string strName = UniqueName("fill", i, 1000);
        HKeySymbol hSymbol = system.GetSymbol(strName.c_str(), true);
        if (hSymbol == 0)
            break;
        ASSERT_LT((hSymbol & 0x7FFF) + 1000 + 1, CKeyValuesSystem::k_cubPool) << i;
        if (nFirstWarningAt < 0 && capture.BContains("running out of memory"))
            nFirstWarningAt = system.GetPoolCount();
        vecNames.emplace_back(hSymbol, strName);
    }
    EXPECT_EQ(CKeyValuesSystem::k_nMaxPools, system.GetPoolCount());
    EXPECT_EQ(CKeyValuesSystem::k_nWarnPools + 1, nFirstWarningAt);
    EXPECT_TRUE(
        capture.BContains("CKeyValuesSystem::AddStringToPool: running out of memory (8388608 bytes left)"));
    EXPECT_TRUE(
        capture.BContains("CKeyValuesSystem::AddStringToPool: running out of memory (32768 bytes left)"));
    EXPECT_EQ(1, capture.CountContaining("CKeyValuesSystem::AddStringToPool: out of memory"));
    // A short name still fits in the last pool; a long one does not.
    EXPECT_NE(0, system.GetSymbol("short", true));
    EXPECT_EQ(0, system.GetSymbol(UniqueName("more", 0, 1000).c_str(), true));
    EXPECT_EQ(2, capture.CountContaining("CKeyValuesSystem::AddStringToPool: out of memory"));
    // Names already in keep their symbols and spelling.
    EXPECT_EQ(vecNames.front().first, system.GetSymbol(vecNames.front().second.c_str(), false));
    EXPECT_EQ(vecNames.back().second, system.GetNameForSymbol(vecNames.back().first));
    EXPECT_LT(vecNames.back().first, 1 << 24);
}

TEST(KeyValuesSystem, ConcurrentInsertionsAgreeOnEverySymbol)
{
    CKeyValuesSystem system;
    const int cThreads = 4;
    // Enough names that the table grows twice while the threads look names up in it.
    const int cNames = 20000;
    std::vector<std::vector<HKeySymbol>> vecResults(cThreads, std::vector<HKeySymbol>(cNames));
    std::vector<std::thread> vecThreads;
    for (int t = 0; t < cThreads; ++t)
    {
        vecThreads.emplace_back(
            [&, t]()
            {
                for (int i = 0; i < cNames; ++i)
                {
                    // Each thread walks the names in its own order and letter case.
                    int nIndex = (t % 2) ? cNames - 1 - i : i;
                    std::string strName = "Concurrent_" + std::to_string(nIndex);
                    if (t >= 2)
                    {
                        for (char &ch : strName)
                            ch = (char)toupper((unsigned char)ch);
                    }
                    vecResults[t][nIndex] = system.GetSymbol(strName.c_str(), true);
                }
            });
    }
    for (std::thread &thread : vecThreads)
        thread.join();
    for (int i = 0; i < cNames; ++i)
    {
        ASSERT_NE(0, vecResults[0][i]);
        for (int t = 1; t < cThreads; ++t)
            ASSERT_EQ(vecResults[0][i], vecResults[t][i]) << i;
        std::string strName = system.GetNameForSymbol(vecResults[0][i]);
        EXPECT_TRUE(strName == "Concurrent_" + std::to_string(i) ||
                    strName == "CONCURRENT_" + std::to_string(i));
    }
}

TEST(KeyValuesSystem, ConditionalsLeakTrackingAndDumps)
{
    CSpewCapture capture;
    CKeyValuesSystem system;
    EXPECT_FALSE(system.GetConditional("$NeverSet"));
    system.SetConditional("$Beta", true);
    EXPECT_TRUE(system.GetConditional("beta"));
    EXPECT_TRUE(system.GetConditional("$BETA"));
    system.SetConditional("BETA", false);
    EXPECT_FALSE(system.GetConditional("$beta"));

    system.RecordNodeSize(24);
    system.RecordNodeSize(16);
    EXPECT_EQ(24, system.GetMaxNodeSize());
    system.RecordNodeSize(INT_MAX);
    EXPECT_TRUE(capture.BContains("Assertion Failed: size < INT_MAX"));

    int rgnFake[3];
    KeyValues *pA = reinterpret_cast<KeyValues *>(&rgnFake[0]);
    KeyValues *pB = reinterpret_cast<KeyValues *>(&rgnFake[1]);
    HKeySymbol hName = system.GetSymbol("Tracked", true);
    system.TrackKeyValues(pA, hName);
    system.TrackKeyValues(pB, hName);
    system.UntrackKeyValues(pA);
    EXPECT_TRUE(capture.Assertions().size() == 1);
    system.UntrackKeyValues(pA);
    EXPECT_TRUE(capture.BContains("Assertion Failed: m_LeakTrack.Remove( pKV )"));
    system.DumpLeaks();
    EXPECT_TRUE(capture.BContains("Leaked KeyValues (1):\n"));
    EXPECT_TRUE(capture.BContains("Tracked (1)\n"));

    system.DumpStatistics();
    EXPECT_TRUE(capture.BContains("String pool bytes used"));
    EXPECT_TRUE(capture.BContains(", max 16777216, 1 pools\n"));
    EXPECT_TRUE(capture.BContains("Total number of strings 2, longest string size 8, avg size 6\n"));
    EXPECT_TRUE(capture.BContains("Total of 2 buckets with 0 hash collisions\n"));
    EXPECT_TRUE(capture.BContains("Bucket size : count\n"));
    EXPECT_TRUE(capture.BContains("0 : 4094\n"));
}

// However many names a text brings, a lookup walks a short chain: the table grows with them.
TEST(KeyValuesSystem, ChainsStayShortAsNamesAreAdded)
{
    CKeyValuesSystem system;
    const int k_cNames = 200000;
    for (int i = 0; i < k_cNames; ++i)
        ASSERT_NE(0, system.GetSymbol(("name_" + std::to_string(i)).c_str(), true));
    for (int i = 0; i < k_cNames; i += 997)
        EXPECT_STREQ(("name_" + std::to_string(i)).c_str(),
                     system.GetNameForSymbol(system.GetSymbol(("NAME_" + std::to_string(i)).c_str(), false)));
    CSpewCapture capture;
    system.DumpStatistics();
    // "Bucket size : count" lines: no chain longer than a handful of names.
    std::string strStats;
    for (const std::string &strText : capture.Texts())
        strStats += strText;
    size_t iTable = strStats.find("Bucket size : count\n");
    ASSERT_NE(std::string::npos, iTable);
    int nLongest = 0;
    std::istringstream lines(strStats.substr(iTable + 20));
    std::string strLine;
    while (std::getline(lines, strLine))
    {
        if (strLine.find(" : ") != std::string::npos)
            nLongest = std::max(nLongest, std::stoi(strLine));
    }
    EXPECT_LE(nLongest, 12) << strStats;
    EXPECT_GE(nLongest, 1);
    printf("%d names: longest chain %d\n", k_cNames, nLongest);
}

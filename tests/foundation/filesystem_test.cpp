#include "foundation/filesystem.h"

#include "foundation/platform/file.h"
#include "foundation/utlbuffer.h"

#include "support/testsupport.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(FileSystem, SearchPathsInOrderUnderTheirIdentifiers)
{
    CTempDir dir;
    const std::string strFirst = dir.File("first"), strSecond = dir.File("second"),
                      strOther = dir.File("other");
    for (const std::string &str : {strFirst, strSecond, strOther})
        ASSERT_TRUE(PLAT_CreateDirectory(str.c_str()));
    ASSERT_TRUE(PLAT_CreateDirectory((strSecond + "/sub").c_str()));
    WriteTextFile(strFirst + "/a.txt", "first a");
    WriteTextFile(strSecond + "/a.txt", "second a");
    WriteTextFile(strSecond + "/sub/b.txt", "second b");
    WriteTextFile(strOther + "/c.txt", "other c");
    ASSERT_TRUE(PLAT_CreateDirectory((strFirst + "/sub").c_str()));
    ASSERT_TRUE(PLAT_CreateDirectory((strFirst + "/sub/b.txt").c_str())) << "a directory is not a file";

    CFileSystem fs;
    CUtlString strFound;
    EXPECT_FALSE(fs.BFindFile("a.txt", "MAIN", &strFound)) << "no paths, nothing found";
    fs.AddSearchPath(strSecond.c_str(), "MAIN", true);
    fs.AddSearchPath(strFirst.c_str(), "MAIN", false);
    fs.AddSearchPath(strSecond.c_str(), "main", true); // the same again: kept once
    fs.AddSearchPath(strOther.c_str(), "OTHER", true);
    EXPECT_EQ(2, fs.GetSearchPathCount("MAIN"));
    EXPECT_EQ(3, fs.GetSearchPathCount(nullptr));

    ASSERT_TRUE(fs.BFindFile("a.txt", "Main", &strFound));
    EXPECT_EQ(strFirst + "/a.txt", strFound.StdString());
    // Found in the later path; either separator; a directory of that name is skipped.
    ASSERT_TRUE(fs.BFindFile("sub\\b.txt", "MAIN", &strFound));
    EXPECT_EQ(strSecond + "/sub\\b.txt", strFound.StdString());
    EXPECT_FALSE(fs.BFindFile("c.txt", "MAIN", nullptr));
    EXPECT_TRUE(fs.BFindFile("c.txt", nullptr, nullptr)) << "no identifier: every path";
    EXPECT_FALSE(fs.BFindFile("missing.txt", nullptr, nullptr));
    EXPECT_FALSE(fs.BFindFile("", nullptr, nullptr));
    // Absolute names are taken as they are.
    EXPECT_TRUE(fs.BFindFile((strOther + "/c.txt").c_str(), "MAIN", &strFound));
    EXPECT_EQ(strOther + "/c.txt", strFound.StdString());
    EXPECT_FALSE(fs.BFindFile(strOther.c_str(), "MAIN", nullptr));

    CUtlBuffer buf;
    ASSERT_TRUE(fs.LoadFileIntoBuffer("a.txt", buf, false, "MAIN"));
    ASSERT_EQ(7, buf.TellMaxPut());
    EXPECT_EQ(0, memcmp(buf.Base(), "first a", 8)) << "with a NUL after the data";
    EXPECT_FALSE(fs.LoadFileIntoBuffer("c.txt", buf, false, "MAIN"));

    FILE *pFile = fs.OpenForRead("c.txt", "OTHER");
    ASSERT_NE(nullptr, pFile);
    fclose(pFile);

    // Writing goes into the first path of the identifier.
    pFile = fs.OpenForWrite("new.txt", "MAIN");
    ASSERT_NE(nullptr, pFile);
    fputs("written", pFile);
    fclose(pFile);
    EXPECT_EQ("written", ReadTextFile(strFirst + "/new.txt"));

    fs.RemoveSearchPaths("MAIN");
    EXPECT_EQ(0, fs.GetSearchPathCount("MAIN"));
    EXPECT_EQ(1, fs.GetSearchPathCount(nullptr));
    EXPECT_FALSE(fs.BFindFile("a.txt", nullptr, nullptr));
}

TEST(FileSystem, DotFollowsTheWorkingDirectory)
{
    CTempDir dirOne, dirTwo;
    WriteTextFile(dirTwo.File("here.txt"), "x");
    char rgchOld[1024];
    ASSERT_TRUE(PLAT_GetCurrentDirectory(rgchOld, sizeof(rgchOld)));

    CFileSystem fs;
    fs.AddSearchPath(".", "MAIN");
    ASSERT_TRUE(PLAT_SetCurrentDirectory(dirOne.Path().c_str()));
    bool bInOne = fs.BFindFile("here.txt", "MAIN", nullptr);
    ASSERT_TRUE(PLAT_SetCurrentDirectory(dirTwo.Path().c_str()));
    bool bInTwo = fs.BFindFile("here.txt", "MAIN", nullptr);
    ASSERT_TRUE(PLAT_SetCurrentDirectory(rgchOld));
    EXPECT_FALSE(bInOne);
    EXPECT_TRUE(bInTwo);
    EXPECT_EQ(FileSystem(), FileSystem());
}

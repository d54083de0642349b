// The file layer's Windows path rules on POSIX: backslashes, letter case, wildcards, and
// the contracts of sizes, renames, copies and error numbers.
#include "foundation/platform/file.h"

#include "support/testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace
{
std::string Backslashed(std::string str)
{
    std::replace(str.begin(), str.end(), '/', '\\');
    return str;
}

std::string ReadAll(FILE *pFile)
{
    std::string str;
    char rgch[256];
    size_t cch;
    while ((cch = fread(rgch, 1, sizeof(rgch), pFile)) > 0)
        str.append(rgch, cch);
    return str;
}

std::vector<std::string> List(const std::string &strDir, const char *pchWildcard)
{
    std::vector<PlatDirEntry_t> vecEntries;
    EXPECT_TRUE(PLAT_ListDirectory(strDir.c_str(), pchWildcard, &vecEntries)) << strDir;
    std::vector<std::string> vecNames;
    for (const PlatDirEntry_t &entry : vecEntries)
        vecNames.push_back(entry.m_strName + (entry.m_bIsDirectory ? "/" : ""));
    std::sort(vecNames.begin(), vecNames.end());
    return vecNames;
}

mode_t ModeOf(const std::string &strPath)
{
    struct stat st;
    return stat(strPath.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}
} // namespace

TEST(PlatformFile, BackslashesAndLetterCaseFindExistingEntries)
{
    CTempDir dir;
    ASSERT_EQ(0, mkdir(dir.File("package").c_str(), 0777));
    ASSERT_EQ(0, mkdir(dir.File("package/tmp").c_str(), 0777));
    ASSERT_TRUE(WriteTextFile(dir.File("ferro.cfg"), "cfg"));
    ASSERT_TRUE(WriteTextFile(dir.File("package/tmp/x"), "inner"));

    // "Ferro.cfg" opens "ferro.cfg", also through a backslashed path.
    FILE *pFile = PLAT_fopen(Backslashed(dir.File("Ferro.cfg")).c_str(), "rb");
    ASSERT_NE(nullptr, pFile);
    EXPECT_EQ("cfg", ReadAll(pFile));
    fclose(pFile);

    // Every component may differ in case; the name found is the one on disk.
    const std::string strVariant = Backslashed(dir.Path()) + "\\PACKAGE\\Tmp\\X";
    EXPECT_EQ(dir.File("package/tmp/x"), PLAT_ResolvePath(strVariant.c_str()));
    pFile = PLAT_fopen(strVariant.c_str(), "r");
    ASSERT_NE(nullptr, pFile);
    EXPECT_EQ("inner", ReadAll(pFile));
    fclose(pFile);

    EXPECT_TRUE(PLAT_FileExists(strVariant.c_str()));
    EXPECT_FALSE(PLAT_IsDirectory(strVariant.c_str()));
    EXPECT_TRUE(PLAT_IsDirectory((dir.Path() + "\\Package\\TMP").c_str()));
    EXPECT_TRUE(PLAT_IsDirectory((dir.Path() + "\\Package\\TMP\\").c_str()));
    EXPECT_EQ(5, PLAT_GetFileSize(strVariant.c_str()));
    EXPECT_NE(0, PLAT_GetFileWriteTime(strVariant.c_str()));

    // Relative paths resolve against the working directory.
    char rgchOld[4096];
    ASSERT_TRUE(PLAT_GetCurrentDirectory(rgchOld, sizeof(rgchOld)));
    ASSERT_TRUE(PLAT_SetCurrentDirectory((Backslashed(dir.Path()) + "\\PACKAGE").c_str()));
    EXPECT_EQ("tmp/x", PLAT_ResolvePath("TMP\\x"));
    EXPECT_EQ(5, PLAT_GetFileSize("Tmp\\X"));
    EXPECT_EQ(3, PLAT_GetFileSize("..\\FERRO.CFG"));
    ASSERT_TRUE(PLAT_SetCurrentDirectory(rgchOld));

    // Nothing that exists in no spelling is invented.
    EXPECT_FALSE(PLAT_FileExists((dir.Path() + "\\package\\tmp\\y").c_str()));
    EXPECT_EQ(nullptr, PLAT_fopen((dir.Path() + "\\nothere\\x").c_str(), "rb"));
    EXPECT_EQ(ENOENT, PLAT_GetLastErrno());
}

TEST(PlatformFile, NewFilesLandInTheDirectoryThatExistsInAnotherCase)
{
    CTempDir dir;
    ASSERT_EQ(0, mkdir(dir.File("package").c_str(), 0777));
    ASSERT_EQ(0, mkdir(dir.File("package/tmp").c_str(), 0777));

    FILE *pFile = PLAT_fopen((dir.Path() + "\\PACKAGE\\Tmp\\New.txt").c_str(), "w");
    ASSERT_NE(nullptr, pFile);
    fputs("made", pFile);
    fclose(pFile);
    // The new name is kept as written, inside the existing directories.
    EXPECT_EQ("made", ReadTextFile(dir.File("package/tmp/New.txt")));
    EXPECT_EQ((std::vector<std::string>{"tmp/"}), List(dir.File("package"), "*"));

    // Writing again to another spelling of that file replaces it, it makes no second one.
    pFile = PLAT_fopen((dir.Path() + "/package/tmp/NEW.TXT").c_str(), "w");
    ASSERT_NE(nullptr, pFile);
    fputs("again", pFile);
    fclose(pFile);
    EXPECT_EQ((std::vector<std::string>{"New.txt"}), List(dir.File("package/tmp"), nullptr));
    EXPECT_EQ("again", ReadTextFile(dir.File("package/tmp/New.txt")));

    // A directory created through a case-variant path goes inside the existing one.
    EXPECT_TRUE(PLAT_CreateDirectory((dir.Path() + "\\Package\\Sub").c_str()));
    EXPECT_TRUE(PLAT_IsDirectory(dir.File("package/Sub").c_str()));
    EXPECT_TRUE(PLAT_CreateDirectory((dir.Path() + "\\PACKAGE\\sub").c_str())) << "an existing one counts";
    EXPECT_EQ((std::vector<std::string>{"Sub/", "tmp/"}), List(dir.File("package"), "*"));
}

TEST(PlatformFile, ListingsKeptForAnOperationFollowTheLayersOwnChanges)
{
    CTempDir dir;
    ASSERT_EQ(0, mkdir(dir.File("data").c_str(), 0777));
    const std::string strData = Backslashed(dir.Path()) + "\\DATA\\";
    auto Exists = [&](const char *pchName) { return PLAT_FileExists((strData + pchName).c_str()); };
    {
        CPlatDirectoryListingScope listings;
        // The first missing name lists the directory; what the layer makes there afterwards
        // is found in any letter case, also through another spelling of the directory.
        EXPECT_FALSE(Exists("A.TXT"));
        FILE *pFile = PLAT_fopen((strData + "a.txt").c_str(), "w");
        ASSERT_NE(nullptr, pFile);
        fclose(pFile);
        EXPECT_TRUE(Exists("A.TXT"));
        EXPECT_EQ(dir.File("data/a.txt"), PLAT_ResolvePath((strData + "A.Txt").c_str()));
        char rgchOld[4096];
        ASSERT_TRUE(PLAT_GetCurrentDirectory(rgchOld, sizeof(rgchOld)));
        ASSERT_TRUE(PLAT_SetCurrentDirectory(dir.Path().c_str()));
        EXPECT_EQ("data/a.txt", PLAT_ResolvePath("Data\\A.TXT"));
        ASSERT_TRUE(PLAT_SetCurrentDirectory(rgchOld));

        // Renamed, copied, deleted: the kept listing follows each.
        EXPECT_TRUE(PLAT_RenameReplace((strData + "A.txt").c_str(), (strData + "B.txt").c_str()));
        EXPECT_FALSE(Exists("A.TXT"));
        EXPECT_TRUE(Exists("b.TXT"));
        EXPECT_TRUE(PLAT_CopyFile((strData + "b.txt").c_str(), (strData + "c.txt").c_str()));
        EXPECT_TRUE(Exists("C.TXT"));
        EXPECT_TRUE(PLAT_DeleteFile((strData + "C.TXT").c_str()));
        EXPECT_FALSE(Exists("C.txt"));
        EXPECT_EQ((std::vector<std::string>{"B.txt"}), List(dir.File("data"), "*"));

        // A directory removed and made again is listed anew.
        EXPECT_TRUE(PLAT_CreateDirectory((strData + "Sub").c_str()));
        ASSERT_NE(nullptr, pFile = PLAT_fopen((strData + "sub\\x.bin").c_str(), "wb"));
        fclose(pFile);
        EXPECT_TRUE(Exists("SUB\\X.BIN"));
        EXPECT_TRUE(PLAT_DeleteFile((strData + "SUB\\X.BIN").c_str()));
        EXPECT_TRUE(PLAT_RemoveDirectory((strData + "SUB").c_str()));
        EXPECT_FALSE(Exists("sub"));
        EXPECT_TRUE(PLAT_CreateDirectory((strData + "sub").c_str()));
        EXPECT_TRUE(Exists("SUB"));
        EXPECT_FALSE(Exists("SUB\\X.BIN"));

        // What another process makes meanwhile is not seen in another letter case: the
        // scope is for work that nobody else changes.
        ASSERT_TRUE(WriteTextFile(dir.File("data/Outside.txt"), "x"));
        EXPECT_FALSE(Exists("OUTSIDE.TXT"));
    }
    // Without a scope every lookup reads the directory.
    EXPECT_TRUE(Exists("OUTSIDE.TXT"));
}

TEST(PlatformFile, DirectoryHierarchyThroughCaseVariantPrefix)
{
    CTempDir dir;
    ASSERT_EQ(0, mkdir(dir.File("Install").c_str(), 0777));
    ASSERT_EQ(0, mkdir(dir.File("Install/package").c_str(), 0777));

    const std::string strDeep = dir.Path() + "\\INSTALL\\Package\\tmp\\bin\\Data";
    EXPECT_TRUE(PLAT_CreateDirectoryHierarchy(strDeep.c_str()));
    EXPECT_TRUE(PLAT_IsDirectory(dir.File("Install/package/tmp/bin/Data").c_str()));
    EXPECT_EQ((std::vector<std::string>{"package/"}), List(dir.File("Install"), "*"));
    // Again, and with a trailing separator: the hierarchy exists, so it succeeds.
    EXPECT_TRUE(PLAT_CreateDirectoryHierarchy((strDeep + "\\").c_str()));
    EXPECT_TRUE(PLAT_CreateDirectoryHierarchy((dir.Path() + "/install/PACKAGE/TMP").c_str()));
    EXPECT_EQ((std::vector<std::string>{"tmp/"}), List(dir.File("Install/package"), "*"));

    // A file in the way fails, with the C library's reason for the step that failed.
    ASSERT_TRUE(WriteTextFile(dir.File("Install/blocker"), ""));
    EXPECT_FALSE(PLAT_CreateDirectoryHierarchy((dir.Path() + "\\install\\BLOCKER\\below").c_str()));
    EXPECT_EQ(EEXIST, PLAT_GetLastErrno());
    EXPECT_FALSE(PLAT_FileExists(dir.File("Install/blocker/below").c_str()));
    EXPECT_FALSE(PLAT_CreateDirectory((dir.Path() + "\\install\\blocker").c_str()));
    EXPECT_EQ(EEXIST, PLAT_GetLastErrno());
    EXPECT_FALSE(PLAT_CreateDirectory((dir.Path() + "\\missing\\below").c_str()));
    EXPECT_EQ(ENOENT, PLAT_GetLastErrno());
}

TEST(PlatformFile, WildcardListingMatchesLikeWindows)
{
    CTempDir dir;
    for (const char *pchName : {"a.zip.1f00", "B.ZIP.abc", "c.zip", "zip.x", "d.zipx.1", "ab", "abc"})
        ASSERT_TRUE(WriteTextFile(dir.File(pchName), ""));
    ASSERT_EQ(0, mkdir(dir.File("sub.zip.dir").c_str(), 0777));

    EXPECT_EQ((std::vector<std::string>{"B.ZIP.abc", "a.zip.1f00", "sub.zip.dir/"}),
              List(dir.Path(), "*.zip.*"));
    EXPECT_EQ((std::vector<std::string>{"B.ZIP.abc", "a.zip.1f00", "sub.zip.dir/"}),
              List(dir.Path(), "*.ZIP.*"));
    EXPECT_EQ((std::vector<std::string>{"ab"}), List(dir.Path(), "a?"));
    EXPECT_EQ((std::vector<std::string>{"a.zip.1f00", "ab", "abc"}), List(dir.Path(), "A*"));
    EXPECT_EQ((std::vector<std::string>{"abc"}), List(dir.Path(), "?B?"));
    EXPECT_EQ((std::vector<std::string>{"c.zip"}), List(dir.Path(), "*.zip"));
    EXPECT_EQ((std::vector<std::string>{}), List(dir.Path(), "zz*"));
    EXPECT_EQ(8u, List(dir.Path(), "*").size()) << "\".\" and \"..\" are never listed";
    EXPECT_EQ(8u, List(dir.Path(), nullptr).size());
    // "**" and a trailing "*" after a full match still match.
    EXPECT_EQ((std::vector<std::string>{"zip.x"}), List(dir.Path(), "zip**.x*"));

    // The directory itself is found with the path rules; an unreadable one fails.
    EXPECT_EQ(8u, List(Backslashed(dir.Path()) + "\\", "*").size());
    std::vector<PlatDirEntry_t> vecEntries;
    EXPECT_FALSE(PLAT_ListDirectory(dir.File("missing").c_str(), "*", &vecEntries));
    EXPECT_TRUE(vecEntries.empty());
}

TEST(PlatformFile, RenameReplacesAndReportsFailure)
{
    CTempDir dir;
    ASSERT_TRUE(WriteTextFile(dir.File("new.bin"), "new"));
    ASSERT_TRUE(WriteTextFile(dir.File("Target.bin"), "old"));

    // The existing target is replaced, found through its other spelling.
    EXPECT_TRUE(
        PLAT_RenameReplace((dir.Path() + "\\NEW.bin").c_str(), (dir.Path() + "\\target.BIN").c_str()));
    EXPECT_EQ((std::vector<std::string>{"Target.bin"}), List(dir.Path(), "*"));
    EXPECT_EQ("new", ReadTextFile(dir.File("Target.bin")));

    EXPECT_FALSE(PLAT_RenameReplace(dir.File("gone.bin").c_str(), dir.File("x.bin").c_str()));
    EXPECT_EQ(ENOENT, PLAT_GetLastErrno());
    EXPECT_EQ("new", ReadTextFile(dir.File("Target.bin")));
}

TEST(PlatformFile, SizesOfDirectoriesAndMissingFiles)
{
    CTempDir dir;
    ASSERT_TRUE(WriteTextFile(dir.File("empty"), ""));
    EXPECT_EQ(0, PLAT_GetFileSize(dir.File("EMPTY").c_str()));
    EXPECT_EQ(-1, PLAT_GetFileSize(dir.Path().c_str()));
    EXPECT_EQ(-1, PLAT_GetFileSize(dir.File("missing").c_str()));
    EXPECT_EQ(0, PLAT_GetFileWriteTime(dir.File("missing").c_str()));

    // One look tells the same: a file's size, a directory, nothing (in any letter case).
    ASSERT_TRUE(PLAT_CreateDirectory(dir.File("sub").c_str()));
    ASSERT_TRUE(WriteTextFile(dir.File("sub/Data.bin"), "12345"));
    PlatFileInfo_t info;
    EXPECT_TRUE(PLAT_GetFileInfo((Backslashed(dir.Path()) + "\\SUB\\data.BIN").c_str(), &info));
    EXPECT_TRUE(info.m_bExists && !info.m_bIsDirectory);
    EXPECT_EQ(5, info.m_llSize);
    EXPECT_TRUE(PLAT_GetFileInfo(dir.File("Sub").c_str(), &info));
    EXPECT_TRUE(info.m_bExists && info.m_bIsDirectory);
    EXPECT_EQ(-1, info.m_llSize);
    EXPECT_FALSE(PLAT_GetFileInfo(dir.File("sub/missing").c_str(), &info));
    EXPECT_FALSE(info.m_bExists || info.m_bIsDirectory);
    EXPECT_EQ(-1, info.m_llSize);
    EXPECT_EQ(ENOENT, PLAT_GetLastErrno());

    uint64 cubFree = 0;
    EXPECT_TRUE(PLAT_GetFreeDiskSpace(Backslashed(dir.Path()).c_str(), &cubFree));
    EXPECT_GT(cubFree, 0u);
    EXPECT_FALSE(PLAT_GetFreeDiskSpace(dir.File("missing").c_str(), &cubFree));
}

TEST(PlatformFile, CopyKeepsContentAndExecutableBit)
{
    CTempDir dir;
    std::string strBig;
    for (int i = 0; i < 200000; ++i) // larger than one copy buffer, not a multiple of it
        strBig += (char)('a' + i % 26);
    ASSERT_TRUE(WriteTextFile(dir.File("tool"), strBig));
    ASSERT_EQ(0, chmod(dir.File("tool").c_str(), 0755));
    ASSERT_TRUE(WriteTextFile(dir.File("plain"), "plain"));
    ASSERT_EQ(0, chmod(dir.File("plain").c_str(), 0644));

    EXPECT_TRUE(PLAT_CopyFile((dir.Path() + "\\TOOL").c_str(), (dir.Path() + "\\copy").c_str()));
    EXPECT_TRUE(strBig == ReadTextFile(dir.File("copy")));
    EXPECT_EQ(0755, ModeOf(dir.File("copy")));

    // Over an existing target: content and mode of the source, in both directions.
    ASSERT_TRUE(WriteTextFile(dir.File("over"), "previous content, longer than plain"));
    ASSERT_EQ(0, chmod(dir.File("over").c_str(), 0600));
    EXPECT_TRUE(PLAT_CopyFile(dir.File("tool").c_str(), dir.File("OVER").c_str()));
    EXPECT_TRUE(strBig == ReadTextFile(dir.File("over")));
    EXPECT_EQ(0755, ModeOf(dir.File("over")));
    EXPECT_TRUE(PLAT_CopyFile(dir.File("plain").c_str(), dir.File("over").c_str()));
    EXPECT_EQ("plain", ReadTextFile(dir.File("over")));
    EXPECT_EQ(0644, ModeOf(dir.File("over")));

    // A copy onto itself must not destroy the file.
    EXPECT_FALSE(PLAT_CopyFile(dir.File("tool").c_str(), dir.File("Tool").c_str()));
    EXPECT_TRUE(strBig == ReadTextFile(dir.File("tool")));

    EXPECT_FALSE(PLAT_CopyFile(dir.File("missing").c_str(), dir.File("x").c_str()));
    EXPECT_EQ(ENOENT, PLAT_GetLastErrno());
    EXPECT_FALSE(PLAT_FileExists(dir.File("x").c_str()));
    EXPECT_FALSE(PLAT_CopyFile(dir.Path().c_str(), dir.File("x").c_str())) << "a directory is not copied";
}

TEST(PlatformFile, DeleteAndAttributes)
{
    CTempDir dir;
    ASSERT_EQ(0, mkdir(dir.File("Sub").c_str(), 0777));
    ASSERT_TRUE(WriteTextFile(dir.File("Sub/ro.txt"), "x"));
    ASSERT_EQ(0, chmod(dir.File("Sub/ro.txt").c_str(), 0444));

    EXPECT_TRUE(PLAT_ClearReadOnlyAndHidden((dir.Path() + "\\sub\\RO.txt").c_str()));
    EXPECT_EQ(0644, ModeOf(dir.File("Sub/ro.txt")));
    EXPECT_FALSE(PLAT_ClearReadOnlyAndHidden(dir.File("sub/missing").c_str()));

    EXPECT_FALSE(PLAT_DeleteFile(dir.File("sub").c_str())) << "a directory is not a file";
    EXPECT_TRUE(PLAT_IsDirectory(dir.File("Sub").c_str()));
    EXPECT_FALSE(PLAT_RemoveDirectory(dir.File("SUB").c_str())) << "not empty";
    EXPECT_TRUE(PLAT_DeleteFile((dir.Path() + "\\SUB\\ro.TXT").c_str()));
    EXPECT_FALSE(PLAT_DeleteFile((dir.Path() + "\\SUB\\ro.TXT").c_str()));
    EXPECT_EQ(ENOENT, PLAT_GetLastErrno());
    EXPECT_TRUE(PLAT_RemoveDirectory((dir.Path() + "\\SUB").c_str()));
    EXPECT_FALSE(PLAT_FileExists(dir.File("Sub").c_str()));
}

TEST(PlatformFile, LastErrnoSurvivesLaterSuccessfulCalls)
{
    CTempDir dir;
    ASSERT_TRUE(WriteTextFile(dir.File("file"), "x"));
    EXPECT_FALSE(PLAT_CreateDirectory(dir.File("file/sub").c_str()));
    EXPECT_EQ(ENOTDIR, PLAT_GetLastErrno());
    // Calls that succeed, and the misses inside the path lookup, leave it alone.
    EXPECT_TRUE(PLAT_FileExists(dir.File("FILE").c_str()));
    EXPECT_TRUE(PLAT_CreateDirectory((dir.Path() + "\\New\\").c_str()));
    errno = 0;
    EXPECT_EQ(ENOTDIR, PLAT_GetLastErrno());
}

#include "ferroexe/moduleloader.h"

#include "foundation/platform/module.h"

#include "clienttestutil.h"

#include <gtest/gtest.h>

TEST(ModuleLoader, FindsTheLibraryWithOrWithoutItsSuffixAndCountsReferences)
{
    CClientInstallDir dir;
    ASSERT_TRUE(dir.BCopyLibrary("ferro" FERRO_DLL_EXT));

    // Without the suffix: the first try fails, the second appends it.
    FerroModule_t hModule = LoadModule("ferro", 0);
    ASSERT_NE(nullptr, hModule);
    EXPECT_NE(nullptr, GetModuleExport(hModule, "_f"));
    EXPECT_EQ(nullptr, GetModuleExport(hModule, "FerroDllMainArvoLauncherMode"));
    EXPECT_EQ(1u, GetModuleReferenceCount(hModule));

    // The same library by its full name, by an absolute path, and with the suffix in other
    // letter case is the same module, counted once more each time.
    EXPECT_EQ(hModule, LoadModule("ferro" FERRO_DLL_EXT, 0));
    EXPECT_EQ(hModule, LoadModule(dir.File("ferro" FERRO_DLL_EXT).c_str(), 0));
    EXPECT_EQ(hModule, LoadModule("FERRO" FERRO_DLL_EXT, 0));
    EXPECT_EQ(4u, GetModuleReferenceCount(hModule));
    for (uint32 cExpected = 3; cExpected > 0; --cExpected)
    {
        UnloadModule(hModule);
        EXPECT_EQ(cExpected, GetModuleReferenceCount(hModule));
    }

    // A module the table does not know is released once with the system and leaves the
    // table alone.
    PlatModule_t hDirect = PLAT_LoadModule(dir.File("ferro" FERRO_DLL_EXT).c_str(), true);
    ASSERT_EQ(hModule, hDirect);
    UnloadModule(hModule);
    EXPECT_EQ(0u, GetModuleReferenceCount(hModule));
    UnloadModule(hDirect);
    EXPECT_EQ(0u, GetModuleReferenceCount(hDirect));
    UnloadModule(nullptr);
}

TEST(ModuleLoader, MissingOrBrokenLibrariesGiveNullAndOverlongPathsAreNotCut)
{
    CClientInstallDir dir;
    ASSERT_TRUE(WriteTextFile(dir.File("ferro" FERRO_DLL_EXT), "not a library\n"));
    EXPECT_EQ(nullptr, LoadModule("ferro", 0));
    EXPECT_EQ(nullptr, LoadModule("nosuchmodule", 0));
    EXPECT_EQ(nullptr, LoadModule("", 0));
    EXPECT_EQ(nullptr, LoadModule(nullptr, 0));

    // The joined path fits, the one with the suffix does not: that try is reported and
    // left out rather than made with a cut path.
    CSpewCapture capture;
    std::string strName(MAX_UNICODE_PATH_IN_UTF8 - dir.Path().size() - 3, 'm');
    EXPECT_EQ(nullptr, LoadModule(strName.c_str(), 0));
    EXPECT_TRUE(capture.BContains(
        "Assertion Failed: strlen(pchModuleName) + Q_strlen(pModuleExtension) < MAX_UNICODE_PATH_IN_UTF8"));

    // Exports of the running program itself (one of the launcher's own, which every build
    // exports).
    EXPECT_NE(nullptr, GetModuleExport(nullptr, "GetBootstrapperVersion"));
    EXPECT_EQ(nullptr, GetModuleExport(nullptr, "NoSuchExportAnywhere"));
}

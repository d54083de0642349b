// Loadable modules on POSIX: a path written the Windows way loads, exports resolve.
#include "foundation/platform/file.h"
#include "foundation/platform/module.h"

#include "support/testsupport.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <string>

TEST(PlatformModule, LoadsByWindowsStylePathAndResolvesExports)
{
    // zlib is on every machine that builds the launcher; find its file through a search load.
    PlatModule_t hSearched = PLAT_LoadModuleBySearch("libz.so.1");
    ASSERT_NE(nullptr, hSearched);
    void *pfnVersion = PLAT_GetModuleExport(hSearched, "zlibVersion");
    ASSERT_NE(nullptr, pfnVersion);
    Dl_info info;
    ASSERT_NE(0, dladdr(pfnVersion, &info));

    CTempDir dir;
    ASSERT_TRUE(PLAT_CopyFile(info.dli_fname, dir.File("Ferro.so").c_str()));
    PlatModule_t hModule = PLAT_LoadModule((dir.Path() + "\\FERRO.SO").c_str(), true);
    ASSERT_NE(nullptr, hModule) << dlerror();
    EXPECT_NE(nullptr, PLAT_GetModuleExport(hModule, "zlibVersion"));
    EXPECT_EQ(nullptr, PLAT_GetModuleExport(hModule, "NoSuchExport"));
    PLAT_UnloadModule(hModule);

    // A bare file name is a file of the working directory, not a search.
    char rgchOld[4096];
    ASSERT_TRUE(PLAT_GetCurrentDirectory(rgchOld, sizeof(rgchOld)));
    ASSERT_TRUE(PLAT_SetCurrentDirectory(dir.Path().c_str()));
    hModule = PLAT_LoadModule("ferro.so", false);
    EXPECT_NE(nullptr, hModule);
    PLAT_UnloadModule(hModule);
    EXPECT_EQ(nullptr, PLAT_LoadModule("libz.so.1", false));
    ASSERT_TRUE(PLAT_SetCurrentDirectory(rgchOld));

    EXPECT_EQ(nullptr, PLAT_LoadModule(dir.File("missing.so").c_str(), false));
    EXPECT_EQ(nullptr, PLAT_LoadModule("", false));
    EXPECT_EQ(nullptr, PLAT_LoadModuleBySearch("libnosuchlibrary.so"));
    PLAT_UnloadModule(hSearched);
    PLAT_UnloadModule(nullptr);

    // The running program's own symbols (the C library's among them) resolve with no module.
    EXPECT_NE(nullptr, PLAT_GetModuleExport(nullptr, "malloc"));
    EXPECT_EQ(nullptr, PLAT_GetModuleExport(nullptr, "NoSuchExportAnywhere"));
}

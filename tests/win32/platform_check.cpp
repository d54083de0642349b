// The Windows build's check of its platform layer: files with both separators and other
// letter cases, sharing, wildcards, error numbers, read-only files, threads and events,
// the environment, process start, modules and exports, clocks, file locks. Run on Windows
// or under Wine (scripts/test-windows); prints each failed check and "N passed, N failed".
#include "foundation/basetypes.h"
#include "foundation/platform/file.h"
#include "foundation/platform/fileaccess.h"
#include "foundation/platform/filelock.h"
#include "foundation/platform/module.h"
#include "foundation/platform/process.h"
#include "foundation/platform/thread.h"
#include "foundation/platform/time.h"
#include "foundation/thread.h"
#include "foundation/threadtools.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

// Found through PLAT_GetModuleExport with no module, as the client finds the launcher's.
FERRO_EXPORT int PlatformCheckExport()
{
    return 42;
}

namespace
{
int g_nPassed = 0;
int g_nFailed = 0;

void Check(bool bOk, const char *pchWhat, int nLine)
{
    if (bOk)
    {
        ++g_nPassed;
        return;
    }
    ++g_nFailed;
    printf("FAILED (line %d): %s\n", nLine, pchWhat);
}
#define CHECK(exp) Check((exp), #exp, __LINE__)

bool BWrite(const std::string &strPath, const std::string &strContent)
{
    FILE *pFile = PLAT_fopen(strPath.c_str(), "wb");
    if (!pFile)
        return false;
    bool bOk = fwrite(strContent.data(), 1, strContent.size(), pFile) == strContent.size();
    return fclose(pFile) == 0 && bOk;
}

std::string Read(const std::string &strPath)
{
    FILE *pFile = PLAT_fopen(strPath.c_str(), "rb");
    if (!pFile)
        return "<cannot open>";
    std::string str;
    char rgch[256];
    size_t cch;
    while ((cch = fread(rgch, 1, sizeof(rgch), pFile)) > 0)
        str.append(rgch, cch);
    fclose(pFile);
    return str;
}

std::vector<std::string> List(const std::string &strDir, const char *pchWildcard)
{
    std::vector<PlatDirEntry_t> vecEntries;
    if (!PLAT_ListDirectory(strDir.c_str(), pchWildcard, &vecEntries))
        return {"<cannot list>"};
    std::vector<std::string> vecNames;
    for (const PlatDirEntry_t &entry : vecEntries)
        vecNames.push_back(entry.m_strName + (entry.m_bIsDirectory ? "/" : ""));
    std::sort(vecNames.begin(), vecNames.end());
    return vecNames;
}

// A started process runs on its own; wait (at most 10 s) for the file it writes.
std::string AwaitFile(const std::string &strPath)
{
    for (int i = 0; i < 1000 && PLAT_GetFileSize(strPath.c_str()) <= 0; ++i)
        PLAT_Sleep(10);
    PLAT_Sleep(50); // let the writer close it
    return Read(strPath);
}

bool BEndsWith(const std::string &str, const std::string &strEnd)
{
    return str.size() >= strEnd.size() && str.compare(str.size() - strEnd.size(), strEnd.size(), strEnd) == 0;
}

void CheckFiles(const std::string &D)
{
    CHECK(PLAT_ResolvePath("a/b\\c") == "a\\b\\c");

    // Letter case and both separators.
    CHECK(BWrite(D + "/ferro.cfg", "cfg"));
    CHECK(Read(D + "\\Ferro.CFG") == "cfg");
    CHECK(PLAT_FileExists((D + "/FERRO.cfg").c_str()));
    CHECK(!PLAT_IsDirectory((D + "/FERRO.cfg").c_str()));
    CHECK(PLAT_GetFileSize((D + "\\ferro.cfg").c_str()) == 3);
    CHECK(PLAT_GetFileWriteTime((D + "/ferro.cfg").c_str()) > 1600000000);
    CHECK(PLAT_GetFileSize(D.c_str()) == -1);
    CHECK(PLAT_GetFileSize((D + "/missing").c_str()) == -1);
    CHECK(PLAT_GetFileWriteTime((D + "/missing").c_str()) == 0);

    // A log being written can be read by others at the same time.
    FILE *pLog = PLAT_fopen((D + "/log.txt").c_str(), "ab");
    CHECK(pLog != nullptr);
    if (pLog)
    {
        fputs("line\n", pLog);
        fflush(pLog);
        CHECK(Read(D + "\\LOG.txt") == "line\n");
        fclose(pLog);
    }

    // UTF-8 names reach the system as UTF-16 and come back unchanged.
    const std::string strGreeting = "Gr\xC3\xBC\xC3\x9F\x65.txt"; // "Grüße.txt"
    CHECK(BWrite(D + "/" + strGreeting, "hallo"));
    CHECK(PLAT_GetFileSize((D + "/" + strGreeting).c_str()) == 5);
    CHECK(List(D, "Gr*") == std::vector<std::string>{strGreeting});

    // Hierarchies, through another spelling of an existing prefix too.
    CHECK(PLAT_CreateDirectoryHierarchy((D + "/Package/Tmp/bin").c_str()));
    CHECK(PLAT_CreateDirectoryHierarchy((D + "\\PACKAGE\\tmp\\BIN\\deeper\\").c_str()));
    CHECK(PLAT_IsDirectory((D + "/package/tmp/bin/deeper").c_str()));
    CHECK(List(D + "/package", "*") == std::vector<std::string>{"Tmp/"});
    CHECK(PLAT_CreateDirectory((D + "/package").c_str())); // an existing one counts
    CHECK(BWrite(D + "/blocker", ""));
    CHECK(!PLAT_CreateDirectoryHierarchy((D + "/blocker/below").c_str()));
    CHECK(PLAT_GetLastErrno() == EEXIST);
    CHECK(!PLAT_CreateDirectory((D + "/missing/below").c_str()));
    CHECK(PLAT_GetLastErrno() == ENOENT);
    CHECK(PLAT_FileExists(D.c_str()));
    CHECK(PLAT_GetLastErrno() == ENOENT); // kept across successful calls

    // Wildcards select the same names as on POSIX: no DOS rules, no 8.3 short names.
    const std::string W = D + "/wild";
    CHECK(PLAT_CreateDirectory(W.c_str()));
    for (const char *pchName : {"a.zip.1f00", "B.ZIP.abc", "c.zip", "abc", "longername.zipper"})
        CHECK(BWrite(W + "/" + pchName, ""));
    CHECK(PLAT_CreateDirectory((W + "/sub.zip.dir").c_str()));
    CHECK((List(W, "*.zip.*") == std::vector<std::string>{"B.ZIP.abc", "a.zip.1f00", "sub.zip.dir/"}));
    CHECK(List(W, "*.zip") == std::vector<std::string>{"c.zip"});
    CHECK(List(W, "A?C") == std::vector<std::string>{"abc"});
    CHECK(List(W, "*").size() == 6);
    CHECK(List(W + "\\", nullptr).size() == 6);
    CHECK(List(W, "none*").empty());
    std::vector<PlatDirEntry_t> vecEntries;
    CHECK(!PLAT_ListDirectory((D + "/missing").c_str(), "*", &vecEntries));

    // Rename with replacement, copy, delete.
    CHECK(BWrite(D + "/new.bin", "new"));
    CHECK(BWrite(D + "/target.bin", "old"));
    CHECK(PLAT_RenameReplace((D + "\\new.bin").c_str(), (D + "/TARGET.bin").c_str()));
    CHECK(Read(D + "/target.bin") == "new");
    CHECK(!PLAT_FileExists((D + "/new.bin").c_str()));
    CHECK(!PLAT_RenameReplace((D + "/new.bin").c_str(), (D + "/x.bin").c_str()));
    CHECK(PLAT_GetLastErrno() == ENOENT);
    CHECK(PLAT_CopyFile((D + "/target.bin").c_str(), (D + "/ferro.cfg").c_str()));
    CHECK(Read(D + "/ferro.cfg") == "new");
    CHECK(!PLAT_CopyFile((D + "/target.bin").c_str(), (D + "/Target.bin").c_str()));
    CHECK(Read(D + "/target.bin") == "new");
    CHECK(!PLAT_CopyFile((D + "/missing").c_str(), (D + "/x.bin").c_str()));
    CHECK(PLAT_GetLastErrno() == ENOENT);

    // A read-only file resists deletion until its attribute is cleared.
    std::error_code ec;
    std::filesystem::permissions(std::filesystem::u8path(D + "/target.bin"),
                                 std::filesystem::perms::owner_write, std::filesystem::perm_options::remove,
                                 ec);
    CHECK(!ec);
    CHECK(!PLAT_DeleteFile((D + "/target.bin").c_str()));
    CHECK(PLAT_GetLastErrno() == EACCES);
    CHECK(PLAT_ClearReadOnlyAndHidden((D + "/TARGET.BIN").c_str()));
    CHECK(PLAT_DeleteFile((D + "/target.bin").c_str()));
    CHECK(!PLAT_DeleteFile((D + "/target.bin").c_str()));
    CHECK(PLAT_GetLastErrno() == ENOENT);
    CHECK(!PLAT_RemoveDirectory((D + "/package/tmp").c_str()));
    CHECK(PLAT_GetLastErrno() == ENOTEMPTY);
    CHECK(PLAT_RemoveDirectory((D + "/package/tmp/bin/deeper").c_str()));

    // Ownership as an elevated import hands it on: the directory's owner to a file in it
    // (already its owner here, which needs no privilege).
    CHECK(PLAT_SetOwnerFrom((D + "/ferro.cfg").c_str(), D.c_str()));
    CHECK(!PLAT_SetOwnerFrom((D + "/missing").c_str(), D.c_str()));
    CHECK(PLAT_SetPermissionBits((D + "/ferro.cfg").c_str(), 0755));
    CHECK(!PLAT_IsLink((D + "/ferro.cfg").c_str()));
    CHECK(!PLAT_IsLink((D + "/missing").c_str()));

    uint64 cubFree = 0;
    CHECK(PLAT_GetFreeDiskSpace(D.c_str(), &cubFree) && cubFree > 0);
    CHECK(PLAT_GetFreeDiskSpace((D + "\\").c_str(), &cubFree) && cubFree > 0);

    // The working directory, and relative paths against it.
    char rgchOld[1024], rgchNow[1024];
    CHECK(PLAT_GetCurrentDirectory(rgchOld, sizeof(rgchOld)));
    CHECK(PLAT_SetCurrentDirectory((D + "/PACKAGE").c_str()));
    CHECK(PLAT_GetCurrentDirectory(rgchNow, sizeof(rgchNow)));
    CHECK(rgchNow[strlen(rgchNow) - 1] != '\\');
    CHECK(PLAT_IsDirectory("tmp\\BIN"));
    CHECK(!PLAT_GetCurrentDirectory(rgchNow, 3));
    CHECK(PLAT_SetCurrentDirectory(rgchOld));
}

uint32 ProbeThread(void *pv)
{
    CThreadEvent *pGo = static_cast<CThreadEvent *>(pv);
    PLAT_SetCurrentThreadName("CNet Resolver");
    pGo->Wait();
    return PLAT_GetCurrentThreadId();
}

class CCheckThread : public CThread
{
public:
    int Run() override
    {
        m_nRuns++;
        m_bSawItself = BIsCurrentThread();
        m_Go.Wait();
        return m_nResult;
    }
    CThreadEvent m_Go;
    std::atomic<int> m_nRuns{0};
    std::atomic<bool> m_bSawItself{false};
    int m_nResult = 0;
};

void CheckThreads()
{
    CThreadEvent go;
    PlatThreadHandle_t hThread = nullptr;
    uint32 unId = 0;
    CHECK(PLAT_CreateThread(&ProbeThread, &go, 128 * 1024, &hThread, &unId));
    CHECK(unId != 0 && unId != PLAT_GetCurrentThreadId());
    CHECK(!PLAT_WaitForThread(hThread, 0));
    go.Set();
    CHECK(PLAT_WaitForThread(hThread, 10000));
    CHECK(PLAT_WaitForThread(hThread, 0));
    PLAT_CloseThread(hThread);

    CThreadEvent event;
    event.Set();
    event.Set();
    CHECK(event.Wait(0));
    CHECK(!event.Wait(0));

    CCheckThread thread;
    thread.SetName("CHTTPClientThreadPool");
    thread.m_nResult = 42;
    CHECK(thread.Start());
    CHECK(thread.IsAlive());
    CHECK(thread.GetExitCode() == CThread::k_unStillActive);
    CHECK(!thread.Start());
    thread.m_Go.Set();
    CHECK(thread.Join(10000));
    CHECK(!thread.IsAlive());
    CHECK(thread.GetExitCode() == 42);
    CHECK(thread.m_bSawItself);
    thread.m_nResult = 7;
    CHECK(thread.Start());
    thread.m_Go.Set();
    CHECK(thread.Join(10000));
    CHECK(thread.GetExitCode() == 7 && thread.m_nRuns == 2);
    PLAT_Sleep(0);
}

void CheckProcess(const std::string &D)
{
    const std::string strValue = "wert \xC3\xBC"; // "wert ü"
    CHECK(PLAT_SetEnv("FERRO_PLATFORM_CHECK", strValue.c_str()));
    CHECK(PLAT_GetEnv("FERRO_PLATFORM_CHECK") && PLAT_GetEnv("FERRO_PLATFORM_CHECK") == strValue);
    CHECK(getenv("FERRO_PLATFORM_CHECK") != nullptr); // the C runtime's copy follows
    CHECK(PLAT_SetEnv("FERRO_PLATFORM_CHECK", "plain"));
    const std::string strOut = D + "\\started.txt";
    CHECK(PLAT_StartProcess(("cmd.exe /c echo %FERRO_PLATFORM_CHECK%> \"" + strOut + "\"").c_str()));
    CHECK(AwaitFile(strOut).rfind("plain", 0) == 0);
    CHECK(!PLAT_StartProcess((D + "\\no-such-program.exe").c_str()));
    CHECK(PLAT_SetEnv("FERRO_PLATFORM_CHECK", nullptr));
    CHECK(PLAT_GetEnv("FERRO_PLATFORM_CHECK") == nullptr);
    CHECK(getenv("FERRO_PLATFORM_CHECK") == nullptr);
    CHECK(!PLAT_SetEnv("", "x"));

    CHECK(PLAT_SetEnv("FERRO_ASSUME_ADMIN", "1") && PLAT_IsUserAnAdmin());
    CHECK(PLAT_SetEnv("FERRO_ASSUME_ADMIN", "0") && !PLAT_IsUserAnAdmin());
    PLAT_SetEnv("FERRO_ASSUME_ADMIN", nullptr);

    char rgchAnsi[1024], rgchUTF8[1024];
    CHECK(PLAT_GetExecutablePath(rgchAnsi, sizeof(rgchAnsi)));
    CHECK(PLAT_GetExecutablePathUTF8(rgchUTF8, sizeof(rgchUTF8)));
    CHECK(BEndsWith(rgchUTF8, "\\platform_check.exe"));
    const size_t cchPath = strlen(rgchAnsi);
    CHECK(PLAT_GetExecutablePath(rgchAnsi, cchPath + 1));
    CHECK(!PLAT_GetExecutablePath(rgchAnsi, cchPath));
    CHECK(!PLAT_GetExecutablePathUTF8(rgchUTF8, 4));
    CHECK(strstr(PLAT_GetRawCommandLine(), "platform_check") != nullptr);
    CHECK(PLAT_GetCurrentProcessId() != 0);
}

void CheckModules()
{
    PlatModule_t hKernel = PLAT_LoadModuleBySearch("kernel32.dll");
    CHECK(hKernel && PLAT_GetModuleExport(hKernel, "GetTickCount"));
    CHECK(!PLAT_GetModuleExport(hKernel, "NoSuchExport"));
    PLAT_UnloadModule(hKernel);
    CHECK(!PLAT_LoadModule("no-such-module.dll", true));
    CHECK(!PLAT_LoadModuleBySearch("no-such-module.dll"));

    typedef int (*FnExport)();
    FnExport pfn = reinterpret_cast<FnExport>(PLAT_GetModuleExport(nullptr, "PlatformCheckExport"));
    CHECK(pfn && pfn() == 42);

    // The executable by its path with forward slashes: the module already loaded.
    char rgchPath[1024];
    CHECK(PLAT_GetExecutablePathUTF8(rgchPath, sizeof(rgchPath)));
    std::string strPath = rgchPath;
    std::replace(strPath.begin(), strPath.end(), '\\', '/');
    PlatModule_t hSelf = PLAT_LoadModule(strPath.c_str(), true);
    CHECK(hSelf && PLAT_GetModuleExport(hSelf, "PlatformCheckExport"));
    PLAT_UnloadModule(hSelf);
}

void CheckClocks()
{
    CHECK(PLAT_GetHighResTicksPerSecond() > 1000);
    uint64 unStart = PLAT_GetHighResTicks();
    PLAT_Sleep(2);
    CHECK(PLAT_GetHighResTicks() > unStart);
    PlatLocalTime_t now;
    PLAT_GetLocalTime(&now);
    CHECK(now.m_unYear >= 2024 && now.m_unMonth >= 1 && now.m_unMonth <= 12 && now.m_unDay >= 1 &&
          now.m_unDay <= 31 && now.m_unHour < 24 && now.m_unMinute < 60 && now.m_unSecond <= 60);
}
void CheckFileLocks(const std::string &D)
{
    // Two holders exclude each other even in one process; the lock goes with Unlock.
    const std::string strLock = D + "/one.lock";
    CPlatFileLock first, second;
    CHECK(first.TryLock(strLock.c_str()) == k_EPlatFileLockAcquired);
    CHECK(second.TryLock(strLock.c_str()) == k_EPlatFileLockBusy);
    first.Unlock();
    CHECK(second.TryLock(strLock.c_str()) == k_EPlatFileLockAcquired);
    second.Unlock();
    // A directory cannot be a lock file.
    CHECK(PLAT_CreateDirectory((D + "/dir.lock").c_str()));
    CHECK(first.TryLock((D + "/dir.lock").c_str()) == k_EPlatFileLockFailed &&
          first.GetLastSystemError() != 0);
}
} // namespace

int main()
{
    const char *pchTemp = PLAT_GetEnv("TEMP");
    const std::string D = std::string(pchTemp ? pchTemp : ".") + "\\ferro-platform-check-" +
                          std::to_string(PLAT_GetCurrentProcessId());
    if (!PLAT_CreateDirectory(D.c_str()))
    {
        printf("cannot create %s (errno %d)\n", D.c_str(), PLAT_GetLastErrno());
        return 2;
    }
    CHECK(PLAT_CreateDirectory(D.c_str()));

    CheckFiles(D);
    CheckThreads();
    CheckProcess(D);
    CheckModules();
    CheckClocks();
    CheckFileLocks(D);

    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::u8path(D), ec);
    printf("%d passed, %d failed\n", g_nPassed, g_nFailed);
    return g_nFailed ? 1 : 0;
}

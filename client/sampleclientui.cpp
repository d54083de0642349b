// The sample client UI libraries: "ferroui.so" and, built with FERRO_SAMPLE_CONSOLE_UI,
// "ferroconsole.so" (".dll" on Windows). Their entry point is what the launcher hands its
// main thread to. It takes the running client's side of the hand-off (creates the wake-up
// event, publishes "FerroPID"), prints what the launcher's exports return, drives the
// launcher's frame loop every 10 ms while it waits, and returns the exit code asked for.
//
// Options, read from the argument vector the launcher passes on:
//   -client-exit N                exit code of the first run (default 0)
//   -client-exit-relaunched N     exit code of a run started by a relaunch (default 0)
//   -client-wait-handoff SECONDS  wait that long at most for hand-offs
//   -client-handoffs N            how many hand-offs to wait for (default 1)
//   -client-check-updates         StartCheckingForUpdates, then pump until
//                                 IsCheckingForUpdates is false (at most 30 s)
//   -client-set-beta NAME         SetClientBeta(NAME)
//   -client-clear-beta            SetClientBeta(null)
// Runs are counted in the environment variable FERRO_SAMPLE_CLIENT_RUN, which a launcher
// started again by this process inherits.
//
// Output: one line per item on standard output, "<name>: <value>" (see Report).
#include "clientapi/clientinterface.h"
#include "clientapi/exports.h"
#include "clientapi/handoff.h"
#include "clientapi/validate.h"
#include "foundation/platform/module.h"
#include "foundation/platform/namedevent.h"
#include "foundation/platform/process.h"
#include "foundation/platform/registry.h"
#include "foundation/platform/thread.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifdef FERRO_SAMPLE_CONSOLE_UI
#define SAMPLE_UI_KIND "console"
#else
#define SAMPLE_UI_KIND "window"
#endif

namespace
{
// Pause between two frame steps while waiting.
const uint32 k_msFrameInterval = 10;
const int k_cUpdateCheckFrames = 30 * 1000 / (int)k_msFrameInterval;
const int k_cUpdateCheckStartFrames = 3 * 1000 / (int)k_msFrameInterval;
// Command lines are limited to 32767 characters on Windows; the registry copy may not be
// longer than what its store keeps of one value.
const size_t k_cubCommandLineMax = 65536;

struct SampleOptions_t
{
    int m_nExitCode = 0;
    int m_nExitCodeRelaunched = 0;
    int m_nWaitHandoffSeconds = 0;
    int m_cHandoffs = 1;
    bool m_bCheckUpdates = false;
    const char *m_pchSetBeta = nullptr;
    bool m_bClearBeta = false;
};

void Line(const char *pchFormat, ...) FERRO_PRINTF(1, 2);
void Line(const char *pchFormat, ...)
{
    va_list args;
    va_start(args, pchFormat);
    vprintf(pchFormat, args);
    va_end(args);
    putchar('\n');
    fflush(stdout);
}

SampleOptions_t ParseOptions(int argc, char **argv)
{
    SampleOptions_t options;
    for (int i = 1; i < argc && argv[i]; ++i)
    {
        const char *pchArg = argv[i];
        const char *pchValue = (i + 1 < argc && argv[i + 1]) ? argv[i + 1] : "";
        if (!strcmp(pchArg, "-client-exit"))
            options.m_nExitCode = atoi(pchValue);
        else if (!strcmp(pchArg, "-client-exit-relaunched"))
            options.m_nExitCodeRelaunched = atoi(pchValue);
        else if (!strcmp(pchArg, "-client-wait-handoff"))
            options.m_nWaitHandoffSeconds = atoi(pchValue);
        else if (!strcmp(pchArg, "-client-handoffs"))
            options.m_cHandoffs = atoi(pchValue);
        else if (!strcmp(pchArg, "-client-check-updates"))
            options.m_bCheckUpdates = true;
        else if (!strcmp(pchArg, "-client-set-beta"))
            options.m_pchSetBeta = pchValue;
        else if (!strcmp(pchArg, "-client-clear-beta"))
            options.m_bClearBeta = true;
    }
    return options;
}

// The launcher's exports, found by name in the running executable as a real client does.
template <class Fn>
Fn FindExport(const char *pchName)
{
    Fn pfn = reinterpret_cast<Fn>(PLAT_GetModuleExport(nullptr, pchName));
    if (!pfn)
        Line("missing export: %s", pchName);
    return pfn;
}
#define LAUNCHER_EXPORT(name) FindExport<decltype(&name)>(#name)

void ReportPathUTF8(const char *pchLabel, void (*pfnGet)(char *, int32))
{
    char rgchPath[MAX_UNICODE_PATH_IN_UTF8];
    rgchPath[0] = '\0';
    if (pfnGet)
        pfnGet(rgchPath, sizeof(rgchPath));
    Line("%s: %s", pchLabel, rgchPath);
}

void ReportPathANSI(const char *pchLabel, int32 (*pfnGet)(char *, int32))
{
    char rgchPath[MAX_PATH_BYTES];
    rgchPath[0] = '\0';
    int32 cub = pfnGet ? pfnGet(rgchPath, sizeof(rgchPath)) : 0;
    Line("%s: %s (%d)", pchLabel, rgchPath, (int)cub);
}

template <class Fn>
long long CallOr(Fn pfn, long long llDefault)
{
    return pfn ? (long long)pfn() : llDefault;
}

void Report(int argc, char **argv)
{
    Line("argc: %d", argc);
    for (int i = 0; i < argc; ++i)
        Line("argv[%d]: %s", i, argv[i] ? argv[i] : "(null)");
    const char *pchBetaPassword = PLAT_GetEnv("FerroBetaPassword");
    Line("beta password: %s", pchBetaPassword ? pchBetaPassword : "");

    ReportPathUTF8("exe path", LAUNCHER_EXPORT(GetFerroExePathUTF8));
    ReportPathANSI("exe path ansi", LAUNCHER_EXPORT(GetFerroExePath));
    ReportPathUTF8("install dir", LAUNCHER_EXPORT(GetFerroInstallDirUTF8));
    ReportPathANSI("install dir ansi", LAUNCHER_EXPORT(GetFerroInstallDir));
    ReportPathUTF8("base user dir", LAUNCHER_EXPORT(GetBaseUserDirUTF8));
    ReportPathUTF8("base user content dir", LAUNCHER_EXPORT(GetBaseUserContentDirUTF8));
    ReportPathANSI("base user dir ansi", LAUNCHER_EXPORT(GetBaseUserDir));
    ReportPathANSI("base user content dir ansi", LAUNCHER_EXPORT(GetBaseUserContentDir));

    Line("bootstrapper version: %llu",
         (unsigned long long)CallOr(LAUNCHER_EXPORT(GetBootstrapperVersion), 0));
    Line("universe: %lld", CallOr(LAUNCHER_EXPORT(GetEUniverse), -1));
    Line("checking for updates: %lld", CallOr(LAUNCHER_EXPORT(IsCheckingForUpdates), -1));
    Line("update available: %lld", CallOr(LAUNCHER_EXPORT(IsClientUpdateAvailable), -1));
    Line("bytes to download: %lld", CallOr(LAUNCHER_EXPORT(GetClientUpdateBytesToDownload), -1));
    Line("bytes downloaded: %lld", CallOr(LAUNCHER_EXPORT(GetClientUpdateBytesDownloaded), -1));
    auto pfnGetBeta = LAUNCHER_EXPORT(GetCurrentClientBeta);
    Line("current beta: %s", pfnGetBeta ? pfnGetBeta() : "");
    Line("can set beta: %lld", CallOr(LAUNCHER_EXPORT(CanSetClientBeta), -1));

    auto pfnCreateInterface = LAUNCHER_EXPORT(CreateInterface);
    int32 nCode = -1;
    void *pValidate = pfnCreateInterface ? pfnCreateInterface(VALIDATE_INTERFACE_VERSION, &nCode) : nullptr;
    Line("validate interface: %d (%d)", pValidate ? 1 : 0, (int)nCode);
    uint32 *punEntryThreadId =
        reinterpret_cast<uint32 *>(PLAT_GetModuleExport(nullptr, "g_dwDllEntryThreadId"));
    if (punEntryThreadId)
        Line("dll entry thread id: %u", *punEntryThreadId);
    else
        Line("missing export: g_dwDllEntryThreadId");
}

void ChangeBeta(const SampleOptions_t &options)
{
    auto pfnSetBeta = LAUNCHER_EXPORT(SetClientBeta);
    auto pfnGetBeta = LAUNCHER_EXPORT(GetCurrentClientBeta);
    if (!pfnSetBeta || !pfnGetBeta)
        return;
    pfnSetBeta(options.m_bClearBeta ? nullptr : options.m_pchSetBeta);
    Line("beta after set: %s", pfnGetBeta());
}

void CheckForUpdates(FnClientFrame_t pfnFrame)
{
    auto pfnStart = LAUNCHER_EXPORT(StartCheckingForUpdates);
    auto pfnChecking = LAUNCHER_EXPORT(IsCheckingForUpdates);
    auto pfnAvailable = LAUNCHER_EXPORT(IsClientUpdateAvailable);
    if (!pfnStart || !pfnChecking || !pfnAvailable)
        return;
    Line("update check started: %d", pfnStart() ? 1 : 0);
    // The updater's thread takes the wake-up on its own time: wait for the check to begin
    // (bounded: an updater that does not check, offline for one, never starts it), then
    // for it to end.
    int cFrames = 0;
    for (; cFrames < k_cUpdateCheckStartFrames && !pfnChecking(); ++cFrames)
    {
        pfnFrame();
        PLAT_Sleep(k_msFrameInterval);
    }
    for (cFrames = 0; cFrames < k_cUpdateCheckFrames && pfnChecking(); ++cFrames)
    {
        pfnFrame();
        PLAT_Sleep(k_msFrameInterval);
    }
    Line("update check finished: %d", pfnChecking() ? 0 : 1);
    Line("update available after check: %d", pfnAvailable() ? 1 : 0);
}

// The running client's side of the hand-off: the event first, then the process id, so a
// launcher that finds the id finds the event too.
PlatNamedEvent_t PublishHandOff()
{
    PlatNamedEvent_t hEvent = PLAT_CreateNamedEvent(FERRO_HANDOFF_EVENT_NAME);
    const EPlatRegistryHive eHive = k_EPlatRegistryHiveLocalMachine;
    bool bPublished = hEvent && PLAT_RegistryCreateKey(eHive, FERRO_HANDOFF_REGISTRY_KEY) &&
                      PLAT_RegistryWriteDWORD(eHive, FERRO_HANDOFF_REGISTRY_KEY,
                                              FERRO_HANDOFF_PROCESS_ID_VALUE, PLAT_GetCurrentProcessId());
    Line("handoff ready: %d", bPublished ? 1 : 0);
    return hEvent;
}

void WithdrawHandOff(PlatNamedEvent_t hEvent)
{
    const EPlatRegistryHive eHive = k_EPlatRegistryHiveLocalMachine;
    uint32 unProcessId = 0;
    if (PLAT_RegistryReadDWORD(eHive, FERRO_HANDOFF_REGISTRY_KEY, FERRO_HANDOFF_PROCESS_ID_VALUE,
                               &unProcessId) &&
        unProcessId == PLAT_GetCurrentProcessId())
        PLAT_RegistryDeleteValue(eHive, FERRO_HANDOFF_REGISTRY_KEY, FERRO_HANDOFF_PROCESS_ID_VALUE);
    PLAT_CloseNamedEvent(hEvent);
}

// Takes the command line a launcher left and clears it, so that it is used once.
void ConsumeHandOff()
{
    const EPlatRegistryHive eHive = k_EPlatRegistryHiveLocalMachine;
    std::vector<char> vecCommandLine(k_cubCommandLineMax + 1);
    if (PLAT_RegistryReadString(eHive, FERRO_HANDOFF_REGISTRY_KEY, FERRO_HANDOFF_COMMAND_LINE_VALUE,
                                vecCommandLine.data(), vecCommandLine.size()))
    {
        Line("handoff: %s", vecCommandLine.data());
        PLAT_RegistryDeleteValue(eHive, FERRO_HANDOFF_REGISTRY_KEY, FERRO_HANDOFF_COMMAND_LINE_VALUE);
    }
    else
    {
        Line("handoff without command line");
    }
}

// Drives the launcher's frame loop every 10 ms until the hand-offs came or the time is up.
void WaitForHandOffs(PlatNamedEvent_t hEvent, const SampleOptions_t &options, FnClientFrame_t pfnFrame)
{
    int cFrames = options.m_nWaitHandoffSeconds * (1000 / (int)k_msFrameInterval);
    int cReceived = 0;
    for (int i = 0; i < cFrames && cReceived < options.m_cHandoffs; ++i)
    {
        pfnFrame();
        if (hEvent && PLAT_WaitNamedEvent(hEvent, k_msFrameInterval))
        {
            ConsumeHandOff();
            ++cReceived;
        }
        else if (!hEvent)
        {
            PLAT_Sleep(k_msFrameInterval);
        }
    }
    if (cReceived < options.m_cHandoffs)
        Line("handoff timed out");
}

int CountRun()
{
    const char *pchRun = PLAT_GetEnv("FERRO_SAMPLE_CLIENT_RUN");
    int nRun = (pchRun ? atoi(pchRun) : 0) + 1;
    PLAT_SetEnv("FERRO_SAMPLE_CLIENT_RUN", std::to_string(nRun).c_str());
    return nRun;
}
} // namespace

FERRO_EXPORT int32 FerroDllMainArvoLauncherMode(int32 argc, char **argv, FnClientFrame_t pfnFrame)
{
    Line("client ui: %s", SAMPLE_UI_KIND);
    int nRun = CountRun();
    Line("client run: %d", nRun);
    SampleOptions_t options = ParseOptions(argc, argv);

    PlatNamedEvent_t hEvent = PublishHandOff();
    Report(argc, argv);
    if (options.m_pchSetBeta || options.m_bClearBeta)
        ChangeBeta(options);
    if (options.m_bCheckUpdates && pfnFrame)
        CheckForUpdates(pfnFrame);
    if (pfnFrame)
    {
        pfnFrame();
        if (options.m_nWaitHandoffSeconds > 0)
            WaitForHandOffs(hEvent, options, pfnFrame);
    }
    WithdrawHandOff(hEvent);

    int nExitCode = nRun == 1 ? options.m_nExitCode : options.m_nExitCodeRelaunched;
    Line("client exit: %d", nExitCode);
    return nExitCode;
}

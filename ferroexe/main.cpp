// The main flow of the launcher: hand-off, install directory checks, UI and updater start,
// the wait loop on the main thread, and the launch-or-restart decision with its exit code.
#include "ferroexe/main.h"

#include "ferroexe/consoleupdateui.h"
#include "ferroexe/crashmarker.h"
#include "ferroexe/ferroupdater.h"
#include "ferroexe/handoff.h"
#include "ferroexe/installpaths.h"
#include "ferroexe/launchclient.h"
#include "ferroexe/localizedtext.h"
#include "ferroexe/updatestatusui.h"
#include "ferroexe/win32updateui.h"
#include "foundation/clock.h"
#include "foundation/commandline.h"
#include "foundation/dbg.h"
#include "foundation/platform/file.h"
#include "foundation/platform/process.h"
#include "foundation/strtools.h"
#include "http/httpclient.h"
#include "jobs/framefunctionmgr.h"
#include "jobs/scheduledfunction.h"
#include "net/net.h"

#include <cstdio>
#include <string>
#include <vector>

static CCommandLineOption g_OptionTextClient("-textclient", "");
static CCommandLineOption g_OptionInstallUpdate("-installupdate", "");
static CCommandLineOption g_OptionBeta("-beta", "");
static CCommandLineOption g_OptionClientBeta("-clientbeta", "");
static CCommandLineOption g_OptionExitFerro("ferro://ExitFerro", "");
static CCommandLineOption g_OptionNoDirCheck("-nodircheck", "");
static CCommandLineOption g_OptionVerify("-verify", "");

namespace
{
// Microseconds of one wait-loop pass: frame functions first, then the UI's slot.
const uint64 k_usFrameFunctionBudget = 50000;
const uint64 k_usUIFrame = 25000;
// While the updater downloads packages. Frame functions report no more work once they have
// drained the sockets, and a 25 ms UI slot after every drain (the console sleeps, the
// window waits for a message or its 20 ms timer) lets the kernel's receive buffers fill and
// the senders stall: a loopback transfer ran at a sixth of its speed. So the UI gets its
// slot (with a 1 ms deadline) once per k_usUIFrame only, and the passes in between pause
// for k_msDownloadPassPause. Idle waits (a slow manifest, the background phase) keep the
// plain 25 ms slot after every pass.
const uint64 k_usUIFrameWhileDownloading = 1000;
const uint32 k_msDownloadPassPause = 1;
// How long the shutdown lets the network layer finish the connections the HTTP client
// closed, before the layer goes (real time on the installed clock, in passes).
const int k_cMaxShutdownDrainPasses = 200;
const uint32 k_msShutdownDrainPause = 5;
// The UI's wait before the first pass.
const uint64 k_usFirstUIFrame = 50000;
// Pause of an elevated run started with SLEEP_BEFORE_ELEVATED_UPDATE (to attach a debugger).
const uint32 k_msElevatedSleep = 5000;

// clang-format off
const char k_pchInstallDirNotASCII[] = "Ferro cannot run from a folder path that includes non-English characters. Please re-install Ferro to the default folder.";
// clang-format on

bool BPresent(const CCommandLineOption &option)
{
    return GetCommandLineObject()->FindOption(option.GetHandle()) != nullptr;
}

// Runs frame functions while they report more work, for at most the budget. A clock that
// reads earlier than the start moves the deadline back by the same amount, so a clock
// jump backwards cannot stretch the pass.
void RunFrameFunctions(CFrameFunctionMgr &frameFunctionMgr, uint64 usBudget)
{
    uint64 ulStart = Clock_GetTicks();
    uint64 ulEnd = ulStart + Clock_MicrosecondsToTicks(usBudget);
    for (;;)
    {
        uint64 ulNow = Clock_GetTicks();
        if (ulNow < ulStart)
        {
            ulEnd -= ulStart - ulNow;
            ulStart = ulNow;
        }
        if (ulNow >= ulEnd)
            return;
        if (frameFunctionMgr.RunFrame(k_EFrameTypeMain, nullptr, true))
            continue;
        if (frameFunctionMgr.RunFrame(k_EFrameTypeLate, nullptr, true))
            continue;
        return;
    }
}

uint64 TicksFromNow(uint64 usDelay)
{
    return Clock_GetTicks() + Clock_MicrosecondsToTicks(usDelay);
}

bool BUpdaterDone(const CFerroUpdater *pUpdater)
{
    return pUpdater->m_bUpdateFinished || pUpdater->m_bRestartRequired || pUpdater->m_bFatalError;
}

// The private copy of the argument vector: argc + 1 pointers, element 0 the full path of
// the executable.
class CArgumentCopy
{
public:
    CArgumentCopy(int argc, char **argv)
    {
        // A process started without even argument 0 still gets the executable's path.
        int nCount = argc > 0 ? argc : 1;
        m_vecArgs.assign((size_t)nCount + 1, nullptr);
        for (int i = 0; i < argc && argv; ++i)
            m_vecArgs[(size_t)i] = argv[i];
        m_rgchExePath[0] = '\0';
    }
    bool BSetExecutablePath()
    {
        if (!PLAT_GetExecutablePath(m_rgchExePath, sizeof(m_rgchExePath)))
            return false;
        m_vecArgs[0] = m_rgchExePath;
        return true;
    }
    int Count() const { return (int)m_vecArgs.size() - 1; }
    char **Vector() { return m_vecArgs.data(); }

private:
    std::vector<char *> m_vecArgs;
    char m_rgchExePath[MAX_PATH_BYTES];
};
} // namespace

void BuildRelaunchCommandLine(char **argv, std::string *pstrCommandLine)
{
    pstrCommandLine->clear();
    for (int i = 0; argv && argv[i]; ++i)
    {
        *pstrCommandLine += '"';
        *pstrCommandLine += argv[i];
        *pstrCommandLine += "\" ";
    }
}

void RelaunchSelf(char **argv)
{
    std::string strCommandLine;
    BuildRelaunchCommandLine(argv, &strCommandLine);
    // Nobody waits for the new launcher; if it cannot start there is no one to tell but
    // the diagnostics.
    if (!PLAT_StartProcess(strCommandLine.c_str()))
        DMsg("general", 2, "Could not start the launcher again: %s\n", strCommandLine.c_str());
}

namespace
{
// The scheduled functions and the network layer, from the wiring of the frame loop to the
// end of the run. A normal end shuts them down at its own point (after the last
// connections are drained and the window is gone); every other way out does it on leaving.
class CNetworkScope
{
public:
    explicit CNetworkScope(CFrameFunctionMgr &frameFunctionMgr) : m_FrameFunctionMgr(frameFunctionMgr)
    {
        // The global identifier generator of the message layer is not needed: nothing in the
        // launcher reads an identifier.
        m_FrameFunctionMgr.Register(&GetScheduledFunctionMgr());
        TCPConnectionGlobalInit(true, m_FrameFunctionMgr);
    }
    ~CNetworkScope() { Shutdown(); }
    CNetworkScope(const CNetworkScope &) = delete;
    CNetworkScope &operator=(const CNetworkScope &) = delete;

    void Shutdown()
    {
        if (m_bShutDown)
            return;
        m_bShutDown = true;
        m_FrameFunctionMgr.Deregister(&GetScheduledFunctionMgr());
        // The network layer's threads and connections end before the frame functions go.
        TCPConnectionGlobalShutdown();
        m_FrameFunctionMgr.Cleanup();
    }

private:
    CFrameFunctionMgr &m_FrameFunctionMgr;
    bool m_bShutDown = false;
};

// The process-wide updater, deleted on every way out of the run.
class CUpdaterScope
{
public:
    CUpdaterScope() : m_pUpdater(GetFerroUpdater()) {}
    ~CUpdaterScope() { DeleteFerroUpdater(); }
    CUpdaterScope(const CUpdaterScope &) = delete;
    CUpdaterScope &operator=(const CUpdaterScope &) = delete;
    CFerroUpdater *Get() const { return m_pUpdater; }

private:
    CFerroUpdater *m_pUpdater;
};

// The crash marker lives as long as this run; one left behind means a crash. A normal end
// removes it before the launcher may start again (the new process must not find it).
class CCrashMarkerScope
{
public:
    CCrashMarkerScope()
    {
        BuildCrashMarkerPath(CInstallPaths::InstallDir(), m_rgchPath, sizeof(m_rgchPath));
        if (BCrashMarkerExists(m_rgchPath))
        {
            Msg("Looks like ferro didn't shutdown cleanly, scheduling immediate update check\n");
            m_bCrashed = true;
        }
        else
        {
            BCreateCrashMarker(m_rgchPath);
        }
    }
    ~CCrashMarkerScope() { Delete(); }
    CCrashMarkerScope(const CCrashMarkerScope &) = delete;
    CCrashMarkerScope &operator=(const CCrashMarkerScope &) = delete;

    bool BCrashed() const { return m_bCrashed; }
    void Delete()
    {
        if (m_bDeleted)
            return;
        m_bDeleted = true;
        DeleteCrashMarker(m_rgchPath);
    }

private:
    char m_rgchPath[INSTALL_PATH_BUFFER_BYTES + 8];
    bool m_bCrashed = false;
    bool m_bDeleted = false;
};

// The arguments as the run sees them: the UI's initialisation may take some away.
struct LauncherArgs_t
{
    int m_nArgs;
    char **m_ppchArgs;
};

// Our own copy of the arguments (the full executable path as argument 0), the command line
// object built from it, and the install directory as the working directory: paths
// beginning with "package" are relative to it.
bool BEnterInstallDir(CArgumentCopy &args, int *pnExitCode)
{
    if (!args.BSetExecutablePath())
    {
        AssertMsg(false, "PLAT_GetExecutablePath returned false");
        *pnExitCode = k_ELauncherExitNoExecutablePath;
        return false;
    }
    // The command line object sees every argument quoted.
    GetCommandLineObject()->CreateFromArguments(args.Count(), args.Vector());

    char rgchExePathUTF8[INSTALL_PATH_BUFFER_BYTES];
    if (!PLAT_GetExecutablePathUTF8(rgchExePathUTF8, sizeof(rgchExePathUTF8)) ||
        !CInstallPaths::BSetFromExePath(rgchExePathUTF8) ||
        !PLAT_SetCurrentDirectory(CInstallPaths::InstallDir()))
    {
        AssertMsg(false, "Couldn't chdir into the install path");
        *pnExitCode = k_ELauncherExitInstallDirUnusable;
        return false;
    }
    return true;
}

// The window is always constructed (by the process entry); the console replaces it when
// asked for, and where no window can be shown (a Linux terminal without a display), so
// that the run does not end without anything to see.
IUpdateStatusUI *ChooseUpdateStatusUI(bool bConsole)
{
    if (bConsole)
    {
        SetPUpdateStatusUI(CConsoleUpdateUI::GetInstance());
    }
    else if (CWin32UpdateUI::GetInstance()->BCanShowWindow())
    {
        SetPUpdateStatusUI(CWin32UpdateUI::GetInstance());
    }
    else
    {
        Msg("No display for the progress window: showing progress on the console\n");
        SetPUpdateStatusUI(CConsoleUpdateUI::GetInstance());
    }
    return GetPUpdateStatusUI();
}

// The client cannot use a path outside ASCII; -nodircheck lets the run go on regardless.
bool BInstallDirPathUsable(IUpdateStatusUI *pUI)
{
    if (CInstallPaths::BInstallDirIsASCII())
        return true;
    if (GetCommandLineObject()->FindOptionArgument(g_OptionNoDirCheck.GetHandle()) > 0)
    {
        AssertMsg(false, "Unable to access Ferro files due to incompatible path");
        return true;
    }
    pUI->ShowFatalError(
        LocalizeBootstrapperText("#FerroBootstrapper_InstallDirNotASCII", nullptr, k_pchInstallDirNotASCII));
    AssertMsg(false, "Unable to access Ferro files due to incompatible path");
    return false;
}

void SleepIfElevatedRunWaitsForDebugger()
{
    if (!PLAT_IsUserAnAdmin() || !PLAT_GetEnv("SLEEP_BEFORE_ELEVATED_UPDATE"))
        return;
    fprintf(stderr, "pid %u sleeping...", PLAT_GetCurrentProcessId());
    fflush(stderr);
    Clock_Sleep(k_msElevatedSleep);
    fprintf(stderr, "done!\n");
    fflush(stderr);
}

// An elevated run exists to write where the user's own run could not: it fails when it
// cannot, and installs the update another run downloaded when asked to.
bool BRunElevatedDuties(CFerroUpdater *pUpdater, IUpdateStatusUI *pUI, bool bWritable, int *pnExitCode)
{
    if (!bWritable)
    {
        pUI->ShowFatalError(LocalizeBootstrapperText("#FerroBootstrapper_ReadOnlyInstall", nullptr,
                                                     "Ferro can't write to it's install dir."));
        AssertMsg(false, "launched as admin but couldn't update");
        *pnExitCode = k_ELauncherExitInstallDirReadOnly;
        return false;
    }
    if (BPresent(g_OptionInstallUpdate))
    {
        const char *pchSourceDir =
            GetCommandLineObject()->GetOptionString(g_OptionInstallUpdate.GetHandle(), nullptr);
        if (!pchSourceDir)
        {
            AssertMsg(false, "launched with install update flag, no download directory given");
            *pnExitCode = k_ELauncherExitNoUpdateSource;
            return false;
        }
        if (pUpdater->BInstallUpdateFromDirectory(pchSourceDir))
            pUpdater->BRemoveUpdateFromDirectory(pchSourceDir);
    }
    pUpdater->EnsurePackageDir();
    return true;
}

// -beta sets the beta password for this process and the client it starts; -clientbeta
// names the client beta, returned.
CUtlString ApplyBetaOptions()
{
    ICommandLine *pCommandLine = GetCommandLineObject();
    if (BPresent(g_OptionBeta))
    {
        const char *pchPassword = pCommandLine->GetOptionString(g_OptionBeta.GetHandle(), nullptr);
        if (pchPassword && *pchPassword)
            PLAT_SetEnv("FerroBetaPassword", pchPassword);
    }
    CUtlString strClientBeta;
    if (BPresent(g_OptionClientBeta))
        strClientBeta = pCommandLine->GetOptionString(g_OptionClientBeta.GetHandle(), "");
    return strClientBeta;
}

// Gives the updater its HTTP client and starts its thread.
bool BStartUpdater(CFerroUpdater *pUpdater, CFrameFunctionMgr &frameFunctionMgr, bool bCrashed,
                   const char *pchClientBeta)
{
    // Keep-alive 60 s, no response cache, 3 requests in flight per host, default TLS
    // context, the client's own thread pool.
    CHTTPClient *pHTTPClient = new CHTTPClient(frameFunctionMgr, 60, nullptr, 1, 3, nullptr, nullptr);
    // The updater owns the HTTP client from here on.
    if (!pUpdater->BInitialize(pHTTPClient, bCrashed, pchClientBeta))
    {
        AssertMsg(false, "failed to initialize FerroUpdater");
        delete pHTTPClient; // not taken over
        return false;
    }
    // A run that ended uncleanly may have been cut short in the middle of writing files whose
    // sizes came out right: contents are compared, not only sizes.
    if (bCrashed || BPresent(g_OptionVerify))
        pUpdater->RequestContentVerification();
    pUpdater->Start();
    return true;
}

// Pumps the frame loop and the UI until the updater has an outcome or the user cancels. The
// UI's slot is where the main thread waits: the updater ends that wait when it has its
// outcome (WakeFrame), so the flags are looked at right after each wait, and before it.
void PumpUntilUpdaterDone(CFrameFunctionMgr &frameFunctionMgr, CFerroUpdater *pUpdater, IUpdateStatusUI *pUI)
{
    uint64 ulDeadline = TicksFromNow(k_usFirstUIFrame);
    pUI->BRunFrame(&ulDeadline);
    uint64 ulLastUIFrame = Clock_GetTicks();
    for (;;)
    {
        RunFrameFunctions(frameFunctionMgr, k_usFrameFunctionBudget);
        if (BUpdaterDone(pUpdater) || pUI->BUserCancelled())
            break;
        if (!pUpdater->m_bDownloadingPackages)
        {
            ulDeadline = TicksFromNow(k_usUIFrame);
            pUI->BRunFrame(&ulDeadline);
        }
        else if (Clock_GetTicks() - ulLastUIFrame >= Clock_MicrosecondsToTicks(k_usUIFrame) ||
                 Clock_GetTicks() < ulLastUIFrame)
        {
            ulDeadline = TicksFromNow(k_usUIFrameWhileDownloading);
            pUI->BRunFrame(&ulDeadline);
            ulLastUIFrame = Clock_GetTicks();
        }
        else
        {
            Clock_Sleep(k_msDownloadPassPause);
        }
        if (BUpdaterDone(pUpdater) || pUI->BUserCancelled())
            break;
    }
}

// The updater's fatal error, unless the player cancelled: they are not shown an error that
// the cancel itself may have caused.
void ShowUpdaterError(CFerroUpdater *pUpdater, IUpdateStatusUI *pUI, bool bCancelled)
{
    CUtlString strLastError = pUpdater->GetLastErrorText();
    if (pUpdater->m_bFatalError && !strLastError.IsEmpty() && !bCancelled)
        pUI->ShowFatalErrorWithCause(pUpdater->GetFatalCause().Get(), strLastError.Get());
}

// Launches the client when the updater finished and nothing stands in the way; the exit
// code of the run, and whether a new launcher starts. After Cancel nothing is launched or
// restarted, whatever the updater finished meanwhile.
int LaunchOrRestart(CFerroUpdater *pUpdater, IUpdateStatusUI *pUI, const LauncherArgs_t &args, bool bConsole,
                    bool bCancelled, bool *pbRestart)
{
    *pbRestart = pUpdater->m_bRestartRequired && !bCancelled;
    const bool bLaunch = !*pbRestart && !bCancelled && pUpdater->m_bUpdateFinished;
    const bool bOffline = pUpdater->m_bOffline;
    if (BPresent(g_OptionExitFerro))
    {
        *pbRestart = false;
        return k_ELauncherExitRestart;
    }
    if (*pbRestart || !bLaunch)
        return k_ELauncherExitRestart;
    if (!pUpdater->BCheckUserDirectories() || !pUI->BReadyToLaunchClient())
        return k_ELauncherExitClientNotReady;
    pUI->DestroyWindow();
    int nExitCode = LaunchClient(args.m_nArgs, args.m_ppchArgs, bOffline, bConsole);
    // The client asks for a new launcher (to take an update) by returning the same code.
    if (nExitCode == k_ELauncherExitRestart)
        *pbRestart = true;
    return nExitCode;
}

// The connections that the HTTP client's shutdown closed are finished by the network
// layer's frame functions and work items: they run before the layer goes.
void StopUpdaterAndDrainNetwork(CFrameFunctionMgr &frameFunctionMgr, CFerroUpdater *pUpdater)
{
    pUpdater->RequestShutdown();
    for (int i = 0; i < k_cMaxShutdownDrainPasses && CNet::GetConnectionCount() > 0; ++i)
    {
        RunFrameFunctions(frameFunctionMgr, k_usFrameFunctionBudget);
        Clock_Sleep(k_msShutdownDrainPause);
    }
}

// The run once the updater exists: the directory checks, the elevated duties, the update
// and the launch.
int RunWithUpdater(CFerroUpdater *pUpdater, IUpdateStatusUI *pUI, CNetworkScope &network,
                   CFrameFunctionMgr &frameFunctionMgr, LauncherArgs_t &args, bool bConsole)
{
    if (!pUI->BInit(&args.m_nArgs, &args.m_ppchArgs) || !pUI->BCreateWindow())
    {
        AssertMsg(false, "failed to initialize update status ui, or create initial window");
        return k_ELauncherExitNoWindow;
    }
    pUpdater->SetUpdateStatusUI(pUI);
    if (!BInstallDirPathUsable(pUI))
        return k_ELauncherExitInstallDirUnusable;

    SleepIfElevatedRunWaitsForDebugger();
    const bool bWritable = pUpdater->BIsInstallDirWritable();
    const bool bElevated = PLAT_IsUserAnAdmin();
    int nExitCode = k_ELauncherExitRestart;
    if (bElevated && !BRunElevatedDuties(pUpdater, pUI, bWritable, &nExitCode))
        return nExitCode;

    CCrashMarkerScope crashMarker;
    CUtlString strClientBeta = ApplyBetaOptions();
    if (!BStartUpdater(pUpdater, frameFunctionMgr, crashMarker.BCrashed(), strClientBeta.Get()))
        return k_ELauncherExitUpdaterInitFailed;

    PumpUntilUpdaterDone(frameFunctionMgr, pUpdater, pUI);
    if (pUpdater->BIsUpdatePending() && !bElevated)
        pUpdater->EnsurePackageDir();
    const bool bCancelled = pUI->BUserCancelled();
    ShowUpdaterError(pUpdater, pUI, bCancelled);
    bool bRestart = false;
    nExitCode = LaunchOrRestart(pUpdater, pUI, args, bConsole, bCancelled, &bRestart);

    StopUpdaterAndDrainNetwork(frameFunctionMgr, pUpdater);
    pUI->DestroyWindow();
    pUI->Shutdown();
    network.Shutdown();
    crashMarker.Delete();
    if (bRestart)
        RelaunchSelf(args.m_ppchArgs);
    return nExitCode;
}
} // namespace

int BootstrapperMain(int argc, char **argv)
{
    // Another instance runs: it gets our command line, and we are done.
    if (BHandOffToRunningInstance(argc, argv))
        return k_ELauncherExitHandedOff;

    CArgumentCopy argsCopy(argc, argv);
    int nExitCode = k_ELauncherExitRestart;
    if (!BEnterInstallDir(argsCopy, &nExitCode))
        return nExitCode;
    LauncherArgs_t args = {argsCopy.Count(), argsCopy.Vector()};
    const bool bConsole = BPresent(g_OptionTextClient);
    // The diagnostics keep their own levels (FERRO_SPEW_LEVEL); nothing to set here.

    CFrameFunctionMgr &frameFunctionMgr = GetFrameFunctionMgr();
    CNetworkScope network(frameFunctionMgr);
    IUpdateStatusUI *pUI = ChooseUpdateStatusUI(bConsole);
    if (!pUI)
    {
        AssertMsg(false, "GetPUpdateStatusUI() returned NULL");
        return k_ELauncherExitNoStatusUI;
    }
    CUpdaterScope updater;
    return RunWithUpdater(updater.Get(), pUI, network, frameFunctionMgr, args, bConsole);
}

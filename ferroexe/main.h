// The launcher's main flow and the restart of the launcher.
#pragma once

#include "clientapi/clientinterface.h"

#include <string>

// The exit codes of the launcher; a run that launched the client ends with the client's own
// result instead.
enum ELauncherExitCode
{
    k_ELauncherExitHandedOff = 0, // another instance took the command line
    k_ELauncherExitNoExecutablePath = -1,
    k_ELauncherExitClientNotReady = -1,     // user directories unusable, or the UI holds the launch
    k_ELauncherExitInstallDirUnusable = -2, // cannot work from it, or its path is not ASCII
    k_ELauncherExitNoStatusUI = -3,
    k_ELauncherExitNoWindow = -4,
    k_ELauncherExitInstallDirReadOnly = -5, // an elevated run that cannot write
    k_ELauncherExitNoUpdateSource = -6,     // -installupdate without its directory
    k_ELauncherExitUpdaterInitFailed = -7,
    // Ended without launching the client (also what the client returns to ask for a new
    // launcher, to take an update).
    k_ELauncherExitRestart = k_nClientExitRestartLauncher,
};

// The whole run of the launcher; returns the process exit code (ELauncherExitCode, or the
// client's own result).
int BootstrapperMain(int argc, char **argv);

// Starts a new launcher process with the null-terminated argument vector (argument 0 the
// program) and does not wait for it. A failure to start is only reported as a diagnostic.
void RelaunchSelf(char **argv);

// The command line RelaunchSelf starts: every argument in double quotes followed by a blank.
void BuildRelaunchCommandLine(char **argv, std::string *pstrCommandLine);

// The launcher's main flow and the restart of the launcher.
#pragma once

#include <string>

// The whole run of the launcher; returns the process exit code: 0 handed off to a running
// instance; -1 to -7 start-up failures; 7 ended without launching the client; otherwise
// the client's own result.
int BootstrapperMain(int argc, char **argv);

// Starts a new launcher process with the null-terminated argument vector (argument 0 the
// program) and does not wait for it. A failure to start is only reported as a diagnostic.
void RelaunchSelf(char **argv);

// The command line RelaunchSelf starts: every argument in double quotes followed by a blank.
void BuildRelaunchCommandLine(char **argv, std::string *pstrCommandLine);

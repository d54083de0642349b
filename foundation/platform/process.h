// The running process: its executable, environment, privileges, and starting others.
#pragma once

#include "foundation/basetypes.h"

// Full path of the running executable in the system's 8-bit code page (Windows: the ANSI
// module file name; POSIX: the same as the UTF-8 form). False when it cannot be found or
// does not fit.
bool PLAT_GetExecutablePath(char *pchBuf, size_t cubBuf);
// Full path of the running executable as UTF-8.
bool PLAT_GetExecutablePathUTF8(char *pchBuf, size_t cubBuf);

// The command line text as the system reports it (Windows: GetCommandLineA; POSIX: the
// arguments joined by spaces, each holding a space or nothing enclosed in double quotes).
const char *PLAT_GetRawCommandLine();

// Environment of this process (inherited by processes it starts). Get returns null when unset.
const char *PLAT_GetEnv(const char *pchName);
bool PLAT_SetEnv(const char *pchName, const char *pchValue);

uint32 PLAT_GetCurrentProcessId();

// The administrator test (POSIX: effective user id 0; Windows: IsUserAnAdmin).
bool PLAT_IsUserAnAdmin();

// Starts a process from a command line written the Windows way (the first argument is the
// program; arguments are separated by blanks, and a double-quoted run keeps its blanks).
// Does not wait for it; no handles are inherited, the current directory is inherited.
bool PLAT_StartProcess(const char *pchCommandLine);

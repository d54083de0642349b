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

// Environment of this process (inherited by processes it starts), names and values UTF-8.
// Get returns null when unset; the text stays valid until the variable is set again (on
// Windows for the life of the process). Set with a null value removes the variable.
const char *PLAT_GetEnv(const char *pchName);
bool PLAT_SetEnv(const char *pchName, const char *pchValue);

uint32 PLAT_GetCurrentProcessId();

// The administrator test (POSIX: effective user id 0; Windows: IsUserAnAdmin).
bool PLAT_IsUserAnAdmin();

// Starts a process from a command line written the Windows way and split as the Windows C
// runtime splits it: the first argument is the program (to the next blank, or between
// double quotes; a bare name is searched for); arguments are separated by blanks, a
// double-quoted run keeps its blanks, and backslashes escape a double quote. The text is
// UTF-8; text that is not valid UTF-8 is taken in the system's 8-bit code page (argument
// vectors are). Does not wait for it; no handles are inherited, the environment and the
// current directory are. False when the process cannot be started.
bool PLAT_StartProcess(const char *pchCommandLine);

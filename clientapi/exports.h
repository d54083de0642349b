// The functions (and one variable) that the launcher executable exports to the client
// library, with C linkage. The client finds them by name in the running executable; they
// are callable from the moment the client library is loaded until the process ends.
//
// Buffers are the caller's, with their size in bytes (the NUL included). Paths are those
// of the running executable and of its install directory, fixed at start-up.
//
// Threads: any thread, except ClientUpdateRunFrame (the main thread only: the frame
// functions and everything they drive belong to it). The exports that need the updater
// create it on first use.
#pragma once

#include "foundation/basetypes.h"

// The executable path as UTF-8, cut to fit and always terminated (cubBuf > 0).
FERRO_EXPORT void GetFerroExePathUTF8(char *pchBuf, int32 cubBuf);
// The install directory as UTF-8, cut to fit and always terminated; three names, one function.
FERRO_EXPORT void GetFerroInstallDirUTF8(char *pchBuf, int32 cubBuf);
FERRO_EXPORT void GetBaseUserDirUTF8(char *pchBuf, int32 cubBuf);
FERRO_EXPORT void GetBaseUserContentDirUTF8(char *pchBuf, int32 cubBuf);

// The same paths in the system's 8-bit code page (through UTF-16 of at most 260 units;
// UTF-8 on POSIX). Returns the bytes written including the NUL, or 0 when the path does
// not fit the buffer (or 260 UTF-16 units) or cannot be converted; the buffer then holds
// an empty text. A path is never handed out cut.
FERRO_EXPORT int32 GetFerroExePath(char *pchBuf, int32 cubBuf);
FERRO_EXPORT int32 GetFerroInstallDir(char *pchBuf, int32 cubBuf);
FERRO_EXPORT int32 GetBaseUserDir(char *pchBuf, int32 cubBuf);
FERRO_EXPORT int32 GetBaseUserContentDir(char *pchBuf, int32 cubBuf);

// The updater's universe (EUniverse: 1 public, 2 beta, 3 internal, 4 dev); 1 when there is
// no updater.
FERRO_EXPORT int32 GetEUniverse();
// Wakes the updater for a check at once and starts its thread when it has ended (unless
// updates are inhibited and the launcher is offline). False only without an updater.
FERRO_EXPORT bool StartCheckingForUpdates();
// Asks the updater to read every installed file, compare it with the SHA-256 the installed
// file list recorded, and install again (from the packages that hold them) those that
// differ, on its thread as a check runs; IsCheckingForUpdates is true meanwhile, and the
// bootstrap log names each damaged file. What cannot be repaired while the client runs is
// installed by the next start. False without an updater or while updates are inhibited.
FERRO_EXPORT bool VerifyInstallation();
FERRO_EXPORT bool IsCheckingForUpdates();
// False while updates are inhibited; else whether an update is pending, to be downloaded
// or being downloaded.
FERRO_EXPORT bool IsClientUpdateAvailable();
// Low 32 bits of the byte counts of the current check.
FERRO_EXPORT uint32 GetClientUpdateBytesToDownload();
FERRO_EXPORT uint32 GetClientUpdateBytesDownloaded();
// The client beta name, "" when none. The text is a copy owned by the calling thread: it
// stays valid until the same thread calls GetCurrentClientBeta again or ends, whatever
// SetClientBeta does meanwhile on other threads.
FERRO_EXPORT const char *GetCurrentClientBeta();
// Selects the client beta (null: leaves it) and wakes the updater.
FERRO_EXPORT void SetClientBeta(const char *pchBeta);
// The bootstrapper version: the "version" of the installed manifest; 0 until the updater
// has read it and when the installed manifest has none.
FERRO_EXPORT uint64 GetBootstrapperVersion();

// Whether the install directory is writable; true without an updater.
FERRO_EXPORT bool CanSetClientBeta();

// Runs the frame functions of the main frame type once, with timing checks; true when any
// of them has more work. The same function is the frame callback the client's entry
// point receives. Main thread only.
FERRO_EXPORT bool ClientUpdateRunFrame();

// The named interface (exact name) with *pnReturnCode 0, or null with *pnReturnCode 1.
// pnReturnCode may be null. Only "IVALIDATE001" is registered.
FERRO_EXPORT void *CreateInterface(const char *pchName, int32 *pnReturnCode);

// For the client's own use; the launcher neither reads nor writes it. Initially 0.
FERRO_EXPORT uint32 g_dwDllEntryThreadId;

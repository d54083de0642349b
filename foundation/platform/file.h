// Files and directories.
//
// Paths are UTF-8 and may be written the Windows way: both "\" and "/" separate
// components, on every platform. The POSIX implementation also gives Windows' case
// rules: when a component does not exist with the exact spelling, the directory is
// searched without regard to ASCII case and the entry found is used (so "Ferro.cfg"
// opens "ferro.cfg"); a component that exists in no spelling is created as written.
// The Win32 implementation converts to UTF-16 and calls the wide-character API.
// Every function may be called from any thread.
#pragma once

#include "foundation/basetypes.h"

#include <cstdio>
#include <string>
#include <vector>

// fopen with the path rules above. On Windows the file is opened with sharing for
// reading and writing by others (a log can be read while it is written).
FILE *PLAT_fopen(const char *pchPath, const char *pchMode);

// Position in a file opened by PLAT_fopen, in 64 bits on every build (a 32-bit build's
// fseek stops at 2 GiB). Seek: 0 on success, as fseek.
int PLAT_fseek64(FILE *pFile, int64 nOffset, int nOrigin);
int64 PLAT_ftell64(FILE *pFile);

// The native path the system calls would use (separators and letter case resolved).
std::string PLAT_ResolvePath(const char *pchPath);

bool PLAT_FileExists(const char *pchPath); // a file or a directory
bool PLAT_IsDirectory(const char *pchPath);
// Size of a regular file in bytes, or -1 when it does not exist or cannot be queried.
int64 PLAT_GetFileSize(const char *pchPath);
// Last write time in seconds since 1970, or 0 when it cannot be read.
int64 PLAT_GetFileWriteTime(const char *pchPath);

// What one look at a path tells: whether it is there, whether it is a directory, and the
// size of a regular file (-1 for anything else).
struct PlatFileInfo_t
{
    bool m_bExists = false;
    bool m_bIsDirectory = false;
    int64 m_llSize = -1;
};
// One look at the path, a single system call where it exists as written (a long list of
// files is checked at the cost of one call each). False, with the info of a missing path,
// when it is not there.
bool PLAT_GetFileInfo(const char *pchPath, PlatFileInfo_t *pInfo);

// One level; true when the directory exists afterwards (an existing one counts).
bool PLAT_CreateDirectory(const char *pchPath);
// With all missing parents; true when the directory exists afterwards.
bool PLAT_CreateDirectoryHierarchy(const char *pchPath);
// Removes an empty directory.
bool PLAT_RemoveDirectory(const char *pchPath);

// Renames, replacing an existing target (a file; on Windows also a running executable).
bool PLAT_RenameReplace(const char *pchFrom, const char *pchTo);
// Copies a file over an existing target, with the source's permissions (POSIX) or
// attributes (Windows). A copy onto the source itself fails and leaves it intact; a copy
// that fails part-way leaves no target behind.
bool PLAT_CopyFile(const char *pchFrom, const char *pchTo);
// Deletes one file. No retry: callers that want the Windows attribute retry use
// PLAT_ClearReadOnlyAndHidden and try again.
bool PLAT_DeleteFile(const char *pchPath);
// Clears the read-only and hidden attributes (POSIX: gives the owner write permission).
bool PLAT_ClearReadOnlyAndHidden(const char *pchPath);

struct PlatDirEntry_t
{
    std::string m_strName; // entry name only, as stored on disk
    bool m_bIsDirectory;
};

// Lists a directory, "." and ".." skipped, entries whose names match the wildcard
// ("*" any run, "?" one character, compared without regard to ASCII case, as Windows
// does; null or "*" matches all; see foundation/filewildcard.h). The entries are appended
// to the vector. False when the directory cannot be read.
bool PLAT_ListDirectory(const char *pchDir, const char *pchWildcard,
                        std::vector<PlatDirEntry_t> *pvecEntries);

// Directory listings kept for the letter-case lookup: while at least one scope is open (on
// any thread), the POSIX layer lists a directory once for all the names it must look up
// there without regard to case, instead of once per name, and keeps that listing current
// with every entry this layer itself creates, renames or deletes. So n new files in one
// directory cost about n times one, not n times the directory. Open it only around work
// during which no other process changes the directories involved (the installation's
// lock); every listing is forgotten when the last scope closes. Nothing on Windows, whose
// file system ignores case itself.
void PLAT_BeginDirectoryListingCache();
void PLAT_EndDirectoryListingCache();

class CPlatDirectoryListingScope
{
public:
    CPlatDirectoryListingScope() { PLAT_BeginDirectoryListingCache(); }
    ~CPlatDirectoryListingScope() { PLAT_EndDirectoryListingCache(); }
    CPlatDirectoryListingScope(const CPlatDirectoryListingScope &) = delete;
    CPlatDirectoryListingScope &operator=(const CPlatDirectoryListingScope &) = delete;
};

// Bytes available to the calling user on the volume that holds the path; false when unknown.
bool PLAT_GetFreeDiskSpace(const char *pchPath, uint64 *pcubFree);

// Current directory as UTF-8 (no trailing separator, except for a root).
bool PLAT_GetCurrentDirectory(char *pchBuf, size_t cubBuf);
bool PLAT_SetCurrentDirectory(const char *pchPath);

// The C library's error number (errno value) of the calling thread's last failed call of
// this layer; later successful calls and other library calls leave it unchanged. On Windows
// a failed system call's error is mapped to the errno value the C library would give.
int PLAT_GetLastErrno();

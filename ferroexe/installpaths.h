// The running executable's full path and its install directory: two process-wide UTF-8
// buffers of INSTALL_PATH_BUFFER_BYTES each. The main flow fills them once at start-up,
// before any other thread runs; afterwards they are only read (by any thread).
#pragma once

#include "foundation/basetypes.h"

// 259 UTF-16 units of up to three UTF-8 bytes each, and the NUL.
#define INSTALL_PATH_BUFFER_BYTES MAX_UNICODE_PATH_IN_UTF8

class CInstallPaths
{
public:
    // Takes the executable's full path; the install directory is that path cut at its last
    // "\" or "/" (the separator removed, except for a root). False, changing nothing, when
    // the path is empty, has no separator or does not fit the buffers.
    static bool BSetFromExePath(const char *pchExePathUTF8);

    // "" until set.
    static const char *ExePath();
    static const char *InstallDir();

    // Copies into a caller's buffer, cut to fit and always terminated when cubBuf > 0.
    static void CopyExePath(char *pchBuf, int cubBuf);
    static void CopyInstallDir(char *pchBuf, int cubBuf);

    // Whether every byte of the install directory is below 0x80.
    static bool BInstallDirIsASCII();
};

// Text in the system's 8-bit code page, the "ANSI" form of Windows programs: the active
// code page on Windows, UTF-8 on POSIX.
#pragma once

#include "foundation/basetypes.h"

// Converts NUL-terminated UTF-16 into the buffer. Returns the bytes written including the
// NUL, or 0 when the text does not fit or cannot be converted; the buffer then holds an
// empty text (when cubBuf > 0). Characters the code page lacks become its default
// character ("?").
int PLAT_UTF16ToANSI(const wchar16 *pwchText, char *pchBuf, int cubBuf);

// The console this process writes to (if any) takes the UTF-8 it is given as UTF-8: on
// Windows its output code page is set to UTF-8 (the console otherwise reads the bytes in
// its OEM code page, "\xc3\xbc" as two characters); POSIX terminals need nothing.
void PLAT_SetConsoleOutputUTF8();

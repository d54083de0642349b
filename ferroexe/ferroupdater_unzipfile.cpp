// Opening an archive straight from its file, for one too large to hold in memory or
// checked already: the unzip library reads through 64-bit positions of the file (a
// package may pass 4 GiB), so memory stays at a few buffers whatever the size.
#include "ferroexe/ferroupdater.h"

#include "ferroexe/packagedownloadsink.h"
#include "ferroexe/unpackitems.h"
#include "foundation/platform/file.h"
#include "foundation/strtools.h"

#include <cstdint>
#include <cstdio>

#include <unzip.h>

namespace
{
voidpf ZCALLBACK FileOpen(voidpf, const void *pvPath, int nMode)
{
    // Read-only: the archive is never written through the library.
    if ((nMode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ)
        return nullptr;
    return PLAT_fopen((const char *)pvPath, "rb");
}

uLong ZCALLBACK FileRead(voidpf, voidpf stream, void *pvBuf, uLong cubWanted)
{
    return (uLong)fread(pvBuf, 1, cubWanted, (FILE *)stream);
}

uLong ZCALLBACK FileWrite(voidpf, voidpf, const void *, uLong)
{
    return 0;
}

ZPOS64_T ZCALLBACK FileTell(voidpf, voidpf stream)
{
    int64 nPos = PLAT_ftell64((FILE *)stream);
    return nPos < 0 ? (ZPOS64_T)-1 : (ZPOS64_T)nPos;
}

long ZCALLBACK FileSeek(voidpf, voidpf stream, ZPOS64_T ulOffset, int nOrigin)
{
    int nWhence = nOrigin == ZLIB_FILEFUNC_SEEK_SET   ? SEEK_SET
                  : nOrigin == ZLIB_FILEFUNC_SEEK_CUR ? SEEK_CUR
                  : nOrigin == ZLIB_FILEFUNC_SEEK_END ? SEEK_END
                                                      : -1;
    if (nWhence < 0 || ulOffset > (ZPOS64_T)INT64_MAX)
        return -1;
    return PLAT_fseek64((FILE *)stream, (int64)ulOffset, nWhence) == 0 ? 0 : -1;
}

int ZCALLBACK FileClose(voidpf, voidpf stream)
{
    return fclose((FILE *)stream);
}

int ZCALLBACK FileError(voidpf, voidpf stream)
{
    return ferror((FILE *)stream);
}
} // namespace

bool CUnzipArchive::BOpenFile(const char *pchPath)
{
    zlib_filefunc64_def fileFuncs = {FileOpen, FileRead,  FileWrite, FileTell,
                                     FileSeek, FileClose, FileError, nullptr};
    m_hZip = unzOpen2_64(pchPath, &fileFuncs);
    // A large archive is never the bare end record of an empty one.
    m_bEmpty = false;
    return m_hZip != nullptr;
}

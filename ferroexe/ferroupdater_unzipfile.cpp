// Unpacking an archive too large to hold in memory straight from its file: the unzip
// library reads through 64-bit positions of the file (a package may pass 4 GiB), and the
// digest is taken in pieces first, so memory stays at a few buffers whatever the size.
#include "ferroexe/ferroupdater.h"

#include "ferroexe/packagedownloadsink.h"
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

CFerroUpdater::EArchiveCheck CFerroUpdater::CheckAndUnzipPackageFile(
    KeyValues *pPackage, const char *pchPath, const char *pchTempDir, CUtlVector<CUtlString> &vecOldFiles,
    CUtlVector<CUtlString> &vecNewFiles, const char *pchPackageName, ExtractedFiles_t *pExtracted)
{
    FILE *pProbe = PLAT_fopen(pchPath, "rb");
    if (!pProbe)
        return k_EArchiveUnreadable;
    fclose(pProbe);
    if (!BCheckPackageArchiveFile(pPackage, Q_UnqualifiedFileName(pchPath), pchPath))
        return k_EArchiveCorrupt;
    zlib_filefunc64_def fileFuncs = {FileOpen, FileRead,  FileWrite, FileTell,
                                     FileSeek, FileClose, FileError, nullptr};
    unzFile hZip = unzOpen2_64(pchPath, &fileFuncs);
    if (!hZip)
    {
        // A large archive is never the bare end record of an empty one.
        SetUpdateError("Failed to open package", false);
        return k_EArchiveUnzipFailed;
    }
    CUtlString strError;
    const bool bOk = BUnzipOpenedPackage(hZip, false, pchTempDir, vecOldFiles, vecNewFiles, pchPackageName,
                                         pExtracted, &strError);
    unzClose(hZip);
    if (!bOk && !strError.IsEmpty())
        SetUpdateError(strError.Get(), false);
    return bOk ? k_EArchiveUnpacked : k_EArchiveUnzipFailed;
}

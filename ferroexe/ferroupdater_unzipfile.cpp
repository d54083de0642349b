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
#include <cstring>

#include <unzip.h>

namespace
{
// The unzip library reads an item's compressed bytes a few KiB at a time and seeks before
// each read; straight through the C library that is a read and a seek for every few KiB of
// a package. Reads come from a buffer of this size instead, and a seek within it is free.
const size_t k_cubArchiveReadBuffer = 256 * 1024;

struct ArchiveFile_t
{
    FILE *m_pFile = nullptr;
    int64 m_nSize = 0;
    int64 m_nPos = 0;      // where the library reads next
    int64 m_nFilePos = 0;  // where the file is positioned
    int64 m_nBufStart = 0; // the file offset of the buffer's first byte
    size_t m_cubBuf = 0;
    bool m_bError = false;
    uint8 m_rgubBuf[k_cubArchiveReadBuffer];
};

voidpf ZCALLBACK FileOpen(voidpf, const void *pvPath, int nMode)
{
    // Read-only: the archive is never written through the library.
    if ((nMode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ)
        return nullptr;
    FILE *pFile = PLAT_fopen((const char *)pvPath, "rb");
    if (!pFile)
        return nullptr;
    // The buffer here is the only one.
    setvbuf(pFile, nullptr, _IONBF, 0);
    int64 nSize = PLAT_fseek64(pFile, 0, SEEK_END) == 0 ? PLAT_ftell64(pFile) : -1;
    if (nSize < 0 || PLAT_fseek64(pFile, 0, SEEK_SET) != 0)
    {
        fclose(pFile);
        return nullptr;
    }
    ArchiveFile_t *pArchive = new ArchiveFile_t;
    pArchive->m_pFile = pFile;
    pArchive->m_nSize = nSize;
    return pArchive;
}

// Reads at the file's own position after moving it to nPos when it is elsewhere.
size_t ReadAt(ArchiveFile_t &archive, int64 nPos, uint8 *pubBuf, size_t cubWanted)
{
    if (archive.m_nFilePos != nPos)
    {
        if (PLAT_fseek64(archive.m_pFile, nPos, SEEK_SET) != 0)
        {
            archive.m_bError = true;
            return 0;
        }
        archive.m_nFilePos = nPos;
    }
    size_t cubRead = fread(pubBuf, 1, cubWanted, archive.m_pFile);
    if (cubRead < cubWanted && ferror(archive.m_pFile))
        archive.m_bError = true;
    archive.m_nFilePos += (int64)cubRead;
    return cubRead;
}

uLong ZCALLBACK FileRead(voidpf, voidpf stream, void *pvBuf, uLong cubWanted)
{
    ArchiveFile_t &archive = *(ArchiveFile_t *)stream;
    uint8 *pubOut = (uint8 *)pvBuf;
    size_t cubDone = 0;
    while (cubDone < cubWanted)
    {
        const int64 nBufEnd = archive.m_nBufStart + (int64)archive.m_cubBuf;
        if (archive.m_nPos >= archive.m_nBufStart && archive.m_nPos < nBufEnd)
        {
            size_t cubCopy = (size_t)(nBufEnd - archive.m_nPos);
            if (cubCopy > cubWanted - cubDone)
                cubCopy = cubWanted - cubDone;
            memcpy(pubOut + cubDone, archive.m_rgubBuf + (archive.m_nPos - archive.m_nBufStart), cubCopy);
            cubDone += cubCopy;
            archive.m_nPos += (int64)cubCopy;
            continue;
        }
        archive.m_nBufStart = archive.m_nPos;
        archive.m_cubBuf = ReadAt(archive, archive.m_nPos, archive.m_rgubBuf, k_cubArchiveReadBuffer);
        if (archive.m_cubBuf == 0)
            break;
    }
    return (uLong)cubDone;
}

uLong ZCALLBACK FileWrite(voidpf, voidpf, const void *, uLong)
{
    return 0;
}

ZPOS64_T ZCALLBACK FileTell(voidpf, voidpf stream)
{
    return (ZPOS64_T)((ArchiveFile_t *)stream)->m_nPos;
}

long ZCALLBACK FileSeek(voidpf, voidpf stream, ZPOS64_T ulOffset, int nOrigin)
{
    ArchiveFile_t &archive = *(ArchiveFile_t *)stream;
    // The offset is unsigned: relative moves only go forward, as the library uses them.
    int64 nBase = nOrigin == ZLIB_FILEFUNC_SEEK_SET   ? 0
                  : nOrigin == ZLIB_FILEFUNC_SEEK_CUR ? archive.m_nPos
                  : nOrigin == ZLIB_FILEFUNC_SEEK_END ? archive.m_nSize
                                                      : -1;
    if (nBase < 0 || ulOffset > (ZPOS64_T)(INT64_MAX - nBase))
        return -1;
    archive.m_nPos = nBase + (int64)ulOffset;
    return 0;
}

int ZCALLBACK FileClose(voidpf, voidpf stream)
{
    ArchiveFile_t *pArchive = (ArchiveFile_t *)stream;
    int nResult = fclose(pArchive->m_pFile);
    delete pArchive;
    return nResult;
}

int ZCALLBACK FileError(voidpf, voidpf stream)
{
    return ((ArchiveFile_t *)stream)->m_bError ? 1 : 0;
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

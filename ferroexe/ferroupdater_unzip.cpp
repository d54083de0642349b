// Unpacking one package archive, held in memory, into the temporary folder.
//
// Item names come from the archive and become paths: before anything is written, every
// name is checked to stay inside the temporary folder (no absolute path, drive or colon,
// no ".." component), to stay out of the launcher's own folders "package" and "logs", and
// to fit a path buffer; an archive with one bad name is refused whole. Items are streamed to their files in
// pieces, so an item of any size needs only the piece buffer.
#include "ferroexe/ferroupdater.h"

#include "crypto/sha256.h"
#include "ferroexe/ferroupdater_fileops.h"
#include "foundation/strtools.h"

#include <cstring>
#include <string>
#include <unordered_set>

#include <unzip.h>

namespace
{
// Piece size of the extraction: large enough that the write calls cost nothing next to the
// inflating, small enough to stay in the cache.
const size_t k_cubExtractBuffer = 256 * 1024;
// Item names longer than this cannot be a path we could write.
const size_t k_cchItemNameBuffer = 1024;
// "Version made by" host systems whose external attributes hold a Unix mode in the high
// 16 bits.
const uLong k_unHostUnix = 3;
const uint32 k_unModeTypeMask = 0170000;
const uint32 k_unModeTypeRegular = 0100000;

// ---- reading the archive from memory ----

struct MemoryArchive_t
{
    const uint8 *m_pubData;
    uint64 m_cubData;
    uint64 m_ulPos;
};

voidpf ZCALLBACK MemoryOpen(voidpf opaque, const void *, int nMode)
{
    // Read-only: the bytes are the caller's.
    if ((nMode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ)
        return nullptr;
    MemoryArchive_t *pArchive = (MemoryArchive_t *)opaque;
    pArchive->m_ulPos = 0;
    return pArchive;
}

uLong ZCALLBACK MemoryRead(voidpf, voidpf stream, void *pvBuf, uLong cubWanted)
{
    MemoryArchive_t *pArchive = (MemoryArchive_t *)stream;
    uint64 cubLeft = pArchive->m_cubData - pArchive->m_ulPos;
    uLong cubRead = cubWanted < cubLeft ? cubWanted : (uLong)cubLeft;
    memcpy(pvBuf, pArchive->m_pubData + pArchive->m_ulPos, cubRead);
    pArchive->m_ulPos += cubRead;
    return cubRead;
}

uLong ZCALLBACK MemoryWrite(voidpf, voidpf, const void *, uLong)
{
    return 0;
}

ZPOS64_T ZCALLBACK MemoryTell(voidpf, voidpf stream)
{
    return ((MemoryArchive_t *)stream)->m_ulPos;
}

long ZCALLBACK MemorySeek(voidpf, voidpf stream, ZPOS64_T ulOffset, int nOrigin)
{
    MemoryArchive_t *pArchive = (MemoryArchive_t *)stream;
    uint64 ulBase;
    switch (nOrigin)
    {
    case ZLIB_FILEFUNC_SEEK_SET:
        ulBase = 0;
        break;
    case ZLIB_FILEFUNC_SEEK_CUR:
        ulBase = pArchive->m_ulPos;
        break;
    case ZLIB_FILEFUNC_SEEK_END:
        ulBase = pArchive->m_cubData;
        break;
    default:
        return -1;
    }
    // Offsets come from the archive: one past the end is refused, not wrapped.
    if (ulOffset > pArchive->m_cubData - ulBase)
        return -1;
    pArchive->m_ulPos = ulBase + ulOffset;
    return 0;
}

int ZCALLBACK MemoryClose(voidpf, voidpf)
{
    return 0;
}

int ZCALLBACK MemoryError(voidpf, voidpf)
{
    return 0;
}

// An archive of no items is its end record alone, at offset 0, where the unzip library
// does not look for it: it takes a record at 0 for "none found".
bool BIsEmptyArchive(const uint8 *pubData, size_t cubData)
{
    const size_t k_cubEndRecord = 22;
    if (!pubData || cubData < k_cubEndRecord || memcmp(pubData, "PK\x05\x06", 4) != 0)
        return false;
    auto U16 = [pubData](size_t iOffset)
    { return (uint32)pubData[iOffset] | ((uint32)pubData[iOffset + 1] << 8); };
    // Disk numbers, entry counts and the directory size all zero; the comment fills the rest.
    for (size_t iOffset = 4; iOffset < 16; iOffset += 2)
    {
        if (U16(iOffset) != 0)
            return false;
    }
    return k_cubEndRecord + U16(20) == cubData;
}

// ---- item names ----

std::string LowerCase(const char *pch)
{
    std::string str = pch;
    for (char &ch : str)
        ch = Q_tolower_ascii(ch);
    return str;
}

// Whether the item lands inside the folder it is unpacked into.
bool BIsContainedItemName(const std::string &strName)
{
    if (strName.empty() || Q_IsPathSeparator(strName[0]) || strName.find(':') != std::string::npos)
        return false;
    size_t iStart = 0;
    while (iStart <= strName.size())
    {
        size_t iEnd = strName.find_first_of("/\\", iStart);
        if (iEnd == std::string::npos)
            iEnd = strName.size();
        if (strName.compare(iStart, iEnd - iStart, "..") == 0)
            return false;
        iStart = iEnd + 1;
    }
    return true;
}

// Whether the item would land in the launcher's own folders: "package" (manifests, file
// lists, the beta, archives, the unpacking folder) or "logs". Its first component, without
// regard to case, slash direction or "./", names one of them.
bool BIsLauncherStateItem(const std::string &strName)
{
    size_t iStart = 0;
    for (;;)
    {
        size_t iEnd = strName.find_first_of("/\\", iStart);
        if (iEnd == std::string::npos)
            iEnd = strName.size();
        std::string strComponent = LowerCase(strName.substr(iStart, iEnd - iStart).c_str());
        if (!strComponent.empty() && strComponent != ".")
            return strComponent == k_szPackageFolder || strComponent == "logs";
        if (iEnd >= strName.size())
            return false;
        iStart = iEnd + 1;
    }
}

// "<dir>/<name>" with backslashes.
std::string TargetPath(const std::string &strDir, const std::string &strName)
{
    return JoinPath(strDir.c_str(), strName.c_str()).Get();
}

bool BIsDirectoryItem(const std::string &strName)
{
    return !strName.empty() && Q_IsPathSeparator(strName.back());
}

// The name of the current item; false when it cannot be read or is longer than a path.
bool BGetCurrentItem(unzFile hZip, unz_file_info64 *pInfo, std::string *pstrName)
{
    char rgchName[k_cchItemNameBuffer];
    if (unzGetCurrentFileInfo64(hZip, pInfo, rgchName, sizeof(rgchName), nullptr, 0, nullptr, 0) != UNZ_OK)
        return false;
    if (pInfo->size_filename >= sizeof(rgchName))
        return false;
    rgchName[pInfo->size_filename] = '\0';
    *pstrName = LowerCase(rgchName);
    return true;
}

// Moves to item i of a walk that goes through the items in order.
int GoToItem(unzFile hZip, int64 iItem)
{
    return iItem == 0 ? unzGoToFirstFile(hZip) : unzGoToNextFile(hZip);
}

// Streams the current item into a new file, hashing the bytes as they are written. 0 or
// the archive's (or, for the file, the C library's) error code; a file that was not
// completed is deleted.
int ExtractCurrentItem(IInstallFileOps &ops, unzFile hZip, const char *pchTarget, uint8 *pubBuffer,
                       CSHA256 *pSHA256)
{
    int nResult = unzOpenCurrentFile(hZip);
    if (nResult != UNZ_OK)
        return nResult;
    std::unique_ptr<IInstallFileWriter> pWriter = ops.OpenForWrite(pchTarget, false);
    if (!pWriter)
        nResult = UNZ_ERRNO;
    while (nResult == UNZ_OK)
    {
        int cubRead = unzReadCurrentFile(hZip, pubBuffer, (unsigned)k_cubExtractBuffer);
        if (cubRead < 0)
            nResult = cubRead;
        else if (cubRead == 0)
            break;
        else if (!pWriter->BWrite(pubBuffer, (size_t)cubRead))
            nResult = UNZ_ERRNO;
        else
            pSHA256->Update(pubBuffer, (size_t)cubRead);
    }
    // Closing the item checks its CRC once all of it was read.
    int nClose = unzCloseCurrentFile(hZip);
    if (nResult == UNZ_OK)
        nResult = nClose;
    if (pWriter)
    {
        if (!pWriter->BClose() && nResult == UNZ_OK)
            nResult = UNZ_ERRNO;
        if (nResult != UNZ_OK)
            BDeleteFileWithRetry(ops, pchTarget);
    }
    return nResult;
}

// Every name first: a refused archive has written nothing. False with the reason.
bool BCheckItemNames(unzFile hZip, int64 cItems, const std::string &strTempDir, CUtlString *pstrError)
{
    unz_file_info64 info;
    std::string strName;
    for (int64 iItem = 0; iItem < cItems; ++iItem)
    {
        if (GoToItem(hZip, iItem) != UNZ_OK || !BGetCurrentItem(hZip, &info, &strName))
        {
            pstrError->Format("Failed to get %d item from archive", (int)iItem);
            return false;
        }
        if (!BIsContainedItemName(strName))
        {
            pstrError->Format("Archive item %s would be written outside %s", strName.c_str(),
                              strTempDir.c_str());
            return false;
        }
        if (BIsLauncherStateItem(strName))
        {
            pstrError->Format("Archive item %s would overwrite the launcher's own files", strName.c_str());
            return false;
        }
        if (TargetPath(strTempDir, strName).size() >= MAX_PATH_BYTES)
        {
            pstrError->Format("Archive item %s makes a path longer than %d characters", strName.c_str(),
                              MAX_PATH_BYTES - 1);
            return false;
        }
    }
    return true;
}

// Whether the archive asks for permission bits of a regular file (Unix-made archives).
bool BHasUnixMode(const unz_file_info64 &info, uint32 *punMode)
{
    *punMode = (uint32)(info.external_fa >> 16);
    return (info.version >> 8) == k_unHostUnix && (*punMode & 0777) != 0 &&
           ((*punMode & k_unModeTypeMask) == k_unModeTypeRegular || (*punMode & k_unModeTypeMask) == 0);
}

// One item of an archive being unpacked: its directory made, its file written (and kept
// executable where the archive says so), what was extracted noted. False with the reason.
bool BExtractItem(IInstallFileOps &ops, unzFile hZip, int64 iItem, const unz_file_info64 &info,
                  const std::string &strName, const std::string &strTempDir, uint8 *pubBuffer,
                  CSHA256 *pSHA256, const char *pchPackageName, ExtractedFiles_t *pExtracted,
                  CUtlString *pstrError)
{
    std::string strTarget = TargetPath(strTempDir, strName);
    // A directory item is its directory; a file item needs the one it is in.
    std::string strDir = strTarget;
    if (!BIsDirectoryItem(strName))
        strDir.erase(strDir.find_last_of('\\'));
    if (!ops.BIsDirectory(strDir.c_str()) && !ops.BCreateDirectoryHierarchy(strDir.c_str()))
    {
        pstrError->Format("Failed to make temporary folder to unzip into for file (%s)", strDir.c_str());
        return false;
    }
    if (BIsDirectoryItem(strName))
    {
        if (pExtracted)
            (*pExtracted)[InstalledFileKey(strName.c_str())] = {std::string(),
                                                                pchPackageName ? pchPackageName : ""};
        return true;
    }

    pSHA256->Reset();
    int nResult = ExtractCurrentItem(ops, hZip, strTarget.c_str(), pubBuffer, pSHA256);
    if (nResult == UNZ_OK && pExtracted)
        (*pExtracted)[InstalledFileKey(strName.c_str())] = {pSHA256->FinalHex(),
                                                            pchPackageName ? pchPackageName : ""};
    // Executables stay executable where the archive says so.
    uint32 unMode = 0;
    if (nResult == UNZ_OK && BHasUnixMode(info, &unMode) &&
        !ops.BSetPermissionBits(strTarget.c_str(), (unMode & 0755) | 0600))
        nResult = UNZ_ERRNO;
    if (nResult != UNZ_OK)
    {
        pstrError->Format("Failed to unzip item %s (%i, %d)\n", strTarget.c_str(), (int)iItem, nResult);
        return false;
    }
    return true;
}

// What the new build ships is not obsolete, however the old list spelled it.
void DropShippedFiles(const std::unordered_set<std::string> &setNewFiles, CUtlVector<CUtlString> &vecOldFiles)
{
    if (setNewFiles.empty())
        return;
    CUtlVector<CUtlString> vecStillOld;
    for (const CUtlString &strOld : vecOldFiles)
    {
        if (!setNewFiles.count(InstalledFileKey(strOld.Get())))
            vecStillOld.AddToTail(strOld);
    }
    vecOldFiles.StdVector().swap(vecStillOld.StdVector());
}

} // namespace

bool CFerroUpdater::BUnzipPackage(const void *pubData, size_t cubData, const char *pchTempDir,
                                  CUtlVector<CUtlString> &vecOldFiles, CUtlVector<CUtlString> &vecNewFiles,
                                  const char *pchPackageName, ExtractedFiles_t *pExtracted)
{
    MemoryArchive_t archive = {(const uint8 *)pubData, (uint64)cubData, 0};
    zlib_filefunc64_def memoryFuncs = {MemoryOpen, MemoryRead,  MemoryWrite, MemoryTell,
                                       MemorySeek, MemoryClose, MemoryError, &archive};
    unzFile hZip = pubData ? unzOpen2_64(&archive, &memoryFuncs) : nullptr;
    const bool bEmpty = !hZip && BIsEmptyArchive((const uint8 *)pubData, cubData);
    if (!hZip && !bEmpty)
    {
        SetUpdateError("Failed to open package", false);
        return false;
    }
    CUtlString strError;
    const bool bOk = BUnzipOpenedPackage(hZip, bEmpty, pchTempDir, vecOldFiles, vecNewFiles, pchPackageName,
                                         pExtracted, &strError);
    if (hZip)
        unzClose(hZip);
    // A cancel stops without a message of its own.
    if (!bOk && !strError.IsEmpty())
        SetUpdateError(strError.Get(), false);
    return bOk;
}

bool CFerroUpdater::BUnzipOpenedPackage(void *hZip, bool bEmpty, const char *pchTempDir,
                                        CUtlVector<CUtlString> &vecOldFiles,
                                        CUtlVector<CUtlString> &vecNewFiles, const char *pchPackageName,
                                        ExtractedFiles_t *pExtracted, CUtlString *pstrError)
{
    std::string strTempDir = LowerCase(pchTempDir);
    if (!m_pFileOps->BIsDirectory(strTempDir.c_str()) && !m_pFileOps->BCreateDirectory(strTempDir.c_str()))
    {
        *pstrError = "Failed to make temporary folder to unzip into";
        return false;
    }
    unz_global_info64 globalInfo = {};
    if (!bEmpty && unzGetGlobalInfo64(hZip, &globalInfo) != UNZ_OK)
    {
        *pstrError = "Failed to get first item in archive";
        return false;
    }
    const int64 cItems = (int64)globalInfo.number_entry;
    UpdateStatusLocalized("#FerroBootstrapper_UpdateExtractingPackage", "Extracting package...");
    if (!BCheckItemNames(hZip, cItems, strTempDir, pstrError))
        return false;

    std::unordered_set<std::string> setNewFiles;
    for (const CUtlString &str : vecNewFiles)
        setNewFiles.insert(InstalledFileKey(str.Get()));
    std::unique_ptr<uint8[]> pubBuffer(new uint8[k_cubExtractBuffer]);
    CSHA256 sha256;
    unz_file_info64 info;
    std::string strName;
    for (int64 iItem = 0; iItem < cItems; ++iItem)
    {
        if (m_pUpdateStatusUI && m_pUpdateStatusUI->BUserCancelled())
            return false;
        if (GoToItem(hZip, iItem) != UNZ_OK || !BGetCurrentItem(hZip, &info, &strName))
        {
            pstrError->Format("Failed to get %d item from archive", (int)iItem);
            return false;
        }
        // An item named twice (or in two packages) is one file: the later copy wins.
        if (setNewFiles.insert(InstalledFileKey(strName.c_str())).second)
            vecNewFiles.AddToTail(CUtlString(strName));
        if (!BExtractItem(*m_pFileOps, hZip, iItem, info, strName, strTempDir, pubBuffer.get(), &sha256,
                          pchPackageName, pExtracted, pstrError))
            return false;
    }
    DropShippedFiles(setNewFiles, vecOldFiles);
    return true;
}

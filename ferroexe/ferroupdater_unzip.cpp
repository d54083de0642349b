// Unpacking one package archive (held in memory, or read from its file) into the
// temporary folder, by one thread or, item by item, by several (unpackitems.h).
//
// Item names come from the archive and become paths: before anything is written, every
// name is checked to stay inside the temporary folder (no absolute path, drive or colon,
// no ".." component), to stay out of the launcher's own folders "package" and "logs", and
// to fit a path buffer; an archive with one bad name is refused whole. Items are streamed to their files in
// pieces, so an item of any size needs only the piece buffer.
#include "ferroexe/ferroupdater.h"

#include "crypto/sha256.h"
#include "ferroexe/ferroupdater_fileops.h"
#include "ferroexe/unpackitems.h"
#include "foundation/strtools.h"

#include <cstring>
#include <string>
#include <unordered_set>

#include <unzip.h>

namespace
{
// Piece size of the extraction: large enough that the write calls cost nothing next to the
// inflating, small enough to stay in the cache; a stop is looked for after each.
const size_t k_cubExtractBuffer = 256 * 1024;
// Item names longer than this cannot be a path we could write.
const size_t k_cchItemNameBuffer = 1024;
// "Version made by" host systems whose external attributes hold a Unix mode in the high
// 16 bits.
const uLong k_unHostUnix = 3;
const uint32 k_unModeTypeMask = 0170000;
const uint32 k_unModeTypeRegular = 0100000;

// ---- reading the archive from memory ----

typedef CUnzipArchive::MemoryArchive_t MemoryArchive_t;

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

// Streams the current item into a new file, hashing the bytes as they are written. 0 or
// the archive's (or, for the file, the C library's) error code; a file that was not
// completed is deleted. A stop ends it between two pieces (UNZ_ERRNO, *pbStopped set).
int ExtractCurrentItem(UnzipItems_t &items, unzFile hZip, const char *pchTarget, uint8 *pubBuffer,
                       CSHA256 *pSHA256, bool *pbStopped)
{
    IInstallFileOps &ops = *items.m_pOps;
    int nResult = unzOpenCurrentFile(hZip);
    if (nResult != UNZ_OK)
        return nResult;
    std::unique_ptr<IInstallFileWriter> pWriter = ops.OpenForWrite(pchTarget, false);
    if (!pWriter)
        nResult = UNZ_ERRNO;
    while (nResult == UNZ_OK)
    {
        if (items.m_fnStop && items.m_fnStop())
        {
            *pbStopped = true;
            nResult = UNZ_ERRNO;
            break;
        }
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

// Whether the archive asks for permission bits of a regular file (Unix-made archives).
bool BHasUnixMode(const unz_file_info64 &info, uint32 *punMode)
{
    *punMode = (uint32)(info.external_fa >> 16);
    return (info.version >> 8) == k_unHostUnix && (*punMode & 0777) != 0 &&
           ((*punMode & k_unModeTypeMask) == k_unModeTypeRegular || (*punMode & k_unModeTypeMask) == 0);
}

void RecordExtracted(UnzipItems_t &items, const std::string &strName, const std::string &strSHA256)
{
    std::lock_guard<std::mutex> lock(items.m_RecordMutex);
    items.m_extracted[InstalledFileKey(strName.c_str())] = {strSHA256, items.m_strPackageName};
}

// The file of a file item, written (and kept executable where the archive says so) unless
// a later item writes it. UNZ_OK, or the error code.
int WriteItemFile(UnzipItems_t &items, unzFile hZip, int64 iItem, const unz_file_info64 &info,
                  const std::string &strTarget, uint8 *pubBuffer, bool *pbStopped)
{
    const std::string &strName = items.m_vecNames[(size_t)iItem];
    const std::string strKey = InstalledFileKey(strName.c_str());
    if (items.m_pClaims && !items.m_pClaims->BClaim(strKey, UnpackItemOrder(items.m_iPackage, iItem)))
        return UNZ_OK;
    CSHA256 sha256;
    int nResult = ExtractCurrentItem(items, hZip, strTarget.c_str(), pubBuffer, &sha256, pbStopped);
    // Executables stay executable where the archive says so.
    uint32 unMode = 0;
    if (nResult == UNZ_OK && BHasUnixMode(info, &unMode) &&
        !items.m_pOps->BSetPermissionBits(strTarget.c_str(), (unMode & 0755) | 0600))
        nResult = UNZ_ERRNO;
    // Noted while the claim holds: of two copies, the one on disk is the one noted last.
    if (nResult == UNZ_OK)
        RecordExtracted(items, strName, sha256.FinalHex());
    if (items.m_pClaims)
        items.m_pClaims->Release(strKey);
    return nResult;
}

// One item: its directory made, its file written, what was extracted noted. False with the
// reason (none when stopped).
bool BExtractItem(UnzipItems_t &items, unzFile hZip, int64 iItem, uint8 *pubBuffer, CUtlString *pstrError)
{
    const std::string &strName = items.m_vecNames[(size_t)iItem];
    const UnpackItemPos_t &pos = items.m_vecPositions[(size_t)iItem];
    unz64_file_pos filePos = {pos.m_ulDirectoryOffset, pos.m_ulItem};
    unz_file_info64 info;
    if (unzGoToFilePos64(hZip, &filePos) != UNZ_OK ||
        unzGetCurrentFileInfo64(hZip, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK)
    {
        pstrError->Format("Failed to get %d item from archive", (int)iItem);
        return false;
    }
    std::string strTarget = TargetPath(items.m_strTempDir, strName);
    // A directory item is its directory; a file item needs the one it is in.
    std::string strDir = strTarget;
    if (!BIsDirectoryItem(strName))
        strDir.erase(strDir.find_last_of('\\'));
    IInstallFileOps &ops = *items.m_pOps;
    if (!items.m_pClaims->BEnsureDirectory(ops, strDir, true))
    {
        pstrError->Format("Failed to make temporary folder to unzip into for file (%s)", strDir.c_str());
        return false;
    }
    if (BIsDirectoryItem(strName))
    {
        RecordExtracted(items, strName, std::string());
        return true;
    }
    bool bStopped = false;
    int nResult = WriteItemFile(items, hZip, iItem, info, strTarget, pubBuffer, &bStopped);
    if (nResult != UNZ_OK && !bStopped)
        pstrError->Format("Failed to unzip item %s (%i, %d)\n", strTarget.c_str(), (int)iItem, nResult);
    return nResult == UNZ_OK;
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

bool CUnpackClaims::BClaim(const std::string &strKey, uint64 ulOrder)
{
    std::unique_lock<std::mutex> lock(m_Mutex);
    for (;;)
    {
        auto it = m_mapClaims.find(strKey);
        if (it == m_mapClaims.end())
        {
            m_mapClaims[strKey] = {ulOrder, true};
            return true;
        }
        if (it->second.m_ulOrder > ulOrder)
            return false;
        if (!it->second.m_bWriting)
        {
            it->second = {ulOrder, true};
            return true;
        }
        // An earlier item is writing the file: it is done soon (or stops with the rest).
        m_Released.wait(lock);
    }
}

void CUnpackClaims::Release(const std::string &strKey)
{
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        auto it = m_mapClaims.find(strKey);
        if (it != m_mapClaims.end())
            it->second.m_bWriting = false;
    }
    m_Released.notify_all();
}

bool CUnpackClaims::BEnsureDirectory(IInstallFileOps &ops, const std::string &strDir, bool bHierarchy)
{
    std::lock_guard<std::mutex> lock(m_DirectoryMutex);
    if (ops.BIsDirectory(strDir.c_str()))
        return true;
    return bHierarchy ? ops.BCreateDirectoryHierarchy(strDir.c_str()) : ops.BCreateDirectory(strDir.c_str());
}

CUnzipArchive::~CUnzipArchive()
{
    if (m_hZip)
        unzClose(m_hZip);
}

bool CUnzipArchive::BOpenMemory(const void *pubData, size_t cubData)
{
    m_memory = {(const uint8 *)pubData, (uint64)cubData, 0};
    zlib_filefunc64_def memoryFuncs = {MemoryOpen, MemoryRead,  MemoryWrite, MemoryTell,
                                       MemorySeek, MemoryClose, MemoryError, &m_memory};
    m_hZip = pubData ? unzOpen2_64(&m_memory, &memoryFuncs) : nullptr;
    m_bEmpty = !m_hZip && BIsEmptyArchive((const uint8 *)pubData, cubData);
    return m_hZip || m_bEmpty;
}

bool BCountArchiveItems(const CUnzipArchive &archive, int64 *pcItems)
{
    unz_global_info64 globalInfo = {};
    if (!archive.BEmpty() && unzGetGlobalInfo64(archive.Handle(), &globalInfo) != UNZ_OK)
        return false;
    *pcItems = (int64)globalInfo.number_entry;
    return true;
}

bool BReadItemNames(const CUnzipArchive &archive, int64 cItems, UnzipItems_t *pItems, CUtlString *pstrError)
{
    unzFile hZip = archive.Handle();
    unz_file_info64 info;
    std::string strName;
    for (int64 iItem = 0; iItem < cItems; ++iItem)
    {
        int nMove = iItem == 0 ? unzGoToFirstFile(hZip) : unzGoToNextFile(hZip);
        unz64_file_pos filePos = {};
        if (nMove != UNZ_OK || !BGetCurrentItem(hZip, &info, &strName) ||
            unzGetFilePos64(hZip, &filePos) != UNZ_OK)
        {
            pstrError->Format("Failed to get %d item from archive", (int)iItem);
            return false;
        }
        if (!BIsContainedItemName(strName))
        {
            pstrError->Format("Archive item %s would be written outside %s", strName.c_str(),
                              pItems->m_strTempDir.c_str());
            return false;
        }
        if (BIsLauncherStateItem(strName))
        {
            pstrError->Format("Archive item %s would overwrite the launcher's own files", strName.c_str());
            return false;
        }
        if (TargetPath(pItems->m_strTempDir, strName).size() >= MAX_PATH_BYTES)
        {
            pstrError->Format("Archive item %s makes a path longer than %d characters", strName.c_str(),
                              MAX_PATH_BYTES - 1);
            return false;
        }
        pItems->m_vecNames.push_back(strName);
        pItems->m_vecPositions.push_back({(uint64)filePos.pos_in_zip_directory, (uint64)filePos.num_of_file});
    }
    return true;
}

bool BExtractItems(const CUnzipArchive &archive, UnzipItems_t *pItems, CUtlString *pstrError)
{
    std::unique_ptr<uint8[]> pubBuffer(new uint8[k_cubExtractBuffer]);
    const int64 cItems = (int64)pItems->m_vecNames.size();
    for (;;)
    {
        if (pItems->m_fnStop && pItems->m_fnStop())
            return false;
        const int64 iItem = pItems->m_iNextItem.fetch_add(1);
        if (iItem >= cItems)
            return true;
        if (!BExtractItem(*pItems, archive.Handle(), iItem, pubBuffer.get(), pstrError))
            return false;
        pItems->m_cItemsDone.fetch_add(1);
    }
}

bool CFerroUpdater::BUnzipPackage(const void *pubData, size_t cubData, const char *pchTempDir,
                                  CUtlVector<CUtlString> &vecOldFiles, CUtlVector<CUtlString> &vecNewFiles,
                                  const char *pchPackageName, ExtractedFiles_t *pExtracted)
{
    CUnzipArchive archive;
    if (!archive.BOpenMemory(pubData, cubData))
    {
        SetUpdateError("Failed to open package", false);
        return false;
    }
    CUtlString strError;
    const bool bOk = BUnzipOpenedPackage(archive, pchTempDir, vecOldFiles, vecNewFiles, pchPackageName,
                                         pExtracted, &strError);
    // A cancel stops without a message of its own.
    if (!bOk && !strError.IsEmpty())
        SetUpdateError(strError.Get(), false);
    return bOk;
}

bool CFerroUpdater::BUnzipOpenedPackage(const CUnzipArchive &archive, const char *pchTempDir,
                                        CUtlVector<CUtlString> &vecOldFiles,
                                        CUtlVector<CUtlString> &vecNewFiles, const char *pchPackageName,
                                        ExtractedFiles_t *pExtracted, CUtlString *pstrError)
{
    // One thread: the claims only make the directories.
    CUnpackClaims claims;
    UnzipItems_t items;
    items.m_pOps = m_pFileOps;
    items.m_pClaims = &claims;
    items.m_strTempDir = LowerCase(pchTempDir);
    items.m_strPackageName = pchPackageName ? pchPackageName : "";
    items.m_fnStop = [this] { return m_pUpdateStatusUI && m_pUpdateStatusUI->BUserCancelled(); };
    if (!BMakeUnpackFolder(items.m_strTempDir.c_str(), pstrError))
        return false;
    int64 cItems = 0;
    if (!BCountArchiveItems(archive, &cItems))
    {
        *pstrError = "Failed to get first item in archive";
        return false;
    }
    UpdateStatusLocalized("#FerroBootstrapper_UpdateExtractingPackage", "Extracting package...");
    if (!BReadItemNames(archive, cItems, &items, pstrError) || !BExtractItems(archive, &items, pstrError))
        return false;
    JoinUnpackedNames(items.m_vecNames, vecOldFiles, vecNewFiles);
    if (pExtracted)
    {
        for (auto &entry : items.m_extracted)
            (*pExtracted)[entry.first] = entry.second;
    }
    return true;
}

bool CFerroUpdater::BMakeUnpackFolder(const char *pchTempDir, CUtlString *pstrError)
{
    if (m_pFileOps->BIsDirectory(pchTempDir) || m_pFileOps->BCreateDirectory(pchTempDir))
        return true;
    *pstrError = "Failed to make temporary folder to unzip into";
    return false;
}

void JoinUnpackedNames(const std::vector<std::string> &vecNames, CUtlVector<CUtlString> &vecOldFiles,
                       CUtlVector<CUtlString> &vecNewFiles)
{
    // An item named twice (or in two packages) is one file: listed where it came first.
    std::unordered_set<std::string> setNewFiles;
    for (const CUtlString &str : vecNewFiles)
        setNewFiles.insert(InstalledFileKey(str.Get()));
    for (const std::string &strName : vecNames)
    {
        if (setNewFiles.insert(InstalledFileKey(strName.c_str())).second)
            vecNewFiles.AddToTail(CUtlString(strName.c_str()));
    }
    DropShippedFiles(setNewFiles, vecOldFiles);
}

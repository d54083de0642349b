// The platform's file operations for the installation, and the compound operations built
// on the interface.
#include "ferroexe/ferroupdater_fileops.h"

#include "foundation/platform/file.h"
#include "foundation/platform/fileaccess.h"

#include <cerrno>
#include <cstdio>
#include <new>

namespace
{
class CPlatformFileWriter : public IInstallFileWriter
{
public:
    explicit CPlatformFileWriter(FILE *pFile) : m_pFile(pFile) {}
    ~CPlatformFileWriter() override
    {
        if (m_pFile)
            fclose(m_pFile);
    }

    bool BWrite(const void *pubData, size_t cubData) override
    {
        return m_pFile && fwrite(pubData, 1, cubData, m_pFile) == cubData;
    }
    bool BClose() override
    {
        if (!m_pFile)
            return false;
        // A full disk may show only when the last buffer goes out.
        bool bOk = fflush(m_pFile) == 0 && !ferror(m_pFile);
        bOk = fclose(m_pFile) == 0 && bOk;
        m_pFile = nullptr;
        return bOk;
    }

private:
    FILE *m_pFile;
};

class CPlatformInstallFileOps : public IInstallFileOps
{
    // The platform layer keeps a failure's reason for itself (on Windows the C library's
    // errno is not set): hand it on in errno.
    static bool BWithErrno(bool bSucceeded)
    {
        if (!bSucceeded)
            errno = PLAT_GetLastErrno();
        return bSucceeded;
    }

public:
    bool BFileExists(const char *pchPath) override { return PLAT_FileExists(pchPath); }
    bool BIsDirectory(const char *pchPath) override { return PLAT_IsDirectory(pchPath); }
    bool BIsLink(const char *pchPath) override { return PLAT_IsLink(pchPath); }
    int64 GetFileSize(const char *pchPath) override { return PLAT_GetFileSize(pchPath); }
    int64 GetFileWriteTime(const char *pchPath) override { return PLAT_GetFileWriteTime(pchPath); }
    bool BGetFileInfo(const char *pchPath, PlatFileInfo_t *pInfo) override
    {
        return PLAT_GetFileInfo(pchPath, pInfo);
    }
    bool BGetFreeDiskSpace(const char *pchPath, uint64 *pcubFree) override
    {
        return PLAT_GetFreeDiskSpace(pchPath, pcubFree);
    }
    bool BCreateDirectory(const char *pchPath) override { return BWithErrno(PLAT_CreateDirectory(pchPath)); }
    bool BCreateDirectoryHierarchy(const char *pchPath) override
    {
        return BWithErrno(PLAT_CreateDirectoryHierarchy(pchPath));
    }
    bool BRemoveDirectory(const char *pchPath) override { return BWithErrno(PLAT_RemoveDirectory(pchPath)); }
    bool BRenameReplace(const char *pchFrom, const char *pchTo) override
    {
        return BWithErrno(PLAT_RenameReplace(pchFrom, pchTo));
    }
    bool BDeleteFile(const char *pchPath) override { return BWithErrno(PLAT_DeleteFile(pchPath)); }
    bool BClearReadOnlyAndHidden(const char *pchPath) override
    {
        return PLAT_ClearReadOnlyAndHidden(pchPath);
    }
    bool BCopyFile(const char *pchFrom, const char *pchTo) override { return PLAT_CopyFile(pchFrom, pchTo); }
    bool BSetOwnerFrom(const char *pchPath, const char *pchReference) override
    {
        return PLAT_SetOwnerFrom(pchPath, pchReference);
    }
    bool BSetPermissionBits(const char *pchPath, uint32 unMode) override
    {
        return PLAT_SetPermissionBits(pchPath, unMode);
    }
    bool BListDirectory(const char *pchDir, const char *pchWildcard,
                        std::vector<PlatDirEntry_t> *pvecEntries) override
    {
        return PLAT_ListDirectory(pchDir, pchWildcard, pvecEntries);
    }

    bool BReadWholeFile(const char *pchPath, InstallFileData_t *pData) override
    {
        pData->m_pubData.reset();
        pData->m_cubData = 0;
        FILE *pFile = PLAT_fopen(pchPath, "rb");
        if (!pFile)
            return false;
        bool bOk = false;
        int64 cubFile = PLAT_GetFileSize(pchPath);
        if (cubFile >= 0 && (uint64)cubFile < (uint64)SIZE_MAX)
        {
            size_t cubData = (size_t)cubFile;
            // One byte more than the size: a file that grew under us shows as a longer read.
            std::unique_ptr<uint8[]> pubData(new (std::nothrow) uint8[cubData + 1]);
            if (pubData)
            {
                size_t cubRead = fread(pubData.get(), 1, cubData + 1, pFile);
                if (cubRead == cubData && !ferror(pFile))
                {
                    pData->m_pubData = std::move(pubData);
                    pData->m_cubData = cubData;
                    bOk = true;
                }
            }
        }
        fclose(pFile);
        return bOk;
    }

    std::unique_ptr<IInstallFileWriter> OpenForWrite(const char *pchPath, bool bText) override
    {
        FILE *pFile = PLAT_fopen(pchPath, bText ? "w+" : "wb");
        if (!pFile)
            return nullptr;
        return std::unique_ptr<IInstallFileWriter>(new CPlatformFileWriter(pFile));
    }

    std::unique_ptr<IInstallFileWriter> OpenForAppend(const char *pchPath) override
    {
        FILE *pFile = PLAT_fopen(pchPath, "ab");
        if (!pFile)
            return nullptr;
        return std::unique_ptr<IInstallFileWriter>(new CPlatformFileWriter(pFile));
    }

    EPlatFileLock TryLockFile(CPlatFileLock *pLock, const char *pchPath) override
    {
        return pLock->TryLock(pchPath);
    }
};
} // namespace

IInstallFileOps &PlatformInstallFileOps()
{
    static CPlatformInstallFileOps s_Ops;
    return s_Ops;
}

bool BDeleteFileWithRetry(IInstallFileOps &ops, const char *pchPath)
{
    if (ops.BDeleteFile(pchPath))
        return true;
    if (!ops.BFileExists(pchPath))
        return false;
    // Windows refuses to delete a read-only file; a hidden one may be refused too.
    ops.BClearReadOnlyAndHidden(pchPath);
    return ops.BDeleteFile(pchPath);
}

bool BDeleteDirectoryTree(IInstallFileOps &ops, const char *pchPath)
{
    if (!ops.BFileExists(pchPath) && !ops.BIsLink(pchPath))
        return true;
    std::string strDir = pchPath;
    if (ops.BIsLink(pchPath))
    {
        // A link to a directory goes as the link (a file on POSIX, a directory on Windows).
        return ops.BDeleteFile(pchPath) || ops.BRemoveDirectory(pchPath);
    }
    std::vector<PlatDirEntry_t> vecEntries;
    bool bAll = ops.BListDirectory(pchPath, "*", &vecEntries);
    for (const PlatDirEntry_t &entry : vecEntries)
    {
        std::string strEntry = strDir + "/" + entry.m_strName;
        bool bDeleted = entry.m_bIsDirectory || ops.BIsLink(strEntry.c_str())
                            ? BDeleteDirectoryTree(ops, strEntry.c_str())
                            : BDeleteFileWithRetry(ops, strEntry.c_str());
        bAll = bDeleted && bAll;
    }
    ops.BClearReadOnlyAndHidden(pchPath);
    return ops.BRemoveDirectory(pchPath) && bAll;
}

bool BWriteWholeFile(IInstallFileOps &ops, const char *pchPath, const void *pubData, size_t cubData,
                     bool bText)
{
    std::unique_ptr<IInstallFileWriter> pWriter = ops.OpenForWrite(pchPath, bText);
    if (!pWriter)
        return false;
    bool bOk = pWriter->BWrite(pubData, cubData);
    bOk = pWriter->BClose() && bOk;
    if (!bOk)
    {
        // Callers tell the player why from errno (a full disk): the write's, not the delete's.
        int nErrno = errno;
        BDeleteFileWithRetry(ops, pchPath);
        errno = nErrno;
    }
    return bOk;
}

std::string CDirectoryPresence::Key(const std::string &strPath)
{
    std::string strKey = strPath;
    for (char &ch : strKey)
        ch = ch == '\\' ? '/' : (ch >= 'A' && ch <= 'Z' ? (char)(ch - 'A' + 'a') : ch);
    return strKey;
}

bool CDirectoryPresence::BParentExists(const std::string &strPath)
{
    size_t iSeparator = strPath.find_last_of("/\\");
    if (iSeparator == std::string::npos || iSeparator == 0)
        return true;
    std::string strDir = strPath.substr(0, iSeparator);
    std::string strKey = Key(strDir);
    auto it = m_mapDirectories.find(strKey);
    if (it != m_mapDirectories.end())
        return it->second;
    // A missing parent makes the directory missing too, without looking.
    bool bExists = BParentExists(strDir) && m_Ops.BIsDirectory(strDir.c_str());
    m_mapDirectories[strKey] = bExists;
    return bExists;
}

bool CDirectoryPresence::BMayExist(const std::string &strPath)
{
    if (!BParentExists(strPath))
        return false;
    size_t iSeparator = strPath.find_last_of("/\\");
    std::string strDir = iSeparator == std::string::npos ? "."
                         : iSeparator == 0               ? "/"
                                                         : strPath.substr(0, iSeparator);
    std::string strName = iSeparator == std::string::npos ? strPath : strPath.substr(iSeparator + 1);
    if (strName.empty() || strName == "." || strName == "..")
        return true;
    std::string strKey = Key(strDir);
    auto it = m_mapListings.find(strKey);
    if (it == m_mapListings.end())
    {
        std::vector<PlatDirEntry_t> vecEntries;
        std::unordered_set<std::string> setNames;
        if (!m_Ops.BListDirectory(strDir.c_str(), "*", &vecEntries))
            return true; // cannot tell
        for (const PlatDirEntry_t &entry : vecEntries)
            setNames.insert(Key(entry.m_strName));
        it = m_mapListings.emplace(strKey, std::move(setNames)).first;
    }
    return it->second.count(Key(strName)) != 0;
}

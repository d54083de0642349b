// POSIX only: files and directories with Windows path rules (both separators, and
// letter case ignored when the exact spelling does not exist).
#include "foundation/platform/file.h"

#include "foundation/filewildcard.h"
#include "foundation/platform/posix/listingcache.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace
{
// The error of the last failed call of this layer, per thread. errno itself is not enough:
// the lookups inside path resolution and any library call between the failure and the
// caller's question may change it.
thread_local int t_nLastErrno = 0;

bool BFailed()
{
    t_nLastErrno = errno;
    return false;
}

bool BChecked(bool bOk)
{
    return bOk || BFailed();
}

bool BExists(const std::string &str)
{
    struct stat st;
    return lstat(str.c_str(), &st) == 0;
}

std::string ModeWithCloseOnExec(const char *pchMode)
{
    std::string strMode = pchMode;
    if (strMode.find('e') == std::string::npos)
        strMode += 'e';
    return strMode;
}
} // namespace

std::string PLAT_ResolvePath(const char *pchPath)
{
    if (!pchPath)
        return std::string();
    std::string strPath = pchPath;
    for (char &ch : strPath)
    {
        if (ch == '\\')
            ch = '/';
    }
    if (strPath.empty() || BExists(strPath))
        return strPath;

    // Walk the components: keep each that exists as written, look up the others
    // without regard to case, and keep the rest as written once one is missing.
    std::string strResult = strPath[0] == '/' ? "/" : "";
    size_t iPos = strResult.size();
    bool bMissing = false;
    while (iPos <= strPath.size())
    {
        size_t iEnd = strPath.find('/', iPos);
        if (iEnd == std::string::npos)
            iEnd = strPath.size();
        std::string strComponent = strPath.substr(iPos, iEnd - iPos);
        iPos = iEnd + 1;
        if (strComponent.empty())
            continue;
        std::string strDir = strResult;
        std::string strCandidate = strResult;
        if (!strCandidate.empty() && strCandidate.back() != '/')
            strCandidate += '/';
        std::string strFound;
        if (!bMissing && strComponent != "." && strComponent != ".." && !BExists(strCandidate + strComponent))
        {
            if (BFindEntryNoCase(strDir, strComponent, &strFound))
                strComponent = strFound;
            else
                bMissing = true;
        }
        strResult = strCandidate + strComponent;
    }
    if (!strPath.empty() && strPath.back() == '/' && (strResult.empty() || strResult.back() != '/'))
        strResult += '/';
    return strResult;
}

FILE *PLAT_fopen(const char *pchPath, const char *pchMode)
{
    if (!pchPath || !pchMode)
    {
        errno = EINVAL;
        BFailed();
        return nullptr;
    }
    std::string strPath = PLAT_ResolvePath(pchPath);
    FILE *pFile = fopen(strPath.c_str(), ModeWithCloseOnExec(pchMode).c_str());
    if (!pFile)
        BFailed();
    else if (strchr(pchMode, 'w') || strchr(pchMode, 'a'))
        NoteDirectoryEntryChanged(strPath);
    return pFile;
}

bool PLAT_FileExists(const char *pchPath)
{
    struct stat st;
    return pchPath && stat(PLAT_ResolvePath(pchPath).c_str(), &st) == 0;
}

bool PLAT_IsDirectory(const char *pchPath)
{
    struct stat st;
    return pchPath && stat(PLAT_ResolvePath(pchPath).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int64 PLAT_GetFileSize(const char *pchPath)
{
    struct stat st;
    if (!pchPath || stat(PLAT_ResolvePath(pchPath).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return (int64)st.st_size;
}

bool PLAT_GetFileInfo(const char *pchPath, PlatFileInfo_t *pInfo)
{
    *pInfo = PlatFileInfo_t();
    if (!pchPath)
        return false;
    std::string strPath = pchPath;
    for (char &ch : strPath)
    {
        if (ch == '\\')
            ch = '/';
    }
    // The spelling as written first: only a path that is not there that way is looked up
    // without regard to case.
    struct stat st;
    if (stat(strPath.c_str(), &st) != 0)
    {
        if (errno != ENOENT && errno != ENOTDIR)
            return BFailed();
        std::string strResolved = PLAT_ResolvePath(pchPath);
        if (strResolved == strPath || stat(strResolved.c_str(), &st) != 0)
            return BFailed();
    }
    pInfo->m_bExists = true;
    pInfo->m_bIsDirectory = S_ISDIR(st.st_mode);
    pInfo->m_llSize = S_ISREG(st.st_mode) ? (int64)st.st_size : -1;
    return true;
}

int64 PLAT_GetFileWriteTime(const char *pchPath)
{
    struct stat st;
    if (!pchPath || stat(PLAT_ResolvePath(pchPath).c_str(), &st) != 0)
        return 0;
    return (int64)st.st_mtime;
}

namespace
{
// mkdir that counts an existing directory as success and keeps mkdir's error otherwise.
bool BMakeDirectory(const std::string &strPath)
{
    if (mkdir(strPath.c_str(), 0777) == 0)
    {
        NoteDirectoryEntryChanged(strPath);
        return true;
    }
    int nErr = errno;
    struct stat st;
    if (stat(strPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return true;
    errno = nErr;
    return BFailed();
}
} // namespace

bool PLAT_CreateDirectory(const char *pchPath)
{
    if (!pchPath || !*pchPath)
    {
        errno = ENOENT;
        return BFailed();
    }
    return BMakeDirectory(PLAT_ResolvePath(pchPath));
}

bool PLAT_CreateDirectoryHierarchy(const char *pchPath)
{
    if (!pchPath || !*pchPath)
    {
        errno = ENOENT;
        return BFailed();
    }
    // The resolved path already names existing components in their spelling on disk, so
    // each prefix is either an existing directory or one to create as written.
    std::string strPath = PLAT_ResolvePath(pchPath);
    for (size_t i = 1; i <= strPath.size(); ++i)
    {
        if ((i == strPath.size() || strPath[i] == '/') && strPath[i - 1] != '/')
        {
            if (!BMakeDirectory(strPath.substr(0, i)))
                return false;
        }
    }
    return true;
}

bool PLAT_RemoveDirectory(const char *pchPath)
{
    if (!pchPath)
        return false;
    std::string strPath = PLAT_ResolvePath(pchPath);
    ForgetDirectoryListing(strPath);
    if (rmdir(strPath.c_str()) != 0)
        return BFailed();
    NoteDirectoryEntryChanged(strPath);
    return true;
}

bool PLAT_RenameReplace(const char *pchFrom, const char *pchTo)
{
    if (!pchFrom || !pchTo)
        return false;
    std::string strFrom = PLAT_ResolvePath(pchFrom), strTo = PLAT_ResolvePath(pchTo);
    // An empty directory at the target goes in the rename.
    ForgetDirectoryListing(strTo);
    if (rename(strFrom.c_str(), strTo.c_str()) != 0)
        return BFailed();
    NoteDirectoryEntryChanged(strFrom);
    NoteDirectoryEntryChanged(strTo);
    return true;
}

namespace
{
bool BCopyBytes(int fdIn, int fdOut)
{
    char rgchBuf[1 << 16];
    for (;;)
    {
        ssize_t cchRead = read(fdIn, rgchBuf, sizeof(rgchBuf));
        if (cchRead < 0 && errno == EINTR)
            continue;
        if (cchRead <= 0)
            return cchRead == 0;
        for (ssize_t iOff = 0; iOff < cchRead;)
        {
            ssize_t cchWritten = write(fdOut, rgchBuf + iOff, (size_t)(cchRead - iOff));
            if (cchWritten < 0 && errno == EINTR)
                continue;
            if (cchWritten <= 0)
            {
                if (cchWritten == 0)
                    errno = EIO;
                return false;
            }
            iOff += cchWritten;
        }
    }
}
} // namespace

bool PLAT_CopyFile(const char *pchFrom, const char *pchTo)
{
    if (!pchFrom || !pchTo)
        return false;
    std::string strFrom = PLAT_ResolvePath(pchFrom), strTo = PLAT_ResolvePath(pchTo);
    int fdIn = open(strFrom.c_str(), O_RDONLY | O_CLOEXEC);
    if (fdIn < 0)
        return BFailed();
    struct stat stIn, stOut;
    bool bStat = fstat(fdIn, &stIn) == 0;
    if (!bStat || !S_ISREG(stIn.st_mode))
    {
        int nErr = !bStat ? errno : S_ISDIR(stIn.st_mode) ? EISDIR : EINVAL;
        close(fdIn);
        errno = nErr;
        return BFailed();
    }
    // Opening the source itself for writing would truncate it before the first byte is read.
    if (stat(strTo.c_str(), &stOut) == 0 && stOut.st_dev == stIn.st_dev && stOut.st_ino == stIn.st_ino)
    {
        close(fdIn);
        errno = EACCES; // Windows refuses with a sharing violation
        return BFailed();
    }
    int fdOut = open(strTo.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, stIn.st_mode & 0777);
    if (fdOut < 0)
    {
        close(fdIn);
        return BFailed();
    }
    // The target takes the source's permissions also when it existed before (O_CREAT's mode
    // applies only to a new file, and the umask cuts it).
    bool bOk = BCopyBytes(fdIn, fdOut) && fchmod(fdOut, stIn.st_mode & 07777) == 0;
    int nErr = errno;
    close(fdIn);
    if (close(fdOut) != 0 && bOk)
    {
        bOk = false;
        nErr = errno;
    }
    if (!bOk)
    {
        // A cut copy must not pass for the file.
        unlink(strTo.c_str());
        NoteDirectoryEntryChanged(strTo);
        errno = nErr;
        return BFailed();
    }
    NoteDirectoryEntryChanged(strTo);
    return true;
}

bool PLAT_DeleteFile(const char *pchPath)
{
    if (!pchPath)
        return false;
    std::string strPath = PLAT_ResolvePath(pchPath);
    struct stat st;
    if (lstat(strPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
    {
        errno = EISDIR;
        return BFailed();
    }
    if (unlink(strPath.c_str()) != 0)
        return BFailed();
    NoteDirectoryEntryChanged(strPath);
    return true;
}

bool PLAT_ClearReadOnlyAndHidden(const char *pchPath)
{
    if (!pchPath)
        return false;
    std::string strPath = PLAT_ResolvePath(pchPath);
    struct stat st;
    if (stat(strPath.c_str(), &st) != 0)
        return BFailed();
    return BChecked(chmod(strPath.c_str(), (st.st_mode & 07777) | S_IWUSR) == 0);
}

bool PLAT_ListDirectory(const char *pchDir, const char *pchWildcard, std::vector<PlatDirEntry_t> *pvecEntries)
{
    if (!pchDir || !pvecEntries)
        return false;
    std::string strDir = PLAT_ResolvePath(pchDir);
    DIR *pDir = opendir(strDir.empty() ? "." : strDir.c_str());
    if (!pDir)
        return BFailed();
    while (dirent *pEnt = readdir(pDir))
    {
        if (!strcmp(pEnt->d_name, ".") || !strcmp(pEnt->d_name, ".."))
            continue;
        if (!BFileNameMatchesWildcard(pchWildcard, pEnt->d_name))
            continue;
        PlatDirEntry_t entry;
        entry.m_strName = pEnt->d_name;
        struct stat st;
        std::string strFull = strDir + (strDir.empty() || strDir.back() == '/' ? "" : "/") + pEnt->d_name;
        entry.m_bIsDirectory = stat(strFull.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        pvecEntries->push_back(entry);
    }
    closedir(pDir);
    return true;
}

bool PLAT_GetFreeDiskSpace(const char *pchPath, uint64 *pcubFree)
{
    if (!pchPath || !pcubFree)
        return false;
    struct statvfs sv;
    std::string strPath = PLAT_ResolvePath(pchPath);
    if (statvfs(strPath.empty() ? "." : strPath.c_str(), &sv) != 0)
        return BFailed();
    *pcubFree = (uint64)sv.f_bavail * (uint64)sv.f_frsize;
    return true;
}

bool PLAT_GetCurrentDirectory(char *pchBuf, size_t cubBuf)
{
    return pchBuf && cubBuf && BChecked(getcwd(pchBuf, cubBuf) != nullptr);
}

bool PLAT_SetCurrentDirectory(const char *pchPath)
{
    return pchPath && BChecked(chdir(PLAT_ResolvePath(pchPath).c_str()) == 0);
}

int PLAT_GetLastErrno()
{
    return t_nLastErrno;
}

int PLAT_fseek64(FILE *pFile, int64 nOffset, int nOrigin)
{
    return fseeko(pFile, (off_t)nOffset, nOrigin);
}

int64 PLAT_ftell64(FILE *pFile)
{
    return (int64)ftello(pFile);
}

// POSIX only: files and directories with Windows path rules (both separators, and
// letter case ignored when the exact spelling does not exist).
#include "foundation/platform/file.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace
{
bool BEqualNoCase(const char *a, const char *b)
{
    for (;; ++a, ++b)
    {
        unsigned char ca = (unsigned char)*a, cb = (unsigned char)*b;
        if (ca >= 'A' && ca <= 'Z')
            ca += 'a' - 'A';
        if (cb >= 'A' && cb <= 'Z')
            cb += 'a' - 'A';
        if (ca != cb)
            return false;
        if (!ca)
            return true;
    }
}

bool BExists(const std::string &str)
{
    struct stat st;
    return lstat(str.c_str(), &st) == 0;
}

// Finds an entry of a directory whose name equals the given one without regard to case.
bool BFindNoCase(const std::string &strDir, const std::string &strName, std::string *pstrFound)
{
    DIR *pDir = opendir(strDir.empty() ? "." : strDir.c_str());
    if (!pDir)
        return false;
    bool bFound = false;
    while (dirent *pEnt = readdir(pDir))
    {
        if (BEqualNoCase(pEnt->d_name, strName.c_str()))
        {
            *pstrFound = pEnt->d_name;
            bFound = true;
            break;
        }
    }
    closedir(pDir);
    return bFound;
}

// "*" matches any run, "?" one character; ASCII case ignored.
bool BWildcardMatch(const char *pchPattern, const char *pchName)
{
    const char *pchStar = nullptr, *pchResume = nullptr;
    while (*pchName)
    {
        unsigned char p = (unsigned char)*pchPattern, n = (unsigned char)*pchName;
        if (p >= 'A' && p <= 'Z')
            p += 'a' - 'A';
        if (n >= 'A' && n <= 'Z')
            n += 'a' - 'A';
        if (p == '*')
        {
            pchStar = pchPattern++;
            pchResume = pchName;
        }
        else if (p == '?' || (p && p == n))
        {
            ++pchPattern;
            ++pchName;
        }
        else if (pchStar)
        {
            pchPattern = pchStar + 1;
            pchName = ++pchResume;
        }
        else
        {
            return false;
        }
    }
    while (*pchPattern == '*')
        ++pchPattern;
    return *pchPattern == '\0';
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
            if (BFindNoCase(strDir, strComponent, &strFound))
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
        return nullptr;
    return fopen(PLAT_ResolvePath(pchPath).c_str(), ModeWithCloseOnExec(pchMode).c_str());
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

int64 PLAT_GetFileWriteTime(const char *pchPath)
{
    struct stat st;
    if (!pchPath || stat(PLAT_ResolvePath(pchPath).c_str(), &st) != 0)
        return 0;
    return (int64)st.st_mtime;
}

bool PLAT_CreateDirectory(const char *pchPath)
{
    if (!pchPath || !*pchPath)
        return false;
    std::string strPath = PLAT_ResolvePath(pchPath);
    if (mkdir(strPath.c_str(), 0777) == 0)
        return true;
    int nErr = errno;
    struct stat st;
    if (stat(strPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return true;
    errno = nErr;
    return false;
}

bool PLAT_CreateDirectoryHierarchy(const char *pchPath)
{
    if (!pchPath || !*pchPath)
        return false;
    std::string strPath = PLAT_ResolvePath(pchPath);
    for (size_t i = 1; i <= strPath.size(); ++i)
    {
        if (i == strPath.size() || strPath[i] == '/')
        {
            std::string strPrefix = strPath.substr(0, i);
            if (mkdir(strPrefix.c_str(), 0777) != 0 && errno != EEXIST)
            {
                int nErr = errno;
                struct stat st;
                if (!(stat(strPrefix.c_str(), &st) == 0 && S_ISDIR(st.st_mode)))
                {
                    errno = nErr;
                    return false;
                }
            }
        }
    }
    return PLAT_IsDirectory(pchPath);
}

bool PLAT_RemoveDirectory(const char *pchPath)
{
    return pchPath && rmdir(PLAT_ResolvePath(pchPath).c_str()) == 0;
}

bool PLAT_RenameReplace(const char *pchFrom, const char *pchTo)
{
    if (!pchFrom || !pchTo)
        return false;
    return rename(PLAT_ResolvePath(pchFrom).c_str(), PLAT_ResolvePath(pchTo).c_str()) == 0;
}

bool PLAT_CopyFile(const char *pchFrom, const char *pchTo)
{
    if (!pchFrom || !pchTo)
        return false;
    std::string strFrom = PLAT_ResolvePath(pchFrom), strTo = PLAT_ResolvePath(pchTo);
    int fdIn = open(strFrom.c_str(), O_RDONLY | O_CLOEXEC);
    if (fdIn < 0)
        return false;
    struct stat st;
    if (fstat(fdIn, &st) != 0 || !S_ISREG(st.st_mode))
    {
        close(fdIn);
        return false;
    }
    int fdOut = open(strTo.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 0777);
    if (fdOut < 0)
    {
        close(fdIn);
        return false;
    }
    bool bOk = true;
    char rgchBuf[1 << 16];
    for (;;)
    {
        ssize_t cchRead = read(fdIn, rgchBuf, sizeof(rgchBuf));
        if (cchRead < 0 && errno == EINTR)
            continue;
        if (cchRead <= 0)
        {
            bOk = cchRead == 0;
            break;
        }
        for (ssize_t iOff = 0; iOff < cchRead;)
        {
            ssize_t cchWritten = write(fdOut, rgchBuf + iOff, (size_t)(cchRead - iOff));
            if (cchWritten < 0 && errno == EINTR)
                continue;
            if (cchWritten <= 0)
            {
                bOk = false;
                break;
            }
            iOff += cchWritten;
        }
        if (!bOk)
            break;
    }
    close(fdIn);
    if (close(fdOut) != 0)
        bOk = false;
    return bOk;
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
        return false;
    }
    return unlink(strPath.c_str()) == 0;
}

bool PLAT_ClearReadOnlyAndHidden(const char *pchPath)
{
    if (!pchPath)
        return false;
    std::string strPath = PLAT_ResolvePath(pchPath);
    struct stat st;
    if (stat(strPath.c_str(), &st) != 0)
        return false;
    return chmod(strPath.c_str(), (st.st_mode & 07777) | S_IWUSR) == 0;
}

bool PLAT_ListDirectory(const char *pchDir, const char *pchWildcard, std::vector<PlatDirEntry_t> *pvecEntries)
{
    if (!pchDir || !pvecEntries)
        return false;
    std::string strDir = PLAT_ResolvePath(pchDir);
    DIR *pDir = opendir(strDir.empty() ? "." : strDir.c_str());
    if (!pDir)
        return false;
    while (dirent *pEnt = readdir(pDir))
    {
        if (!strcmp(pEnt->d_name, ".") || !strcmp(pEnt->d_name, ".."))
            continue;
        if (pchWildcard && strcmp(pchWildcard, "*") != 0 && !BWildcardMatch(pchWildcard, pEnt->d_name))
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
        return false;
    *pcubFree = (uint64)sv.f_bavail * (uint64)sv.f_frsize;
    return true;
}

bool PLAT_GetCurrentDirectory(char *pchBuf, size_t cubBuf)
{
    return pchBuf && cubBuf && getcwd(pchBuf, cubBuf) != nullptr;
}

bool PLAT_SetCurrentDirectory(const char *pchPath)
{
    return pchPath && chdir(PLAT_ResolvePath(pchPath).c_str()) == 0;
}

int PLAT_GetLastErrno()
{
    return errno;
}

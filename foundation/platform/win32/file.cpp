// Windows only: files and directories through the wide-character API.
#include "foundation/platform/file.h"

#include "foundation/filewildcard.h"
#include "foundation/platform/win32/widepath.h"

#include <cerrno>
#include <cstring>
#include <cwchar>
#include <direct.h>
#include <share.h>
#include <windows.h>

namespace
{
// The errno value of the calling thread's last failed call of this layer (see file.h).
thread_local int t_nLastErrno = 0;

// The C library's reading of a system error, for the calls that do not go through it.
int ErrnoFromWindowsError(DWORD dwError)
{
    switch (dwError)
    {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_NO_MORE_FILES:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_NAME:
    case ERROR_FILENAME_EXCED_RANGE:
        return ENOENT;
    case ERROR_DIRECTORY:
        return ENOTDIR;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_CURRENT_DIRECTORY:
    case ERROR_WRITE_PROTECT:
    case ERROR_CANNOT_MAKE:
    case ERROR_NETWORK_ACCESS_DENIED:
    case ERROR_DRIVE_LOCKED:
        return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_DIR_NOT_EMPTY:
        return ENOTEMPTY;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_NOT_SAME_DEVICE:
        return EXDEV;
    case ERROR_TOO_MANY_OPEN_FILES:
        return EMFILE;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return ENOMEM;
    case ERROR_INVALID_HANDLE:
        return EBADF;
    case ERROR_BUSY:
        return EBUSY;
    case ERROR_INSUFFICIENT_BUFFER:
        return ERANGE;
    case ERROR_NO_UNICODE_TRANSLATION:
        return EILSEQ;
    default:
        return EINVAL;
    }
}

bool BFailWith(int nErrno)
{
    t_nLastErrno = nErrno;
    return false;
}

bool BFailWithSystemError()
{
    return BFailWith(ErrnoFromWindowsError(GetLastError()));
}

bool BChecked(BOOL bResult)
{
    return bResult ? true : BFailWithSystemError();
}

// The wide form of a path, or a recorded failure for text that is not UTF-8.
bool BWidePath(const char *pchPath, std::wstring *pwstrPath)
{
    if (!pchPath)
        return BFailWith(EINVAL);
    return BPathToWide(pchPath, pwstrPath) || BFailWith(EILSEQ);
}

DWORD Attributes(const std::wstring &wstrPath)
{
    return GetFileAttributesW(wstrPath.c_str());
}

bool BIsDirectoryAttributes(DWORD dwAttributes)
{
    return dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

// _wmkdir, so that a failure carries the C library's errno; an existing directory counts.
bool BMakeDirectory(const std::wstring &wstrPath)
{
    if (_wmkdir(wstrPath.c_str()) == 0)
        return true;
    int nErr = errno;
    return BIsDirectoryAttributes(Attributes(wstrPath)) || BFailWith(nErr);
}

// Length of the part of a path that names no directory to create: "\\server\share\",
// "\\?\C:\", "C:\", "C:" or "\".
size_t RootLength(const std::wstring &wstr)
{
    size_t i = 0;
    if (wstr.compare(0, 4, L"\\\\?\\") == 0)
        i = 4;
    else if (wstr.compare(0, 2, L"\\\\") == 0)
    {
        // Server and share of a network path.
        size_t iServerEnd = wstr.find(L'\\', 2);
        if (iServerEnd == std::wstring::npos)
            return wstr.size();
        size_t iShareEnd = wstr.find(L'\\', iServerEnd + 1);
        return iShareEnd == std::wstring::npos ? wstr.size() : iShareEnd + 1;
    }
    if (wstr.size() >= i + 2 && wstr[i + 1] == L':')
        i += 2;
    if (i < wstr.size() && wstr[i] == L'\\')
        ++i;
    return i;
}

// Whether two paths name one file (another spelling, a link), by volume and file index.
bool BSameFile(const std::wstring &wstrA, const std::wstring &wstrB)
{
    BY_HANDLE_FILE_INFORMATION rgInfo[2];
    const std::wstring *rgpwstr[2] = {&wstrA, &wstrB};
    for (int i = 0; i < 2; ++i)
    {
        // No access rights asked and everything shared: this disturbs no one.
        HANDLE hFile =
            CreateFileW(rgpwstr[i]->c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (hFile == INVALID_HANDLE_VALUE)
            return false;
        BOOL bOk = GetFileInformationByHandle(hFile, &rgInfo[i]);
        CloseHandle(hFile);
        if (!bOk)
            return false;
    }
    return rgInfo[0].dwVolumeSerialNumber == rgInfo[1].dwVolumeSerialNumber &&
           rgInfo[0].nFileIndexHigh == rgInfo[1].nFileIndexHigh &&
           rgInfo[0].nFileIndexLow == rgInfo[1].nFileIndexLow;
}

bool BGetAttributeData(const char *pchPath, WIN32_FILE_ATTRIBUTE_DATA *pData)
{
    std::wstring wstrPath;
    return BWidePath(pchPath, &wstrPath) &&
           GetFileAttributesExW(wstrPath.c_str(), GetFileExInfoStandard, pData) != FALSE;
}
} // namespace

FILE *PLAT_fopen(const char *pchPath, const char *pchMode)
{
    std::wstring wstrPath;
    if (!pchMode)
        BFailWith(EINVAL);
    if (!pchMode || !BWidePath(pchPath, &wstrPath))
        return nullptr;
    // The POSIX close-on-exec flag means nothing here: no handle is ever inherited.
    std::wstring wstrMode;
    for (const char *pch = pchMode; *pch; ++pch)
    {
        if (*pch != 'e')
            wstrMode += (wchar_t)(unsigned char)*pch;
    }
    // Others may read and write the file while it is open (a log can be read as it grows).
    FILE *pFile = _wfsopen(wstrPath.c_str(), wstrMode.c_str(), _SH_DENYNO);
    if (!pFile)
        BFailWith(errno);
    return pFile;
}

std::string PLAT_ResolvePath(const char *pchPath)
{
    std::string strPath = pchPath ? pchPath : "";
    for (char &ch : strPath)
    {
        if (ch == '/')
            ch = '\\';
    }
    return strPath;
}

bool PLAT_FileExists(const char *pchPath)
{
    std::wstring wstrPath;
    return BWidePath(pchPath, &wstrPath) && Attributes(wstrPath) != INVALID_FILE_ATTRIBUTES;
}

bool PLAT_IsDirectory(const char *pchPath)
{
    std::wstring wstrPath;
    return BWidePath(pchPath, &wstrPath) && BIsDirectoryAttributes(Attributes(wstrPath));
}

int64 PLAT_GetFileSize(const char *pchPath)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!BGetAttributeData(pchPath, &data) || (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return -1;
    return (int64)(((uint64)data.nFileSizeHigh << 32) | data.nFileSizeLow);
}

bool PLAT_GetFileInfo(const char *pchPath, PlatFileInfo_t *pInfo)
{
    *pInfo = PlatFileInfo_t();
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!BGetAttributeData(pchPath, &data))
        return false;
    pInfo->m_bExists = true;
    pInfo->m_bIsDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!pInfo->m_bIsDirectory)
        pInfo->m_llSize = (int64)(((uint64)data.nFileSizeHigh << 32) | data.nFileSizeLow);
    return true;
}

int64 PLAT_GetFileWriteTime(const char *pchPath)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!BGetAttributeData(pchPath, &data))
        return 0;
    // FILETIME counts 100 ns intervals since 1601-01-01; 11,644,473,600 s lie before 1970.
    uint64 unTicks = ((uint64)data.ftLastWriteTime.dwHighDateTime << 32) | data.ftLastWriteTime.dwLowDateTime;
    return (int64)(unTicks / 10000000ull) - 11644473600ll;
}

bool PLAT_CreateDirectory(const char *pchPath)
{
    std::wstring wstrPath;
    if (!BWidePath(pchPath, &wstrPath))
        return false;
    if (wstrPath.empty())
        return BFailWith(ENOENT);
    return BMakeDirectory(wstrPath);
}

bool PLAT_CreateDirectoryHierarchy(const char *pchPath)
{
    std::wstring wstrPath;
    if (!BWidePath(pchPath, &wstrPath))
        return false;
    if (wstrPath.empty())
        return BFailWith(ENOENT);
    for (size_t i = RootLength(wstrPath); i <= wstrPath.size(); ++i)
    {
        if ((i == wstrPath.size() || wstrPath[i] == L'\\') && i > 0 && wstrPath[i - 1] != L'\\')
        {
            if (!BMakeDirectory(wstrPath.substr(0, i)))
                return false;
        }
    }
    return BIsDirectoryAttributes(Attributes(wstrPath)) || BFailWith(ENOENT);
}

bool PLAT_RemoveDirectory(const char *pchPath)
{
    std::wstring wstrPath;
    return BWidePath(pchPath, &wstrPath) && BChecked(RemoveDirectoryW(wstrPath.c_str()));
}

bool PLAT_RenameReplace(const char *pchFrom, const char *pchTo)
{
    std::wstring wstrFrom, wstrTo;
    return BWidePath(pchFrom, &wstrFrom) && BWidePath(pchTo, &wstrTo) &&
           BChecked(MoveFileExW(wstrFrom.c_str(), wstrTo.c_str(), MOVEFILE_REPLACE_EXISTING));
}

bool PLAT_CopyFile(const char *pchFrom, const char *pchTo)
{
    std::wstring wstrFrom, wstrTo;
    if (!BWidePath(pchFrom, &wstrFrom) || !BWidePath(pchTo, &wstrTo))
        return false;
    // A copy onto the source itself would truncate it if the system let it through.
    if (BSameFile(wstrFrom, wstrTo))
        return BFailWith(EACCES);
    return BChecked(CopyFileW(wstrFrom.c_str(), wstrTo.c_str(), FALSE /* overwrite */));
}

bool PLAT_DeleteFile(const char *pchPath)
{
    std::wstring wstrPath;
    return BWidePath(pchPath, &wstrPath) && BChecked(DeleteFileW(wstrPath.c_str()));
}

bool PLAT_ClearReadOnlyAndHidden(const char *pchPath)
{
    std::wstring wstrPath;
    if (!BWidePath(pchPath, &wstrPath))
        return false;
    DWORD dwAttributes = Attributes(wstrPath);
    if (dwAttributes == INVALID_FILE_ATTRIBUTES)
        return BFailWithSystemError();
    // Only the attributes that SetFileAttributes may set go back; none at all is "normal".
    const DWORD dwSettable = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
                             FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_TEMPORARY;
    DWORD dwNew = dwAttributes & dwSettable;
    return BChecked(SetFileAttributesW(wstrPath.c_str(), dwNew ? dwNew : FILE_ATTRIBUTE_NORMAL));
}

bool PLAT_ListDirectory(const char *pchDir, const char *pchWildcard, std::vector<PlatDirEntry_t> *pvecEntries)
{
    std::wstring wstrPattern, wstrWildcard;
    if (!pvecEntries || !BWidePath(pchDir, &wstrPattern))
        return false;
    if (!BUTF8ToWide(pchWildcard && *pchWildcard ? pchWildcard : "*", &wstrWildcard))
        return BFailWith(EILSEQ);
    if (!wstrPattern.empty() && wstrPattern.back() != L'\\' && wstrPattern.back() != L':')
        wstrPattern += L'\\';
    wstrPattern += wstrWildcard;

    WIN32_FIND_DATAW findData;
    HANDLE hFind = FindFirstFileW(wstrPattern.c_str(), &findData);
    if (hFind == INVALID_HANDLE_VALUE)
    {
        // No match in a directory that exists is an empty listing.
        DWORD dwError = GetLastError();
        if (dwError == ERROR_FILE_NOT_FOUND)
        {
            std::wstring wstrDir;
            BPathToWide(pchDir, &wstrDir);
            if (wstrDir.empty() || BIsDirectoryAttributes(Attributes(wstrDir)))
                return true;
        }
        return BFailWith(ErrnoFromWindowsError(dwError));
    }
    do
    {
        if (!wcscmp(findData.cFileName, L".") || !wcscmp(findData.cFileName, L".."))
            continue;
        PlatDirEntry_t entry;
        entry.m_strName = WideToUTF8(findData.cFileName, wcslen(findData.cFileName));
        // The system also matches 8.3 short names and applies DOS wildcard rules; keep only
        // what the wildcard selects on every platform.
        if (!BFileNameMatchesWildcard(pchWildcard, entry.m_strName.c_str()))
            continue;
        entry.m_bIsDirectory = (findData.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        pvecEntries->push_back(entry);
    } while (FindNextFileW(hFind, &findData));
    DWORD dwError = GetLastError();
    FindClose(hFind);
    return dwError == ERROR_NO_MORE_FILES || BFailWith(ErrnoFromWindowsError(dwError));
}

bool PLAT_GetFreeDiskSpace(const char *pchPath, uint64 *pcubFree)
{
    std::wstring wstrPath;
    if (!pcubFree || !BWidePath(pchPath, &wstrPath))
        return false;
    // A network path must end in a separator; a local one may.
    if (!wstrPath.empty() && wstrPath.back() != L'\\')
        wstrPath += L'\\';
    ULARGE_INTEGER cubAvailable;
    if (!GetDiskFreeSpaceExW(wstrPath.empty() ? nullptr : wstrPath.c_str(), &cubAvailable, nullptr, nullptr))
        return BFailWithSystemError();
    *pcubFree = cubAvailable.QuadPart;
    return true;
}

bool PLAT_GetCurrentDirectory(char *pchBuf, size_t cubBuf)
{
    if (!pchBuf || !cubBuf)
        return BFailWith(EINVAL);
    std::wstring wstrDir;
    for (DWORD cwchNeeded = MAX_PATH;;)
    {
        wstrDir.resize(cwchNeeded);
        DWORD cwch = GetCurrentDirectoryW(cwchNeeded, &wstrDir[0]);
        if (cwch == 0)
            return BFailWithSystemError();
        if (cwch < cwchNeeded)
        {
            wstrDir.resize(cwch);
            break;
        }
        cwchNeeded = cwch; // the size with the NUL
    }
    return BCopyOut(WideToUTF8(wstrDir), pchBuf, cubBuf) || BFailWith(ERANGE);
}

bool PLAT_SetCurrentDirectory(const char *pchPath)
{
    std::wstring wstrPath;
    return BWidePath(pchPath, &wstrPath) && BChecked(SetCurrentDirectoryW(wstrPath.c_str()));
}

int PLAT_GetLastErrno()
{
    return t_nLastErrno;
}

int PLAT_fseek64(FILE *pFile, int64 nOffset, int nOrigin)
{
    return _fseeki64(pFile, nOffset, nOrigin);
}

int64 PLAT_ftell64(FILE *pFile)
{
    return (int64)_ftelli64(pFile);
}

void PLAT_BeginDirectoryListingCache()
{
    // The file system finds a name in any letter case itself: there is nothing to keep.
}

void PLAT_EndDirectoryListingCache() {}

// Files by relative name through ordered search paths.
#include "foundation/filesystem.h"

#include "foundation/dbg.h"
#include "foundation/platform/file.h"
#include "foundation/strtools.h"
#include "foundation/utlbuffer.h"

void CFileSystem::AddSearchPath(const char *pchPath, const char *pchPathID, bool bAtTail)
{
    if (!pchPath || !*pchPath)
    {
        AssertFailed("CFileSystem::AddSearchPath: empty path");
        return;
    }
    SearchPath_t searchPath;
    searchPath.m_strPath = pchPath;
    searchPath.m_strPathID = pchPathID ? pchPathID : "";

    std::lock_guard<std::mutex> lock(m_Mutex);
    for (const SearchPath_t &existing : m_vecSearchPaths)
    {
        if (existing.m_strPath == searchPath.m_strPath &&
            !Q_stricmp(existing.m_strPathID.Get(), searchPath.m_strPathID.Get()))
            return;
    }
    if (bAtTail)
        m_vecSearchPaths.AddToTail(searchPath);
    else
        m_vecSearchPaths.AddToHead(searchPath);
}

void CFileSystem::RemoveSearchPaths(const char *pchPathID)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    for (int i = m_vecSearchPaths.Count() - 1; i >= 0; --i)
    {
        if (BMatchesID(m_vecSearchPaths[i], pchPathID))
            m_vecSearchPaths.Remove(i);
    }
}

int CFileSystem::GetSearchPathCount(const char *pchPathID)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    int c = 0;
    for (const SearchPath_t &searchPath : m_vecSearchPaths)
    {
        if (BMatchesID(searchPath, pchPathID))
            ++c;
    }
    return c;
}

bool CFileSystem::BMatchesID(const SearchPath_t &searchPath, const char *pchPathID) const
{
    return !pchPathID || !Q_stricmp(searchPath.m_strPathID.Get(), pchPathID);
}

CUtlString CFileSystem::JoinPath(const CUtlString &strDir, const char *pchFileName)
{
    CUtlString strFull = strDir;
    if (!strFull.IsEmpty() && !Q_IsPathSeparator(strFull.Get()[strFull.Length() - 1]))
        strFull += "/";
    strFull += pchFileName;
    return strFull;
}

bool CFileSystem::BFindFile(const char *pchFileName, const char *pchPathID, CUtlString *pstrFullPath)
{
    if (!pchFileName || !*pchFileName)
        return false;
    if (Q_IsAbsolutePath(pchFileName))
    {
        if (!PLAT_FileExists(pchFileName) || PLAT_IsDirectory(pchFileName))
            return false;
        if (pstrFullPath)
            *pstrFullPath = pchFileName;
        return true;
    }

    // Copied so that the files are looked at without holding the lock.
    CUtlVector<CUtlString> vecCandidates;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        for (const SearchPath_t &searchPath : m_vecSearchPaths)
        {
            if (BMatchesID(searchPath, pchPathID))
                vecCandidates.AddToTail(JoinPath(searchPath.m_strPath, pchFileName));
        }
    }
    for (const CUtlString &strCandidate : vecCandidates)
    {
        if (PLAT_FileExists(strCandidate.Get()) && !PLAT_IsDirectory(strCandidate.Get()))
        {
            if (pstrFullPath)
                *pstrFullPath = strCandidate;
            return true;
        }
    }
    return false;
}

FILE *CFileSystem::OpenForRead(const char *pchFileName, const char *pchPathID, bool bText)
{
    CUtlString strFullPath;
    if (!BFindFile(pchFileName, pchPathID, &strFullPath))
        return nullptr;
    return PLAT_fopen(strFullPath.Get(), bText ? "r" : "rb");
}

FILE *CFileSystem::OpenForWrite(const char *pchFileName, const char *pchPathID, bool bText)
{
    if (!pchFileName || !*pchFileName)
        return nullptr;
    CUtlString strFullPath = pchFileName;
    if (pchPathID && !Q_IsAbsolutePath(pchFileName))
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        for (const SearchPath_t &searchPath : m_vecSearchPaths)
        {
            if (BMatchesID(searchPath, pchPathID))
            {
                strFullPath = JoinPath(searchPath.m_strPath, pchFileName);
                break;
            }
        }
    }
    return PLAT_fopen(strFullPath.Get(), bText ? "w" : "wb");
}

bool CFileSystem::LoadFileIntoBuffer(const char *pchFileName, CUtlBuffer &buf, bool bText,
                                     const char *pchPathID)
{
    CUtlString strFullPath;
    if (!BFindFile(pchFileName, pchPathID, &strFullPath))
        return false;
    return ::LoadFileIntoBuffer(strFullPath.Get(), buf, bText);
}

CFileSystem *FileSystem()
{
    static CFileSystem *s_pFileSystem = new CFileSystem();
    return s_pFileSystem;
}

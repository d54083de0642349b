// Files opened by relative name through ordered search paths grouped under path
// identifiers ("MAIN" among them).
//
// The launcher reads only its localization files this way; everything else names its
// files relative to the working directory. A search path is a directory prefix kept as
// written: "." stays relative and so follows the working directory at the time a file is
// opened. Absolute names are used as they are and never go through the search paths.
//
// Any thread; the search path list has its own lock.
#pragma once

#include "foundation/basetypes.h"
#include "foundation/utlstring.h"
#include "foundation/utlvector.h"

#include <cstdio>
#include <mutex>

class CUtlBuffer;

class CFileSystem
{
public:
    CFileSystem() = default;
    CFileSystem(const CFileSystem &) = delete;
    CFileSystem &operator=(const CFileSystem &) = delete;

    // Adds a directory under an identifier, after (bAtTail) or before the paths already
    // there. The same directory under the same identifier is kept once, where it was.
    void AddSearchPath(const char *pchPath, const char *pchPathID, bool bAtTail = true);
    // Forgets every path of the identifier (null: every path).
    void RemoveSearchPaths(const char *pchPathID);
    // Paths of the identifier (null: all), in search order.
    int GetSearchPathCount(const char *pchPathID);

    // The first existing file of that relative name in the paths of the identifier (null:
    // every path in order), identifiers compared without regard to ASCII case. False when
    // none has it. An absolute name is found when it exists.
    bool BFindFile(const char *pchFileName, const char *pchPathID, CUtlString *pstrFullPath);

    // Opens for reading the file BFindFile finds; null when none.
    FILE *OpenForRead(const char *pchFileName, const char *pchPathID, bool bText = false);
    // Opens for writing: a relative name goes into the first path of the identifier, or
    // relative to the working directory when the identifier is null or has no path.
    FILE *OpenForWrite(const char *pchFileName, const char *pchPathID, bool bText = false);

    // Reads the file BFindFile finds into the buffer as the foundation's LoadFileIntoBuffer
    // does (text or binary, a NUL after the data); false when none is found or it cannot
    // be read completely.
    bool LoadFileIntoBuffer(const char *pchFileName, CUtlBuffer &buf, bool bText, const char *pchPathID);

private:
    struct SearchPath_t
    {
        CUtlString m_strPath;
        CUtlString m_strPathID;
    };
    bool BMatchesID(const SearchPath_t &searchPath, const char *pchPathID) const;
    // The path of the file in one search directory.
    static CUtlString JoinPath(const CUtlString &strDir, const char *pchFileName);

    std::mutex m_Mutex;
    CUtlVector<SearchPath_t> m_vecSearchPaths;
};

// The process-wide file system, created on first use.
CFileSystem *FileSystem();

// A fake of the installation's file operations that makes chosen operations fail: the Nth
// operation that can fail (each create, remove, rename, delete, attribute change, copy,
// owner change, listing, whole-file read, open for writing, write and close), or every
// operation a predicate picks. Everything else is passed to the platform's implementation.
// Queries (exists, sizes, times) are passed through uncounted; the free space can be set.
//
// It can also play a read-only file, which Windows refuses to delete until its attribute
// is cleared (the tests run as root, where a read-only file is deletable anyway).
//
// Any thread may call it: downloads write their parts on the network's thread while the
// updater's thread works on other files.
#pragma once

#include "ferroexe/ferroupdater_fileops.h"

#include <algorithm>
#include <cerrno>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class CFaultyFileOps : public IInstallFileOps
{
public:
    // Fails the operation with this 1-based number; 0 fails none by number.
    int m_nFailAtStep = 0;
    // Fails every operation for which it returns true (operation name, first path).
    std::function<bool(const std::string &strOp, const std::string &strPath)> m_fnFail;
    // The reason a failed operation leaves in errno.
    int m_nFailErrno = EIO;
    // The free space reported when set (and true), else the real one.
    bool m_bOverrideFreeSpace = false;
    uint64 m_cubFreeSpace = 0;
    // Paths (as given, '\' turned into '/') that behave as read-only files: deleting them
    // fails until BClearReadOnlyAndHidden was called on them. m_setStuck never deletes.
    std::set<std::string> m_setReadOnly;
    std::set<std::string> m_setStuck;
    // Listings in name order instead of the file system's (for tests that need to know
    // which file a commit moves third).
    bool m_bSortListings = false;
    // Plays a file system without locks.
    bool m_bNoLocks = false;

    // Operations counted so far and what they were ("op path").
    int m_cSteps = 0;
    std::vector<std::string> m_vecSteps;
    // The step that was made to fail, 0 if none.
    int m_nFailedStep = 0;
    std::string m_strFailedStep;
    // Guards the counting and the sets above while operations run; a fresh fake assigned
    // over this one keeps its own lock.
    struct StepLock_t
    {
        std::recursive_mutex m_mutex;
        StepLock_t() = default;
        StepLock_t(const StepLock_t &) {}
        StepLock_t &operator=(const StepLock_t &) { return *this; }
    } m_lock;

    static std::string Normal(const char *pchPath)
    {
        std::string str = pchPath ? pchPath : "";
        for (char &ch : str)
        {
            if (ch == '\\')
                ch = '/';
        }
        return str;
    }

    // Counts one operation; true when it is to fail.
    bool BFails(const char *pchOp, const char *pchPath)
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock.m_mutex);
        ++m_cSteps;
        std::string strStep = std::string(pchOp) + " " + Normal(pchPath);
        m_vecSteps.push_back(strStep);
        bool bFail = m_cSteps == m_nFailAtStep || (m_fnFail && m_fnFail(pchOp, Normal(pchPath)));
        if (bFail && !m_nFailedStep)
        {
            m_nFailedStep = m_cSteps;
            m_strFailedStep = strStep;
        }
        if (bFail)
            errno = m_nFailErrno;
        return bFail;
    }

    bool BFileExists(const char *pchPath) override { return Real().BFileExists(pchPath); }
    bool BIsDirectory(const char *pchPath) override { return Real().BIsDirectory(pchPath); }
    bool BIsLink(const char *pchPath) override { return Real().BIsLink(pchPath); }
    int64 GetFileSize(const char *pchPath) override { return Real().GetFileSize(pchPath); }
    bool BGetFileInfo(const char *pchPath, PlatFileInfo_t *pInfo) override
    {
        return Real().BGetFileInfo(pchPath, pInfo);
    }
    int64 GetFileWriteTime(const char *pchPath) override { return Real().GetFileWriteTime(pchPath); }
    bool BGetFreeDiskSpace(const char *pchPath, uint64 *pcubFree) override
    {
        if (!m_bOverrideFreeSpace)
            return Real().BGetFreeDiskSpace(pchPath, pcubFree);
        *pcubFree = m_cubFreeSpace;
        return true;
    }

    bool BCreateDirectory(const char *pchPath) override
    {
        return !BFails("mkdir", pchPath) && Real().BCreateDirectory(pchPath);
    }
    bool BCreateDirectoryHierarchy(const char *pchPath) override
    {
        return !BFails("mkdir-p", pchPath) && Real().BCreateDirectoryHierarchy(pchPath);
    }
    bool BRemoveDirectory(const char *pchPath) override
    {
        return !BFails("rmdir", pchPath) && Real().BRemoveDirectory(pchPath);
    }
    bool BRenameReplace(const char *pchFrom, const char *pchTo) override
    {
        return !BFails("rename", pchFrom) && Real().BRenameReplace(pchFrom, pchTo);
    }
    bool BDeleteFile(const char *pchPath) override
    {
        if (BFails("delete", pchPath))
            return false;
        std::string strPath = Normal(pchPath);
        {
            std::lock_guard<std::recursive_mutex> lock(m_lock.m_mutex);
            if (m_setStuck.count(strPath) || m_setReadOnly.count(strPath))
                return false;
        }
        return Real().BDeleteFile(pchPath);
    }
    bool BClearReadOnlyAndHidden(const char *pchPath) override
    {
        if (BFails("clear-attributes", pchPath))
            return false;
        {
            std::lock_guard<std::recursive_mutex> lock(m_lock.m_mutex);
            m_setReadOnly.erase(Normal(pchPath));
        }
        return Real().BClearReadOnlyAndHidden(pchPath);
    }
    bool BCopyFile(const char *pchFrom, const char *pchTo) override
    {
        return !BFails("copy", pchFrom) && Real().BCopyFile(pchFrom, pchTo);
    }
    bool BSetOwnerFrom(const char *pchPath, const char *pchReference) override
    {
        return !BFails("chown", pchPath) && Real().BSetOwnerFrom(pchPath, pchReference);
    }
    bool BSetPermissionBits(const char *pchPath, uint32 unMode) override
    {
        return !BFails("chmod", pchPath) && Real().BSetPermissionBits(pchPath, unMode);
    }
    bool BListDirectory(const char *pchDir, const char *pchWildcard,
                        std::vector<PlatDirEntry_t> *pvecEntries) override
    {
        if (BFails("list", pchDir))
            return false;
        size_t cBefore = pvecEntries->size();
        bool bOk = Real().BListDirectory(pchDir, pchWildcard, pvecEntries);
        if (m_bSortListings)
        {
            std::sort(pvecEntries->begin() + (ptrdiff_t)cBefore, pvecEntries->end(),
                      [](const PlatDirEntry_t &a, const PlatDirEntry_t &b)
                      { return a.m_strName < b.m_strName; });
        }
        return bOk;
    }
    bool BReadWholeFile(const char *pchPath, InstallFileData_t *pData) override
    {
        return !BFails("read", pchPath) && Real().BReadWholeFile(pchPath, pData);
    }
    std::unique_ptr<IInstallFileWriter> OpenForWrite(const char *pchPath, bool bText) override
    {
        if (BFails("open-write", pchPath))
            return nullptr;
        std::unique_ptr<IInstallFileWriter> pReal = Real().OpenForWrite(pchPath, bText);
        if (!pReal)
            return nullptr;
        return std::unique_ptr<IInstallFileWriter>(new CWriter(this, std::move(pReal), Normal(pchPath)));
    }
    std::unique_ptr<IInstallFileWriter> OpenForAppend(const char *pchPath) override
    {
        if (BFails("open-write", pchPath))
            return nullptr;
        std::unique_ptr<IInstallFileWriter> pReal = Real().OpenForAppend(pchPath);
        if (!pReal)
            return nullptr;
        return std::unique_ptr<IInstallFileWriter>(new CWriter(this, std::move(pReal), Normal(pchPath)));
    }

    EPlatFileLock TryLockFile(CPlatFileLock *pLock, const char *pchPath) override
    {
        return m_bNoLocks ? k_EPlatFileLockFailed : Real().TryLockFile(pLock, pchPath);
    }

private:
    class CWriter : public IInstallFileWriter
    {
    public:
        CWriter(CFaultyFileOps *pOps, std::unique_ptr<IInstallFileWriter> pReal, const std::string &strPath)
            : m_pOps(pOps), m_pReal(std::move(pReal)), m_strPath(strPath)
        {
        }
        bool BWrite(const void *pubData, size_t cubData) override
        {
            return !m_pOps->BFails("write", m_strPath.c_str()) && m_pReal->BWrite(pubData, cubData);
        }
        bool BClose() override
        {
            bool bFail = m_pOps->BFails("close", m_strPath.c_str());
            return m_pReal->BClose() && !bFail;
        }

    private:
        CFaultyFileOps *m_pOps;
        std::unique_ptr<IInstallFileWriter> m_pReal;
        std::string m_strPath;
    };

    static IInstallFileOps &Real() { return PlatformInstallFileOps(); }
};

// The file operations of the installation, behind one small interface, so that tests can
// make any single operation fail (a full disk, a locked file, a rename refused) and check
// that the install directory is still whole.
//
// CPlatformInstallFileOps is the real thing: each call is one call of the platform layer
// (foundation/platform/file.h, fileaccess.h) with its path rules. The compound operations
// (delete with the attribute retry, delete a tree, read a whole file) are free functions
// over the interface, so that a test's fault reaches them step by step as well.
//
// Threads: the platform implementation is stateless and may be used from any thread; a
// test's fake belongs to the test's thread.
#pragma once

#include "foundation/basetypes.h"
#include "foundation/platform/file.h"
#include "foundation/platform/filelock.h"

#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

// A file being written. Owned by whoever opened it; destroying it without BClose closes
// the file and reports nothing.
class IInstallFileWriter
{
public:
    virtual ~IInstallFileWriter() {}
    virtual bool BWrite(const void *pubData, size_t cubData) = 0;
    // Closes the file; false when anything written did not reach it.
    virtual bool BClose() = 0;
};

// A whole file in memory, one allocation of its exact size (archives are large: no
// zero-filling, no growth).
struct InstallFileData_t
{
    std::unique_ptr<uint8[]> m_pubData;
    size_t m_cubData = 0;
};

class IInstallFileOps
{
public:
    virtual ~IInstallFileOps() {}

    // Queries: they change nothing and have no failure of their own.
    virtual bool BFileExists(const char *pchPath) = 0; // a file or a directory
    virtual bool BIsDirectory(const char *pchPath) = 0;
    // A symbolic link or reparse point, not followed.
    virtual bool BIsLink(const char *pchPath) = 0;
    // Bytes of a regular file, -1 when it does not exist or cannot be queried.
    virtual int64 GetFileSize(const char *pchPath) = 0;
    // Seconds since 1970, 0 when unknown.
    virtual int64 GetFileWriteTime(const char *pchPath) = 0;
    // Existence, type and size in one look (PLAT_GetFileInfo); false when not there.
    virtual bool BGetFileInfo(const char *pchPath, PlatFileInfo_t *pInfo) = 0;
    // Bytes available to the user on the volume of the path; false when unknown.
    virtual bool BGetFreeDiskSpace(const char *pchPath, uint64 *pcubFree) = 0;

    // Operations that can fail. A failure leaves its reason in errno (ENOSPC, EACCES, ...),
    // on every platform.
    // One level; an existing directory counts as success.
    virtual bool BCreateDirectory(const char *pchPath) = 0;
    // With all missing parents.
    virtual bool BCreateDirectoryHierarchy(const char *pchPath) = 0;
    // An empty directory.
    virtual bool BRemoveDirectory(const char *pchPath) = 0;
    // Replaces an existing target file.
    virtual bool BRenameReplace(const char *pchFrom, const char *pchTo) = 0;
    // One attempt; see BDeleteFileWithRetry.
    virtual bool BDeleteFile(const char *pchPath) = 0;
    virtual bool BClearReadOnlyAndHidden(const char *pchPath) = 0;
    // Over an existing target; a failed copy leaves no target.
    virtual bool BCopyFile(const char *pchFrom, const char *pchTo) = 0;
    // The owner of pchReference becomes the owner of pchPath.
    virtual bool BSetOwnerFrom(const char *pchPath, const char *pchReference) = 0;
    // POSIX permission bits (nothing on Windows).
    virtual bool BSetPermissionBits(const char *pchPath, uint32 unMode) = 0;
    // Entries matching the wildcard ("." and ".." skipped) appended to the vector.
    virtual bool BListDirectory(const char *pchDir, const char *pchWildcard,
                                std::vector<PlatDirEntry_t> *pvecEntries) = 0;
    // Reads a whole regular file; false (and the data empty) when it cannot be opened, its
    // size changes under the read, or a read fails.
    virtual bool BReadWholeFile(const char *pchPath, InstallFileData_t *pData) = 0;
    // Creates or truncates the file: text mode ("w+", line ends translated on Windows) or
    // binary. Null when it cannot be opened.
    virtual std::unique_ptr<IInstallFileWriter> OpenForWrite(const char *pchPath, bool bText) = 0;
    // Opens a binary file for writing at its end (created when missing). Null when it
    // cannot be opened.
    virtual std::unique_ptr<IInstallFileWriter> OpenForAppend(const char *pchPath) = 0;
    // pLock->TryLock (tests play file systems without locks).
    virtual EPlatFileLock TryLockFile(CPlatFileLock *pLock, const char *pchPath) = 0;
};

// The platform's implementation (one per process).
IInstallFileOps &PlatformInstallFileOps();

// Deletes a file; when that fails and the file is still there, clears its read-only and
// hidden attributes and tries once more.
bool BDeleteFileWithRetry(IInstallFileOps &ops, const char *pchPath);

// Deletes a directory with everything in it: files as BDeleteFileWithRetry does, then
// subdirectories the same way, then the directory itself after its attributes are cleared.
// A link inside is removed as a link; what it points to is left alone. Goes on after a
// failure and reports whether everything went. A path that does not exist is already gone.
bool BDeleteDirectoryTree(IInstallFileOps &ops, const char *pchPath);

// Writes a whole buffer as a new file; a file that could not be written completely is
// deleted again, so a half-written file never stays under the name.
bool BWriteWholeFile(IInstallFileOps &ops, const char *pchPath, const void *pubData, size_t cubData,
                     bool bText);

// Remembers which directories exist, so that a long list of files under a missing one does
// not look each of them up (on POSIX a name that is not there costs a scan of its
// directory, for the letter case). For one pass over a list; the directories must not
// change meanwhile.
class CDirectoryPresence
{
public:
    explicit CDirectoryPresence(IInstallFileOps &ops) : m_Ops(ops) {}
    // False when the directory part of the path (either separator) is known not to be a
    // directory; true for a path without one.
    bool BParentExists(const std::string &strPath);
    // False when the path is known not to exist: its directory is not there, or has no
    // entry of its name (in any letter case; each directory is listed once).
    bool BMayExist(const std::string &strPath);

private:
    static std::string Key(const std::string &strPath);
    IInstallFileOps &m_Ops;
    std::unordered_map<std::string, bool> m_mapDirectories;
    std::unordered_map<std::string, std::unordered_set<std::string>> m_mapListings;
};

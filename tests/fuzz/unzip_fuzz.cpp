// libFuzzer target for unpacking a package: any bytes, taken as an archive held in memory,
// are unpacked into the temporary folder "package/tmp" as an installation does. Whatever
// the archive names, nothing may be created, written, renamed or deleted outside that
// folder (every file operation is checked before it reaches the disk, and the whole
// temporary tree of the target is walked afterwards), an archive refused for an item's name
// has written nothing, and every file the unpacking reports is there.
#include "fuzzsupport.h"

#include "ferroexe/ferroupdater_fileops.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace
{
const char k_szTempDir[] = "package\\tmp";
// Bytes all items of one archive may write: a small archive may inflate to gigabytes, and
// the fuzzer has no use for them.
const size_t k_cubWriteBudget = 4 * 1024 * 1024;

// The path's components with "." dropped and ".." applied; false when it is absolute, names
// a drive or climbs above its start.
bool BNormalPath(const char *pchPath, std::vector<std::string> *pvecParts)
{
    std::string strPath = pchPath ? pchPath : "";
    if (strPath.empty() || strPath[0] == '/' || strPath[0] == '\\' || strPath.find(':') != std::string::npos)
        return false;
    size_t iStart = 0;
    while (iStart <= strPath.size())
    {
        size_t iEnd = strPath.find_first_of("/\\", iStart);
        if (iEnd == std::string::npos)
            iEnd = strPath.size();
        std::string strPart = strPath.substr(iStart, iEnd - iStart);
        if (strPart == "..")
        {
            if (pvecParts->empty())
                return false;
            pvecParts->pop_back();
        }
        else if (!strPart.empty() && strPart != ".")
            pvecParts->push_back(strPart);
        iStart = iEnd + 1;
    }
    return true;
}

// Whether a path that is about to be changed lies in the temporary folder (or is it).
void CheckInsideTempDir(const char *pchOp, const char *pchPath)
{
    std::vector<std::string> vecParts;
    if (!BNormalPath(pchPath, &vecParts) || vecParts.size() < 2 || vecParts[0] != "package" ||
        vecParts[1] != "tmp")
        FuzzFailure("%s outside the temporary folder: %s", pchOp, pchPath ? pchPath : "(null)");
}

// Counts what is written against the budget; past it, writes fail as on a full disk.
class CBudgetWriter : public IInstallFileWriter
{
public:
    CBudgetWriter(std::unique_ptr<IInstallFileWriter> pReal, size_t *pcubLeft)
        : m_pReal(std::move(pReal)), m_pcubLeft(pcubLeft)
    {
    }
    bool BWrite(const void *pubData, size_t cubData) override
    {
        if (cubData > *m_pcubLeft)
            return false;
        *m_pcubLeft -= cubData;
        return m_pReal->BWrite(pubData, cubData);
    }
    bool BClose() override { return m_pReal->BClose(); }

private:
    std::unique_ptr<IInstallFileWriter> m_pReal;
    size_t *m_pcubLeft;
};

// The platform's file operations, each change checked first.
class CGuardedFileOps : public IInstallFileOps
{
public:
    size_t m_cubWriteLeft = k_cubWriteBudget;

    bool BFileExists(const char *pchPath) override { return Real().BFileExists(pchPath); }
    bool BIsDirectory(const char *pchPath) override { return Real().BIsDirectory(pchPath); }
    bool BIsLink(const char *pchPath) override { return Real().BIsLink(pchPath); }
    int64 GetFileSize(const char *pchPath) override { return Real().GetFileSize(pchPath); }
    int64 GetFileWriteTime(const char *pchPath) override { return Real().GetFileWriteTime(pchPath); }
    bool BGetFileInfo(const char *pchPath, PlatFileInfo_t *pInfo) override
    {
        return Real().BGetFileInfo(pchPath, pInfo);
    }
    bool BGetFreeDiskSpace(const char *pchPath, uint64 *pcubFree) override
    {
        return Real().BGetFreeDiskSpace(pchPath, pcubFree);
    }
    bool BCreateDirectory(const char *pchPath) override
    {
        // The temporary folder itself is made inside "package".
        std::vector<std::string> vecParts;
        if (!(BNormalPath(pchPath, &vecParts) && vecParts.size() == 2 && vecParts[0] == "package"))
            CheckInsideTempDir("create directory", pchPath);
        return Real().BCreateDirectory(pchPath);
    }
    bool BCreateDirectoryHierarchy(const char *pchPath) override
    {
        CheckInsideTempDir("create directories", pchPath);
        return Real().BCreateDirectoryHierarchy(pchPath);
    }
    bool BRemoveDirectory(const char *pchPath) override
    {
        CheckInsideTempDir("remove directory", pchPath);
        return Real().BRemoveDirectory(pchPath);
    }
    bool BRenameReplace(const char *pchFrom, const char *pchTo) override
    {
        CheckInsideTempDir("rename from", pchFrom);
        CheckInsideTempDir("rename to", pchTo);
        return Real().BRenameReplace(pchFrom, pchTo);
    }
    bool BDeleteFile(const char *pchPath) override
    {
        CheckInsideTempDir("delete", pchPath);
        return Real().BDeleteFile(pchPath);
    }
    bool BClearReadOnlyAndHidden(const char *pchPath) override
    {
        CheckInsideTempDir("clear attributes", pchPath);
        return Real().BClearReadOnlyAndHidden(pchPath);
    }
    bool BCopyFile(const char *pchFrom, const char *pchTo) override
    {
        CheckInsideTempDir("copy to", pchTo);
        return Real().BCopyFile(pchFrom, pchTo);
    }
    bool BSetOwnerFrom(const char *pchPath, const char *pchReference) override
    {
        CheckInsideTempDir("set owner", pchPath);
        return Real().BSetOwnerFrom(pchPath, pchReference);
    }
    bool BSetPermissionBits(const char *pchPath, uint32 unMode) override
    {
        CheckInsideTempDir("set permissions", pchPath);
        if (unMode & ~0777u)
            FuzzFailure("permission bits %o beyond rwx for %s", (unsigned)unMode, pchPath);
        return Real().BSetPermissionBits(pchPath, unMode);
    }
    bool BListDirectory(const char *pchDir, const char *pchWildcard,
                        std::vector<PlatDirEntry_t> *pvecEntries) override
    {
        return Real().BListDirectory(pchDir, pchWildcard, pvecEntries);
    }
    bool BReadWholeFile(const char *pchPath, InstallFileData_t *pData) override
    {
        return Real().BReadWholeFile(pchPath, pData);
    }
    std::unique_ptr<IInstallFileWriter> OpenForWrite(const char *pchPath, bool bText) override
    {
        CheckInsideTempDir("write", pchPath);
        std::unique_ptr<IInstallFileWriter> pReal = Real().OpenForWrite(pchPath, bText);
        if (!pReal)
            return nullptr;
        return std::unique_ptr<IInstallFileWriter>(new CBudgetWriter(std::move(pReal), &m_cubWriteLeft));
    }
    std::unique_ptr<IInstallFileWriter> OpenForAppend(const char *pchPath) override
    {
        // Unpacking only writes new files: an append is as much a write as any.
        CheckInsideTempDir("append", pchPath);
        std::unique_ptr<IInstallFileWriter> pReal = Real().OpenForAppend(pchPath);
        if (!pReal)
            return nullptr;
        return std::unique_ptr<IInstallFileWriter>(new CBudgetWriter(std::move(pReal), &m_cubWriteLeft));
    }
    EPlatFileLock TryLockFile(CPlatFileLock *pLock, const char *pchPath) override
    {
        return Real().TryLockFile(pLock, pchPath);
    }

private:
    static IInstallFileOps &Real() { return PlatformInstallFileOps(); }
};

// Whether the path is the folder or lies in it.
bool BIsUnder(const std::filesystem::path &path, const std::filesystem::path &dir)
{
    // By components: an item named "..x" lies inside.
    const std::filesystem::path relative = path.lexically_relative(dir);
    return !relative.empty() && *relative.begin() != "..";
}

// Everything under the fuzzing folder that is not the install directory's "package/tmp"
// tree, the folders leading to it or the updater's own: anything else was written outside.
void CheckNothingOutside(const std::filesystem::path &root)
{
    std::error_code ec;
    const std::filesystem::path install = root / "install";
    for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    {
        const std::filesystem::path &path = it->path();
        if (it->is_symlink())
            FuzzFailure("a link was made: %s", path.c_str());
        if (!BIsUnder(path, install / "package" / "tmp") && path != install && path != install / "package" &&
            !BIsUnder(path, install / "logs") && !BIsUnder(path, root / "registry"))
            FuzzFailure("written outside the temporary folder: %s", path.c_str());
    }
}

bool BIsTempDirEmpty()
{
    std::error_code ec;
    std::filesystem::directory_iterator it("package/tmp", ec);
    return ec || it == std::filesystem::directory_iterator();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pubData, size_t cubData)
{
    CFerroUpdater &updater = FuzzUpdater();
    if (cubData > 1 << 20)
        return 0;
    CGuardedFileOps ops;
    updater.SetFileOps(&ops);
    updater.m_strLastError.Clear();

    CUtlVector<CUtlString> vecOld, vecNew;
    vecOld.AddToTail(CUtlString("old.dll"));
    ExtractedFiles_t extracted;
    const bool bOk = updater.BUnzipPackage(pubData, cubData, k_szTempDir, vecOld, vecNew, "fuzz", &extracted);
    updater.SetFileOps(nullptr);

    CheckNothingOutside(FuzzRootDir());
    if (!bOk && updater.GetLastErrorText().StdString().compare(0, 12, "Archive item") == 0 &&
        !BIsTempDirEmpty())
        FuzzFailure("an archive refused for a name wrote: %s", updater.GetLastErrorText().Get());
    if (bOk)
    {
        for (const auto &entry : extracted)
        {
            const std::string strPath = "package/tmp/" + entry.first;
            if (!PlatformInstallFileOps().BFileExists(strPath.c_str()))
                FuzzFailure("unpacked %s is missing", strPath.c_str());
        }
    }
    std::error_code ec;
    std::filesystem::remove_all("package/tmp", ec);
    return 0;
}

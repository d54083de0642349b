// CFerroUpdater: the one object that owns the update machinery of the process: its
// configuration (universe, download location, ferro.cfg switches, offline mode, client
// beta), the HTTP client it is given, the bootstrap log, the bookkeeping of the package
// directory (manifests, installed file list) and a thread of its own.
//
// Files: ferroupdater.cpp (construction, lifecycle, the process-wide instance),
// ferroupdater_config.cpp (ferro.cfg, universes, beta, directories),
// ferroupdater_manifest.cpp (manifests, installed version, installed-file verification),
// ferroupdater_status.cpp (status line, errors, localized texts, free space),
// ferroupdater_pending.cpp (package paths, what is missing, the pending update, the import
// from another directory), ferroupdater_install.cpp (installation, commit, rollback,
// cleanup), ferroupdater_unpack.cpp (the packages unpacked on threads, and while they
// download), ferroupdater_unzip.cpp (unpacking an archive), ferroupdater_fileops.h (the file
// operations of the installation), ferroupdater_backups.cpp (the journal of a commit's
// backups, leftovers of interrupted work), ferroupdater_verify.cpp (the content check and
// the repair), ferroupdater_lock.cpp (one updater per installation),
// ferroupdater_check.cpp (the update check and the downloads), ferroupdater_trust.cpp (a
// manifest's channel, expiry and age, an archive's SHA-256), ferroupdater_thread.cpp (the
// thread body, the background loop, shutdown).
//
// Threads. The main thread constructs the updater, initialises it, starts its thread and
// reads the outcome flags between passes of its loop; the updater thread runs Run; the
// client's threads call the exports, which read the flags, the counters and the beta.
// Flags written by one thread and read by others are atomics; the 64-bit counters are
// atomics; the beta name and the package directory are changed and read under m_Mutex
// (use GetClientBeta and GetPackageDir from other threads). The universe, the ferro.cfg
// switches and the install directories are fixed before the thread starts.
#pragma once

#include "crypto/manifestbinding.h"
#include "ferroexe/bootstraplog.h"
#include "ferroexe/downloadsettings.h"
#include "ferroexe/installedfilelist.h"
#include "ferroexe/updatestatusui.h"
#include "foundation/basetypes.h"
#include "foundation/platform/filelock.h"
#include "foundation/thread.h"
#include "foundation/threadtools.h"
#include "foundation/utlstring.h"
#include "foundation/utlvector.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

class CHTTPClient;
class CHTTPRequestHandle;
struct PackageTransfer_t;
class CUtlBuffer;
class CUnzipArchive;
struct UnpackRun_t;
// Ends an unpacking (its threads) where its parts are known.
struct UnpackRunDeleter_t
{
    void operator()(UnpackRun_t *pRun) const;
};
typedef std::unique_ptr<UnpackRun_t, UnpackRunDeleter_t> UnpackRunPtr;
class IInstallFileOps;
struct InstallFileData_t;
class KeyValues;

// What a finished attempt of a package download leads to.
enum EPackageAttempt
{
    k_EPackageAttemptKept,  // the archive is in place under its own name
    k_EPackageAttemptRetry, // another attempt follows (after the transfer's pause)
    k_EPackageAttemptFail,  // the check fails (the error is set)
};

// The content service a launcher belongs to.
enum EUniverse : int32
{
    k_EUniverseInvalid = 0,
    k_EUniversePublic = 1,
    k_EUniverseBeta = 2,
    k_EUniverseInternal = 3,
    k_EUniverseDev = 4,
};

// Where a universe's manifest and packages come from. An empty string is an absent field;
// a location is usable only when all three are present.
struct DownloadLocation_t
{
    EUniverse m_eUniverse = k_EUniverseInvalid;
    CUtlString m_strManifestHost;
    CUtlString m_strPackageHost;
    CUtlString m_strURLPath;

    bool BIsUsable() const
    {
        return !m_strManifestHost.IsEmpty() && !m_strPackageHost.IsEmpty() && !m_strURLPath.IsEmpty();
    }
};

// A copy of the first row of the process-wide location table for the universe; all fields
// absent when no row has it. Any thread.
DownloadLocation_t GetDownloadLocation(EUniverse eUniverse);
// Replaces both hosts of the universe's row (the ClientDownloadHost override); false, and
// nothing changed, when no row has that universe.
bool SetDownloadLocationHosts(EUniverse eUniverse, const char *pchHost);
// Puts the built-in rows back (tests; a configuration read anew).
void ResetDownloadLocations();

// The universe a configuration line names: a "Universe" line by its word, or the older
// "GeneralDirectoryServer_FindServerIPAddrPorts" line by the directory server address it
// holds; k_EUniverseInvalid for anything else.
EUniverse ParseUniverseLine(const char *pchLine);

// A client beta name as it may appear in file and URL paths: ASCII letters, digits and "_"
// only; every other byte is dropped.
CUtlString FilterClientBetaName(const char *pchName);

// The case test of a directory: from iStart to the end, capitals become small letters and
// everything else becomes a capital (ASCII only).
void InvertCaseFrom(std::string *pstrName, size_t iStart);

// The text of a localization token (the fallback when the language files have none), with
// the parameters the text names; the fallback is used as it is, so format it first. A copy:
// the lookup's own buffer is reused by the thread's next lookup.
CUtlString LocalizeUpdaterText(const char *pchToken, const char *pchFallback, KeyValues *pParams = nullptr);

// "<dir>/<name>" with every slash turned into a backslash.
CUtlString JoinPath(const char *pchDir, const char *pchName);
// The path with every slash turned into a backslash.
std::string BackslashPath(std::string str);

// The launcher's folder in the install directory: manifests, archives, the beta file.
constexpr char k_szPackageFolder[] = "package";
// The launcher's own file: left out of a commit while its checksum is inhibited (it may be
// the running launcher).
constexpr char k_szLauncherFileName[] = "ferro.exe";

// A whole number with its digits grouped by threes, with the separator of the user's
// language ("#FerroBootstrapper_ThousandsSeparator", "," in English): 33,565 or 33.565.
CUtlString FormatLocalizedNumber(int64 nValue);

// Why writing pchPath (a file, or a folder being created) failed, in words a player can act
// on: a full disk, no permission to write, a file where a folder belongs. Empty for an
// error number that says none of these.
CUtlString DescribeWriteFailure(const char *pchPath, int nErrno);
// Whether a path read from a file (a list, a journal) stays inside the install directory:
// relative, no drive or colon, no ".." component.
bool BIsInsideInstallDir(const char *pchPath);
// The keys (InstalledFileKey) of the files (not directories) of a list's lines.
std::unordered_set<std::string> ListedFileKeys(const std::vector<InstalledFile_t> &vecEntries);

// The least free space (bytes) an update check or an installation needs on the working
// directory's volume; at or below it they fail.
const uint64 k_cubMinFreeDiskSpace = 104857600;

// What unpacking learnt of each file: the SHA-256 of its bytes as they were extracted and
// the package that holds it, by InstalledFileKey.
struct ExtractedFile_t
{
    std::string m_strSHA256;
    std::string m_strPackage;
};
typedef std::unordered_map<std::string, ExtractedFile_t> ExtractedFiles_t;

// The packages of a pending update that an installation leaves as they are installed (by
// manifest name), and the installed list's lines of them, carried into the new list.
struct KeptPackages_t
{
    std::unordered_set<std::string> m_setNames;
    std::vector<InstalledFile_t> m_vecEntries;
};

// Item names (lower case) of an archive, as unpacking met them, joined to the lists of an
// installation: each appended to the new files once, where it came first, and every file
// the new build ships taken out of the old files.
void JoinUnpackedNames(const std::vector<std::string> &vecNames, CUtlVector<CUtlString> &vecOldFiles,
                       CUtlVector<CUtlString> &vecNewFiles);

// What one commit did to the install directory, in order, so that a failure undoes exactly
// that: the files it moved aside (and put its own in their place), the files it added where
// there were none, the directories it created.
struct CommitStep_t
{
    enum EKind
    {
        k_EBackup,
        k_EAddedFile,
        k_ECreatedDirectory,
    };
    EKind m_eKind;
    std::string m_strTarget;
    std::string m_strBackup; // k_EBackup: where the replaced file or directory went
};

struct CommitRecord_t
{
    std::vector<CommitStep_t> m_vecSteps;
    // Keys (InstalledFileKey) of the files the installed list names: a directory that stands
    // where one of them belongs has replaced our file and is moved aside like a file. Any
    // other directory in the way of a file is not ours and stops the commit.
    const std::unordered_set<std::string> *m_pListedFiles = nullptr;
};

class CFerroUpdater : public CThread
{
public:
    // Resets every field, reads ferro.cfg, opens the bootstrap log ("Startup"), reads the
    // beta file, takes the install directory and reads the installed version.
    CFerroUpdater();
    // Stops and waits for the thread, deletes the HTTP client, closes the log.
    ~CFerroUpdater() override;
    CFerroUpdater(const CFerroUpdater &) = delete;
    CFerroUpdater &operator=(const CFerroUpdater &) = delete;

    // ---- thread and lifecycle (ferroupdater.cpp, ferroupdater_thread.cpp) ----
    // The thread body: the start-up update, then BackgroundUpdateLoop.
    int Run() override;
    void SetUpdateStatusUI(IUpdateStatusUI *pUI) { m_pUpdateStatusUI = pUI; }
    // Main thread. Logs "Shutdown", asks the thread to stop and wakes it, waits for it (at
    // most k_msShutdownJoinTimeout of real time; a check in progress ends at once, as if
    // cancelled), then shuts the HTTP client down and deletes it. A thread that did not end
    // in time leaves the client (shut down) to the destructor.
    void RequestShutdown();
    // Signals m_WakeEvent and starts the thread if it does not run, unless updating is
    // inhibited and the launcher is offline, or the updater is shutting down.
    void WakeUp();
    // Checks at random intervals (or when woken) until shutdown; the thread's result.
    int BackgroundUpdateLoop();
    // Appends one formatted line to the bootstrap log.
    void Log(const char *pchFormat, ...) FERRO_PRINTF(2, 3);

    // ---- configuration (ferroupdater_config.cpp) ----
    void ReadConfigFile();
    void ReadBetaFile();
    // Takes over the HTTP client (false for null or a second one), decides on the start-up
    // check, offline mode and the command-line beta. Reads the process's raw command line.
    bool BInitialize(CHTTPClient *pHTTPClient, bool bForceUpdate, const char *pchClientBetaOverride);
    // The same with the command line text given.
    bool BInitializeWithCommandLine(CHTTPClient *pHTTPClient, bool bForceUpdate,
                                    const char *pchClientBetaOverride, const char *pchCommandLine);
    // A name selects that beta and stores it in the beta file; null (or a name with no
    // usable character) leaves the beta and deletes its bookkeeping. Then wakes the thread.
    void SetClientBeta(const char *pchBeta);
    // The current beta name ("" for none). Any thread.
    CUtlString GetClientBeta() const;
    // "<dir>/arvo_launcher_[<beta>_]<platform tag>" with slashes turned into backslashes,
    // cut to cubOut; the beta part only when bWithBeta and a beta is selected.
    void BuildPackageBasePath(char *pchOut, int cubOut, const char *pchDir, bool bWithBeta) const;
    // The installed manifest (".manifest") or file list (".installed") of the current beta:
    // BuildPackageBasePath of "<install dir>/package" with the suffix appended.
    void BuildInstalledFilePath(char *pchOut, int cubOut, const char *pchSuffix) const;
    // Fixes the package directory on first use. Any thread.
    void EnsurePackageDir();
    // EnsurePackageDir, then a copy of the package directory. Any thread.
    CUtlString GetPackageDir();
    // ".writable" can be created in the working directory and the install directory passes
    // BCheckDirectoryUsable.
    bool BIsInstallDirWritable();
    // The directory can be listed or written and ignores letter case; otherwise the
    // failure is logged, shown as a fatal error and m_bFatalError is raised.
    bool BCheckDirectoryUsable(const char *pchDir);
    bool BCheckUserDirectories();

    // ---- manifests and installed files (ferroupdater_manifest.cpp) ----
    // A new tree (caller deletes) from NUL-terminated manifest text, or null.
    KeyValues *LoadManifestFromBuffer(const char *pchText);
    // Writes the manifest key and its children, and after them its signature block (its
    // last peer, when that is one), to the file in one write; a failed write deletes the
    // file. Other top-level keys are not written.
    bool BSaveManifestFile(KeyValues *pManifest, const char *pchPath);
    // Whether a loaded manifest passes every check of the build's keys (manifestverify.h);
    // logs "Manifest <pchWhat> refused: <reason>" when not.
    bool BVerifyManifestTree(KeyValues *pManifest, const char *pchWhat);
    // The installed manifest's "version" becomes the bootstrapper version (0 without one).
    void ReadInstalledVersion();
    // Whether the install directory matches the installed file list of the current beta.
    // A missing list fails when bFailIfMissing.
    bool BVerifyInstalledFiles(bool bFailIfMissing);
    // Appends the path of every line of the list that holds a comma; returns how many.
    int ReadInstalledFileList(const char *pchPath, CUtlVector<CUtlString> &vecFiles);
    // The same with every field of those lines; with pcMalformed, the lines that are not
    // entries are counted there.
    int ReadInstalledFileEntries(const char *pchPath, std::vector<InstalledFile_t> *pvecEntries,
                                 int *pcMalformed = nullptr);
    // The launcher's own executable while its checksum is inhibited: left out of the
    // verification and the commit.
    bool BIsExemptLauncher(const char *pchPath) const;

    // ---- content verification and repair (ferroupdater_verify.cpp) ----
    // Re-hashes every file of the installed file list and compares size and SHA-256,
    // showing progress; logs each file that fails and why (missing, size, content, a
    // directory, no hash listed) and appends it to *pvecDamaged (a missing list or a
    // malformed line appends an entry with an empty path: the whole list is in doubt).
    // True when everything matches; false also when stopped (*pbStopped set).
    bool BVerifyInstalledContents(std::vector<InstalledFile_t> *pvecDamaged, bool *pbStopped);
    // Installs again the packages of the installed manifest that hold the damaged files,
    // downloading those archives (and only those) that are not here; everything else
    // stays as it is. False, with nothing changed, when the packages cannot be told (an
    // older list, a list in doubt) or their archives cannot be had: the caller reinstalls
    // the build.
    bool BRepairInstalledFiles(const std::vector<InstalledFile_t> &vecDamaged);
    // The next start-up (or the background loop, when the thread runs already) verifies
    // contents instead of sizes and repairs what differs. Any thread.
    void RequestContentVerification();

    // ---- one updater per installation (ferroupdater_lock.cpp) ----
    // Takes the installation's lock ("package/arvo_launcher.lock" of the install directory).
    // While another launcher holds it, waits (showing "Waiting for another launcher to
    // finish..." when bShowWaiting) up to k_msInstallLockWait on the installed clock. True
    // when this updater may write: the lock is held, or locks cannot be had here at all (a
    // log line says so). False after the wait, on Cancel and on shutdown.
    bool BLockInstallation(bool bShowWaiting);
    void UnlockInstallation();
    bool BHoldsInstallLock() const { return m_InstallLock.BIsLocked(); }

    // ---- leftovers (ferroupdater_backups.cpp) ----
    // What interrupted work left: the temporary folder, and the backups of a commit that
    // did not finish or could not be deleted (named by the journal). Under the lock.
    // A commit that was cut short leaves the next installations to unpack every package
    // (RequireFullInstall).
    void RemoveLeftoversOfInterruptedWork();

    // ---- status and errors (ferroupdater_status.cpp) ----
    // Logs the text when it differs from the last one, remembers it and shows it (when a UI
    // is set). The updater thread, or the main thread before that thread starts.
    void UpdateStatusText(const char *pchText);
    // UpdateStatusText with the localized text of a token (no parameters).
    void UpdateStatusLocalized(const char *pchToken, const char *pchFallback);
    // Logs "Error: <text>", keeps the text as the last error and raises m_bFatalError when
    // bFatal. Any thread.
    void SetUpdateError(const char *pchText, bool bFatal);
    // A copy of the last error text. Any thread.
    CUtlString GetLastErrorText() const;
    // Logs "Cause: <text>" and keeps the text as what made the current step fail, for the
    // fatal error that may follow. Any thread.
    void SetFailureCause(const char *pchText);
    // What caused the fatal error (empty when nothing more is known than its text): shown
    // before the fatal error's text. Any thread.
    CUtlString GetFatalCause() const;
    // Whether the working directory's volume has more than k_cubMinFreeDiskSpace free; if
    // not, the localized "#FerroBootstrapper_InsufficientDiskSpace" becomes the last error.
    bool BHasFreeDiskSpaceForUpdate();

    // ---- packages and the pending update (ferroupdater_pending.cpp) ----
    // Appends "<package dir>/<file>" (backslashes) for every package of the manifest, in
    // order; returns how many. Any thread.
    int GetPackagePaths(KeyValues *pManifest, CUtlVector<CUtlString> &vecPaths);
    // Appends the URL path of every archive of the manifest that is neither in the package
    // directory nor in "<install dir>/package" with its manifest size, and adds those sizes
    // to *pcubTotal; returns the number of entries appended. Any thread.
    int BuildDownloadList(const DownloadLocation_t &location, KeyValues *pManifest,
                          CUtlVector<CUtlString> &vecDownloads, uint64 *pcubTotal);
    // A pending manifest whose archives are all present, in the package directory or in
    // "<install dir>/package". Any thread (never changes the package directory).
    bool BIsUpdatePending();
    // Copies a newer pending update (manifest and archives) from another directory into
    // "<install dir>/package", owned like the install directory. Main thread, elevated run.
    bool BInstallUpdateFromDirectory(const char *pchSourceDir);
    // Deletes that update's manifest and archives from the other directory.
    bool BRemoveUpdateFromDirectory(const char *pchSourceDir);
    // The pending manifests (of the package directory and of "<install dir>/package") that
    // exist and do not verify are deleted; true when one was. Updater thread.
    bool BDiscardRefusedPendingManifests();

    // ---- installation (ferroupdater_install.cpp, ferroupdater_unzip.cpp) ----
    // Installs the pending update: checks and unpacks every archive into "package/tmp"
    // (but those of packages installed as they are: SelectKeptPackages),
    // moves the files into place keeping ".old" backups (moved back on failure), cleans up
    // and records the installed file list and manifest. Updater thread.
    bool BApplyUpdate();
    // BApplyUpdate's phases: the pending manifest (null with the error set; one that is
    // there and refused is deleted), and after the commit the installed file list and
    // manifest written (false with the error set when the list cannot be).
    KeyValues *LoadPendingManifestToInstall(const char *pchPendingManifest);
    bool BRecordInstalledBuild(KeyValues *pManifest, const char *pchInstalledList,
                               const std::vector<InstalledFile_t> &vecKept,
                               const CUtlVector<CUtlString> &vecNewFiles, const ExtractedFiles_t &extracted);

    // ---- incremental installation (ferroupdater_incremental.cpp) ----
    // The packages of pManifest (the pending one) that need no unpacking: the installed
    // manifest names the same archive (file and size) and every file the installed list
    // (vecListed, which had cMalformed lines that are no entries) gives the package is there
    // with its listed size. None when the installed state is in any doubt.
    KeptPackages_t SelectKeptPackages(KeyValues *pManifest, const std::vector<InstalledFile_t> &vecListed,
                                      int cMalformed);
    // Why every package must be unpacked whatever the installed manifest says; empty when
    // nothing stands against keeping packages.
    std::string FullInstallReason(const std::vector<InstalledFile_t> &vecListed, int cMalformed);
    // Whether every line of a package names what is there: a directory, or a file of the
    // listed size (one look each), in lines a full installation writes alike.
    bool BPackageFilesIntact(const std::vector<const InstalledFile_t *> &vecEntries);
    // The files of the install directory may be of neither build (a commit was cut short):
    // installations unpack every package until one has completed. Kept in a marker file
    // in the package folder, so that a run killed before its installation passes it on.
    void RequireFullInstall();
    CUtlString FullInstallMarkerPath() const;
    // The package paths (in pchPackageDir) and names of pManifest, in order, without the
    // kept ones: what an installation unpacks.
    void GetPackagesToUnpack(KeyValues *pManifest, const char *pchPackageDir,
                             const std::unordered_set<std::string> &setKept, CUtlVector<CUtlString> &vecPaths,
                             std::vector<std::string> *pvecNames);
    // Unpacks an archive held in memory into the temporary folder: every item name (lower
    // case) is appended to vecNewFiles once and taken out of vecOldFiles. Refuses an archive
    // with an item that would land outside the folder or in the launcher's own folders
    // ("package", "logs"), before writing anything. With pExtracted, each item's SHA-256
    // (of the bytes as they are written) and the package name are recorded there.
    bool BUnzipPackage(const void *pubData, size_t cubData, const char *pchTempDir,
                       CUtlVector<CUtlString> &vecOldFiles, CUtlVector<CUtlString> &vecNewFiles,
                       const char *pchPackageName = nullptr, ExtractedFiles_t *pExtracted = nullptr);
    // BUnzipPackage's work on an opened archive: false with the reason in *pstrError, or
    // with none after a cancel.
    bool BUnzipOpenedPackage(const CUnzipArchive &archive, const char *pchTempDir,
                             CUtlVector<CUtlString> &vecOldFiles, CUtlVector<CUtlString> &vecNewFiles,
                             const char *pchPackageName, ExtractedFiles_t *pExtracted, CUtlString *pstrError);
    // The temporary folder (lower case) is there or made; false with the reason.
    bool BMakeUnpackFolder(const char *pchTempDir, CUtlString *pstrError);
    // Moves everything under pchSourceRoot/pchRelativeDir to pchRelativeDir (relative to the
    // working directory), renaming each replaced file to "<name>.old" first; every step is
    // recorded in order.
    bool BCommitUpdatedFiles(const char *pchSourceRoot, const char *pchRelativeDir, CommitRecord_t &record);
    // BCommitUpdatedFiles of one directory (created when it is not there; a file in its
    // place stops the commit) and of one file (moved aside when something stands there).
    bool BCommitUpdatedDirectory(const char *pchSourceRoot, const std::string &strTarget,
                                 CommitRecord_t &record);
    bool BCommitUpdatedFile(const std::string &strSource, const std::string &strTarget,
                            CommitRecord_t &record);
    // Undoes the commit's steps in reverse order: the files it added are deleted, each
    // backup is renamed back over what replaced it, the directories it created are removed.
    // Steps that cannot be undone stay in the record (and their backups in the journal).
    void RollbackUpdatedFiles(CommitRecord_t &record);
    // Deletes the backups (directories as trees); true when all went. Those that stay are
    // left in the record. The backup of the running launcher may stay (Windows keeps a
    // running program): RemoveOldExecutable.
    bool BDeleteBackupFiles(CommitRecord_t &record);
    // Deletes "<launcher>.old" that an update left because the launcher was running then.
    // Updater thread, at the start of a run; quiet (a log line) when it is still in use.
    void RemoveOldExecutable();
    // Deletes the archives of the package folder that neither the manifest nor (on a beta)
    // the installed manifest without beta names. Always true.
    bool BCleanupPackageDir(KeyValues *pManifest, const char *pchPackageDir);

    // The file operations of the configuration, the package bookkeeping and the
    // installation; null puts the platform's back. Tests set a fake before they start the
    // work (ferro.cfg and the beta file are read by the constructor, through the platform's).
    void SetFileOps(IInstallFileOps *pFileOps);

    // ---- beyond the signature (ferroupdater_trust.cpp) ----
    // Whether a verified manifest fetched for the beta pchBeta may be used: it is for this
    // platform and that beta, has not expired, and is not older than the installed manifest
    // (crypto/manifestbinding.h). A refusal is logged as "Manifest <pchWhat> refused: why".
    bool BAcceptManifest(KeyValues *pManifest, const char *pchBeta, const char *pchWhat);
    // Whether an archive's bytes match its package: the SHA-1 its file name (the last part of
    // pchPath) carries and the block's "sha256" where there is one (or where the build
    // requires one). pPackage may be null (no "sha256" known). A SHA-256 refusal is logged
    // with the package's name.
    bool BCheckPackageArchive(KeyValues *pPackage, const char *pchPath, const void *pubData, size_t cubData);
    // The same for an archive in a file (read once for both digests), named pchArchiveName.
    bool BCheckPackageArchiveFile(KeyValues *pPackage, const char *pchArchiveName, const char *pchPath);
    bool BAcceptPackageSHA256(KeyValues *pPackage, const char *pchPath, EPackageSHA256 eSHA256,
                              const std::string &strActual);
    // The same for digests taken as the archive was received.
    bool BCheckPackageDigests(KeyValues *pPackage, const char *pchArchiveName, const uint8 *pubSHA1,
                              const std::string &strSHA256);
    // An archive whose digests this run checked as it arrived (remembered by path, size and
    // time), which its unpacking need not hash again. Updater thread.
    void NoteVerifiedArchive(const char *pchPath);
    bool BVerifiedThisRun(const char *pchPath);

    // ---- update check (ferroupdater_check.cpp) ----
    // Fetches and verifies the manifest and downloads the archives it names that are
    // missing; when all are present (and something was downloaded, or bSaveManifest) the
    // manifest becomes the pending manifest. False on any failure, on Cancel and on
    // shutdown. Updater thread.
    // With pOnlyPackages, only those packages' archives are looked at and fetched, and the
    // manifest does not become pending (a repair of the installed build).
    bool BCheckForUpdate(bool bSaveManifest, const std::unordered_set<std::string> *pOnlyPackages = nullptr);
    // The manifest of the location's universe and the current beta (caller deletes), or
    // null; *pnHTTPStatus is the response's status (0 without a response).
    KeyValues *DownloadManifest(const DownloadLocation_t &location, int *pnHTTPStatus);

    // The location of the updater's universe; when it is incomplete, "Failed to determine
    // download location for universe %d" is logged and kept as the last error, and false.
    bool BGetUsableDownloadLocation(DownloadLocation_t *pLocation);

    // Real milliseconds RequestShutdown waits for the thread.
    static const uint32 k_msShutdownJoinTimeout = 5000;
    // How long a launcher waits for another one that updates the same installation (on the
    // installed clock), and how often it looks.
    static const uint32 k_msInstallLockWait = 10 * 60 * 1000;
    static const uint32 k_msInstallLockPoll = 100;

    // ---- fields, in this order ----
    IUpdateStatusUI *m_pUpdateStatusUI;
    bool m_bWindowShown;
    CHTTPClient *m_pHTTPClient;
    EUniverse m_eUniverse;
    std::atomic<bool> m_bOffline;
    // Outcome of the start-up phase: written by the updater thread, read by the main thread.
    std::atomic<bool> m_bUpdateFinished;
    std::atomic<bool> m_bRestartRequired;
    std::atomic<bool> m_bFatalError;
    std::atomic<bool> m_bShutdownRequested;
    bool m_bUpdateOnLaunch;
    bool m_bInhibitChecksum;
    bool m_bInhibitAll;
    std::atomic<bool> m_bCheckingForUpdates;
    std::atomic<uint64> m_cubToDownload;
    std::atomic<uint64> m_cubDownloadedComplete;
    std::atomic<uint64> m_cubDownloadedInFlight;
    // Package requests of a check are in flight (the main loop keeps its UI slot short then).
    std::atomic<bool> m_bDownloadingPackages;
    // A content verification is asked for (RequestContentVerification).
    std::atomic<bool> m_bVerifyContentsRequested;
    // The start-up installs what its checks download: they unpack each archive as it
    // arrives (UnpackPackages takes that over). Updater thread.
    bool m_bUnpackWhileDownloading = false;
    // Minimum rates, retries and the player's rate limit of the transfers (set before the
    // thread starts; tests set their own).
    DownloadSettings_t m_DownloadSettings;
    CThreadEvent m_WakeEvent; // auto-reset, not signalled
    CUtlString m_strInstallDir;
    CUtlString m_strAlternateBaseDir;
    CUtlString m_strPackageDir;   // under m_Mutex
    CUtlString m_strClientBeta;   // under m_Mutex
    CUtlString m_strLastError;    // under m_Mutex (use GetLastErrorText from other threads)
    CUtlString m_strFailureCause; // under m_Mutex: the cause of the current step's failure
    CUtlString m_strFatalCause;   // under m_Mutex: the cause of the fatal error
    CBootstrapLogFile m_BootstrapLog;
    CUtlString m_strStatusText;

private:
    // Run's work; Run clears m_bCheckingForUpdates when it returns.
    int RunUpdate();
    // The start-up phases of RunUpdate. The start-up check (and the fetch again of a refused
    // pending update): false when the run stops there. The pending update's installation and
    // the verification of the installed build: true when the run ends there, with its result.
    // The download and installation of a whole build when the installed one is damaged or
    // missing.
    bool BCheckForUpdateOnStartup();
    bool BInstallPendingUpdate(int *pnResult);
    bool BVerifyInstallation(int *pnResult);
    int DownloadAndInstallWholeBuild();
    // Releases the installation's lock, announces the outcome and runs the background loop.
    int EnterBackgroundLoop();
    // The start-up phase has its outcome (the flags are set, or the thread ends without
    // one): wakes the main loop's wait for it.
    void AnnounceOutcome();
    // A content verification asked for while the client runs: repairs what the packages
    // can, else makes the build a pending update for the next start.
    void BackgroundVerifyAndRepair();
    // The phases of BRepairInstalledFiles: the manifest's paths and names of the packages
    // (false when it does not name them all), their archives fetched when some are not here
    // (false when they cannot be had), and their installation again with the other lines of
    // the installed list kept as they were.
    bool BSelectRepairPackages(KeyValues *pManifest, const char *pchPackageDir,
                               const std::unordered_set<std::string> &setPackages,
                               CUtlVector<CUtlString> &vecPaths, std::vector<std::string> *pvecNames);
    bool BFetchRepairArchives(KeyValues *pManifest, const char *pchPackageDir,
                              const std::unordered_set<std::string> &setPackages);
    bool BReinstallPackages(KeyValues *pManifest, const CUtlVector<CUtlString> &vecPaths,
                            const std::vector<std::string> &vecNames,
                            const std::unordered_set<std::string> &setPackages);
    // The user's Cancel or a shutdown: a check in progress ends.
    bool BStopRequested();
    // A start-up step failed without ending the start: the player sees why on the status
    // line (the cause when one is known, else the step's error), as the log does.
    void ShowStepFailure();
    // The start-up update cannot go on: the fatal error, with what caused the step to fail.
    void SetFatalErrorWithCause(const char *pchText);
    // BShowWindow once per run (when a UI is set).
    void ShowWindowOnce();
    // SetProgress of the UI, when one is set.
    void SetProgress(int nPercent);
    // The pause between two polls of a check, on the installed clock; cut short by a
    // shutdown request.
    void SleepBetweenPolls(uint32 unMilliseconds);
    // Sleeps up to unMilliseconds, ending early once fnDone is true or a stop is requested
    // (a cancel or a shutdown), which it looks at every few milliseconds.
    void PauseUnlessDone(uint32 unMilliseconds, const std::function<bool()> &fnDone);
    // The phases of BCheckForUpdate once its preconditions hold: the package folder, the
    // verified manifest (caller deletes; null with the error set), the downloads, a
    // downloaded archive checked and saved, the progress line, and the pending manifest.
    // Each failure sets the update error (and the cause, when one is known).
    bool BFetchManifestAndPackages(const DownloadLocation_t &location, const char *pchPackageDir,
                                   bool bSaveManifest, const std::unordered_set<std::string> *pOnlyPackages);
    bool BCreatePackageDirForCheck(const char *pchPackageDir);
    KeyValues *FetchVerifiedManifest(const DownloadLocation_t &location);
    void ShowDownloadProgress();
    bool BSavePendingManifest(KeyValues *pManifest, const char *pchPackageDir);

    // ---- package downloads (ferroupdater_download.cpp) ----
    // Downloads the archives of the list into the package directory, streamed to their
    // ".part" files, continued where an earlier attempt stopped, each tried again after
    // network failures up to the attempts of m_DownloadSettings. False when one cannot be
    // had (the error and the cause name it and why), on Cancel and on shutdown.
    bool BDownloadPackages(const DownloadLocation_t &location, KeyValues *pManifest,
                           const char *pchPackageDir, const CUtlVector<CUtlString> &vecDownloads);
    // One attempt of a package: its request sent (or, for a part that is whole already,
    // its outcome judged at once).
    void StartPackageAttempt(const DownloadLocation_t &location, PackageTransfer_t &transfer);
    // What a finished attempt means: the archive kept, another attempt, or the end.
    EPackageAttempt JudgePackageAttempt(PackageTransfer_t &transfer, const char *pchPackageDir);
    // An answer without the package's bytes: a network or server failure is retried, any
    // other status fails the check.
    EPackageAttempt JudgeFailedAnswer(PackageTransfer_t &transfer, int nStatus, bool bTooSlow,
                                      const CUtlString &strDownloadFailed);
    // The archive is whole: its digest checked, renamed to its own name.
    EPackageAttempt KeepWholePackage(PackageTransfer_t &transfer, const char *pchPackageDir);
    // Another attempt after a pause, or, when none is left, the end with the cause given.
    EPackageAttempt RetryOrFail(PackageTransfer_t &transfer, const char *pchWhy, const CUtlString &strError,
                                const CUtlString &strCause);
    // The update error and the cause of a package that cannot be had.
    EPackageAttempt FailPackage(const CUtlString &strError, const CUtlString &strCause);

    // Whether the file can be created (it is deleted again at once).
    bool BProbeWritable(const char *pchPath);
    // Reports a directory check failure: log, fatal error in the UI, m_bFatalError.
    void ReportDirectoryFailure(const char *pchText);
    // The player's download rate limit (registry, "-downloadrate") into m_DownloadSettings
    // and the network layer (ferroupdater_ratelimit.cpp).
    void ApplyDownloadRateLimit(const char *pchCommandLine);
    // The beta file name "package\beta" (relative to the working directory).
    static CUtlString BetaFilePath();

    // GetPackagePaths and BuildDownloadList over a package directory given by the caller
    // (the import and the pending test's second look must not change the shared one).
    int GetPackagePathsIn(KeyValues *pManifest, const char *pchPackageDir, CUtlVector<CUtlString> &vecPaths);
    int BuildDownloadListIn(const DownloadLocation_t &location, KeyValues *pManifest,
                            const char *pchPackageDir, CUtlVector<CUtlString> &vecDownloads,
                            uint64 *pcubTotal,
                            const std::unordered_set<std::string> *pOnlyPackages = nullptr);
    // Reads and loads a manifest file; null (nothing logged but the loader's line) when it
    // is missing, empty or does not load.
    KeyValues *LoadManifestFile(const char *pchPath);
    // LoadManifestFile, refusing (null, logged) a manifest that does not verify: manifests
    // on disk are believed no more than downloaded ones. *pbRefused (when given) tells a file
    // that was read and refused (empty, cut, unsigned, altered) from one that could not be
    // read at all.
    KeyValues *LoadVerifiedManifestFile(const char *pchPath, bool *pbRefused = nullptr);
    // BInstallUpdateFromDirectory's work, under the installation's lock, in phases: the
    // source's manifest read once and verified (null, logged, when not signed), an archive
    // read whole and checked against the manifest, every archive checked before anything is
    // copied, and the copy of the checked bytes (false when an archive changed meanwhile:
    // what was written goes again; a failed copy or owner clears *pbResult).
    bool BImportUpdateFromDirectory(const char *pchSourceDir);
    struct ImportArchives_t
    {
        CUtlVector<CUtlString> m_vecPaths;      // in the source directory
        std::vector<uint64> m_vecSizes;         // the manifest's, by path
        std::vector<KeyValues *> m_vecPackages; // their blocks in the manifest, by path
        CUtlString m_strInstallPackages;        // "<install dir>/package"
    };
    KeyValues *LoadSignedImportManifest(const char *pchManifestPath, const char *pchSourceDir,
                                        InstallFileData_t *pData);
    bool BReadCheckedArchive(const ImportArchives_t &archives, int iPath, InstallFileData_t *pArchive);
    bool BCheckImportArchives(const ImportArchives_t &archives);
    bool BCopyImportArchives(const ImportArchives_t &archives, bool *pbResult);

    // Gives a file or directory that an elevated import created the install directory's
    // owner; logs a failure.
    bool SetOwnershipToAppOwner(const char *pchPath);
    // After a successful commit: deletes what the old file list names that the new build
    // no longer ships (never outside the install directory, never through a link).
    void DeleteObsoleteFiles(const CUtlVector<CUtlString> &vecOldFiles);
    // Writes the installed file list: the kept entries as they were, then a line per new
    // file with its size in the install directory and what unpacking learnt of it. False
    // when it cannot be written whole, in which case it is not left behind.
    bool BWriteInstalledFileList(const char *pchPath, const std::vector<InstalledFile_t> &vecKept,
                                 const CUtlVector<CUtlString> &vecNewFiles,
                                 const ExtractedFiles_t &extracted);

    enum EUnpackResult
    {
        k_EUnpackDone,
        k_EUnpackCancelled, // the user stopped it: the archives stay
        k_EUnpackRefused,   // an archive that cannot be read, checked or unpacked: deleted
    };
    // Unpacks the archives into the temporary folder on the unpacking threads; the result
    // is that of unpacking them one after the other in the order given. What the download
    // unpacked already for the same packages is taken over; otherwise the folder is cleared
    // first. Whatever way it fails, the temporary folder is cleared again at once.
    // The archives are checked against their blocks of pManifest (BCheckPackageDigests),
    // unless this run checked them as they arrived.
    EUnpackResult UnpackPackages(KeyValues *pManifest, const CUtlVector<CUtlString> &vecPackagePaths,
                                 const std::vector<std::string> &vecPackageNames,
                                 CUtlVector<CUtlString> &vecOldFiles, CUtlVector<CUtlString> &vecNewFiles,
                                 ExtractedFiles_t *pExtracted);
    // UnpackPackages' phases: the run's packages described and its threads made, a package
    // handed to them, and the outcome (eWait of CPackageUnpacker) joined in manifest order
    // or judged.
    void DescribeUnpackRun(UnpackRun_t *pRun, KeyValues *pManifest,
                           const CUtlVector<CUtlString> &vecPackagePaths,
                           const std::vector<std::string> &vecPackageNames);
    void AddUnpackJob(UnpackRun_t &run, KeyValues *pManifest, size_t iPackage);
    EUnpackResult FinishUnpacking(UnpackRun_t &run, int eWait, CUtlVector<CUtlString> &vecOldFiles,
                                  CUtlVector<CUtlString> &vecNewFiles, ExtractedFiles_t *pExtracted);
    // Unpacking while downloading, when m_bUnpackWhileDownloading: started with the
    // manifest of the check (the archives here already go at once), fed each archive as it
    // is kept, taken over by UnpackPackages for the same packages (null, and the folder
    // cleared, for others), or discarded with the folder cleared. Updater thread.
    void StartUnpackPipeline(KeyValues *pManifest, const char *pchPackageDir,
                             const CUtlVector<CUtlString> &vecDownloads);
    void UnpackDownloadedArchive(const char *pchPath);
    void DiscardUnpackPipeline();
    UnpackRunPtr TakeUnpackPipeline(KeyValues *pManifest, const CUtlVector<CUtlString> &vecPackagePaths,
                                    const std::vector<std::string> &vecPackageNames);
    // Commits the temporary folder: on success deletes the backups (this commit's and those
    // an earlier one left), on failure rolls back. The temporary folder is cleared after.
    bool BCommitTemporaryFolder(const std::unordered_set<std::string> &setListedFiles);
    // The journal's path, its entries (none when there is no journal; false when it is there
    // but cannot be read), and writing it anew (deleted when empty; replaced in one rename,
    // so a kill never leaves half of it).
    CUtlString BackupJournalPath() const;
    bool BReadBackupJournal(std::vector<std::string> *pvecBackups);
    bool BWriteBackupJournal(const std::vector<std::string> &vecBackups);
    // The backups the commit of the temporary folder will make, with those the journal
    // names already, written to the journal before the first rename.
    bool BJournalPlannedBackups(const char *pchSourceRoot, std::vector<std::string> *pvecJournal);
    // Deletes the journal's backups that are still there and may go; returns those that
    // stay.
    std::vector<std::string> DeleteJournalBackups(const std::vector<std::string> &vecBackups,
                                                  const std::unordered_set<std::string> &setListedFiles);
    // "package\\tmp", and clearing it (a failure is logged).
    std::string TempFolder() const;
    void ClearTemporaryFolder();
    // The keys (InstalledFileKey) of the files (not directories) a list names.
    std::unordered_set<std::string> ReadListedFileKeys(const char *pchListPath);
    // Whether a path of the install directory reaches through a link (a directory part
    // that is a symbolic link or a junction): deletes never follow one.
    bool BPathCrossesLink(const char *pchPath);

    IInstallFileOps *m_pFileOps;
    // RequireFullInstall was called (for when its marker file cannot be written).
    bool m_bFullInstallRequired = false;
    // One updater per installation (held by the updater thread, or the main thread during an
    // import before that thread starts).
    CPlatFileLock m_InstallLock;
    // Set (and never reset) when shutdown is requested: a poll's pause ends at once.
    CThreadEvent m_ShutdownEvent{true};
    // m_strClientBeta, m_strPackageDir, m_strLastError and the causes
    mutable std::mutex m_Mutex;
    std::mutex m_PackageDirFixMutex; // one EnsurePackageDir at a time
    UnpackRunPtr m_pUnpackPipeline;
    // Archives checked as they arrived this run: path -> (size, write time). Updater thread.
    std::unordered_map<std::string, std::pair<int64, int64>> m_mapVerifiedArchives;
};

// The process-wide updater, created on first use (any thread); null only when it cannot be
// created.
CFerroUpdater *GetFerroUpdater();
// Deletes the updater (if any) and clears the slot, so that the next GetFerroUpdater
// creates a new one.
void DeleteFerroUpdater();

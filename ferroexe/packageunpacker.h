// CPackageUnpacker: the packages of one installation unpacked into the temporary folder on
// a few threads of its own, as soon as each is handed in (while others still download, or
// all at once), in any order. When no package waits, an idle thread helps with the items
// of one that is being unpacked, so the last large package is not left to one thread.
//
// What each package gave is kept apart (its item names in archive order, the digests of
// what it wrote) for the caller to join in manifest order, which makes the result the same
// as unpacking one package after the other; of two packages that ship the same file the
// later one wins on disk as well (unpackitems.h). The first failure stops everything.
//
// Threads: the owner (the updater thread) constructs it, hands packages in, waits and
// reads the results; the workers are its own. Nothing of it shows status or asks the UI:
// the owner does that.
#pragma once

#include "ferroexe/ferroupdater.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CUnpackClaims;
class CUnzipArchive;
class IInstallFileOps;
class KeyValues;
struct UnpackingPackage_t;

// Archives up to this size that must be checked are read into memory whole, for the
// digests and the items alike; larger ones are read from their file.
const int64 k_cubUnpackReadWhole = 64 * 1024 * 1024;

// One package to unpack.
struct UnpackJob_t
{
    uint32 m_iPackage = 0;           // its place in manifest order
    std::string m_strPath;           // the archive
    std::string m_strName;           // the package's name
    KeyValues *m_pPackage = nullptr; // its block of the manifest (outlives the unpacker)
    bool m_bVerified = false;        // its digests were checked as it arrived
};

enum EUnpackOutcome
{
    k_EUnpackOutcomeNone, // not (or not completely) unpacked
    k_EUnpackOutcomeDone,
    k_EUnpackOutcomeUnreadable,
    k_EUnpackOutcomeCorrupt,
    k_EUnpackOutcomeUnzipFailed,
};

// What one package gave.
struct UnpackedPackage_t
{
    EUnpackOutcome m_eOutcome = k_EUnpackOutcomeNone;
    CUtlString m_strError; // why unzipping failed, when it says
    std::vector<std::string> m_vecNames;
    ExtractedFiles_t m_extracted;
};

class CPackageUnpacker
{
public:
    // Whether an archive's digests (SHA-1 bytes, SHA-256 in hex) are its package's. Called
    // on the workers, which take the digests in pieces so that a stop is seen between them.
    typedef std::function<bool(const UnpackJob_t &job, const uint8 *pubSHA1, const std::string &strSHA256)>
        FnCheckArchive;

    enum EWait
    {
        k_EWaitDone,    // every package is unpacked
        k_EWaitFailed,  // one failed (or not all were handed in)
        k_EWaitStopped, // the caller's stop
    };

    CPackageUnpacker(IInstallFileOps &ops, const std::string &strTempDir, uint32 cPackages,
                     FnCheckArchive fnCheck, int cWorkers);
    // Stops the workers and waits for them.
    ~CPackageUnpacker();
    CPackageUnpacker(const CPackageUnpacker &) = delete;
    CPackageUnpacker &operator=(const CPackageUnpacker &) = delete;

    void Add(const UnpackJob_t &job);
    // Waits until every package is unpacked, one failed, or fnStop (asked every few
    // milliseconds) says to stop; the workers have ended when it returns.
    EWait Wait(const std::function<bool()> &fnStop);
    // Ends the work at once (a failure or cancel elsewhere) and waits for the workers.
    void Stop();
    // By manifest order; complete once Wait returned.
    const std::vector<UnpackedPackage_t> &Results() const { return m_vecResults; }

    // As many workers as the machine has cores (at least 1, at most 8).
    static int DefaultWorkerCount();

private:
    void WorkerLoop();
    // A package handed in: opened, checked and its names read, then worked on.
    void BeginPackage(const UnpackJob_t &job);
    // Items of an opened package, with the archive this thread opened.
    void WorkOn(const std::shared_ptr<UnpackingPackage_t> &pPackage, const CUnzipArchive &archive);
    void Fail(uint32 iPackage, EUnpackOutcome eOutcome, const CUtlString &strError);
    bool BOpenArchive(const UnpackingPackage_t &package, CUnzipArchive *pArchive);
    // An archive this run did not check: read (whole when small) and checked. False when it
    // failed (Fail was called) or the work stops.
    bool BCheckArchive(UnpackingPackage_t &package);
    std::shared_ptr<UnpackingPackage_t> PackageToHelp();

    IInstallFileOps &m_Ops;
    const std::string m_strTempDir;
    const uint32 m_cPackages;
    const FnCheckArchive m_fnCheck;
    std::unique_ptr<CUnpackClaims> m_pClaims;

    std::mutex m_Mutex;
    std::condition_variable m_WorkReady; // a package handed in or opened, or the stop
    std::condition_variable m_Progress;  // a package finished or failed
    std::deque<UnpackJob_t> m_dequeWaiting;
    std::vector<std::shared_ptr<UnpackingPackage_t>> m_vecOpen;
    std::vector<UnpackedPackage_t> m_vecResults;
    uint32 m_cAdded = 0;
    uint32 m_cFinished = 0;
    bool m_bFailed = false;
    std::atomic<bool> m_bStop{false};
    std::vector<std::thread> m_vecWorkers;
};

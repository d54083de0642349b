#include "ferroexe/packageunpacker.h"

#include "crypto/sha1.h"
#include "crypto/sha256.h"
#include "ferroexe/ferroupdater_fileops.h"
#include "ferroexe/unpackitems.h"
#include "foundation/platform/file.h"

#include <chrono>
#include <cstdio>
#include <vector>

namespace
{
// Beyond this many threads, unpacking waits on the disk, not on the cores.
const int k_cMaxWorkers = 8;
// How often a wait looks at the caller's stop: a cancel is seen well within 100 ms.
const int k_msStopLook = 10;
// Pieces in which an archive is hashed: a stop is seen between two of them.
const size_t k_cubHashPiece = 4 * 1024 * 1024;

enum EDigest
{
    k_EDigestDone,
    k_EDigestStopped,
    k_EDigestUnreadable, // cannot be opened
    k_EDigestReadFailed, // a read failed half-way
};

EDigest HashInPieces(const uint8 *pubData, size_t cubData,
                     const std::function<bool(const uint8 *, size_t)> &fnHash)
{
    for (size_t iOffset = 0; iOffset < cubData; iOffset += k_cubHashPiece)
    {
        size_t cubPiece = cubData - iOffset < k_cubHashPiece ? cubData - iOffset : k_cubHashPiece;
        if (!fnHash(pubData + iOffset, cubPiece))
            return k_EDigestStopped;
    }
    return k_EDigestDone;
}

EDigest HashFileInPieces(const char *pchPath, const std::function<bool(const uint8 *, size_t)> &fnHash)
{
    FILE *pFile = PLAT_fopen(pchPath, "rb");
    if (!pFile)
        return k_EDigestUnreadable;
    std::vector<uint8> vecBuffer(k_cubHashPiece);
    EDigest eDigest = k_EDigestDone;
    size_t cubRead;
    while (eDigest == k_EDigestDone && (cubRead = fread(vecBuffer.data(), 1, vecBuffer.size(), pFile)) > 0)
    {
        if (!fnHash(vecBuffer.data(), cubRead))
            eDigest = k_EDigestStopped;
    }
    if (eDigest == k_EDigestDone && ferror(pFile))
        eDigest = k_EDigestReadFailed;
    fclose(pFile);
    return eDigest;
}
} // namespace

// A package whose archive is open and whose items are being unpacked.
struct UnpackingPackage_t
{
    UnpackJob_t m_job;
    // The archive held in memory (read whole to be checked), or null: each thread opens its
    // file.
    std::shared_ptr<InstallFileData_t> m_pData;
    UnzipItems_t m_items;
    int m_cWorkers = 0; // under the unpacker's mutex
    bool m_bFinished = false;
};

int CPackageUnpacker::DefaultWorkerCount()
{
    int cCores = (int)std::thread::hardware_concurrency();
    return cCores < 1 ? 1 : cCores > k_cMaxWorkers ? k_cMaxWorkers : cCores;
}

CPackageUnpacker::CPackageUnpacker(IInstallFileOps &ops, const std::string &strTempDir, uint32 cPackages,
                                   FnCheckArchive fnCheck, int cWorkers)
    : m_Ops(ops), m_strTempDir(strTempDir), m_cPackages(cPackages), m_fnCheck(std::move(fnCheck)),
      m_pClaims(new CUnpackClaims), m_vecResults(cPackages)
{
    for (int i = 0; i < (cWorkers < 1 ? 1 : cWorkers); ++i)
        m_vecWorkers.emplace_back([this] { WorkerLoop(); });
}

CPackageUnpacker::~CPackageUnpacker()
{
    Stop();
}

void CPackageUnpacker::Add(const UnpackJob_t &job)
{
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (job.m_iPackage >= m_cPackages)
            return;
        m_dequeWaiting.push_back(job);
        ++m_cAdded;
    }
    m_WorkReady.notify_one();
}

void CPackageUnpacker::Stop()
{
    m_bStop = true;
    {
        // Under the lock: a worker between its look at the flag and its wait still wakes.
        std::lock_guard<std::mutex> lock(m_Mutex);
    }
    m_WorkReady.notify_all();
    for (std::thread &worker : m_vecWorkers)
    {
        if (worker.joinable())
            worker.join();
    }
    m_vecWorkers.clear();
}

CPackageUnpacker::EWait CPackageUnpacker::Wait(const std::function<bool()> &fnStop)
{
    EWait eWait = k_EWaitStopped;
    for (;;)
    {
        if (fnStop && fnStop())
            break;
        std::unique_lock<std::mutex> lock(m_Mutex);
        if (m_bFailed || m_cAdded < m_cPackages)
        {
            eWait = k_EWaitFailed;
            break;
        }
        if (m_cFinished == m_cPackages)
        {
            eWait = k_EWaitDone;
            break;
        }
        m_Progress.wait_for(lock, std::chrono::milliseconds(k_msStopLook));
    }
    Stop();
    return eWait;
}

void CPackageUnpacker::Fail(uint32 iPackage, EUnpackOutcome eOutcome, const CUtlString &strError)
{
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_vecResults[iPackage].m_eOutcome = eOutcome;
        m_vecResults[iPackage].m_strError = strError;
        m_bFailed = true;
    }
    // The others stop at their next item or piece.
    m_bStop = true;
    m_WorkReady.notify_all();
    m_Progress.notify_all();
}

std::shared_ptr<UnpackingPackage_t> CPackageUnpacker::PackageToHelp()
{
    for (const std::shared_ptr<UnpackingPackage_t> &pPackage : m_vecOpen)
    {
        if (!pPackage->m_bFinished &&
            pPackage->m_items.m_iNextItem.load() < (int64)pPackage->m_items.m_vecNames.size())
            return pPackage;
    }
    return nullptr;
}

void CPackageUnpacker::WorkerLoop()
{
    for (;;)
    {
        std::unique_lock<std::mutex> lock(m_Mutex);
        std::shared_ptr<UnpackingPackage_t> pHelp;
        m_WorkReady.wait(lock,
                         [&]
                         {
                             if (m_bStop || !m_dequeWaiting.empty())
                                 return true;
                             pHelp = PackageToHelp();
                             return pHelp != nullptr;
                         });
        if (m_bStop)
            return;
        if (!m_dequeWaiting.empty())
        {
            // A package of its own first: helping costs an archive opened once more.
            UnpackJob_t job = m_dequeWaiting.front();
            m_dequeWaiting.pop_front();
            lock.unlock();
            BeginPackage(job);
            continue;
        }
        ++pHelp->m_cWorkers;
        lock.unlock();
        CUnzipArchive archive;
        if (!BOpenArchive(*pHelp, &archive))
        {
            Fail(pHelp->m_job.m_iPackage, k_EUnpackOutcomeUnzipFailed, CUtlString("Failed to open package"));
            std::lock_guard<std::mutex> relock(m_Mutex);
            --pHelp->m_cWorkers;
            continue;
        }
        WorkOn(pHelp, archive);
    }
}

bool CPackageUnpacker::BOpenArchive(const UnpackingPackage_t &package, CUnzipArchive *pArchive)
{
    if (package.m_pData)
        return pArchive->BOpenMemory(package.m_pData->m_pubData.get(), package.m_pData->m_cubData);
    return pArchive->BOpenFile(package.m_job.m_strPath.c_str());
}

void CPackageUnpacker::BeginPackage(const UnpackJob_t &job)
{
    std::shared_ptr<UnpackingPackage_t> pPackage = std::make_shared<UnpackingPackage_t>();
    pPackage->m_job = job;
    if (!job.m_bVerified && !BCheckArchive(*pPackage))
        return;
    if (m_bStop)
        return;

    UnzipItems_t &items = pPackage->m_items;
    items.m_pOps = &m_Ops;
    items.m_strTempDir = m_strTempDir;
    items.m_strPackageName = job.m_strName;
    items.m_fnStop = [this] { return m_bStop.load(); };
    items.m_pClaims = m_pClaims.get();
    items.m_iPackage = job.m_iPackage;
    CUnzipArchive archive;
    CUtlString strError;
    int64 cItems = 0;
    if (!BOpenArchive(*pPackage, &archive))
        strError = "Failed to open package";
    else if (!m_pClaims->BEnsureDirectory(m_Ops, m_strTempDir, false))
        strError = "Failed to make temporary folder to unzip into";
    else if (!BCountArchiveItems(archive, &cItems))
        strError = "Failed to get first item in archive";
    if (strError.IsEmpty() && !BReadItemNames(archive, cItems, &items, &strError) && strError.IsEmpty())
        strError = "Failed to read the archive's items";
    if (!strError.IsEmpty())
        return Fail(job.m_iPackage, k_EUnpackOutcomeUnzipFailed, strError);
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        ++pPackage->m_cWorkers;
        m_vecOpen.push_back(pPackage);
    }
    // Idle workers may help with its items.
    m_WorkReady.notify_all();
    WorkOn(pPackage, archive);
}

bool CPackageUnpacker::BCheckArchive(UnpackingPackage_t &package)
{
    const UnpackJob_t &job = package.m_job;
    const char *pchPath = job.m_strPath.c_str();
    CSHA1 sha1;
    CSHA256 sha256;
    auto fnHash = [&](const uint8 *pubData, size_t cubData)
    {
        sha1.Update(pubData, (uint32)cubData);
        sha256.Update(pubData, cubData);
        return !m_bStop;
    };
    EDigest eDigest;
    // One small enough is read once for its digests and its items alike.
    if (m_Ops.GetFileSize(pchPath) <= k_cubUnpackReadWhole)
    {
        package.m_pData = std::make_shared<InstallFileData_t>();
        if (!m_Ops.BReadWholeFile(pchPath, package.m_pData.get()))
            eDigest = k_EDigestUnreadable;
        else
            eDigest = HashInPieces(package.m_pData->m_pubData.get(), package.m_pData->m_cubData, fnHash);
    }
    else
    {
        eDigest = HashFileInPieces(pchPath, fnHash);
    }
    if (eDigest == k_EDigestStopped || m_bStop)
        return false;
    uint8 rgubSHA1[k_cubSHA1Hash];
    sha1.Final(rgubSHA1);
    if (eDigest == k_EDigestUnreadable)
        Fail(job.m_iPackage, k_EUnpackOutcomeUnreadable, CUtlString());
    else if (eDigest == k_EDigestReadFailed || !m_fnCheck(job, rgubSHA1, sha256.FinalHex()))
        Fail(job.m_iPackage, k_EUnpackOutcomeCorrupt, CUtlString());
    else
        return true;
    return false;
}

void CPackageUnpacker::WorkOn(const std::shared_ptr<UnpackingPackage_t> &pPackage,
                              const CUnzipArchive &archive)
{
    UnzipItems_t &items = pPackage->m_items;
    CUtlString strError;
    const bool bOk = BExtractItems(archive, &items, &strError);
    if (!bOk && !strError.IsEmpty())
        Fail(pPackage->m_job.m_iPackage, k_EUnpackOutcomeUnzipFailed, strError);

    std::lock_guard<std::mutex> lock(m_Mutex);
    --pPackage->m_cWorkers;
    // The last thread out of a package whose items are all written finishes it.
    if (pPackage->m_cWorkers > 0 || pPackage->m_bFinished ||
        items.m_cItemsDone.load() != (int64)items.m_vecNames.size())
        return;
    pPackage->m_bFinished = true;
    UnpackedPackage_t &result = m_vecResults[pPackage->m_job.m_iPackage];
    result.m_eOutcome = k_EUnpackOutcomeDone;
    result.m_vecNames.swap(items.m_vecNames);
    {
        std::lock_guard<std::mutex> recordLock(items.m_RecordMutex);
        result.m_extracted.swap(items.m_extracted);
    }
    ++m_cFinished;
    for (size_t i = 0; i < m_vecOpen.size(); ++i)
    {
        if (m_vecOpen[i] == pPackage)
        {
            m_vecOpen.erase(m_vecOpen.begin() + (ptrdiff_t)i);
            break;
        }
    }
    m_Progress.notify_all();
}

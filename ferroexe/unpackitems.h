// The items of one package archive unpacked into the temporary folder, by one thread or by
// several at once: each thread opens the archive itself and takes the next item that is
// left, and the names are checked once, before anything is written.
//
// Two items may write the same file (twice in one archive, or in two packages). The one
// that comes later (packages in manifest order, then items in archive order) wins, in
// whatever order the threads get to them: CUnpackClaims lets an item write only when no
// later one has, and holds back a later one while an earlier one is still writing.
//
// Threads: CUnpackClaims and UnzipItems_t are shared by the threads that unpack; the
// archive handles are each thread's own.
#pragma once

#include "ferroexe/ferroupdater.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

class IInstallFileOps;

// An item's place among all items of one unpacking.
inline uint64 UnpackItemOrder(uint32 iPackage, int64 iItem)
{
    return ((uint64)iPackage << 40) | (uint64)iItem;
}

class CUnpackClaims
{
public:
    // Before an item writes its file: false when a later item has written it or is writing
    // it (this one is left out); waits while an earlier one is writing it.
    bool BClaim(const std::string &strKey, uint64 ulOrder);
    // The item's file is written (or failed).
    void Release(const std::string &strKey);
    // A directory of the temporary folder, made (with its parents when bHierarchy) unless
    // it is there. One thread at a time looks and makes, so that two never both make the
    // same one, and an unpacking does the same steps whichever thread gets there first.
    bool BEnsureDirectory(IInstallFileOps &ops, const std::string &strDir, bool bHierarchy);

private:
    struct Claim_t
    {
        uint64 m_ulOrder;
        bool m_bWriting;
    };
    std::mutex m_Mutex;
    std::condition_variable m_Released;
    std::unordered_map<std::string, Claim_t> m_mapClaims;
    std::mutex m_DirectoryMutex;
};

// Where an item is in its archive's central directory (the unzip library's position).
struct UnpackItemPos_t
{
    uint64 m_ulDirectoryOffset = 0;
    uint64 m_ulItem = 0;
};

// One archive's items and what came of them.
struct UnzipItems_t
{
    IInstallFileOps *m_pOps = nullptr;
    std::string m_strTempDir; // lower case
    std::string m_strPackageName;
    std::function<bool()> m_fnStop; // a cancel or a failure elsewhere: stop at once
    CUnpackClaims *m_pClaims = nullptr;
    uint32 m_iPackage = 0;

    // BReadItemNames: every item's name (lower case) and position, in archive order.
    std::vector<std::string> m_vecNames;
    std::vector<UnpackItemPos_t> m_vecPositions;

    std::atomic<int64> m_iNextItem{0};
    std::atomic<int64> m_cItemsDone{0};
    std::mutex m_RecordMutex; // m_extracted
    ExtractedFiles_t m_extracted;
};

// An opened archive (an unzFile), closed when it goes. An archive of no items is only its
// end record, which the unzip library does not open: BEmpty tells that from a failure.
class CUnzipArchive
{
public:
    CUnzipArchive() = default;
    ~CUnzipArchive();
    CUnzipArchive(const CUnzipArchive &) = delete;
    CUnzipArchive &operator=(const CUnzipArchive &) = delete;

    // The bytes stay the caller's and must outlive the handle.
    bool BOpenMemory(const void *pubData, size_t cubData);
    bool BOpenFile(const char *pchPath);
    void *Handle() const { return m_hZip; }
    bool BEmpty() const { return m_bEmpty; }

    // The read position in bytes held in memory.
    struct MemoryArchive_t
    {
        const uint8 *m_pubData;
        uint64 m_cubData;
        uint64 m_ulPos;
    };

private:
    MemoryArchive_t m_memory = {nullptr, 0, 0};
    void *m_hZip = nullptr;
    bool m_bEmpty = false;
};

// The number of items; false when the archive cannot say.
bool BCountArchiveItems(const CUnzipArchive &archive, int64 *pcItems);
// Reads and checks every item's name (inside the folder, not the launcher's own folders,
// not too long): an archive with one bad name is refused whole, before anything is
// written. False with the reason.
bool BReadItemNames(const CUnzipArchive &archive, int64 cItems, UnzipItems_t *pItems, CUtlString *pstrError);
// Extracts the items that are left, one at a time, until none is. False with the reason
// (none when stopped).
bool BExtractItems(const CUnzipArchive &archive, UnzipItems_t *pItems, CUtlString *pstrError);

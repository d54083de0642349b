// The process-wide pool of KeyValues key names, the registry of named conditions that
// KeyValues text can test, and the list of live trees kept for leak reports.
//
// Key names are interned once and never freed: a node stores only the 24-bit symbol of its
// name. Names compare without regard to ASCII case (a-z only); the spelling interned first
// is the one every later lookup returns. Symbol 0 is the empty name.
//
// Every operation may be called from any thread. Looking a name up takes no lock; adding
// one takes the pool's lock and looks again under it. The condition registry and the leak
// list have their own locks.
#pragma once

#include "foundation/basetypes.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

class KeyValues;

typedef int HKeySymbol;
#define INVALID_KEY_SYMBOL (-1)

class IKeyValuesSystem
{
public:
    // Remembers the largest node size announced.
    virtual void RecordNodeSize(int nSize) = 0;
    // Symbol of a name; with bCreate false a name not interned yet gives 0, as do a null or
    // empty name and a name that cannot be interned (too long, pool full).
    virtual HKeySymbol GetSymbol(const char *pchName, bool bCreate) = 0;
    // The name of a symbol; "" for 0 and for symbols beyond the names stored.
    virtual const char *GetNameForSymbol(HKeySymbol hSymbol) = 0;
    // GetSymbol with creation; *pppchPoolTable receives the pool table, in which the name of
    // symbol s is pppchPoolTable[s >> 15] + (s & 0x7FFF) (see KeyNameFromPoolTable).
    virtual HKeySymbol GetSymbolCreate(const char *pchName, const char *const **pppchPoolTable) = 0;
    virtual void TrackKeyValues(KeyValues *pKV, HKeySymbol hName) = 0;
    virtual void UntrackKeyValues(KeyValues *pKV) = 0;
    // Registers or changes a named condition ("$BETA" and "BETA" are the same name).
    virtual void SetConditional(const char *pchName, bool bValue) = 0;
    // The registered value; false for a name never registered.
    virtual bool GetConditional(const char *pchName) = 0;
    // Prints pool and hash table statistics.
    virtual void DumpStatistics() = 0;
    // Prints the tracked trees that are still alive.
    virtual void DumpLeaks() = 0;
    virtual ~IKeyValuesSystem() {}
};

// The process-wide instance, created on first use and alive until the process ends.
IKeyValuesSystem *KeyValuesSystem();

inline const char *KeyNameFromPoolTable(const char *const *ppchPoolTable, HKeySymbol hSymbol)
{
    return ppchPoolTable[hSymbol >> 15] + (hSymbol & 0x7FFF);
}

class CKeyValuesSystem : public IKeyValuesSystem
{
public:
    static constexpr int k_cubPool = 32768;              // one block of names
    static constexpr int k_nMaxPools = 512;              // 16 MB: symbols fit in 24 bits
    static constexpr int k_nWarnPools = k_nMaxPools / 2; // warn once 8 MB are in use
    static constexpr int k_cBuckets = 4096;              // buckets at first (low 12 bits of the hash)
    // The table doubles once it holds this many names per bucket, so chains stay short
    // however many names a text brings.
    static constexpr int k_cNamesPerBucketToGrow = 2;
    static constexpr int k_cEntriesPerBlock = 256; // overflow entries per allocation
    static constexpr int k_cchMaxName = 1023;      // names this long or longer are refused
    static constexpr uint32 k_unHashSeed = 1047;

    CKeyValuesSystem();
    ~CKeyValuesSystem() override;

    void RecordNodeSize(int nSize) override;
    HKeySymbol GetSymbol(const char *pchName, bool bCreate) override;
    const char *GetNameForSymbol(HKeySymbol hSymbol) override;
    HKeySymbol GetSymbolCreate(const char *pchName, const char *const **pppchPoolTable) override;
    void TrackKeyValues(KeyValues *pKV, HKeySymbol hName) override;
    void UntrackKeyValues(KeyValues *pKV) override;
    void SetConditional(const char *pchName, bool bValue) override;
    bool GetConditional(const char *pchName) override;
    void DumpStatistics() override;
    void DumpLeaks() override;

    int GetMaxNodeSize() const { return m_nMaxNodeSize.load(); }
    // Bytes of the pools in use, counting the unused tail of every full pool.
    int GetPoolBytesUsed() const { return m_nEndSymbol.load(std::memory_order_acquire); }
    int GetPoolCount();

private:
    CKeyValuesSystem(const CKeyValuesSystem &) = delete;
    CKeyValuesSystem &operator=(const CKeyValuesSystem &) = delete;

    // One name of a hash chain. The first entry of a chain lives in its bucket (empty while
    // its symbol is 0); further ones come from blocks of k_cEntriesPerBlock. The symbol is
    // published last, with release order, so a lock-free reader that sees it sees the rest.
    struct HashEntry_t
    {
        std::atomic<uint32> m_unHash;
        std::atomic<HKeySymbol> m_hSymbol;
        std::atomic<HashEntry_t *> m_pNext;
    };

    // A bucket array of a power-of-two size. A table that has been replaced by a larger one
    // stays alive (unchanged) for lookups that started in it, until the system goes.
    struct HashTable_t
    {
        uint32 m_unMask; // buckets - 1
        std::unique_ptr<HashEntry_t[]> m_pBuckets;
    };

    HKeySymbol FindInBucket(const char *pchName, int cchName, uint32 unHash);
    // Copies the name into the pools; 0 when it is too long or the pools are full. Lock held.
    HKeySymbol AddStringToPool(const char *pchName, int cchName);
    HashEntry_t *AllocateEntry();
    // Puts a name into a table: the bucket itself when it is empty, else the end of its
    // chain. False when no entry could be allocated. Lock held.
    bool BInsertEntry(HashTable_t &table, uint32 unHash, HKeySymbol hSymbol);
    // A table twice as large with every name of the current one, published. Lock held.
    void GrowTable();

    const char *m_rgpchPools[k_nMaxPools];
    int m_nPools;                                          // pools allocated (lock held)
    int m_nPoolOffset;                                     // next free byte in the last pool (lock held)
    std::atomic<int> m_nEndSymbol;                         // one past the last byte in use, as a symbol
    std::atomic<HashTable_t *> m_pTable;                   // the current table
    std::vector<std::unique_ptr<HashTable_t>> m_vecTables; // every table made (lock held)
    uint32 m_cNamesInTable;                                // names findable (lock held)
    std::vector<HashEntry_t *> m_vecEntryBlocks;
    int m_nEntriesUsedInBlock;
    std::mutex m_PoolMutex;

    // Statistics (lock held).
    uint32 m_cStrings;
    uint32 m_cchLongest;
    uint64 m_cchTotal;
    std::atomic<int> m_nMaxNodeSize;

    std::mutex m_ConditionalMutex;
    std::map<HKeySymbol, bool> m_mapConditionals;

    std::mutex m_LeakMutex;
    std::unordered_map<KeyValues *, HKeySymbol> m_LeakTrack;
};

// The KeyValues name pool, condition registry and leak list.
#include "foundation/keyvaluessystem.h"

#include "foundation/dbg.h"
#include "foundation/murmurhash3.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

namespace
{
inline char FoldCase(char ch)
{
    return (ch >= 'a' && ch <= 'z') ? (char)(ch - ('a' - 'A')) : ch;
}

// Whether the first cchName bytes of pchName equal the pooled name, folding a-z only.
inline bool BEqualNoCase(const char *pchName, int cchName, const char *pchPooled)
{
    for (int i = 0; i < cchName; ++i)
    {
        if (pchPooled[i] != pchName[i] && FoldCase(pchPooled[i]) != FoldCase(pchName[i]))
            return false;
        if (!pchPooled[i])
            return false;
    }
    return pchPooled[cchName] == 0;
}

const char *SkipDollar(const char *pchName)
{
    return (pchName && *pchName == '$') ? pchName + 1 : pchName;
}
} // namespace

IKeyValuesSystem *KeyValuesSystem()
{
    // Never destroyed: symbols and names stay valid until the process ends, also for trees
    // destroyed by other static destructors.
    static CKeyValuesSystem *s_pSystem = new CKeyValuesSystem();
    return s_pSystem;
}

CKeyValuesSystem::CKeyValuesSystem()
    : m_nPools(0), m_nPoolOffset(0), m_nEndSymbol(0), m_pTable(nullptr), m_cNamesInTable(0),
      m_nEntriesUsedInBlock(k_cEntriesPerBlock), m_cStrings(0), m_cchLongest(0), m_cchTotal(0),
      m_nMaxNodeSize(0)
{
    memset(m_rgpchPools, 0, sizeof(m_rgpchPools));
    std::unique_ptr<HashTable_t> pTable(new HashTable_t);
    pTable->m_unMask = k_cBuckets - 1;
    pTable->m_pBuckets.reset(new HashEntry_t[k_cBuckets]);
    for (int i = 0; i < k_cBuckets; ++i)
    {
        pTable->m_pBuckets[i].m_unHash.store(0, std::memory_order_relaxed);
        pTable->m_pBuckets[i].m_hSymbol.store(0, std::memory_order_relaxed);
        pTable->m_pBuckets[i].m_pNext.store(nullptr, std::memory_order_relaxed);
    }
    m_pTable.store(pTable.get(), std::memory_order_release);
    m_vecTables.push_back(std::move(pTable));
    // The empty name is the first one, so that symbol 0 is "".
    std::lock_guard<std::mutex> lock(m_PoolMutex);
    AddStringToPool("", 0);
}

CKeyValuesSystem::~CKeyValuesSystem()
{
    for (int i = 0; i < m_nPools; ++i)
        free(const_cast<char *>(m_rgpchPools[i]));
    for (HashEntry_t *pBlock : m_vecEntryBlocks)
        delete[] pBlock;
}

void CKeyValuesSystem::RecordNodeSize(int nSize)
{
    AssertMsg(nSize < INT_MAX, "size < INT_MAX");
    int nMax = m_nMaxNodeSize.load();
    while (nSize > nMax && !m_nMaxNodeSize.compare_exchange_weak(nMax, nSize))
    {
    }
}

int CKeyValuesSystem::GetPoolCount()
{
    std::lock_guard<std::mutex> lock(m_PoolMutex);
    return m_nPools;
}

HKeySymbol CKeyValuesSystem::FindInBucket(const char *pchName, int cchName, uint32 unHash)
{
    const HashTable_t *pTable = m_pTable.load(std::memory_order_acquire);
    const HashEntry_t *pEntry = &pTable->m_pBuckets[unHash & pTable->m_unMask];
    do
    {
        HKeySymbol hSymbol = pEntry->m_hSymbol.load(std::memory_order_acquire);
        if (hSymbol == 0)
            return 0;
        if (pEntry->m_unHash.load(std::memory_order_relaxed) == unHash &&
            BEqualNoCase(pchName, cchName, KeyNameFromPoolTable(m_rgpchPools, hSymbol)))
            return hSymbol;
        pEntry = pEntry->m_pNext.load(std::memory_order_acquire);
    } while (pEntry);
    return 0;
}

HKeySymbol CKeyValuesSystem::GetSymbol(const char *pchName, bool bCreate)
{
    if (!pchName || !*pchName)
        return 0;
    size_t cchName = strlen(pchName);
    if (cchName >= (size_t)k_cchMaxName)
    {
        if (bCreate)
            Warning("CKeyValuesSystem::AddStringToPool: key name too long (%u chars)\n",
                    (unsigned)(cchName > UINT_MAX - 1 ? UINT_MAX : cchName + 1));
        return 0;
    }
    uint32 unHash = MurmurHash3_x86_32_CaseFolded(pchName, (int)cchName, k_unHashSeed);
    HKeySymbol hSymbol = FindInBucket(pchName, (int)cchName, unHash);
    if (hSymbol || !bCreate)
        return hSymbol;

    std::lock_guard<std::mutex> lock(m_PoolMutex);
    // Another thread may have added the name since the lock-free look.
    hSymbol = FindInBucket(pchName, (int)cchName, unHash);
    if (hSymbol)
        return hSymbol;
    hSymbol = AddStringToPool(pchName, (int)cchName);
    if (!hSymbol)
        return 0;

    // Interned even when it cannot be made findable; the next lookup adds it again.
    if (!BInsertEntry(*m_pTable.load(std::memory_order_relaxed), unHash, hSymbol))
        return hSymbol;
    if (++m_cNamesInTable >
        (m_pTable.load(std::memory_order_relaxed)->m_unMask + 1) * k_cNamesPerBucketToGrow)
        GrowTable();
    return hSymbol;
}

bool CKeyValuesSystem::BInsertEntry(HashTable_t &table, uint32 unHash, HKeySymbol hSymbol)
{
    HashEntry_t *pBucket = &table.m_pBuckets[unHash & table.m_unMask];
    if (pBucket->m_hSymbol.load(std::memory_order_relaxed) == 0)
    {
        pBucket->m_unHash.store(unHash, std::memory_order_relaxed);
        pBucket->m_hSymbol.store(hSymbol, std::memory_order_release);
        return true;
    }
    HashEntry_t *pEntry = AllocateEntry();
    if (!pEntry)
        return false;
    pEntry->m_unHash.store(unHash, std::memory_order_relaxed);
    pEntry->m_hSymbol.store(hSymbol, std::memory_order_relaxed);
    // Put second in the chain, not last: no walk to the tail. Order within a chain does
    // not matter, and a lookup that misses the new name looks again under the lock.
    pEntry->m_pNext.store(pBucket->m_pNext.load(std::memory_order_relaxed), std::memory_order_relaxed);
    pBucket->m_pNext.store(pEntry, std::memory_order_release);
    return true;
}

void CKeyValuesSystem::GrowTable()
{
    const HashTable_t *pOld = m_pTable.load(std::memory_order_relaxed);
    const uint32 cBuckets = (pOld->m_unMask + 1) * 2;
    std::unique_ptr<HashTable_t> pNew(new (std::nothrow) HashTable_t);
    if (!pNew)
        return;
    pNew->m_pBuckets.reset(new (std::nothrow) HashEntry_t[cBuckets]);
    if (!pNew->m_pBuckets)
        return; // chains grow longer instead
    pNew->m_unMask = cBuckets - 1;
    for (uint32 i = 0; i < cBuckets; ++i)
    {
        pNew->m_pBuckets[i].m_unHash.store(0, std::memory_order_relaxed);
        pNew->m_pBuckets[i].m_hSymbol.store(0, std::memory_order_relaxed);
        pNew->m_pBuckets[i].m_pNext.store(nullptr, std::memory_order_relaxed);
    }
    for (uint32 i = 0; i <= pOld->m_unMask; ++i)
    {
        for (const HashEntry_t *pEntry = &pOld->m_pBuckets[i];
             pEntry && pEntry->m_hSymbol.load(std::memory_order_relaxed);
             pEntry = pEntry->m_pNext.load(std::memory_order_relaxed))
        {
            if (!BInsertEntry(*pNew, pEntry->m_unHash.load(std::memory_order_relaxed),
                              pEntry->m_hSymbol.load(std::memory_order_relaxed)))
                return; // the old table stays current
        }
    }
    // Lookups already walking the old table finish there; new ones take this one.
    m_pTable.store(pNew.get(), std::memory_order_release);
    m_vecTables.push_back(std::move(pNew));
}

CKeyValuesSystem::HashEntry_t *CKeyValuesSystem::AllocateEntry()
{
    if (m_nEntriesUsedInBlock == k_cEntriesPerBlock)
    {
        HashEntry_t *pBlock = new (std::nothrow) HashEntry_t[k_cEntriesPerBlock];
        if (!pBlock)
            return nullptr;
        m_vecEntryBlocks.push_back(pBlock);
        m_nEntriesUsedInBlock = 0;
    }
    return &m_vecEntryBlocks.back()[m_nEntriesUsedInBlock++];
}

HKeySymbol CKeyValuesSystem::AddStringToPool(const char *pchName, int cchName)
{
    Assert(cchName < k_cchMaxName);
    // A name never straddles two pools.
    if (m_nPools == 0 || m_nPoolOffset + cchName + 1 >= k_cubPool)
    {
        if (m_nPools >= k_nMaxPools)
        {
            Warning("CKeyValuesSystem::AddStringToPool: out of memory\n");
            return 0;
        }
        if (m_nPools >= k_nWarnPools)
        {
            Warning("CKeyValuesSystem::AddStringToPool: running out of memory (%u bytes left)\n",
                    (unsigned)((k_nMaxPools - m_nPools) * k_cubPool));
        }
        // Zeroed, so that a symbol pointing into the unused tail of a pool reads as "".
        char *pchPool = (char *)calloc(1, k_cubPool);
        if (!pchPool)
        {
            Warning("CKeyValuesSystem::AddStringToPool: out of memory\n");
            return 0;
        }
        m_rgpchPools[m_nPools++] = pchPool;
        m_nPoolOffset = 0;
    }
    HKeySymbol hSymbol = (m_nPools - 1) * k_cubPool + m_nPoolOffset;
    char *pchDest = const_cast<char *>(m_rgpchPools[m_nPools - 1]) + m_nPoolOffset;
    memcpy(pchDest, pchName, (size_t)cchName);
    pchDest[cchName] = 0;
    m_nPoolOffset += cchName + 1;
    m_nEndSymbol.store(hSymbol + cchName + 1, std::memory_order_release);
    ++m_cStrings;
    if ((uint32)cchName + 1 > m_cchLongest)
        m_cchLongest = (uint32)cchName + 1;
    m_cchTotal += (uint64)cchName + 1;
    return hSymbol;
}

const char *CKeyValuesSystem::GetNameForSymbol(HKeySymbol hSymbol)
{
    if (hSymbol <= 0 || hSymbol >= m_nEndSymbol.load(std::memory_order_acquire))
        return "";
    return KeyNameFromPoolTable(m_rgpchPools, hSymbol);
}

HKeySymbol CKeyValuesSystem::GetSymbolCreate(const char *pchName, const char *const **pppchPoolTable)
{
    if (pppchPoolTable)
        *pppchPoolTable = m_rgpchPools;
    return GetSymbol(pchName, true);
}

void CKeyValuesSystem::TrackKeyValues(KeyValues *pKV, HKeySymbol hName)
{
    std::lock_guard<std::mutex> lock(m_LeakMutex);
    m_LeakTrack[pKV] = hName;
}

void CKeyValuesSystem::UntrackKeyValues(KeyValues *pKV)
{
    std::lock_guard<std::mutex> lock(m_LeakMutex);
    if (m_LeakTrack.erase(pKV) == 0)
        AssertFailed("m_LeakTrack.Remove( pKV )");
}

void CKeyValuesSystem::SetConditional(const char *pchName, bool bValue)
{
    HKeySymbol hSymbol = GetSymbol(SkipDollar(pchName), true);
    if (!hSymbol)
        return;
    std::lock_guard<std::mutex> lock(m_ConditionalMutex);
    m_mapConditionals[hSymbol] = bValue;
}

bool CKeyValuesSystem::GetConditional(const char *pchName)
{
    HKeySymbol hSymbol = GetSymbol(SkipDollar(pchName), false);
    if (!hSymbol)
        return false;
    std::lock_guard<std::mutex> lock(m_ConditionalMutex);
    auto it = m_mapConditionals.find(hSymbol);
    return it != m_mapConditionals.end() && it->second;
}

void CKeyValuesSystem::DumpStatistics()
{
    std::lock_guard<std::mutex> lock(m_PoolMutex);
    Msg("String pool bytes used %u, max %u, %u pools\n", (unsigned)m_nEndSymbol.load(),
        (unsigned)(k_nMaxPools * k_cubPool), (unsigned)m_nPools);
    // The empty name is not counted: it is not in the hash table.
    uint32 cStrings = m_cStrings > 0 ? m_cStrings - 1 : 0;
    Msg("Total number of strings %u, longest string size %u, avg size %u\n", (unsigned)cStrings,
        (unsigned)m_cchLongest, (unsigned)(cStrings ? (m_cchTotal - 1) / cStrings : 0));
    std::map<uint32, uint32> mapChainLengths;
    uint32 cUsedBuckets = 0;
    uint32 cCollisions = 0;
    const HashTable_t *pTable = m_pTable.load(std::memory_order_relaxed);
    for (uint32 iBucket = 0; iBucket <= pTable->m_unMask; ++iBucket)
    {
        const HashEntry_t &bucket = pTable->m_pBuckets[iBucket];
        uint32 cEntries = 0;
        for (const HashEntry_t *pEntry = &bucket; pEntry && pEntry->m_hSymbol.load();
             pEntry = pEntry->m_pNext.load())
            ++cEntries;
        if (cEntries)
        {
            ++cUsedBuckets;
            cCollisions += cEntries - 1;
        }
        ++mapChainLengths[cEntries];
    }
    Msg("Total of %u buckets with %u hash collisions\n", (unsigned)cUsedBuckets, (unsigned)cCollisions);
    Msg("Bucket size : count\n");
    for (const auto &entry : mapChainLengths)
        Msg("%u : %u\n", (unsigned)entry.first, (unsigned)entry.second);
}

void CKeyValuesSystem::DumpLeaks()
{
    std::lock_guard<std::mutex> lock(m_LeakMutex);
    std::map<HKeySymbol, uint32> mapCounts;
    for (const auto &entry : m_LeakTrack)
        ++mapCounts[entry.second];
    Msg("Leaked KeyValues (%u):\n", (unsigned)m_LeakTrack.size());
    for (const auto &entry : mapCounts)
        Msg("%s (%u)\n", GetNameForSymbol(entry.first), (unsigned)entry.second);
}

// POSIX only: the directory listings of the letter-case lookup. A directory is known by its
// device and inode number, so every spelling of its path (relative, absolute, another
// letter case) shares one listing, and a renamed directory keeps it.
#include "foundation/platform/posix/listingcache.h"

#include "foundation/platform/file.h"

#include <atomic>
#include <cerrno>
#include <dirent.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unordered_map>
#include <utility>

namespace
{
// Lower-case name to the names on disk that have it (a POSIX directory may hold several).
typedef std::unordered_multimap<std::string, std::string> Listing_t;
typedef std::pair<dev_t, ino_t> DirectoryKey_t;

struct ListingCache_t
{
    std::atomic<int> m_cScopes{0};
    std::mutex m_Mutex; // guards the map
    std::map<DirectoryKey_t, Listing_t> m_mapListings;
};

ListingCache_t &Cache()
{
    // Never destroyed: threads may still look up names while the process exits.
    static ListingCache_t *s_pCache = new ListingCache_t;
    return *s_pCache;
}

// The cache's own system calls must not change the errno a caller is about to report.
class CErrnoKeeper
{
public:
    CErrnoKeeper() : m_nErrno(errno) {}
    ~CErrnoKeeper() { errno = m_nErrno; }

private:
    int m_nErrno;
};

std::string LowerCase(std::string str)
{
    for (char &ch : str)
    {
        if (ch >= 'A' && ch <= 'Z')
            ch = (char)(ch - 'A' + 'a');
    }
    return str;
}

const char *DirectoryForSystem(const std::string &strDir)
{
    return strDir.empty() ? "." : strDir.c_str();
}

bool BDirectoryKey(const std::string &strDir, DirectoryKey_t *pKey)
{
    struct stat st;
    if (stat(DirectoryForSystem(strDir), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    *pKey = DirectoryKey_t(st.st_dev, st.st_ino);
    return true;
}

bool BReadListing(const std::string &strDir, Listing_t *pListing)
{
    DIR *pDir = opendir(DirectoryForSystem(strDir));
    if (!pDir)
        return false;
    while (dirent *pEnt = readdir(pDir))
        pListing->emplace(LowerCase(pEnt->d_name), pEnt->d_name);
    closedir(pDir);
    return true;
}

// The directory part and the name of a path: "a/b" gives "a" and "b", "b" gives "" and "b",
// "/b" gives "/" and "b".
void SplitPath(const std::string &strPath, std::string *pstrDir, std::string *pstrName)
{
    std::string str = strPath;
    while (str.size() > 1 && str.back() == '/')
        str.pop_back();
    size_t iSlash = str.find_last_of('/');
    if (iSlash == std::string::npos)
    {
        pstrDir->clear();
        *pstrName = str;
        return;
    }
    *pstrDir = iSlash == 0 ? "/" : str.substr(0, iSlash);
    *pstrName = str.substr(iSlash + 1);
}

bool BFindIn(const Listing_t &listing, const std::string &strLower, std::string *pstrFound)
{
    auto it = listing.find(strLower);
    if (it == listing.end())
        return false;
    *pstrFound = it->second;
    return true;
}

Listing_t::iterator FindExact(Listing_t &listing, const std::string &strName)
{
    auto range = listing.equal_range(LowerCase(strName));
    for (auto it = range.first; it != range.second; ++it)
    {
        if (it->second == strName)
            return it;
    }
    return listing.end();
}
} // namespace

void PLAT_BeginDirectoryListingCache()
{
    Cache().m_cScopes.fetch_add(1);
}

void PLAT_EndDirectoryListingCache()
{
    ListingCache_t &cache = Cache();
    std::lock_guard<std::mutex> lock(cache.m_Mutex);
    if (cache.m_cScopes.fetch_sub(1) == 1)
        cache.m_mapListings.clear();
}

bool BFindEntryNoCase(const std::string &strDir, const std::string &strName, std::string *pstrFound)
{
    ListingCache_t &cache = Cache();
    const std::string strLower = LowerCase(strName);
    DirectoryKey_t key;
    if (cache.m_cScopes.load() == 0 || !BDirectoryKey(strDir, &key))
    {
        Listing_t listing;
        return BReadListing(strDir, &listing) && BFindIn(listing, strLower, pstrFound);
    }

    std::lock_guard<std::mutex> lock(cache.m_Mutex);
    auto itListing = cache.m_mapListings.find(key);
    if (itListing == cache.m_mapListings.end())
    {
        Listing_t listing;
        if (!BReadListing(strDir, &listing))
            return false;
        // Kept only while a scope is open (the last one may have closed meanwhile).
        if (cache.m_cScopes.load() == 0)
            return BFindIn(listing, strLower, pstrFound);
        itListing = cache.m_mapListings.emplace(key, std::move(listing)).first;
    }
    return BFindIn(itListing->second, strLower, pstrFound);
}

void NoteDirectoryEntryChanged(const std::string &strPath)
{
    ListingCache_t &cache = Cache();
    if (cache.m_cScopes.load() == 0)
        return;
    CErrnoKeeper errnoKeeper;
    std::string strDir, strName;
    SplitPath(strPath, &strDir, &strName);
    DirectoryKey_t key;
    if (strName.empty() || strName == "." || strName == ".." || !BDirectoryKey(strDir, &key))
        return;
    struct stat st;
    const bool bExists = lstat(strPath.c_str(), &st) == 0;

    std::lock_guard<std::mutex> lock(cache.m_Mutex);
    auto itListing = cache.m_mapListings.find(key);
    if (itListing == cache.m_mapListings.end())
        return;
    Listing_t &listing = itListing->second;
    auto it = FindExact(listing, strName);
    if (bExists && it == listing.end())
        listing.emplace(LowerCase(strName), strName);
    else if (!bExists && it != listing.end())
        listing.erase(it);
}

void ForgetDirectoryListing(const std::string &strPath)
{
    ListingCache_t &cache = Cache();
    if (cache.m_cScopes.load() == 0)
        return;
    CErrnoKeeper errnoKeeper;
    struct stat st;
    if (lstat(strPath.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return;
    std::lock_guard<std::mutex> lock(cache.m_Mutex);
    cache.m_mapListings.erase(DirectoryKey_t(st.st_dev, st.st_ino));
}

// Packing a top-level folder into packages of at most a maximum size, so that a new build
// changes as few packages as possible.
//
// A folder whose files fit in one package is the package named after the folder. A larger
// one is split by the SHA-256 of each file's path (ASCII lower case, as the launcher records
// installed files): its files go into two halves by the first bit of that digest, and a half
// that still does not fit is split again by the next bit, and so on. Each part is named after
// the folder, "-" and the bits that lead to it ("data-0", "data-10", "data-11"). Which part a
// file lands in thus depends on its own path and on whether the parts on its way fit, never
// on the order or the names of its neighbours:
//   - a file whose content changes (and not its size) changes exactly one package;
//   - a file added changes the one part it falls into, or, when that part no longer fits,
//     replaces it with its two halves (two packages to download; more only when one half
//     alone still holds nearly everything, which needs files not much smaller than the
//     maximum);
//   - a file removed changes the one part it leaves, or merges that part with its
//     neighbours into one package when together they fit again.
// The count of packages therefore grows one split at a time where the folder grows, instead
// of being a function of the folder's whole size, which would move files between every
// package when it changed.
//
// Sizes are counted as the archive would be at worst (deflate's bound for incompressible data
// and the zip records), so every package stays within the maximum whatever the compression
// achieves. A file that alone does not fit gets a package of its own, named after the folder,
// "-f" and the first 16 hex digits of its path's digest.
#pragma once

#include "publishzip.h"

#include "foundation/basetypes.h"

#include <string>
#include <vector>

struct PublishPackage_t
{
    std::string m_strName;
    std::vector<PublishZipItem_t> m_vecItems; // sorted by name
    bool m_bOversize = false;                 // one file larger than the maximum on its own
    std::string m_strFileName;                // <name>.zip.<sha1>, once written
    uint64 m_cubArchive = 0;                  // once written
    std::string m_strSHA256Hex;               // of the archive, once written
};

// The smallest maximum package size the publisher accepts (a package holds at least one
// small file and the archive's own records).
const uint64 k_cubMinMaxPackageSize = 65536;

// Packs the items of one folder (the package name strFolder) as described above, appending
// the packages to pvecPackages in name order. False, with the reason, when the folder cannot
// be packed (two paths that differ only in letter case, which the launcher would install as
// one file).
bool BPackFolder(const std::string &strFolder, const std::vector<PublishZipItem_t> &vecItems,
                 uint64 cubMaxPackage, std::vector<PublishPackage_t> *pvecPackages, std::string *pstrError);

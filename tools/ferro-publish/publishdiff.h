// "ferro-publish diff": what a player with one build downloads to get another.
//
// A launcher keeps the archives of its installed build in its package folder and fetches
// every archive of the new manifest that is not there with its name and size; an archive's
// name holds its package name and SHA-1, so a package is downloaded again exactly when its
// "file" or "size" changed.
#pragma once

#include "foundation/basetypes.h"

#include <string>
#include <vector>

// A manifest named on the command line: a manifest file, or a content folder as
// "ferro-publish build" writes it (its manifest is client/arvo_launcher_[<beta>_]<tag>).
struct PublishDiffSource_t
{
    std::string m_strPath;
    std::string m_strBeta;
    std::string m_strPlatform;
};

struct PublishDiffPackage_t
{
    std::string m_strName;
    std::string m_strFile;
    uint64 m_cubSize = 0;
};

struct PublishDiff_t
{
    std::vector<PublishDiffPackage_t> m_vecDownloads; // in the new manifest's order
    int m_cNewPackages = 0;
    uint64 m_cubNewBuild = 0;
    int m_cKept = 0;
    int m_cDropped = 0; // archives of the old build that the new one no longer names
};

// Reads both manifests (their shape checked as a launcher checks it; signatures are not)
// and compares them. False, with the reason, when one cannot be found or read.
bool BDiffBuilds(const PublishDiffSource_t &oldBuild, const PublishDiffSource_t &newBuild,
                 PublishDiff_t *pDiff, std::string *pstrError);

// One line per package to download, "download <name> <file> <bytes>", then the totals.
std::string DescribeDiff(const PublishDiff_t &diff);

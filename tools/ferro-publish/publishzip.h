// Deterministic zip archives for packages: the same files give the same bytes, so an
// unchanged package keeps its content-addressed name from build to build.
#pragma once

#include "foundation/basetypes.h"

#include <string>
#include <vector>

struct PublishZipItem_t
{
    std::string m_strName;       // item name in the archive, "/" separated
    std::string m_strSourcePath; // the file to store
    bool m_bExecutable = false;  // stored with mode 0755 instead of 0644
    uint64 m_cubSize = 0;        // the file's size when it was listed
};

// The most bytes the item can take in an archive: its data deflated at worst (incompressible
// data grows a little) and its local and central directory records.
uint64 PublishZipItemBound(const PublishZipItem_t &item);

// The most bytes an archive takes besides its items (the end records, zip64 ones included).
const uint64 k_cubPublishZipArchiveOverhead = 128;

// Writes the items in the order given (callers sort them), deflated, each with the fixed
// time 1980-01-01 00:00:00 and a Unix mode in its external attributes. False, with the
// reason, when a file cannot be read or the archive cannot be written; the archive is then
// removed.
bool BWriteDeterministicZip(const std::string &strZipPath, const std::vector<PublishZipItem_t> &vecItems,
                            std::string *pstrError);

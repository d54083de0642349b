// POSIX only: the directory listings of the letter-case lookup, kept while a scope of
// PLAT_BeginDirectoryListingCache is open. Used by this folder's file code only.
#pragma once

#include <string>

// Finds an entry of the directory (a path as the system takes it; empty for the working
// directory) whose name equals strName without regard to ASCII case: in the kept listing
// while the cache is open (the directory is read once), else by reading the directory.
bool BFindEntryNoCase(const std::string &strDir, const std::string &strName, std::string *pstrFound);

// This layer created, renamed or deleted the entry at the path (as the system takes it):
// the kept listing of its directory follows what is there now. Call after the change.
void NoteDirectoryEntryChanged(const std::string &strPath);

// The directory at the path may be about to go (removed, or replaced by a rename): its own
// listing is forgotten, so that a directory made later with the same inode number is
// listed anew. Call before the change.
void ForgetDirectoryListing(const std::string &strPath);

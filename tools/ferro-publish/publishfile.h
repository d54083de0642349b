// Whole files for the publisher.
#pragma once

#include <string>

// The file's bytes; false when it cannot be read.
bool BReadWholeFile(const std::string &strPath, std::string *pstrContent);

// Writes the bytes to the file through a temporary file beside it, so that a reader never
// sees half of it.
bool BWriteFileAtomically(const std::string &strPath, const std::string &strContent, std::string *pstrError);

// Shared by the fuzz targets that drive the updater: one updater per fuzzing process, made
// in a fresh temporary folder whose "install" folder is both the install directory and the
// working directory (the updater reads ferro.cfg, the beta file and its package folder
// relative to it), with its bootstrap log switched off so that millions of runs write nothing
// but what the target asks for. The folder is removed when the process ends normally; a
// crash leaves it for a look.
#pragma once

#include "ferroexe/ferroupdater.h"

#include <cstdint>
#include <string>

// The updater (made on the first call). Every later call returns the same one.
CFerroUpdater &FuzzUpdater();

// The temporary folder that holds "install" (absolute, no trailing separator).
const std::string &FuzzRootDir();

// Writes the bytes to a new file (one already there is deleted first); false when it cannot
// be written.
bool BWriteFuzzFile(const std::string &strPath, const uint8_t *pubData, size_t cubData);

// Stops the process with a message on stderr: the fuzzer reports it as a crash and keeps
// the input that caused it.
[[noreturn]] void FuzzFailure(const char *pchFormat, ...) FERRO_PRINTF(1, 2);

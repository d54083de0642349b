// The crash marker: an empty file ".crash" in the base user directory that exists while a
// launcher run is in progress. One found at start-up means the previous run did not end
// cleanly (it crashed or was killed before its shutdown).
#pragma once

#include "foundation/basetypes.h"

// "<base user dir>/.crash" with every slash turned into a backslash (the file layer takes
// either separator).
void BuildCrashMarkerPath(const char *pchBaseUserDir, char *pchOut, int cubOut);
bool BCrashMarkerExists(const char *pchMarkerPath);
// Creates the empty marker; false when it cannot be written.
bool BCreateCrashMarker(const char *pchMarkerPath);
void DeleteCrashMarker(const char *pchMarkerPath);

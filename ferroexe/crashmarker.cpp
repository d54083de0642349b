#include "ferroexe/crashmarker.h"

#include "foundation/platform/file.h"
#include "foundation/strtools.h"

#include <cstdio>

void BuildCrashMarkerPath(const char *pchBaseUserDir, char *pchOut, int cubOut)
{
    Q_snprintf(pchOut, cubOut, "%s/.crash", pchBaseUserDir ? pchBaseUserDir : "");
    Q_FixSlashes(pchOut, '\\');
}

bool BCrashMarkerExists(const char *pchMarkerPath)
{
    return PLAT_FileExists(pchMarkerPath);
}

bool BCreateCrashMarker(const char *pchMarkerPath)
{
    FILE *pFile = PLAT_fopen(pchMarkerPath, "wb");
    if (!pFile)
        return false;
    return fclose(pFile) == 0;
}

void DeleteCrashMarker(const char *pchMarkerPath)
{
    PLAT_DeleteFile(pchMarkerPath);
}

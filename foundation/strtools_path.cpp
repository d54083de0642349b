// Path tools with Windows conventions (the separator written is the backslash).
#include "foundation/strtools.h"

#include "foundation/dbg.h"
#include "foundation/platform/file.h"

#include <cstring>

void Q_FixSlashes(char *pchPath, char chSeparator)
{
    for (; pchPath && *pchPath; ++pchPath)
    {
        if (Q_IsPathSeparator(*pchPath))
            *pchPath = chSeparator;
    }
}

void Q_FixDoubleSlashes(char *pchPath)
{
    if (!pchPath)
        return;
    int cch = (int)strlen(pchPath);
    // From the second character on, so that a leading "\\" (a network path) stays.
    for (int i = 1; i < cch - 1; ++i)
    {
        if (Q_IsPathSeparator(pchPath[i]) && Q_IsPathSeparator(pchPath[i + 1]))
        {
            memmove(pchPath + i, pchPath + i + 1, (size_t)(cch - i));
            --cch;
        }
    }
}

void Q_AppendSlash(char *pchPath, int cubPath)
{
    if (!pchPath)
        return;
    int cch = (int)strlen(pchPath);
    if (cch == 0 || Q_IsPathSeparator(pchPath[cch - 1]))
        return;
    if (cch + 1 >= cubPath)
    {
        Warning("Q_AppendSlash: ran out of space on %s.", pchPath);
        return;
    }
    pchPath[cch] = CORRECT_PATH_SEPARATOR;
    pchPath[cch + 1] = '\0';
}

void Q_StripLastComponent(char *pchPath)
{
    if (!pchPath)
        return;
    char *pchLast = nullptr;
    for (char *pch = pchPath; *pch; ++pch)
    {
        if (Q_IsPathSeparator(*pch))
            pchLast = pch;
    }
    if (pchLast)
        *pchLast = '\0';
    else
        pchPath[0] = '\0';
}

const char *Q_UnqualifiedFileName(const char *pchPath)
{
    if (!pchPath)
        return "";
    const char *pchName = pchPath;
    for (const char *pch = pchPath; *pch; ++pch)
    {
        if (Q_IsPathSeparator(*pch))
            pchName = pch + 1;
    }
    return pchName;
}

void Q_FileBase(const char *pchPath, char *pchOut, int cubOut)
{
    if (!pchOut || cubOut <= 0)
        return;
    const char *pchName = Q_UnqualifiedFileName(pchPath);
    const char *pchDot = strrchr(pchName, '.');
    int cch = pchDot ? (int)(pchDot - pchName) : (int)strlen(pchName);
    Q_strncpy(pchOut, pchName, cch + 1 < cubOut ? cch + 1 : cubOut);
}

bool Q_IsAbsolutePath(const char *pchPath)
{
    if (!pchPath || !*pchPath)
        return false;
    return strchr(pchPath, ':') != nullptr || Q_IsPathSeparator(pchPath[0]);
}

bool Q_RemoveDotSlashes(char *pchPath, char chSeparator)
{
    if (!pchPath)
        return false;
    Q_FixSlashes(pchPath, chSeparator);
    int cch = (int)strlen(pchPath);

    // "\.\" becomes "\"; scanning goes on after the separator that stays.
    for (int i = 0; i + 2 < cch;)
    {
        if (pchPath[i] == chSeparator && pchPath[i + 1] == '.' && pchPath[i + 2] == chSeparator)
        {
            memmove(pchPath + i + 1, pchPath + i + 3, (size_t)(cch - i - 2));
            cch -= 2;
            i += 1;
        }
        else
        {
            ++i;
        }
    }
    if (cch >= 2 && pchPath[cch - 2] == chSeparator && pchPath[cch - 1] == '.')
        pchPath[--cch] = '\0';
    if (cch >= 2 && pchPath[0] == '.' && pchPath[1] == chSeparator)
    {
        memmove(pchPath, pchPath + 2, (size_t)(cch - 1));
        cch -= 2;
    }

    // Each ".." takes the component before it away.
    for (;;)
    {
        int iDots = -1;
        for (int i = 0; i + 1 < cch; ++i)
        {
            if (pchPath[i] == '.' && pchPath[i + 1] == '.' && (i == 0 || pchPath[i - 1] == chSeparator) &&
                (i + 2 == cch || pchPath[i + 2] == chSeparator))
            {
                iDots = i;
                break;
            }
        }
        if (iDots < 0)
            break;
        if (iDots <= 1)
            return false;
        // iDots - 1 is the separator after the preceding component; find the one before it.
        int iCut = iDots - 2;
        while (iCut >= 0 && pchPath[iCut] != chSeparator)
            --iCut;
        if (iCut < 0)
            iCut = 0;
        int iKeep = iDots + 2;
        memmove(pchPath + iCut, pchPath + iKeep, (size_t)(cch - iKeep + 1));
        cch -= iKeep - iCut;
    }
    return true;
}

void Q_MakeAbsolutePath(char *pchOut, int cubOut, const char *pchPath, const char *pchStartingDir)
{
    if (!pchOut || cubOut <= 0 || !pchPath)
        return;
    if (Q_IsAbsolutePath(pchPath))
    {
        Q_strncpy(pchOut, pchPath, cubOut);
    }
    else
    {
        if (pchStartingDir && Q_IsAbsolutePath(pchStartingDir))
        {
            Q_strncpy(pchOut, pchStartingDir, cubOut);
        }
        else
        {
            char rgchCwd[MAX_UNICODE_PATH_IN_UTF8 * 4];
            if (!PLAT_GetCurrentDirectory(rgchCwd, sizeof(rgchCwd)))
            {
                AssertFailed("Q_MakeAbsolutePath: _wgetcwd failed.");
                pchOut[0] = '\0';
                return;
            }
            if ((int)strlen(rgchCwd) >= cubOut)
            {
                AssertFailed("Not enough room to put cwd in buffer in Q_MakeAbsolutePath");
                pchOut[0] = '\0';
                return;
            }
            Q_strncpy(pchOut, rgchCwd, cubOut);
            if (pchStartingDir)
            {
                Q_AppendSlash(pchOut, cubOut);
                Q_strncat(pchOut, pchStartingDir, cubOut);
            }
        }
        Q_AppendSlash(pchOut, cubOut);
        Q_strncat(pchOut, pchPath, cubOut);
    }
    if (!Q_RemoveDotSlashes(pchOut, CORRECT_PATH_SEPARATOR))
        AssertFailedV("Q_RemoveDotSlashes failed for \"%s\".", pchOut);
}

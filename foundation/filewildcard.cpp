#include "foundation/filewildcard.h"

#include "foundation/strtools.h"

bool BFileNameMatchesWildcard(const char *pchPattern, const char *pchName)
{
    if (!pchPattern)
        return true;
    if (!pchName)
        return false;
    // Greedy walk with one back-track point: the last "*" seen and where its run ended. A
    // later mismatch lets that star take one more character; earlier stars never need to.
    const char *pchStar = nullptr, *pchResume = nullptr;
    while (*pchName)
    {
        char chPattern = Q_tolower_ascii(*pchPattern), chName = Q_tolower_ascii(*pchName);
        if (chPattern == '*')
        {
            pchStar = pchPattern++;
            pchResume = pchName;
        }
        else if (chPattern == '?' || (chPattern && chPattern == chName))
        {
            ++pchPattern;
            ++pchName;
        }
        else if (pchStar)
        {
            pchPattern = pchStar + 1;
            pchName = ++pchResume;
        }
        else
        {
            return false;
        }
    }
    while (*pchPattern == '*')
        ++pchPattern;
    return *pchPattern == '\0';
}

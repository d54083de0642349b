#include "foundation/strtools.h"

#include "foundation/dbg.h"

#include <cctype>
#include <cstdio>
#include <cstring>

int Q_strlen(const char *pch)
{
    AssertMsg(pch != nullptr, "pch != NULL");
    return pch ? (int)strlen(pch) : 0;
}

void Q_strncpy(char *pchDest, const char *pchSrc, int cubDest)
{
    AssertMsg(pchDest != nullptr, "pDest != NULL");
    AssertMsg(pchSrc != nullptr, "pSrc != NULL");
    if (!pchDest || cubDest <= 0)
        return;
    if (!pchSrc)
    {
        pchDest[0] = '\0';
        return;
    }
    int i = 0;
    for (; i < cubDest - 1 && pchSrc[i]; ++i)
        pchDest[i] = pchSrc[i];
    pchDest[i] = '\0';
}

void Q_strcat(char *pchDest, const char *pchSrc, int cubDest)
{
    Q_strncat(pchDest, pchSrc, cubDest, COPY_ALL_CHARACTERS);
}

void Q_strncat(char *pchDest, const char *pchSrc, int cubDest, int cchMax)
{
    AssertMsg(pchDest != nullptr, "pDest != NULL");
    AssertMsg(pchSrc != nullptr, "pSrc != NULL");
    if (!pchDest || !pchSrc || cubDest <= 0)
        return;
    int cchDest = (int)strnlen(pchDest, (size_t)cubDest);
    int cchRoom = cubDest - cchDest;
    if (cchRoom <= 1)
        return;
    int cchCopy = cchRoom - 1;
    if (cchMax >= 0 && cchMax < cchCopy)
        cchCopy = cchMax;
    int i = 0;
    for (; i < cchCopy && pchSrc[i]; ++i)
        pchDest[cchDest + i] = pchSrc[i];
    pchDest[cchDest + i] = '\0';
}

int Q_wcslen(const wchar16 *pwch)
{
    int n = 0;
    while (pwch && pwch[n])
        ++n;
    return n;
}

void Q_wcsncpy(wchar16 *pwchDest, const wchar16 *pwchSrc, int cubDest)
{
    AssertMsg(pwchDest != nullptr, "pDest != NULL");
    AssertMsg(pwchSrc != nullptr, "pSrc != NULL");
    int cchDest = cubDest / (int)sizeof(wchar16);
    if (!pwchDest || cchDest <= 0)
        return;
    int i = 0;
    for (; pwchSrc && i < cchDest - 1 && pwchSrc[i]; ++i)
        pwchDest[i] = pwchSrc[i];
    pwchDest[i] = 0;
}

int Q_strncmp(const char *a, const char *b, int cch)
{
    for (int i = 0; i < cch; ++i)
    {
        unsigned char ca = (unsigned char)a[i], cb = (unsigned char)b[i];
        if (ca != cb)
            return ca < cb ? -1 : 1;
        if (!ca)
            break;
    }
    return 0;
}

int Q_strnicmp(const char *a, const char *b, int cch)
{
    for (int i = 0; i < cch; ++i)
    {
        unsigned char ca = (unsigned char)Q_tolower_ascii(a[i]), cb = (unsigned char)Q_tolower_ascii(b[i]);
        if (ca != cb)
            return ca < cb ? -1 : 1;
        if (!ca)
            break;
    }
    return 0;
}

const char *Q_stristr(const char *pchHaystack, const char *pchNeedle)
{
    if (!pchHaystack || !pchNeedle)
        return nullptr;
    if (!*pchNeedle)
        return pchHaystack;
    char chFirst = Q_tolower_ascii(*pchNeedle);
    for (const char *pch = pchHaystack; *pch; ++pch)
    {
        if (Q_tolower_ascii(*pch) != chFirst)
            continue;
        const char *h = pch + 1, *n = pchNeedle + 1;
        while (*n && Q_tolower_ascii(*h) == Q_tolower_ascii(*n))
        {
            ++h;
            ++n;
        }
        if (!*n)
            return pch;
    }
    return nullptr;
}

void Q_strlower(char *pch)
{
    for (; pch && *pch; ++pch)
        *pch = Q_tolower_ascii(*pch);
}

int Q_vsnprintf(char *pchDest, int cubDest, const char *pchFormat, va_list args, bool *pbTruncated)
{
    if (pbTruncated)
        *pbTruncated = false;
    if (!pchDest || cubDest <= 0)
        return 0;
    int cch = vsnprintf(pchDest, (size_t)cubDest, pchFormat, args);
    if (cch < 0 || cch >= cubDest)
    {
        pchDest[cubDest - 1] = '\0';
        if (pbTruncated)
            *pbTruncated = true;
        return cubDest - 1;
    }
    return cch;
}

int Q_snprintf(char *pchDest, int cubDest, const char *pchFormat, ...)
{
    va_list args;
    va_start(args, pchFormat);
    int cch = Q_vsnprintf(pchDest, cubDest, pchFormat, args);
    va_end(args);
    return cch;
}

int Q_atoi(const char *pch, const char **ppchEnd)
{
    if (!pch)
    {
        AssertFailed("NULL buffer passed to Q_atoi()");
        if (ppchEnd)
            *ppchEnd = pch;
        return 0;
    }
    const char *pchStart = pch;
    bool bNegative = false;
    if (*pch == '-' || *pch == '+')
    {
        bNegative = *pch == '-';
        ++pch;
    }
    // Unsigned arithmetic: overflow wraps instead of being undefined.
    uint32 unValue = 0;
    const char *pchEnd = pchStart;
    if (pch[0] == '0' && (pch[1] == 'x' || pch[1] == 'X') && isxdigit((unsigned char)pch[2]))
    {
        pch += 2;
        while (isxdigit((unsigned char)*pch))
        {
            char ch = *pch++;
            uint32 unDigit = (ch >= '0' && ch <= '9') ? (uint32)(ch - '0') : (uint32)(Q_tolower_ascii(ch) - 'a' + 10);
            unValue = unValue * 16 + unDigit;
        }
        pchEnd = pch;
    }
    else if (pch[0] == '\'' && pch[1])
    {
        unValue = (uint32)(unsigned char)pch[1];
        pchEnd = pch + 2;
    }
    else if (*pch >= '0' && *pch <= '9')
    {
        while (*pch >= '0' && *pch <= '9')
            unValue = unValue * 10 + (uint32)(*pch++ - '0');
        pchEnd = pch;
    }
    if (ppchEnd)
        *ppchEnd = pchEnd;
    if (pchEnd == pchStart)
        return 0;
    return (int)(bNegative ? 0u - unValue : unValue);
}

const char *Q_FormatNumber(int64 nValue, int nMinWidth)
{
    static thread_local char s_rgchBuffers[8][32];
    static thread_local int s_iNext = 0;
    char *pchOut = s_rgchBuffers[s_iNext];
    s_iNext = (s_iNext + 1) % 8;

    char rgchDigits[32];
    snprintf(rgchDigits, sizeof(rgchDigits), "%lld", (long long)nValue);
    const char *pchDigits = rgchDigits[0] == '-' ? rgchDigits + 1 : rgchDigits;
    int cchDigits = (int)strlen(pchDigits);

    char rgchGrouped[48];
    int iOut = 0;
    if (nValue < 0)
        rgchGrouped[iOut++] = '-';
    for (int i = 0; i < cchDigits; ++i)
    {
        if (i > 0 && (cchDigits - i) % 3 == 0)
            rgchGrouped[iOut++] = ',';
        rgchGrouped[iOut++] = pchDigits[i];
    }
    rgchGrouped[iOut] = '\0';

    if (nMinWidth > 31)
        nMinWidth = 31;
    int cchPad = nMinWidth > iOut ? nMinWidth - iOut : 0;
    memset(pchOut, ' ', (size_t)cchPad);
    Q_strncpy(pchOut + cchPad, rgchGrouped, 32 - cchPad);
    return pchOut;
}

int Q_StripSurroundingWhiteSpace(char *pch)
{
    if (!pch)
        return 0;
    char *pchStart = pch;
    while (*pchStart && isspace((unsigned char)*pchStart))
        ++pchStart;
    int cch = (int)strlen(pchStart);
    while (cch > 0 && isspace((unsigned char)pchStart[cch - 1]))
        --cch;
    memmove(pch, pchStart, (size_t)cch);
    pch[cch] = '\0';
    return cch;
}

const char *Q_StringHasPrefix(const char *pch, const char *pchPrefix)
{
    if (!pch || !pchPrefix)
        return nullptr;
    int cchPrefix = (int)strlen(pchPrefix);
    if (Q_strnicmp(pch, pchPrefix, cchPrefix) != 0)
        return nullptr;
    return pch + cchPrefix;
}

void Q_SplitString2(const char *pch, const char **ppchSeparators, int nSeparators, CUtlVector<CUtlString> &outList,
                    bool bIncludeEmptyStrings)
{
    outList.RemoveAll();
    if (!pch)
        return;
    const char *pchRest = pch;
    for (;;)
    {
        const char *pchFirst = nullptr;
        int cchSeparator = 0;
        for (int i = 0; i < nSeparators; ++i)
        {
            if (!ppchSeparators[i] || !*ppchSeparators[i])
                continue;
            const char *pchFound = strstr(pchRest, ppchSeparators[i]);
            if (pchFound && (!pchFirst || pchFound < pchFirst))
            {
                pchFirst = pchFound;
                cchSeparator = (int)strlen(ppchSeparators[i]);
            }
        }
        if (!pchFirst)
            break;
        if (pchFirst > pchRest || bIncludeEmptyStrings)
            outList.AddToTail(CUtlString(pchRest, (size_t)(pchFirst - pchRest)));
        pchRest = pchFirst + cchSeparator;
    }
    if (*pchRest)
        outList.AddToTail(CUtlString(pchRest));
}

void Q_SplitString(const char *pch, const char *pchSeparator, CUtlVector<CUtlString> &outList,
                   bool bIncludeEmptyStrings)
{
    Q_SplitString2(pch, &pchSeparator, 1, outList, bIncludeEmptyStrings);
}

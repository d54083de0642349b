// Hex and URL encodings, and host extraction from URLs.
#include "foundation/strtools.h"

#include "foundation/dbg.h"

#include <cctype>
#include <cstring>

namespace
{
int HexValue(char ch)
{
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    if (ch >= 'a' && ch <= 'f')
        return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F')
        return ch - 'A' + 10;
    return -1;
}

void URLEncodeInternal(char *pchDest, int cubDest, const char *pchSrc, int cubSrc, bool bPlusForSpace)
{
    if (!pchDest || cubDest <= 0)
        return;
    if (cubDest < 3 * cubSrc + 1)
    {
        pchDest[0] = '\0';
        AssertFailed("Target buffer for Q_URLEncode must be 3x source length, plus one for terminating null\n");
        return;
    }
    static const char s_rgchHex[] = "0123456789ABCDEF";
    int iOut = 0;
    for (int i = 0; i < cubSrc; ++i)
    {
        unsigned char ch = (unsigned char)pchSrc[i];
        if (isalnum(ch) || ch == '-' || ch == '_' || ch == '.')
        {
            pchDest[iOut++] = (char)ch;
        }
        else if (ch == ' ' && bPlusForSpace)
        {
            pchDest[iOut++] = '+';
        }
        else
        {
            pchDest[iOut++] = '%';
            pchDest[iOut++] = s_rgchHex[ch >> 4];
            pchDest[iOut++] = s_rgchHex[ch & 15];
        }
    }
    pchDest[iOut] = '\0';
}

int URLDecodeInternal(char *pchDest, int cubDest, const char *pchSrc, int cubSrc, bool bPlusForSpace)
{
    if (!pchDest || cubDest < cubSrc)
    {
        AssertFailed("Q_URLDecode needs a dest buffer at least as large as the source");
        return 0;
    }
    int iOut = 0;
    for (int i = 0; i < cubSrc; ++i)
    {
        char ch = pchSrc[i];
        if (ch == '+' && bPlusForSpace)
        {
            pchDest[iOut++] = ' ';
        }
        else if (ch == '%')
        {
            // Within the last two characters: dropped with what follows.
            if (i + 2 >= cubSrc)
                break;
            int nHi = HexValue(pchSrc[i + 1]), nLo = HexValue(pchSrc[i + 2]);
            if (nHi >= 0 && nLo >= 0)
            {
                pchDest[iOut++] = (char)((nHi << 4) | nLo);
            }
            else
            {
                pchDest[iOut++] = '%';
                pchDest[iOut++] = pchSrc[i + 1];
                pchDest[iOut++] = pchSrc[i + 2];
            }
            i += 2;
        }
        else
        {
            pchDest[iOut++] = ch;
        }
    }
    if (iOut < cubDest)
        pchDest[iOut] = '\0';
    return iOut;
}
} // namespace

void Q_binarytohex(const byte *pubIn, int cubIn, char *pchOut, int cubOut)
{
    AssertMsg(cubOut >= (cubIn * 2) + 1, "outsize >= ( inputbytes * 2 ) + 1");
    if (!pchOut || cubOut <= 0)
        return;
    static const char s_rgchHex[] = "0123456789abcdef";
    int iOut = 0;
    for (int i = 0; i < cubIn && cubOut - iOut >= 3; ++i)
    {
        pchOut[iOut++] = s_rgchHex[pubIn[i] >> 4];
        pchOut[iOut++] = s_rgchHex[pubIn[i] & 15];
    }
    pchOut[iOut] = '\0';
}

int Q_hextobinary(const char *pchHex, int cchHex, byte *pubOut, int cubOut)
{
    if (!pubOut || cubOut <= 0)
        return 0;
    memset(pubOut, 0, (size_t)cubOut);
    int iOut = 0;
    for (int i = 0; i + 1 < cchHex && iOut < cubOut; i += 2)
    {
        int nHi = HexValue(pchHex[i]), nLo = HexValue(pchHex[i + 1]);
        pubOut[iOut++] = (byte)(((nHi < 0 ? 0 : nHi) << 4) | (nLo < 0 ? 0 : nLo));
    }
    return iOut;
}

void Q_URLEncode(char *pchDest, int cubDest, const char *pchSrc, int cubSrc)
{
    URLEncodeInternal(pchDest, cubDest, pchSrc, cubSrc, true);
}

void Q_URLEncodeRaw(char *pchDest, int cubDest, const char *pchSrc, int cubSrc)
{
    URLEncodeInternal(pchDest, cubDest, pchSrc, cubSrc, false);
}

int Q_URLDecode(char *pchDest, int cubDest, const char *pchSrc, int cubSrc)
{
    return URLDecodeInternal(pchDest, cubDest, pchSrc, cubSrc, true);
}

int Q_URLDecodeRaw(char *pchDest, int cubDest, const char *pchSrc, int cubSrc)
{
    return URLDecodeInternal(pchDest, cubDest, pchSrc, cubSrc, false);
}

bool Q_URLHost(const char *pchURL, char *pchOut, int cubOut)
{
    if (!pchOut || cubOut <= 0)
        return false;
    pchOut[0] = '\0';
    if (!pchURL)
        return false;
    if (const char *pchRest = Q_StringHasPrefix(pchURL, "ferro://openurl/"))
        pchURL = pchRest;
    if (const char *pchSlashes = strstr(pchURL, "//"))
        pchURL = pchSlashes + 2;
    const char *pchEnd = strchr(pchURL, '/');
    int cch = pchEnd ? (int)(pchEnd - pchURL) : (int)strlen(pchURL);
    Q_strncpy(pchOut, pchURL, cch + 1 < cubOut ? cch + 1 : cubOut);
    return pchOut[0] != '\0';
}

bool Q_URLHostMatchesDomain(const char *pchURL, const char *pchDomain)
{
    char rgchHost[2048];
    if (!pchDomain || !Q_URLHost(pchURL, rgchHost, sizeof(rgchHost)))
        return false;
    if (*pchDomain == '.')
        ++pchDomain;
    int cchHost = (int)strlen(rgchHost), cchDomain = (int)strlen(pchDomain);
    if (cchDomain == 0 || cchDomain > cchHost)
        return false;
    const char *pchTail = rgchHost + (cchHost - cchDomain);
    if (Q_stricmp(pchTail, pchDomain) != 0)
        return false;
    return cchHost == cchDomain || pchTail[-1] == '.';
}

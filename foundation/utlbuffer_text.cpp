// CUtlBuffer: strings, text helpers, delimited strings with escape conversions, and the
// formatted reader and writer.
#include "foundation/utlbuffer.h"

#include "foundation/dbg.h"
#include "foundation/utlstring.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{
// The C library's isspace in the "C" locale, without depending on the current locale.
inline bool BIsSpace(unsigned char ch)
{
    return ch == ' ' || (ch >= '\t' && ch <= '\r');
}

const CUtlCharConversion::ConversionArray_t k_rgCStringConversion[] = {
    {'\n', "n"}, {'\t', "t"},  {'\v', "v"}, {'\b', "b"},  {'\r', "r"},  {'\f', "f"},
    {'\a', "a"}, {'\\', "\\"}, {'?', "?"},  {'\'', "\'"}, {'\"', "\""},
};
} // namespace

CUtlCharConversion::CUtlCharConversion(char chEscapeChar, const char *pchDelimiter, int nCount,
                                       const ConversionArray_t *pArray)
    : m_chEscapeChar(chEscapeChar), m_pchDelimiter(pchDelimiter),
      m_nDelimiterLength((int)strlen(pchDelimiter)), m_nCount(nCount), m_pArray(pArray),
      m_nMaxConversionLength(0)
{
    memset(m_rgpchReplacement, 0, sizeof(m_rgpchReplacement));
    memset(m_rgnReplacementLength, 0, sizeof(m_rgnReplacementLength));
    for (int i = 0; i < nCount; ++i)
    {
        unsigned char ch = (unsigned char)pArray[i].m_chActualChar;
        m_rgpchReplacement[ch] = pArray[i].m_pchReplacementString;
        m_rgnReplacementLength[ch] = (int)strlen(pArray[i].m_pchReplacementString);
        if (m_rgnReplacementLength[ch] > m_nMaxConversionLength)
            m_nMaxConversionLength = m_rgnReplacementLength[ch];
    }
}

char CUtlCharConversion::FindConversion(const char *pch, int cch, int *pnLength) const
{
    for (int i = 0; i < m_nCount; ++i)
    {
        const char *pchReplacement = m_pArray[i].m_pchReplacementString;
        int cchReplacement = m_rgnReplacementLength[(unsigned char)m_pArray[i].m_chActualChar];
        if (cchReplacement > 0 && cchReplacement <= cch &&
            !memcmp(pch, pchReplacement, (size_t)cchReplacement))
        {
            *pnLength = cchReplacement;
            return m_pArray[i].m_chActualChar;
        }
    }
    *pnLength = 0;
    return 0;
}

CUtlCharConversion *GetCStringCharConversion()
{
    static CUtlCharConversion s_CStringConversion('\\', "\"", (int)Q_ARRAYSIZE(k_rgCStringConversion),
                                                  k_rgCStringConversion);
    return &s_CStringConversion;
}

CUtlCharConversion *GetNoEscCharConversion()
{
    static CUtlCharConversion s_NoEscConversion(0, "\"", 0, nullptr);
    return &s_NoEscConversion;
}

void CUtlBuffer::PutChar(char ch)
{
    if (!IsText() || ch != '\n' || m_nTab == 0 || (m_nFlags & AUTO_TABS_DISABLED))
    {
        Put(&ch, 1);
        return;
    }
    char rgch[1 + 255];
    rgch[0] = '\n';
    memset(rgch + 1, '\t', m_nTab);
    Put(rgch, 1 + m_nTab);
}

void CUtlBuffer::PushTab()
{
    if (m_nTab < 255)
        ++m_nTab;
}

void CUtlBuffer::PopTab()
{
    if (m_nTab > 0)
        --m_nTab;
}

void CUtlBuffer::PutString(const char *pch)
{
    if (!IsText())
    {
        Put(pch ? pch : "", pch ? (int)strlen(pch) + 1 : 1);
        return;
    }
    if (!pch)
        return;
    if (m_nTab == 0 || (m_nFlags & AUTO_TABS_DISABLED))
    {
        Put(pch, (int)strlen(pch));
        return;
    }
    // Indentation after each line feed.
    while (*pch)
    {
        const char *pchLineFeed = strchr(pch, '\n');
        if (!pchLineFeed)
        {
            Put(pch, (int)strlen(pch));
            return;
        }
        Put(pch, (int)(pchLineFeed - pch));
        PutChar('\n');
        pch = pchLineFeed + 1;
    }
}

void CUtlBuffer::Printf(const char *pchFormat, ...)
{
    va_list args;
    va_start(args, pchFormat);
    VaPrintf(pchFormat, args);
    va_end(args);
}

void CUtlBuffer::VaPrintf(const char *pchFormat, va_list args)
{
    CUtlString strText;
    strText.FormatV(pchFormat, args);
    PutString(strText.Get());
}

void CUtlBuffer::EatWhiteSpace()
{
    if (!IsText() || !IsValid())
        return;
    while (m_nGet < m_nMaxPut && BIsSpace(m_pMemory[m_nGet]))
        ++m_nGet;
}

bool CUtlBuffer::EatCPPComment()
{
    if (!IsText() || !IsValid() || !PeekStringMatch(0, "//", 2))
        return false;
    m_nGet += 2;
    const void *pLineFeed = memchr(m_pMemory + m_nGet, '\n', (size_t)(m_nMaxPut - m_nGet));
    m_nGet = pLineFeed ? (int)((const unsigned char *)pLineFeed - m_pMemory) + 1 : m_nMaxPut;
    return true;
}

int CUtlBuffer::PeekWhiteSpace(int nOffset)
{
    if (!IsText() || !IsValid() || nOffset < 0)
        return 0;
    int nPos = m_nGet + nOffset;
    int nStart = nPos;
    while (nPos < m_nMaxPut && BIsSpace(m_pMemory[nPos]))
        ++nPos;
    return nPos - nStart;
}

int CUtlBuffer::PeekStringLength()
{
    if (!IsValid() || m_nGet >= m_nMaxPut)
        return 0;
    const unsigned char *pch = m_pMemory + m_nGet;
    int cchLeft = m_nMaxPut - m_nGet;
    if (!IsText())
    {
        const void *pNul = memchr(pch, 0, (size_t)cchLeft);
        return (pNul ? (int)((const unsigned char *)pNul - pch) : cchLeft) + 1;
    }
    int nStart = PeekWhiteSpace(0);
    int nEnd = nStart;
    while (nEnd < cchLeft && !BIsSpace(pch[nEnd]))
        ++nEnd;
    return nEnd == nStart ? 0 : nEnd - nStart + 1;
}

bool CUtlBuffer::PeekStringMatch(int nOffset, const char *pch, int cch)
{
    if (!CheckPeekGet(nOffset, cch))
        return false;
    return cch == 0 || !memcmp(m_pMemory + m_nGet + nOffset, pch, (size_t)cch);
}

bool CUtlBuffer::GetString(char *pchOut, int nMaxChars)
{
    if (nMaxChars <= 0)
    {
        Assert(nMaxChars > 0);
        return false;
    }
    pchOut[0] = 0;
    if (!IsValid())
        return false;
    if (IsText())
        EatWhiteSpace();
    int nLen = PeekStringLength();
    if (nLen == 0)
    {
        m_nError |= GET_OVERFLOW;
        return false;
    }
    int cchString = nLen - 1;
    int cchCopy = cchString < nMaxChars - 1 ? cchString : nMaxChars - 1;
    Get(pchOut, cchCopy);
    pchOut[cchCopy] = 0;
    // The part that did not fit is consumed with the string.
    m_nGet += cchString - cchCopy;
    if (!IsText())
    {
        char chNul;
        Get(&chNul, 1);
    }
    return cchCopy == cchString;
}

bool CUtlBuffer::GetLine(char *pchOut, int nMaxChars)
{
    if (nMaxChars <= 0)
    {
        Assert(nMaxChars > 0);
        return false;
    }
    pchOut[0] = 0;
    if (!IsValid() || m_nGet >= m_nMaxPut)
        return false;
    const unsigned char *pch = m_pMemory + m_nGet;
    int cchLeft = m_nMaxPut - m_nGet;
    const void *pLineFeed = memchr(pch, '\n', (size_t)cchLeft);
    int cchLine = pLineFeed ? (int)((const unsigned char *)pLineFeed - pch) + 1 : cchLeft;
    int cchCopy = cchLine < nMaxChars - 1 ? cchLine : nMaxChars - 1;
    memcpy(pchOut, pch, (size_t)cchCopy);
    pchOut[cchCopy] = 0;
    m_nGet += cchLine;
    return true;
}

void CUtlBuffer::GetDelimitedString(const CUtlCharConversion *pConv, char *pchOut, int nMaxChars)
{
    if (!IsText() || !pConv)
    {
        GetString(pchOut, nMaxChars);
        return;
    }
    if (nMaxChars <= 0)
    {
        Assert(nMaxChars > 0);
        return;
    }
    pchOut[0] = 0;
    if (!IsValid())
        return;
    int cchDelimiter = pConv->GetDelimiterLength();
    if (cchDelimiter <= 0)
    {
        AssertFailed("pConv && pConv->GetDelimiterLength() > 0");
        return;
    }
    const char *pchDelimiter = pConv->GetDelimiter();
    EatWhiteSpace();
    if (!PeekStringMatch(0, pchDelimiter, cchDelimiter))
        return;
    m_nGet += cchDelimiter;

    const unsigned char chDelimiter = (unsigned char)pchDelimiter[0];
    const unsigned char chEscape = (unsigned char)pConv->GetEscapeChar();
    int cchOut = 0;
    const int cchRoom = nMaxChars - 1;
    while (m_nGet < m_nMaxPut)
    {
        // A run of ordinary characters is copied in one go.
        const unsigned char *pchRun = m_pMemory + m_nGet;
        const unsigned char *pchEnd = m_pMemory + m_nMaxPut;
        const unsigned char *pch = pchRun;
        if (chEscape)
        {
            while (pch < pchEnd && *pch != chDelimiter && *pch != chEscape)
                ++pch;
        }
        else
        {
            pch = (const unsigned char *)memchr(pchRun, chDelimiter, (size_t)(pchEnd - pchRun));
            if (!pch)
                pch = pchEnd;
        }
        int cchRun = (int)(pch - pchRun);
        int cchCopy = cchRun < cchRoom - cchOut ? cchRun : cchRoom - cchOut;
        if (cchCopy > 0)
        {
            memcpy(pchOut + cchOut, pchRun, (size_t)cchCopy);
            cchOut += cchCopy;
        }
        m_nGet += cchRun;
        if (pch == pchEnd)
            break;

        char chStored;
        if (*pch == chDelimiter && PeekStringMatch(0, pchDelimiter, cchDelimiter))
        {
            m_nGet += cchDelimiter;
            break;
        }
        if (chEscape && *pch == chEscape)
        {
            // An escape that starts no known sequence stands for a NUL; what follows it is
            // read as it is.
            ++m_nGet;
            int cchSequence = 0;
            chStored =
                pConv->FindConversion((const char *)m_pMemory + m_nGet, m_nMaxPut - m_nGet, &cchSequence);
            m_nGet += cchSequence;
        }
        else
        {
            // The first character of a longer delimiter, on its own.
            chStored = (char)*pch;
            ++m_nGet;
        }
        if (cchOut < cchRoom)
            pchOut[cchOut++] = chStored;
    }
    pchOut[cchOut] = 0;
}

namespace
{
// What a length modifier of the formatted reader says about the target's size.
enum EScanSize
{
    k_EScanSizeChar,
    k_EScanSizeShort,
    k_EScanSizeDefault,
    k_EScanSizeLong,
    k_EScanSizeLongLong,
};

// The width and length modifier of a conversion after its '%'; returns the position of the
// conversion character.
const char *ParseScanSpec(const char *pchFmt, int *pnWidth, EScanSize *peSize)
{
    *pnWidth = 0;
    while (*pchFmt >= '0' && *pchFmt <= '9')
        *pnWidth = *pnWidth * 10 + (*pchFmt++ - '0');
    *peSize = k_EScanSizeDefault;
    if (*pchFmt == 'h')
    {
        ++pchFmt;
        *peSize = k_EScanSizeShort;
        if (*pchFmt == 'h')
        {
            ++pchFmt;
            *peSize = k_EScanSizeChar;
        }
    }
    else if (*pchFmt == 'l')
    {
        ++pchFmt;
        *peSize = k_EScanSizeLong;
        if (*pchFmt == 'l')
        {
            ++pchFmt;
            *peSize = k_EScanSizeLongLong;
        }
    }
    return pchFmt;
}

// Stores a converted integer in the next target, of the size and signedness the
// conversion names.
void StoreScannedInteger(va_list *pArgs, EScanSize eSize, bool bSigned, uint64 unValue)
{
    switch (eSize)
    {
    case k_EScanSizeChar:
        *va_arg(*pArgs, char *) = (char)unValue;
        break;
    case k_EScanSizeShort:
        if (bSigned)
            *va_arg(*pArgs, short *) = (short)unValue;
        else
            *va_arg(*pArgs, unsigned short *) = (unsigned short)unValue;
        break;
    case k_EScanSizeDefault:
        if (bSigned)
            *va_arg(*pArgs, int *) = (int)unValue;
        else
            *va_arg(*pArgs, unsigned int *) = (unsigned int)unValue;
        break;
    case k_EScanSizeLong:
        if (bSigned)
            *va_arg(*pArgs, long *) = (long)unValue;
        else
            *va_arg(*pArgs, unsigned long *) = (unsigned long)unValue;
        break;
    case k_EScanSizeLongLong:
        if (bSigned)
            *va_arg(*pArgs, long long *) = (long long)unValue;
        else
            *va_arg(*pArgs, unsigned long long *) = (unsigned long long)unValue;
        break;
    }
}
} // namespace

int CUtlBuffer::Scanf(const char *pchFormat, ...)
{
    va_list args;
    va_start(args, pchFormat);
    int nConverted = VaScanf(pchFormat, args);
    va_end(args);
    return nConverted;
}

// The reader works on the data directly: white space in the format skips white space,
// other characters must match, and each conversion reads one value. It stops at the first
// mismatch; running out of data before a conversion is complete sets GET_OVERFLOW.
int CUtlBuffer::VaScanf(const char *pchFormat, va_list args)
{
    int nConverted = 0;
    if (!IsValid())
        return 0;
    // The conversions take their targets through a pointer to the list.
    va_list argsLeft;
    va_copy(argsLeft, args);
    const char *pchFmt = pchFormat;
    while (*pchFmt)
    {
        if (BIsSpace((unsigned char)*pchFmt))
        {
            SkipScanSpace();
            ++pchFmt;
            continue;
        }
        if (*pchFmt != '%' || pchFmt[1] == '%')
        {
            char chLiteral = *pchFmt;
            pchFmt += (*pchFmt == '%') ? 2 : 1;
            if (!CheckGet(1) || (char)m_pMemory[m_nGet] != chLiteral)
                break;
            ++m_nGet;
            continue;
        }
        int nWidth = 0;
        EScanSize eSize = k_EScanSizeDefault;
        pchFmt = ParseScanSpec(pchFmt + 1, &nWidth, &eSize);
        char chConversion = *pchFmt;
        if (chConversion)
            ++pchFmt;
        if (!BScanConversion(chConversion, nWidth, eSize, &argsLeft))
            break;
        ++nConverted;
    }
    va_end(argsLeft);
    return nConverted;
}

void CUtlBuffer::SkipScanSpace()
{
    while (m_nGet < m_nMaxPut && BIsSpace(m_pMemory[m_nGet]))
        ++m_nGet;
}

bool CUtlBuffer::BScanConversion(char chConversion, int nWidth, int nSize, va_list *pArgs)
{
    const EScanSize eSize = (EScanSize)nSize;
    switch (chConversion)
    {
    case 'c':
        return Get(va_arg(*pArgs, char *), 1);
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    {
        uint64 unValue = 0;
        if (!BScanInteger(chConversion, &unValue))
            return false;
        StoreScannedInteger(pArgs, eSize, chConversion == 'd' || chConversion == 'i', unValue);
        return true;
    }
    case 'f':
    {
        double dbl = 0;
        if (!BScanFloat(&dbl))
            return false;
        if (eSize == k_EScanSizeLong || eSize == k_EScanSizeLongLong)
            *va_arg(*pArgs, double *) = dbl;
        else
            *va_arg(*pArgs, float *) = (float)dbl;
        return true;
    }
    case 's':
    {
        char *pch = va_arg(*pArgs, char *);
        if (nWidth <= 0)
        {
            // Without a width the size of the target is unknown.
            AssertFailed("CUtlBuffer::Scanf: %s needs a width");
            return false;
        }
        return GetString(pch, nWidth + 1) || pch[0] != 0;
    }
    default:
        AssertFailed("0");
        return false;
    }
}

bool CUtlBuffer::BScanInteger(char chConversion, uint64 *punValue)
{
    SkipScanSpace();
    int nPos = m_nGet;
    bool bNegative = false;
    if (nPos < m_nMaxPut && (m_pMemory[nPos] == '-' || m_pMemory[nPos] == '+'))
        bNegative = m_pMemory[nPos++] == '-';
    int nBase = chConversion == 'x' ? 16 : 10;
    if ((chConversion == 'x' || chConversion == 'i') && nPos + 1 < m_nMaxPut && m_pMemory[nPos] == '0' &&
        (m_pMemory[nPos + 1] == 'x' || m_pMemory[nPos + 1] == 'X'))
    {
        nPos += 2;
        nBase = 16;
    }
    else if (chConversion == 'i' && nPos < m_nMaxPut && m_pMemory[nPos] == '0')
    {
        nBase = 8;
    }
    uint64 unValue = 0;
    int nDigitsStart = nPos;
    while (nPos < m_nMaxPut)
    {
        unsigned char ch = m_pMemory[nPos];
        int nDigit = (ch >= '0' && ch <= '9')   ? ch - '0'
                     : (ch >= 'a' && ch <= 'f') ? ch - 'a' + 10
                     : (ch >= 'A' && ch <= 'F') ? ch - 'A' + 10
                                                : 99;
        if (nDigit >= nBase)
            break;
        unValue = unValue * (uint64)nBase + (uint64)nDigit;
        ++nPos;
    }
    if (nPos == nDigitsStart)
    {
        if (nPos >= m_nMaxPut)
            m_nError |= GET_OVERFLOW;
        return false;
    }
    m_nGet = nPos;
    *punValue = bNegative ? (uint64)0 - unValue : unValue;
    return true;
}

bool CUtlBuffer::BScanFloat(double *pdbl)
{
    SkipScanSpace();
    // strtod needs a terminated copy; a float's text is short.
    char rgchNumber[128];
    int cch = 0;
    while (m_nGet + cch < m_nMaxPut && cch < (int)sizeof(rgchNumber) - 1)
    {
        char ch = (char)m_pMemory[m_nGet + cch];
        if (!((ch >= '0' && ch <= '9') || ch == '.' || ch == '-' || ch == '+' || ch == 'e' || ch == 'E'))
            break;
        rgchNumber[cch++] = ch;
    }
    rgchNumber[cch] = 0;
    char *pchEnd = rgchNumber;
    *pdbl = strtod(rgchNumber, &pchEnd);
    if (pchEnd == rgchNumber)
    {
        if (m_nGet + cch >= m_nMaxPut)
            m_nError |= GET_OVERFLOW;
        return false;
    }
    m_nGet += (int)(pchEnd - rgchNumber);
    return true;
}

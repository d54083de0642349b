// UTF-8 <-> UTF-16 conversion with the invalid-input policies.
#include "foundation/strtools.h"

namespace
{
const uint32 k_unInvalid = 0xFFFFFFFFu;

bool BIsNonCharacter(uint32 unCode)
{
    return (unCode & 0xFFFE) == 0xFFFE || (unCode >= 0xFDD0 && unCode <= 0xFDEF);
}

bool BIsContinuation(unsigned char ch)
{
    return (ch & 0xC0) == 0x80;
}

// Decodes one code point at pch; *pcch receives the bytes consumed. Returns k_unInvalid for
// an invalid sequence (a broken sequence consumes the bytes up to the break, a complete
// sequence that encodes a forbidden value consumes all of its bytes).
uint32 DecodeUTF8(const unsigned char *pch, int *pcch)
{
    unsigned char ch0 = pch[0];
    if (ch0 < 0x80)
    {
        *pcch = 1;
        return ch0;
    }
    int cchSeq;
    uint32 unCode, unMin;
    if (ch0 >= 0xC0 && ch0 <= 0xDF)
    {
        cchSeq = 2;
        unCode = ch0 & 0x1F;
        unMin = 0x80;
    }
    else if (ch0 >= 0xE0 && ch0 <= 0xEF)
    {
        cchSeq = 3;
        unCode = ch0 & 0x0F;
        unMin = 0x800;
    }
    else if (ch0 >= 0xF0 && ch0 <= 0xF7)
    {
        cchSeq = 4;
        unCode = ch0 & 0x07;
        unMin = 0x10000;
    }
    else
    {
        *pcch = 1;
        return k_unInvalid;
    }
    for (int i = 1; i < cchSeq; ++i)
    {
        if (!BIsContinuation(pch[i]))
        {
            // The lead byte and the continuation bytes before the break form one "?".
            *pcch = i;
            return k_unInvalid;
        }
        unCode = (unCode << 6) | (pch[i] & 0x3F);
    }
    *pcch = cchSeq;
    if (unCode < unMin || unCode > 0x10FFFF)
        return k_unInvalid;
    if (unCode >= 0xD800 && unCode <= 0xDBFF)
    {
        // A surrogate pair written as two 3-byte sequences counts as one code point.
        const unsigned char *pchLow = pch + 3;
        if (pchLow[0] == 0xED && pchLow[1] >= 0xB0 && pchLow[1] <= 0xBF && BIsContinuation(pchLow[2]))
        {
            uint32 unLow = 0xD000 | ((uint32)(pchLow[1] & 0x3F) << 6) | (pchLow[2] & 0x3F);
            *pcch = 6;
            unCode = 0x10000 + ((unCode - 0xD800) << 10) + (unLow - 0xDC00);
            return BIsNonCharacter(unCode) ? k_unInvalid : unCode;
        }
        return k_unInvalid;
    }
    if (unCode >= 0xDC00 && unCode <= 0xDFFF)
        return k_unInvalid;
    if (BIsNonCharacter(unCode))
        return k_unInvalid;
    return unCode;
}

uint32 DecodeUTF16(const wchar16 *pwch, int *pcch)
{
    uint32 unCode = pwch[0];
    *pcch = 1;
    if (unCode >= 0xD800 && unCode <= 0xDBFF)
    {
        uint32 unLow = pwch[1];
        if (unLow >= 0xDC00 && unLow <= 0xDFFF)
        {
            *pcch = 2;
            unCode = 0x10000 + ((unCode - 0xD800) << 10) + (unLow - 0xDC00);
        }
        else
        {
            return k_unInvalid;
        }
    }
    else if (unCode >= 0xDC00 && unCode <= 0xDFFF)
    {
        return k_unInvalid;
    }
    return BIsNonCharacter(unCode) ? k_unInvalid : unCode;
}

int UTF8Length(uint32 unCode)
{
    return unCode < 0x80 ? 1 : unCode < 0x800 ? 2 : unCode < 0x10000 ? 3 : 4;
}

int EncodeUTF8(uint32 unCode, char *pch)
{
    unsigned char *p = (unsigned char *)pch;
    if (unCode < 0x80)
    {
        p[0] = (unsigned char)unCode;
        return 1;
    }
    if (unCode < 0x800)
    {
        p[0] = (unsigned char)(0xC0 | (unCode >> 6));
        p[1] = (unsigned char)(0x80 | (unCode & 0x3F));
        return 2;
    }
    if (unCode < 0x10000)
    {
        p[0] = (unsigned char)(0xE0 | (unCode >> 12));
        p[1] = (unsigned char)(0x80 | ((unCode >> 6) & 0x3F));
        p[2] = (unsigned char)(0x80 | (unCode & 0x3F));
        return 3;
    }
    p[0] = (unsigned char)(0xF0 | (unCode >> 18));
    p[1] = (unsigned char)(0x80 | ((unCode >> 12) & 0x3F));
    p[2] = (unsigned char)(0x80 | ((unCode >> 6) & 0x3F));
    p[3] = (unsigned char)(0x80 | (unCode & 0x3F));
    return 4;
}
} // namespace

int Q_UTF8ToUnicode(const char *pchUTF8, wchar16 *pwchDest, int cubDest, EStringConvertErrorPolicy ePolicy)
{
    const int cchDest = pwchDest ? cubDest / (int)sizeof(wchar16) : 0;
    if (pwchDest && cchDest <= 0)
        return 0;
    const unsigned char *pch = (const unsigned char *)(pchUTF8 ? pchUTF8 : "");
    int cchOut = 0;
    while (*pch)
    {
        int cchIn;
        uint32 unCode = DecodeUTF8(pch, &cchIn);
        pch += cchIn;
        if (unCode == k_unInvalid)
        {
            if (ePolicy & k_EStringConvertFail)
            {
                if (pwchDest)
                    pwchDest[0] = 0;
                return 0;
            }
            if (ePolicy & k_EStringConvertSkip)
                continue;
            unCode = '?';
        }
        int cchUnits = unCode >= 0x10000 ? 2 : 1;
        if (pwchDest)
        {
            if (cchOut + cchUnits > cchDest - 1)
                break;
            if (cchUnits == 2)
            {
                pwchDest[cchOut] = (wchar16)(0xD800 + ((unCode - 0x10000) >> 10));
                pwchDest[cchOut + 1] = (wchar16)(0xDC00 + ((unCode - 0x10000) & 0x3FF));
            }
            else
            {
                pwchDest[cchOut] = (wchar16)unCode;
            }
        }
        cchOut += cchUnits;
    }
    if (pwchDest)
        pwchDest[cchOut] = 0;
    return (cchOut + 1) * (int)sizeof(wchar16);
}

int Q_UnicodeToUTF8(const wchar16 *pwchSrc, char *pchDest, int cubDest, EStringConvertErrorPolicy ePolicy)
{
    if (pchDest && cubDest <= 0)
        return 0;
    static const wchar16 s_wchEmpty = 0;
    const wchar16 *pwch = pwchSrc ? pwchSrc : &s_wchEmpty;
    int cchOut = 0;
    while (*pwch)
    {
        int cchIn;
        uint32 unCode = DecodeUTF16(pwch, &cchIn);
        pwch += cchIn;
        if (unCode == k_unInvalid)
        {
            if (ePolicy & k_EStringConvertFail)
            {
                if (pchDest)
                    pchDest[0] = '\0';
                return 0;
            }
            if (ePolicy & k_EStringConvertSkip)
                continue;
            unCode = '?';
        }
        int cchBytes = UTF8Length(unCode);
        if (pchDest)
        {
            if (cchOut + cchBytes > cubDest - 1)
                break;
            EncodeUTF8(unCode, pchDest + cchOut);
        }
        cchOut += cchBytes;
    }
    if (pchDest)
        pchDest[cchOut] = '\0';
    return cchOut + 1;
}
